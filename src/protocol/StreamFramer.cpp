#include "protocol/StreamFramer.h"

#include "protocol/FieldCodec.h"

namespace oskel::protocol {

namespace {
// The name as printable text, for error messages about hostile input.
std::string printableName(const TMsgHeader& h)
{
    std::string out;
    for (char c : h.name())
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}
} // namespace

StreamFramer::Step StreamFramer::fail(std::string message)
{
    failed_ = true;
    error_ = std::move(message);
    return Step::Error;
}

void StreamFramer::releasePending()
{
    // A sign-in reply can be megabytes: give that memory back instead of keeping it.
    if (pending_.capacity() > 1024 * 1024)
        std::vector<std::uint8_t>().swap(pending_);
    else
        pending_.clear();
    needed_ = 0;
}

StreamFramer::Step StreamFramer::parse(std::span<const std::uint8_t> avail, Frame& frame, std::size_t& consumed,
                                       std::size_t& needed)
{
    constexpr std::size_t H = TMsgHeader::kSize;
    if (avail.size() < H) {
        needed = H;
        return Step::NeedMore;
    }
    const TMsgHeader header = TMsgHeader::decode(avail.first<H>());
    const Command command = header.command();
    const CommandLimits* limits = limitsFor(side_, command);
    if (!limits) {
        if (header.Length < 0 || header.Length > kMaxSkippedBody)
            return fail("unknown command \"" + printableName(header) + "\" declares a body of " +
                        std::to_string(header.Length) + " bytes (at most " + std::to_string(kMaxSkippedBody) +
                        " are skipped)");
        skip_ = static_cast<std::size_t>(header.Length);
        consumed = H;
        ++skipped_;
        return Step::Skipped;
    }

    std::size_t bodySize = limits->bodySize;
    switch (limits->rule) {
    case BodyRule::Exact:
        if (header.Length != static_cast<std::int32_t>(limits->bodySize))
            return fail("\"" + printableName(header) + "\" declares a body of " + std::to_string(header.Length) +
                        " bytes; it must be " + std::to_string(limits->bodySize));
        break;
    case BodyRule::Fixed:
        break;
    case BodyRule::LoginForms:
        if (header.Length != 43 && header.Length != 76)
            return fail("\"login\" declares a body of " + std::to_string(header.Length) +
                        " bytes; it must be 43 or 76");
        bodySize = static_cast<std::size_t>(header.Length);
        break;
    }

    const std::size_t bodyEnd = H + bodySize;
    if (avail.size() < bodyEnd) {
        needed = bodyEnd;
        return Step::NeedMore;
    }
    const std::uint8_t* body = avail.data() + H;
    std::size_t len1 = 0;
    std::size_t len2 = 0;
    switch (limits->trailer) {
    case Trailer::None:
        break;
    case Trailer::ChatText:
        len1 = getU16(body + 158);
        break;
    case Trailer::MultChatTexts:
        len1 = getU16(body + 165);
        len2 = getU16(body + 241);
        break;
    case Trailer::SignInTexts: {
        const std::int32_t dir = getI32(body + 144);
        const std::int32_t online = getI32(body + 148);
        if (dir < 0 || dir > kMaxDirectoryBytes)
            return fail("\"suclog\" declares a user directory of " + std::to_string(dir) + " bytes (at most " +
                        std::to_string(kMaxDirectoryBytes) + ")");
        if (online < 0 || online > kMaxOnlineListBytes)
            return fail("\"suclog\" declares an online list of " + std::to_string(online) + " bytes (at most " +
                        std::to_string(kMaxOnlineListBytes) + ")");
        len1 = static_cast<std::size_t>(dir);
        len2 = static_cast<std::size_t>(online);
        break;
    }
    }

    const std::size_t total = bodyEnd + len1 + len2;
    if (avail.size() < total) {
        needed = total;
        return Step::NeedMore;
    }
    frame.command = command;
    frame.header = header;
    frame.body = avail.subspan(H, bodySize);
    frame.text1 = std::string_view(reinterpret_cast<const char*>(avail.data() + bodyEnd), len1);
    frame.text2 = std::string_view(reinterpret_cast<const char*>(avail.data() + bodyEnd + len1), len2);
    frame.bytes = avail.first(total);
    consumed = total;
    return Step::Complete;
}

} // namespace oskel::protocol
