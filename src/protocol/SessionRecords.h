#pragma once

// Bodies of the session messages: "login", "suclog", "faillog", "kikout", "status".

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/FieldCodec.h"

namespace oskel::protocol {

// Body of "login". The short form is 43 bytes with the cipher text in a char[21]; the
// long form, for passwords of 8 to 20 bytes, is 76 bytes: the short form with its
// password field all zero, then a char[33] holding the whole cipher text.
struct TLoginRecord {
    static constexpr std::size_t kSize = 43;
    static constexpr std::size_t kLongSize = 76;
    static constexpr std::size_t kShortPasswordField = 21;
    static constexpr std::size_t kLongPasswordField = 33;

    std::string UserID;
    std::string Password;     // Base64 cipher text of the password
    bool NoDirectory = false; // true: the reply carries no user directory

    // 43 bytes when the cipher text fits the char[21], else 76.
    std::vector<std::uint8_t> encode() const;
    // Accepts a 43- or 76-byte body; a 76-byte body whose short field is empty takes
    // the long field.
    static TLoginRecord decode(std::span<const std::uint8_t> body);
};

struct TLoginReply : RecordCodec<TLoginReply> {
    static constexpr std::size_t kSize = 152;

    std::string FirstName;
    std::string ServerAddrs; // the server's addresses, one per CR LF-ended line
    std::string Organisation;
    std::uint16_t TcpPort = 0;
    std::uint16_t FtpPort = 0;
    std::uint16_t UdpPort = 0;
    std::string Rights;
    bool EncryptMsg = false;
    std::int32_t FileSizeLimit = 0; // megabytes, 0 = none
    std::int32_t DirectoryLen = 0;
    std::int32_t OnlineListLen = 0;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.FirstName);
        f(CharField{21, 51}, r.ServerAddrs);
        f(CharField{72, 51}, r.Organisation);
        f(U16Field{123}, r.TcpPort);
        f(U16Field{125}, r.FtpPort);
        f(U16Field{127}, r.UdpPort);
        f(CharField{129, 10}, r.Rights);
        f(FlagField{139}, r.EncryptMsg);
        f(I32Field{140}, r.FileSizeLimit);
        f(I32Field{144}, r.DirectoryLen);
        f(I32Field{148}, r.OnlineListLen);
    }
};

struct TFailLogRecord : RecordCodec<TFailLogRecord> {
    static constexpr std::size_t kSize = 101;
    std::string Reason;

    template <class Self, class F> static void fields(Self& r, F&& f) { f(CharField{0, 101}, r.Reason); }
};

struct TKikOutRecord : RecordCodec<TKikOutRecord> {
    static constexpr std::size_t kSize = 256;
    std::string Reason;

    template <class Self, class F> static void fields(Self& r, F&& f) { f(CharField{0, 256}, r.Reason); }
};

struct TStatusRecord : RecordCodec<TStatusRecord> {
    static constexpr std::size_t kSize = 32;
    std::string UserID;
    std::string Status; // string[10]

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.UserID);
        f(ShortStringField{21, 11}, r.Status);
    }
};

} // namespace oskel::protocol
