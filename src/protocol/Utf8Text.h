#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oskel::protocol {

// Longest prefix of `text` of at most `maxBytes` bytes that does not end inside a
// UTF-8 sequence. Sizes on the wire count bytes, so every writer cuts with this.
std::string_view cutUtf8(std::string_view text, std::size_t maxBytes);

// Replaces TAB, CR and LF (and other control bytes) by blanks, for texts that end up
// inside TAB-separated, CR LF-ended lists.
std::string cleanListText(std::string_view text);

} // namespace oskel::protocol
