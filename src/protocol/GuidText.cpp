#include "protocol/GuidText.h"

#include <sys/random.h>

#include <cstdint>
#include <stdexcept>

namespace oskel::protocol {

std::string NewGuidText()
{
    std::uint8_t b[16];
    std::size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0)
            throw std::runtime_error("no random bytes for a GUID");
        got += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 0x0F];
    }
    out += '}';
    return out;
}

bool isGuidText(std::string_view text)
{
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const char c = text[i];
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace oskel::protocol
