#include "protocol/AddressList.h"

#include <charconv>

namespace oskel::protocol {

std::string formatLocalAddrs(const std::vector<std::string>& addresses, std::uint16_t port, std::size_t maxBytes)
{
    const std::string portText = std::to_string(port);
    std::string out;
    for (const auto& address : addresses) {
        const std::size_t entry = address.size() + 1 + portText.size() + 1;
        if (out.size() + entry > maxBytes)
            break;
        out += address;
        out += ':';
        out += portText;
        out += ';';
    }
    return out;
}

std::vector<PeerAddress> parseLocalAddrs(std::string_view text)
{
    std::vector<PeerAddress> out;
    for (std::size_t end = text.find(';'); end != std::string_view::npos; end = text.find(';')) {
        const std::string_view entry = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t colon = entry.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view portText = entry.substr(colon + 1);
        unsigned port = 0;
        const auto [ptr, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (ec != std::errc() || ptr != portText.data() + portText.size() || port == 0 || port > 65535)
            continue;
        out.push_back({std::string(entry.substr(0, colon)), static_cast<std::uint16_t>(port)});
    }
    return out;
}

void turnAround(TAVInviteRecord& record, std::string_view loginId, std::string_view loginName)
{
    record.ToID = record.FromID;
    record.ToName = record.FromName;
    record.FromID = std::string(loginId);
    record.FromName = std::string(loginName);
}

} // namespace oskel::protocol
