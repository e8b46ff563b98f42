#include "protocol/MessageLimits.h"

namespace oskel::protocol {

namespace {
constexpr CommandLimits kServerReads[] = {
    {Command::Login, BodyRule::LoginForms, 43, Trailer::None},
    {Command::Status, BodyRule::Exact, 32, Trailer::None},
    {Command::Chat, BodyRule::Exact, 161, Trailer::ChatText},
    {Command::MultChat, BodyRule::Exact, 244, Trailer::MultChatTexts},
    {Command::FileSend, BodyRule::Exact, 453, Trailer::None},
    {Command::ChgPass, BodyRule::Fixed, 42, Trailer::None},
    {Command::ChgInfo, BodyRule::Fixed, 580, Trailer::None},
    {Command::Alive, BodyRule::Exact, 0, Trailer::None},
};
constexpr CommandLimits kClientReads[] = {
    {Command::SucLog, BodyRule::Exact, 152, Trailer::SignInTexts},
    {Command::FailLog, BodyRule::Fixed, 101, Trailer::None},
    {Command::KikOut, BodyRule::Fixed, 256, Trailer::None},
    {Command::Status, BodyRule::Exact, 32, Trailer::None},
    {Command::Chat, BodyRule::Exact, 161, Trailer::ChatText},
    {Command::MultChat, BodyRule::Exact, 244, Trailer::MultChatTexts},
    {Command::FileSend, BodyRule::Exact, 453, Trailer::None},
    {Command::ChgPass, BodyRule::Fixed, 42, Trailer::None},
    {Command::ChgInfo, BodyRule::Fixed, 580, Trailer::None},
    {Command::AVInvite, BodyRule::Exact, 259, Trailer::None},
};
} // namespace

const CommandLimits* limitsFor(ReaderSide side, Command command)
{
    if (side == ReaderSide::Server) {
        for (const auto& l : kServerReads)
            if (l.command == command)
                return &l;
    } else {
        for (const auto& l : kClientReads)
            if (l.command == command)
                return &l;
    }
    return nullptr;
}

} // namespace oskel::protocol
