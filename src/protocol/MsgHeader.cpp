#include "protocol/MsgHeader.h"

#include <cstring>

#include "protocol/FieldCodec.h"

namespace oskel::protocol {

namespace {
struct NamedCommand {
    Command command;
    std::string_view name;
};
constexpr NamedCommand kNames[] = {
    {Command::Login, "login"},       {Command::SucLog, "suclog"},     {Command::FailLog, "faillog"},
    {Command::KikOut, "kikout"},     {Command::Status, "status"},     {Command::Chat, "chat"},
    {Command::MultChat, "multchat"}, {Command::FileSend, "filesend"}, {Command::ChgPass, "chgpass"},
    {Command::ChgInfo, "chginfo"},   {Command::AVInvite, "avinvite"}, {Command::Alive, "alive"},
    {Command::CServer, "cserver"},   {Command::Audio, "audio"},       {Command::Video, "video"},
};
} // namespace

std::string_view commandName(Command command)
{
    for (const auto& n : kNames)
        if (n.command == command)
            return n.name;
    return {};
}

TMsgHeader TMsgHeader::make(Command command, std::int32_t length)
{
    TMsgHeader h;
    const std::string_view name = commandName(command);
    h.NameLength = static_cast<std::uint8_t>(name.size());
    std::memcpy(h.Name.data(), name.data(), name.size());
    h.Length = length;
    return h;
}

TMsgHeader TMsgHeader::decode(std::span<const std::uint8_t, kSize> bytes)
{
    TMsgHeader h;
    h.NameLength = bytes[0];
    std::memcpy(h.Name.data(), bytes.data() + 1, kMaxNameLength);
    h.Length = getI32(bytes.data() + 12);
    return h;
}

std::array<std::uint8_t, TMsgHeader::kSize> TMsgHeader::encode() const
{
    std::array<std::uint8_t, kSize> out{};
    out[0] = NameLength;
    std::memcpy(out.data() + 1, Name.data(), kMaxNameLength);
    putI32(out.data() + 12, Length);
    return out;
}

std::string_view TMsgHeader::name() const
{
    const std::size_t n = NameLength < kMaxNameLength ? NameLength : kMaxNameLength;
    return std::string_view(Name.data(), n);
}

Command TMsgHeader::command() const
{
    if (NameLength == 0 || NameLength > kMaxNameLength)
        return Command::Unknown;
    const std::string_view n = name();
    for (const auto& entry : kNames)
        if (entry.name == n)
            return entry.command;
    return Command::Unknown;
}

} // namespace oskel::protocol
