#pragma once

// What each side accepts from the stream: for every command the body rule and the
// trailing texts, with their bounds. docs/protocol.md holds the same table.

#include <cstddef>
#include <cstdint>

#include "protocol/MsgHeader.h"

namespace oskel::protocol {

// The side that reads the stream.
enum class ReaderSide { Server, Client };

enum class BodyRule {
    Exact,      // `Length` must equal the size
    Fixed,      // the size is read whatever `Length` says
    LoginForms, // 43 (short form) or 76 (long-password form)
};

enum class Trailer {
    None,
    ChatText,      // one text, length uint16 at offset 158
    MultChatTexts, // member list (uint16 at 165), then text (uint16 at 241)
    SignInTexts,   // directory (int32 at 144), then online list (int32 at 148)
};

struct CommandLimits {
    Command command;
    BodyRule rule;
    std::uint32_t bodySize;
    Trailer trailer;
};

// Unknown commands with a body up to this size are skipped; larger ones close.
inline constexpr std::int32_t kMaxSkippedBody = 64 * 1024;
inline constexpr std::int32_t kMaxDirectoryBytes = 64 * 1024 * 1024;
inline constexpr std::int32_t kMaxOnlineListBytes = 16 * 1024 * 1024;
// Chat texts and member lists are bounded by their uint16 length fields.
inline constexpr std::size_t kMaxChatTextBytes = 65535;

// The rule for `command` on `side`, or nullptr when that side does not take it (it is
// then skipped like an unknown command).
const CommandLimits* limitsFor(ReaderSide side, Command command);

} // namespace oskel::protocol
