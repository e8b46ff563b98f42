#include "protocol/MessageBuilder.h"

#include <cstring>

#include "protocol/MessageLimits.h"
#include "protocol/Utf8Text.h"

namespace oskel::protocol {

namespace {
template <class R> Bytes buildRecord(Command command, const R& record)
{
    const auto body = record.encode();
    return buildMessage(command, body);
}
} // namespace

Bytes buildMessage(Command command, std::span<const std::uint8_t> body, std::string_view text1, std::string_view text2)
{
    const auto header = TMsgHeader::make(command, static_cast<std::int32_t>(body.size())).encode();
    Bytes out(header.size() + body.size() + text1.size() + text2.size());
    std::uint8_t* p = out.data();
    const auto put = [&p](const void* data, std::size_t size) {
        if (size > 0)
            std::memcpy(p, data, size);
        p += size;
    };
    put(header.data(), header.size());
    put(body.data(), body.size());
    put(text1.data(), text1.size());
    put(text2.data(), text2.size());
    return out;
}

Bytes buildLogin(const TLoginRecord& record)
{
    const auto body = record.encode();
    return buildMessage(Command::Login, body);
}

Bytes buildSucLog(TLoginReply reply, std::string_view directory, std::string_view onlineList)
{
    reply.DirectoryLen = static_cast<std::int32_t>(directory.size());
    reply.OnlineListLen = static_cast<std::int32_t>(onlineList.size());
    const auto body = reply.encode();
    return buildMessage(Command::SucLog, body, directory, onlineList);
}

Bytes buildFailLog(std::string_view reason)
{
    TFailLogRecord r;
    r.Reason = std::string(reason);
    return buildRecord(Command::FailLog, r);
}

Bytes buildKikOut(std::string_view reason)
{
    TKikOutRecord r;
    r.Reason = std::string(reason);
    return buildRecord(Command::KikOut, r);
}

Bytes buildStatus(const TStatusRecord& record)
{
    return buildRecord(Command::Status, record);
}

Bytes buildChat(TChatRecord record, std::string_view text)
{
    text = cutUtf8(text, kMaxChatTextBytes);
    record.TextLen = static_cast<std::uint16_t>(text.size());
    const auto body = record.encode();
    return buildMessage(Command::Chat, body, text);
}

Bytes buildMultChat(TMultChatRecord record, std::string_view memberList, std::string_view text)
{
    memberList = cutUtf8(memberList, kMaxChatTextBytes);
    text = cutUtf8(text, kMaxChatTextBytes);
    record.MemberListLen = static_cast<std::uint16_t>(memberList.size());
    record.TextLen = static_cast<std::uint16_t>(text.size());
    const auto body = record.encode();
    return buildMessage(Command::MultChat, body, memberList, text);
}

Bytes buildFileSend(const TFileSendRecord& record)
{
    return buildRecord(Command::FileSend, record);
}
Bytes buildChgPass(const TChgPassRecord& record)
{
    return buildRecord(Command::ChgPass, record);
}
Bytes buildChgInfo(const TChgInfoRecord& record)
{
    return buildRecord(Command::ChgInfo, record);
}
Bytes buildAVInvite(const TAVInviteRecord& record)
{
    return buildRecord(Command::AVInvite, record);
}
Bytes buildAlive()
{
    return buildMessage(Command::Alive, {});
}

} // namespace oskel::protocol
