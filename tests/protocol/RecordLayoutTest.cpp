// Every record against a table of its fields' offsets and sizes, written here apart from
// the library's own field lists. Each string field is filled to its full capacity with
// its own letter and each number gets its own value, so any wrong offset, size or
// overlap shows up as a difference from the bytes the table predicts.

#include <gtest/gtest.h>

#include <cstring>
#include <variant>
#include <vector>

#include "protocol/ConversationRecords.h"
#include "protocol/DatagramRecords.h"
#include "protocol/MsgHeader.h"
#include "protocol/SessionRecords.h"

using namespace oskel::protocol;

namespace {

enum class Kind { Char, ShortString, Flag, U8, U16, I32 };

template <class R>
using Member = std::variant<std::string R::*, bool R::*, std::uint8_t R::*, std::uint16_t R::*, std::int32_t R::*>;

template <class R> struct FieldRow {
    const char* name;
    std::size_t offset;
    std::size_t size;
    Kind kind;
    Member<R> member;
};

// Fills the record and writes what the table says the bytes must be.
template <class R> std::vector<std::uint8_t> fillAndPredict(R& record, const std::vector<FieldRow<R>>& rows)
{
    std::vector<std::uint8_t> expected(R::kSize, 0);
    int index = 0;
    for (const auto& row : rows) {
        ++index;
        std::uint8_t* at = expected.data() + row.offset;
        switch (row.kind) {
        case Kind::Char: {
            const std::string value(row.size - 1, static_cast<char>('A' + index % 26));
            record.*std::get<std::string R::*>(row.member) = value;
            std::memcpy(at, value.data(), value.size());
            break;
        }
        case Kind::ShortString: {
            const std::string value(row.size - 1, static_cast<char>('a' + index % 26));
            record.*std::get<std::string R::*>(row.member) = value;
            at[0] = static_cast<std::uint8_t>(value.size());
            std::memcpy(at + 1, value.data(), value.size());
            break;
        }
        case Kind::Flag:
            record.*std::get<bool R::*>(row.member) = true;
            at[0] = 1;
            break;
        case Kind::U8:
            record.*std::get<std::uint8_t R::*>(row.member) = static_cast<std::uint8_t>(0x80 + index);
            at[0] = static_cast<std::uint8_t>(0x80 + index);
            break;
        case Kind::U16: {
            const auto v = static_cast<std::uint16_t>(0xA100 + index);
            record.*std::get<std::uint16_t R::*>(row.member) = v;
            at[0] = static_cast<std::uint8_t>(v & 0xFF);
            at[1] = static_cast<std::uint8_t>(v >> 8);
            break;
        }
        case Kind::I32: {
            const std::int32_t v = -0x01020300 - index;
            record.*std::get<std::int32_t R::*>(row.member) = v;
            const auto u = static_cast<std::uint32_t>(v);
            for (int b = 0; b < 4; ++b)
                at[b] = static_cast<std::uint8_t>(u >> (8 * b));
            break;
        }
        }
    }
    return expected;
}

template <class R> void checkLayout(std::size_t size, const std::vector<FieldRow<R>>& rows)
{
    ASSERT_EQ(R::kSize, size);
    // The table covers the record without overlaps.
    std::vector<int> owner(size, 0);
    for (const auto& row : rows) {
        ASSERT_LE(row.offset + row.size, size) << row.name;
        for (std::size_t i = row.offset; i < row.offset + row.size; ++i) {
            EXPECT_EQ(owner[i], 0) << row.name << " overlaps at byte " << i;
            owner[i] = 1;
        }
    }
    R record{};
    const std::vector<std::uint8_t> expected = fillAndPredict(record, rows);
    const auto encoded = record.encode();
    ASSERT_EQ(std::vector<std::uint8_t>(encoded.begin(), encoded.end()), expected);

    const R decoded = R::decode(expected);
    const auto again = decoded.encode();
    EXPECT_EQ(std::vector<std::uint8_t>(again.begin(), again.end()), expected) << "round trip";
}

} // namespace

TEST(RecordLayout, login_reply)
{
    using R = TLoginReply;
    checkLayout<R>(152, {{"FirstName", 0, 21, Kind::Char, &R::FirstName},
                         {"ServerAddrs", 21, 51, Kind::Char, &R::ServerAddrs},
                         {"Organisation", 72, 51, Kind::Char, &R::Organisation},
                         {"TcpPort", 123, 2, Kind::U16, &R::TcpPort},
                         {"FtpPort", 125, 2, Kind::U16, &R::FtpPort},
                         {"UdpPort", 127, 2, Kind::U16, &R::UdpPort},
                         {"Rights", 129, 10, Kind::Char, &R::Rights},
                         {"EncryptMsg", 139, 1, Kind::Flag, &R::EncryptMsg},
                         {"FileSizeLimit", 140, 4, Kind::I32, &R::FileSizeLimit},
                         {"DirectoryLen", 144, 4, Kind::I32, &R::DirectoryLen},
                         {"OnlineListLen", 148, 4, Kind::I32, &R::OnlineListLen}});
}

TEST(RecordLayout, session_records)
{
    checkLayout<TFailLogRecord>(101, {{"Reason", 0, 101, Kind::Char, &TFailLogRecord::Reason}});
    checkLayout<TKikOutRecord>(256, {{"Reason", 0, 256, Kind::Char, &TKikOutRecord::Reason}});
    checkLayout<TStatusRecord>(32, {{"UserID", 0, 21, Kind::Char, &TStatusRecord::UserID},
                                    {"Status", 21, 11, Kind::ShortString, &TStatusRecord::Status}});
}

TEST(RecordLayout, chat)
{
    using R = TChatRecord;
    checkLayout<R>(161, {{"SenderID", 0, 21, Kind::Char, &R::SenderID},
                         {"SenderName", 21, 21, Kind::Char, &R::SenderName},
                         {"ReceiverID", 42, 21, Kind::Char, &R::ReceiverID},
                         {"ReceiverName", 63, 21, Kind::Char, &R::ReceiverName},
                         {"FontColor", 84, 17, Kind::Char, &R::FontColor},
                         {"FontName", 101, 31, Kind::Char, &R::FontName},
                         {"SendTime", 132, 21, Kind::Char, &R::SendTime},
                         {"FontSize", 153, 2, Kind::U16, &R::FontSize},
                         {"Bold", 155, 1, Kind::Flag, &R::Bold},
                         {"Italic", 156, 1, Kind::Flag, &R::Italic},
                         {"Underline", 157, 1, Kind::Flag, &R::Underline},
                         {"TextLen", 158, 2, Kind::U16, &R::TextLen},
                         {"Offline", 160, 1, Kind::Flag, &R::Offline}});
}

TEST(RecordLayout, multchat)
{
    using R = TMultChatRecord;
    // Bytes 41..122 are not used and stay zero.
    checkLayout<R>(244, {{"GroupID", 0, 41, Kind::Char, &R::GroupID},
                         {"SenderID", 123, 21, Kind::Char, &R::SenderID},
                         {"SenderName", 144, 21, Kind::Char, &R::SenderName},
                         {"MemberListLen", 165, 2, Kind::U16, &R::MemberListLen},
                         {"FontColor", 167, 17, Kind::Char, &R::FontColor},
                         {"FontName", 184, 31, Kind::Char, &R::FontName},
                         {"SendTime", 215, 21, Kind::Char, &R::SendTime},
                         {"FontSize", 236, 2, Kind::U16, &R::FontSize},
                         {"Bold", 238, 1, Kind::Flag, &R::Bold},
                         {"Italic", 239, 1, Kind::Flag, &R::Italic},
                         {"Underline", 240, 1, Kind::Flag, &R::Underline},
                         {"TextLen", 241, 2, Kind::U16, &R::TextLen},
                         {"Offline", 243, 1, Kind::Flag, &R::Offline}});
}

TEST(RecordLayout, filesend)
{
    using R = TFileSendRecord;
    checkLayout<R>(453, {{"SenderID", 0, 21, Kind::Char, &R::SenderID},
                         {"SenderName", 21, 21, Kind::Char, &R::SenderName},
                         {"ReceiverID", 42, 21, Kind::Char, &R::ReceiverID},
                         {"ReceiverName", 63, 21, Kind::Char, &R::ReceiverName},
                         {"Note", 84, 256, Kind::Char, &R::Note},
                         {"SendTime", 340, 21, Kind::Char, &R::SendTime},
                         {"FileName", 361, 51, Kind::Char, &R::FileName},
                         {"RegFileName", 412, 41, Kind::Char, &R::RegFileName}});
}

TEST(RecordLayout, account_records)
{
    checkLayout<TChgPassRecord>(42, {{"UserID", 0, 21, Kind::Char, &TChgPassRecord::UserID},
                                     {"NewPassword", 21, 21, Kind::Char, &TChgPassRecord::NewPassword}});
    using R = TChgInfoRecord;
    checkLayout<R>(580, {{"UserID", 0, 21, Kind::Char, &R::UserID},
                         {"FirstName", 21, 31, Kind::Char, &R::FirstName},
                         {"LastName", 52, 31, Kind::Char, &R::LastName},
                         {"Gender", 83, 11, Kind::Char, &R::Gender},
                         {"JobTitle", 94, 21, Kind::Char, &R::JobTitle},
                         {"EMail", 115, 21, Kind::Char, &R::EMail},
                         {"Address", 136, 51, Kind::Char, &R::Address},
                         {"PostCode", 187, 11, Kind::Char, &R::PostCode},
                         {"HandSet", 198, 21, Kind::Char, &R::HandSet},
                         {"Phone", 219, 21, Kind::Char, &R::Phone},
                         {"State", 240, 21, Kind::Char, &R::State},
                         {"City", 261, 21, Kind::Char, &R::City},
                         {"BirthDay", 282, 21, Kind::ShortString, &R::BirthDay},
                         {"Remark", 303, 256, Kind::Char, &R::Remark},
                         {"Fax", 559, 21, Kind::Char, &R::Fax}});
}

TEST(RecordLayout, datagram_records)
{
    checkLayout<TCServerRecord>(69, {{"Reserved", 0, 21, Kind::Char, &TCServerRecord::Reserved},
                                     {"ServerAddr", 21, 21, Kind::Char, &TCServerRecord::ServerAddr},
                                     {"SeenIP", 42, 21, Kind::Char, &TCServerRecord::SeenIP},
                                     {"SeenPort", 63, 6, Kind::Char, &TCServerRecord::SeenPort}});
    using I = TAVInviteRecord;
    checkLayout<I>(259, {{"CallID", 0, 41, Kind::Char, &I::CallID},
                         {"FromID", 41, 21, Kind::Char, &I::FromID},
                         {"FromName", 62, 21, Kind::Char, &I::FromName},
                         {"LocalAddrs", 83, 101, Kind::Char, &I::LocalAddrs},
                         {"PublicIP", 184, 21, Kind::Char, &I::PublicIP},
                         {"PublicPort", 205, 6, Kind::Char, &I::PublicPort},
                         {"ToID", 211, 21, Kind::Char, &I::ToID},
                         {"ToName", 232, 21, Kind::Char, &I::ToName},
                         {"IsVideo", 253, 1, Kind::Flag, &I::IsVideo},
                         {"DirectLan", 254, 1, Kind::Flag, &I::DirectLan},
                         {"Stage", 255, 4, Kind::I32, &I::Stage}});
    checkLayout<TAudioRecord>(43, {{"CallID", 0, 41, Kind::Char, &TAudioRecord::CallID},
                                   {"PayloadLen", 41, 2, Kind::U16, &TAudioRecord::PayloadLen}});
    using V = TVideoRecord;
    checkLayout<V>(55, {{"CallID", 0, 41, Kind::Char, &V::CallID},
                        {"FrameNo", 41, 4, Kind::I32, &V::FrameNo},
                        {"FragNo", 45, 1, Kind::U8, &V::FragNo},
                        {"LastFrag", 46, 1, Kind::Flag, &V::LastFrag},
                        {"Width", 47, 2, Kind::U16, &V::Width},
                        {"Height", 49, 2, Kind::U16, &V::Height},
                        {"ChunkLen", 51, 2, Kind::U16, &V::ChunkLen},
                        {"TotalLen", 53, 2, Kind::U16, &V::TotalLen}});
}

TEST(RecordLayout, header_and_login_forms)
{
    const auto header = TMsgHeader::make(Command::MultChat, 244).encode();
    const std::uint8_t expected[16] = {8, 'm', 'u', 'l', 't', 'c', 'h', 'a', 't', 0, 0, 0, 244, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(header.data(), expected, 16));

    TLoginRecord login;
    login.UserID = "alice";
    login.Password = std::string(20, 'P'); // the longest cipher text of the short form
    login.NoDirectory = true;
    auto bytes = login.encode();
    ASSERT_EQ(bytes.size(), 43u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 21), 20), login.Password);
    EXPECT_EQ(bytes[41], 0);
    EXPECT_EQ(bytes[42], 1);

    login.Password = std::string(32, 'Q'); // a 20-byte password
    bytes = login.encode();
    ASSERT_EQ(bytes.size(), 76u);
    for (std::size_t i = 21; i < 42; ++i)
        EXPECT_EQ(bytes[i], 0) << "short password field must be empty at " << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data() + 43), 32), login.Password);
    EXPECT_EQ(bytes[75], 0);
    const TLoginRecord back = TLoginRecord::decode(bytes);
    EXPECT_EQ(back.UserID, "alice");
    EXPECT_EQ(back.Password, login.Password);
    EXPECT_TRUE(back.NoDirectory);

    // A 76-byte body whose short field is filled keeps the short field.
    std::vector<std::uint8_t> mixed(76, 0);
    std::memcpy(mixed.data(), "bob", 3);
    std::memcpy(mixed.data() + 21, "SHORT", 5);
    std::memcpy(mixed.data() + 43, "LONG", 4);
    EXPECT_EQ(TLoginRecord::decode(mixed).Password, "SHORT");
}

TEST(RecordLayout, readers_take_char_fields_without_nul_and_any_nonzero_flag)
{
    std::vector<std::uint8_t> body(TStatusRecord::kSize, 0);
    std::memset(body.data(), 'x', 21); // no NUL inside the char[21]
    body[21] = 200;                    // a length byte beyond string[10]
    std::memset(body.data() + 22, 'y', 10);
    const auto status = TStatusRecord::decode(body);
    EXPECT_EQ(status.UserID, std::string(21, 'x'));
    EXPECT_EQ(status.Status, std::string(10, 'y'));

    std::vector<std::uint8_t> chat(TChatRecord::kSize, 0);
    chat[155] = 0x7F;
    chat[160] = 0xFF;
    const auto c = TChatRecord::decode(chat);
    EXPECT_TRUE(c.Bold);
    EXPECT_FALSE(c.Italic);
    EXPECT_TRUE(c.Offline);
    // Bytes after a NUL are not significant.
    std::memcpy(chat.data(), "ann\0zzz", 7);
    EXPECT_EQ(TChatRecord::decode(chat).SenderID, "ann");
}

// Writers cut a text to N-1 bytes and never split a UTF-8 character.
TEST(RecordLayout, cutting_never_splits_a_character)
{
    const std::string e = "\xC3\xA9";        // é, 2 bytes
    const std::string euro = "\xE2\x82\xAC"; // €, 3 bytes
    struct Case {
        std::size_t fieldSize;
        std::string text;
        std::string written;
    };
    const std::vector<Case> cases = {
        {21, std::string(20, 'a'), std::string(20, 'a')},
        {21, std::string(21, 'a'), std::string(20, 'a')},
        {21, std::string(18, 'a') + e, std::string(18, 'a') + e},
        {21, std::string(18, 'a') + e + "b", std::string(18, 'a') + e},
        {21, std::string(19, 'a') + e, std::string(19, 'a')},
        {21, std::string(20, 'a') + e, std::string(20, 'a')},
        {21, std::string(19, 'a') + euro, std::string(19, 'a')},
        {21, std::string(18, 'a') + euro, std::string(18, 'a')},
        {31, std::string(29, 'a') + e, std::string(29, 'a')},
        {31, std::string(28, 'a') + euro, std::string(28, 'a')},
        {51, std::string(49, 'a') + euro, std::string(49, 'a')},
        {51, std::string(48, 'a') + e + "x", std::string(48, 'a') + e},
        {256, std::string(254, 'a') + e, std::string(254, 'a')},
        {256, std::string(253, 'a') + e + "zz", std::string(253, 'a') + e},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> field(c.fieldSize, 0xEE);
        putCharField(field.data(), field.size(), c.text);
        EXPECT_EQ(getCharField(field.data(), field.size()), c.written)
            << "field " << c.fieldSize << ", text of " << c.text.size() << " bytes";
        EXPECT_EQ(field.back(), 0);
    }
    // The same rule through a record: a 20-character name of two-byte letters.
    TChatRecord chat;
    std::string name;
    for (int i = 0; i < 20; ++i)
        name += e;
    chat.SenderName = name;
    EXPECT_EQ(TChatRecord::decode(chat.encode()).SenderName, name.substr(0, 20));
}
