#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "protocol/DatagramRecords.h"

namespace oskel::protocol {

// What the server's rendezvous does with one datagram that came from ip:port:
// - "cserver": answers the sender with the probe itself, SeenIP and SeenPort filled in
//   (every other byte, the header included, as it came);
// - "avinvite": relays the record to the addressee over TCP with the sender's public
//   address written into it;
// - anything else, or a datagram too short for its record: nothing.
struct RendezvousAnswer {
    std::vector<std::uint8_t> bytes; // to send back to the sender
};
struct RendezvousRelay {
    TAVInviteRecord invite;
};
using RendezvousStep = std::variant<std::monostate, RendezvousAnswer, RendezvousRelay>;

RendezvousStep rendezvousStep(std::span<const std::uint8_t> datagram, const std::string& ip, std::uint16_t port);

} // namespace oskel::protocol
