#pragma once

// Records of the UDP datagrams "cserver", "avinvite", "audio" and "video". "avinvite"
// also travels over TCP when the server relays it.

#include <cstdint>
#include <string>

#include "protocol/FieldCodec.h"

namespace oskel::protocol {

// Steps of the voice/video invitation handshake.
enum class AVStage : std::int32_t {
    avsInvite = -1,
    avsAccept = 0,
    avsDecline = 1,
    avsConfirm = 2,
    avsEnd = 3,
    avsOpen = 4,
    avsConfirmed = 5,
};

struct TCServerRecord : RecordCodec<TCServerRecord> {
    static constexpr std::size_t kSize = 69;

    std::string Reserved;
    std::string ServerAddr;
    std::string SeenIP;
    std::string SeenPort;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 21}, r.Reserved);
        f(CharField{21, 21}, r.ServerAddr);
        f(CharField{42, 21}, r.SeenIP);
        f(CharField{63, 6}, r.SeenPort);
    }
};

struct TAVInviteRecord : RecordCodec<TAVInviteRecord> {
    static constexpr std::size_t kSize = 259;

    std::string CallID;
    std::string FromID;
    std::string FromName;
    std::string LocalAddrs; // "addr:port;" per own address
    std::string PublicIP;
    std::string PublicPort;
    std::string ToID;
    std::string ToName;
    bool IsVideo = false;
    bool DirectLan = false;
    std::int32_t Stage = 0;

    AVStage stage() const { return static_cast<AVStage>(Stage); }
    void setStage(AVStage s) { Stage = static_cast<std::int32_t>(s); }

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 41}, r.CallID);
        f(CharField{41, 21}, r.FromID);
        f(CharField{62, 21}, r.FromName);
        f(CharField{83, 101}, r.LocalAddrs);
        f(CharField{184, 21}, r.PublicIP);
        f(CharField{205, 6}, r.PublicPort);
        f(CharField{211, 21}, r.ToID);
        f(CharField{232, 21}, r.ToName);
        f(FlagField{253}, r.IsVideo);
        f(FlagField{254}, r.DirectLan);
        f(I32Field{255}, r.Stage);
    }
};

struct TAudioRecord : RecordCodec<TAudioRecord> {
    static constexpr std::size_t kSize = 43;

    std::string CallID;
    std::uint16_t PayloadLen = 0;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 41}, r.CallID);
        f(U16Field{41}, r.PayloadLen);
    }
};

struct TVideoRecord : RecordCodec<TVideoRecord> {
    static constexpr std::size_t kSize = 55;

    std::string CallID;
    std::int32_t FrameNo = 0; // 0: the datagram holds a whole frame
    std::uint8_t FragNo = 0;  // 1-based
    bool LastFrag = false;
    std::uint16_t Width = 0;
    std::uint16_t Height = 0;
    std::uint16_t ChunkLen = 0;
    std::uint16_t TotalLen = 0;

    template <class Self, class F> static void fields(Self& r, F&& f)
    {
        f(CharField{0, 41}, r.CallID);
        f(I32Field{41}, r.FrameNo);
        f(U8Field{45}, r.FragNo);
        f(FlagField{46}, r.LastFrag);
        f(U16Field{47}, r.Width);
        f(U16Field{49}, r.Height);
        f(U16Field{51}, r.ChunkLen);
        f(U16Field{53}, r.TotalLen);
    }
};

} // namespace oskel::protocol
