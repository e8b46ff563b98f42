#pragma once

// The own-address list of an invitation ("addr:port;" per address) and the turnaround
// of an invitation record a client answers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/DatagramRecords.h"

namespace oskel::protocol {

struct PeerAddress {
    std::string address;
    std::uint16_t port = 0;

    bool operator==(const PeerAddress&) const = default;
};

// "a:port;" for each address in order. Only whole entries are written: an entry that
// would pass `maxBytes` (the 100 characters of LocalAddrs) is left out with the rest.
std::string formatLocalAddrs(const std::vector<std::string>& addresses, std::uint16_t port, std::size_t maxBytes = 100);

// Each ";"-ended entry: the address before its first ":", the port after it. Text
// after the last ";" is ignored, and so is an entry without a valid port (1 to 65535).
std::vector<PeerAddress> parseLocalAddrs(std::string_view text);

// Turns a received invitation into the reply's starting point: the sender becomes the
// addressee and the own user becomes the sender; every other field stays.
void turnAround(TAVInviteRecord& record, std::string_view loginId, std::string_view loginName);

} // namespace oskel::protocol
