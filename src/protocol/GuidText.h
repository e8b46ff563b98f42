#pragma once

#include <string>
#include <string_view>

namespace oskel::protocol {

// A new random GUID as 38 characters: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case
// hexadecimal. Names group conversations, uploaded files and calls.
std::string NewGuidText();

// True for exactly that form (either letter case of the hex digits).
bool isGuidText(std::string_view text);

} // namespace oskel::protocol
