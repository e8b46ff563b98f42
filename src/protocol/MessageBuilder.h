#pragma once

// Complete TCP messages, ready to write: header, body record and trailing texts as one
// block. Builders fill the length fields of the texts themselves and cut texts that do
// not fit their uint16 length on a character boundary.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/ConversationRecords.h"
#include "protocol/DatagramRecords.h"
#include "protocol/MsgHeader.h"
#include "protocol/SessionRecords.h"

namespace oskel::protocol {

using Bytes = std::vector<std::uint8_t>;

Bytes buildMessage(Command command, std::span<const std::uint8_t> body, std::string_view text1 = {},
                   std::string_view text2 = {});

Bytes buildLogin(const TLoginRecord& record);
// Sets DirectoryLen and OnlineListLen from the texts.
Bytes buildSucLog(TLoginReply reply, std::string_view directory, std::string_view onlineList);
Bytes buildFailLog(std::string_view reason);
Bytes buildKikOut(std::string_view reason);
Bytes buildStatus(const TStatusRecord& record);
// Sets TextLen; a text over 65,535 bytes is cut.
Bytes buildChat(TChatRecord record, std::string_view text);
// Sets MemberListLen and TextLen; each is cut to 65,535 bytes.
Bytes buildMultChat(TMultChatRecord record, std::string_view memberList, std::string_view text);
Bytes buildFileSend(const TFileSendRecord& record);
Bytes buildChgPass(const TChgPassRecord& record);
Bytes buildChgInfo(const TChgInfoRecord& record);
// The relayed invitation over TCP; `Length` is always 259.
Bytes buildAVInvite(const TAVInviteRecord& record);
Bytes buildAlive();

} // namespace oskel::protocol
