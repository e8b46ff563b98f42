#include "protocol/Utf8Text.h"

namespace oskel::protocol {

std::string_view cutUtf8(std::string_view text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes (10xxxxxx) so the cut falls before the lead
    // byte of the character that would be split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

std::string cleanListText(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

} // namespace oskel::protocol
