#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace oskel::protocol {

// Every command and datagram name of the protocol.
enum class Command {
    Login,
    SucLog,
    FailLog,
    KikOut,
    Status,
    Chat,
    MultChat,
    FileSend,
    ChgPass,
    ChgInfo,
    AVInvite,
    Alive,
    CServer,
    Audio,
    Video,
    Unknown,
};

// The name on the wire ("login", "suclog", ...); empty for Unknown.
std::string_view commandName(Command command);

// The 16 bytes in front of every TCP message and every datagram: the name as a
// string[11] and the body length as little-endian int32.
struct TMsgHeader {
    static constexpr std::size_t kSize = 16;
    static constexpr std::size_t kMaxNameLength = 11;

    std::uint8_t NameLength = 0; // as received; may exceed 11 in hostile input
    std::array<char, kMaxNameLength> Name{};
    std::int32_t Length = 0;

    static TMsgHeader make(Command command, std::int32_t length);
    static TMsgHeader decode(std::span<const std::uint8_t, kSize> bytes);
    std::array<std::uint8_t, kSize> encode() const;

    // The significant part of the name (at most 11 bytes).
    std::string_view name() const;
    // Exact match: length byte and characters; case counts.
    Command command() const;
};

} // namespace oskel::protocol
