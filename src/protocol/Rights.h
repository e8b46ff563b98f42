#pragma once

#include <array>
#include <string>
#include <string_view>

namespace oskel::protocol {

// The rights string of the sign-in reply: one character per right, "1" allowed, "0"
// not. A position beyond the end of the string counts as "0".
enum class Right {
    Voice = 0,      // start a voice conversation
    File,           // send a file
    Video,          // start a video conversation
    ScreenShot,     // send a screen shot
    Invite,         // invite further users into a conversation
    Invisible,      // switch to "Invisible"
    OwnDetails,     // change one's own details
    Broadcast,      // message to a whole department or to all users
};
inline constexpr std::size_t kRightCount = 8;

// The texts that name the rights, in string order.
inline constexpr std::array<const char*, kRightCount> kRightTexts = {
    "Send voice chat", "Send file",      "Send video chat",        "Send screen shot",
    "Invite user",     "Swich to invisible mode", "Modify own user detail", "Broadcast message",
};

inline bool hasRight(std::string_view rights, std::size_t position)
{
    return position < rights.size() && rights[position] == '1';
}
inline bool hasRight(std::string_view rights, Right right) { return hasRight(rights, static_cast<std::size_t>(right)); }

// Eight characters from eight check marks, in order.
inline std::string rightsString(const std::array<bool, kRightCount>& allowed)
{
    std::string out;
    for (bool a : allowed)
        out += a ? '1' : '0';
    return out;
}

} // namespace oskel::protocol
