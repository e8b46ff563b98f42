#pragma once

// Parsing and building of the UDP datagrams. A receiver takes the record size from the
// name, never from the header's length field.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/DatagramRecords.h"

namespace oskel::protocol {

struct CServerDatagram {
    TCServerRecord record;
};
struct AVInviteDatagram {
    TAVInviteRecord record;
};
struct AudioDatagram {
    TAudioRecord record;
    std::span<const std::uint8_t> payload; // exactly PayloadLen bytes, into the input
};
struct VideoDatagram {
    TVideoRecord record;
    std::span<const std::uint8_t> fragment; // exactly ChunkLen bytes, into the input
};
using Datagram = std::variant<CServerDatagram, AVInviteDatagram, AudioDatagram, VideoDatagram>;

// nullopt for a datagram shorter than header plus record, an unknown name, or a payload
// length beyond the bytes the datagram holds.
std::optional<Datagram> parseDatagram(std::span<const std::uint8_t> datagram);

// Header `Length` 69.
std::vector<std::uint8_t> buildCServerDatagram(const TCServerRecord& record);
// Header `Length` 259.
std::vector<std::uint8_t> buildAVInviteDatagram(const TAVInviteRecord& record);
// Header `Length` 59; sets PayloadLen. nullopt when the payload passes 65,535 bytes.
std::optional<std::vector<std::uint8_t>> buildAudioDatagram(std::string_view callId,
                                                            std::span<const std::uint8_t> payload);
// Header `Length` 59; sets ChunkLen from the fragment.
std::vector<std::uint8_t> buildVideoDatagram(TVideoRecord record, std::span<const std::uint8_t> fragment);

} // namespace oskel::protocol
