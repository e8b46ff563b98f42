#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/MessageBuilder.h"
#include "protocol/StreamFramer.h"

using namespace oskel::protocol;

namespace {

struct Seen {
    Command command;
    std::string body;
    std::string text1;
    std::string text2;
};

struct Collector {
    StreamFramer framer;
    std::vector<Seen> seen;
    bool ok = true;

    explicit Collector(ReaderSide side) : framer(side) {}

    bool feed(const Bytes& bytes)
    {
        ok = framer.feed(bytes, [this](const Frame& f) {
            seen.push_back(
                {f.command, std::string(f.body.begin(), f.body.end()), std::string(f.text1), std::string(f.text2)});
        });
        return ok;
    }
    bool feedByteByByte(const Bytes& bytes)
    {
        for (std::uint8_t b : bytes)
            if (!feed(Bytes{b}))
                return false;
        return true;
    }
};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes rawHeader(std::string_view name, std::int32_t length, std::uint8_t nameLength = 0xFF)
{
    TMsgHeader h;
    h.NameLength = nameLength == 0xFF ? static_cast<std::uint8_t>(name.size()) : nameLength;
    std::memcpy(h.Name.data(), name.data(), std::min<std::size_t>(name.size(), 11));
    h.Length = length;
    const auto a = h.encode();
    return Bytes(a.begin(), a.end());
}

TChatRecord chatFrom(std::string from, std::string to)
{
    TChatRecord r;
    r.SenderID = std::move(from);
    r.ReceiverID = std::move(to);
    r.FontName = "Sans";
    return r;
}

TStatusRecord statusOf(std::string user, std::string status)
{
    TStatusRecord r;
    r.UserID = std::move(user);
    r.Status = std::move(status);
    return r;
}

} // namespace

TEST(StreamFramer, two_messages_in_one_read_and_the_same_byte_by_byte)
{
    TMultChatRecord group;
    group.SenderID = "alice";
    const Bytes stream =
        concat({buildChat(chatFrom("alice", "bob"), "hello"), buildMultChat(group, "bob\r\ncarol\r\n", "hi all")});
    for (bool byteByByte : {false, true}) {
        Collector c(ReaderSide::Server);
        ASSERT_TRUE(byteByByte ? c.feedByteByByte(stream) : c.feed(stream)) << c.framer.error();
        ASSERT_EQ(c.seen.size(), 2u);
        EXPECT_EQ(c.seen[0].command, Command::Chat);
        EXPECT_EQ(
            TChatRecord::decode({reinterpret_cast<const std::uint8_t*>(c.seen[0].body.data()), c.seen[0].body.size()})
                .ReceiverID,
            "bob");
        EXPECT_EQ(c.seen[0].text1, "hello");
        EXPECT_EQ(c.seen[1].command, Command::MultChat);
        EXPECT_EQ(c.seen[1].text1, "bob\r\ncarol\r\n");
        EXPECT_EQ(c.seen[1].text2, "hi all");
        EXPECT_EQ(c.framer.bufferedBytes(), 0u);
    }
}

TEST(StreamFramer, every_split_point_gives_the_same_messages)
{
    const Bytes stream = concat({buildStatus(statusOf("alice", "Online")), buildChat(chatFrom("a", "b"), "xyz"),
                                 buildAlive(), buildChat(chatFrom("a", "b"), "")});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Collector c(ReaderSide::Server);
        ASSERT_TRUE(c.feed(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut))));
        ASSERT_TRUE(c.feed(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end())));
        ASSERT_EQ(c.seen.size(), 4u) << "cut at " << cut;
        EXPECT_EQ(c.seen[1].text1, "xyz");
        EXPECT_EQ(c.seen[2].command, Command::Alive);
        EXPECT_EQ(c.seen[3].text1, "");
    }
}

TEST(StreamFramer, empty_chat_text_is_followed_at_once_by_the_next_header)
{
    Collector c(ReaderSide::Client);
    ASSERT_TRUE(c.feed(concat({buildChat(chatFrom("a", "b"), ""), buildStatus(statusOf("a", "Away"))})));
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0].command, Command::Chat);
    EXPECT_TRUE(c.seen[0].text1.empty());
    EXPECT_EQ(c.seen[1].command, Command::Status);
}

TEST(StreamFramer, alive_between_messages_changes_nothing)
{
    Collector withAlive(ReaderSide::Server);
    ASSERT_TRUE(withAlive.feed(concat(
        {buildChat(chatFrom("a", "b"), "one"), buildAlive(), buildAlive(), buildChat(chatFrom("a", "b"), "two")})));
    ASSERT_EQ(withAlive.seen.size(), 4u);
    EXPECT_EQ(withAlive.seen[1].command, Command::Alive);
    EXPECT_EQ(withAlive.seen[3].text1, "two");
}

TEST(StreamFramer, unknown_and_wrong_case_names_are_skipped_with_their_body)
{
    // "Chat" is not "chat"; its 161-byte body (plus what would be a text) is skipped as
    // an unknown command's body, and framing resumes at the next header.
    Bytes wrongCase = buildChat(chatFrom("a", "b"), "");
    wrongCase[1] = 'C';
    Bytes padded = buildStatus(statusOf("a", "Busy"));
    padded[8] = 'Q'; // bytes after the significant name are ignored
    padded[11] = 0xFF;
    const Bytes stream = concat({wrongCase, rawHeader("zzz", 5), Bytes{1, 2, 3, 4, 5}, rawHeader("chat", 0, 3), padded,
                                 buildStatus(statusOf("b", "Online"))});
    Collector c(ReaderSide::Server);
    ASSERT_TRUE(c.feedByteByByte(stream)) << c.framer.error();
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0].command, Command::Status);
    EXPECT_EQ(c.seen[1].command, Command::Status);
    EXPECT_EQ(c.framer.skippedMessages(), 3u);
}

TEST(StreamFramer, each_side_skips_what_only_the_other_side_reads)
{
    Collector server(ReaderSide::Server);
    ASSERT_TRUE(server.feed(concat({buildKikOut("bye"), buildStatus(statusOf("a", "Online"))})));
    ASSERT_EQ(server.seen.size(), 1u);
    EXPECT_EQ(server.seen[0].command, Command::Status);

    TLoginRecord login;
    login.UserID = "a";
    login.Password = "x";
    Collector client(ReaderSide::Client);
    ASSERT_TRUE(client.feed(concat({buildLogin(login), buildFailLog("invalid username")})));
    ASSERT_EQ(client.seen.size(), 1u);
    EXPECT_EQ(client.seen[0].command, Command::FailLog);
}

TEST(StreamFramer, fixed_size_reads_ignore_length)
{
    // The server reads "chgpass" at 42 and "chginfo" at 580 bytes, the client also
    // "faillog" at 101 and "kikout" at 256, whatever Length says.
    TChgPassRecord pass;
    pass.UserID = "alice";
    pass.NewPassword = "pw";
    Bytes chgpass = buildChgPass(pass);
    chgpass[12] = 99; // Length 99, body still 42
    Bytes kikout = buildKikOut("You are disconnected by server.");
    kikout[12] = 0xFF;
    kikout[13] = 0xFF;
    kikout[14] = 0xFF;
    kikout[15] = 0xFF; // Length -1
    Collector client(ReaderSide::Client);
    ASSERT_TRUE(client.feed(concat({chgpass, kikout, buildStatus(statusOf("a", "Online"))})));
    ASSERT_EQ(client.seen.size(), 3u);
    EXPECT_EQ(client.seen[0].body.size(), 42u);
    EXPECT_EQ(client.seen[1].command, Command::KikOut);
    EXPECT_EQ(client.seen[1].body.size(), 256u);
    EXPECT_EQ(client.seen[2].command, Command::Status);

    Collector server(ReaderSide::Server);
    ASSERT_TRUE(server.feed(concat({chgpass, buildStatus(statusOf("a", "Online"))})));
    ASSERT_EQ(server.seen.size(), 2u);
}

TEST(StreamFramer, length_violations_are_errors)
{
    Bytes chatBody(161, 0);
    Bytes suclogBody(152, 0);
    const auto withLengths = [](Bytes body, std::size_t at, std::int32_t value) {
        const auto u = static_cast<std::uint32_t>(value);
        for (int b = 0; b < 4; ++b)
            body[at + b] = static_cast<std::uint8_t>(u >> (8 * b));
        return body;
    };
    struct Case {
        const char* what;
        ReaderSide side;
        Bytes stream;
        const char* errorPart;
    };
    const std::vector<Case> cases = {
        {"chat with a short body", ReaderSide::Server, concat({rawHeader("chat", 160), chatBody}), "must be 161"},
        {"chat with a long body", ReaderSide::Server, rawHeader("chat", 100000), "must be 161"},
        {"negative status length", ReaderSide::Client, rawHeader("status", -32), "must be 32"},
        {"login of an unknown form", ReaderSide::Server, rawHeader("login", 50), "43 or 76"},
        {"unknown command beyond 64 KiB", ReaderSide::Server, rawHeader("bogus", 65537), "unknown command"},
        {"unknown command, negative length", ReaderSide::Client, rawHeader("\x01\x02", -1), "unknown command"},
        {"alive with a body", ReaderSide::Server, rawHeader("alive", 4), "must be 0"},
        {"avinvite not 259", ReaderSide::Client, rawHeader("avinvite", 275), "must be 259"},
        {"directory beyond the bound", ReaderSide::Client,
         concat({rawHeader("suclog", 152), withLengths(suclogBody, 144, 0x7FFFFFFF)}), "user directory"},
        {"negative online list", ReaderSide::Client,
         concat({rawHeader("suclog", 152), withLengths(suclogBody, 148, -5)}), "online list"},
    };
    for (const auto& c : cases) {
        Collector col(c.side);
        EXPECT_FALSE(col.feed(c.stream)) << c.what;
        EXPECT_TRUE(col.framer.failed()) << c.what;
        EXPECT_NE(col.framer.error().find(c.errorPart), std::string::npos) << c.what << ": " << col.framer.error();
        EXPECT_TRUE(col.seen.empty()) << c.what;
        // A failed framer stays failed and takes nothing more.
        EXPECT_FALSE(col.feed(buildAlive())) << c.what;
        EXPECT_LE(col.framer.bufferedBytes(), 16u + 161u) << c.what;
    }
}

TEST(StreamFramer, truncated_messages_wait_and_hold_only_what_came)
{
    const Bytes chat = buildChat(chatFrom("a", "b"), std::string(1000, 'x'));
    for (std::size_t keep :
         {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{100}, std::size_t{177}, chat.size() - 1}) {
        Collector c(ReaderSide::Server);
        ASSERT_TRUE(c.feed(Bytes(chat.begin(), chat.begin() + static_cast<std::ptrdiff_t>(keep))));
        EXPECT_TRUE(c.seen.empty()) << keep;
        EXPECT_EQ(c.framer.bufferedBytes(), keep);
    }
    // A declared directory of 60 MB with nothing behind it costs only the bytes that came.
    TLoginReply reply;
    Bytes suclog = buildSucLog(reply, "", "");
    suclog[16 + 144] = 0;
    suclog[16 + 145] = 0;
    suclog[16 + 146] = 0xC0;
    suclog[16 + 147] = 0x03; // 0x03C00000 = 62,914,560 bytes
    Collector c(ReaderSide::Client);
    ASSERT_TRUE(c.feed(suclog));
    EXPECT_EQ(c.framer.bufferedBytes(), suclog.size());
}

TEST(StreamFramer, sign_in_reply_with_large_directory)
{
    std::string directory;
    for (int i = 0; i < 20000; ++i)
        directory += "user" + std::to_string(i) + "\tuser\tFirst\tLast\t1\tSales\t\t\t\t\t\t\t\t\t\t\t\tFalse\t\r\n";
    const std::string online = "user1\tOnline\r\nNew sign in\tOffline\r\n";
    TLoginReply reply;
    reply.FirstName = "First";
    const Bytes stream = concat({buildSucLog(reply, directory, online), buildStatus(statusOf("user1", "Away"))});
    Collector c(ReaderSide::Client);
    for (std::size_t at = 0; at < stream.size(); at += 4096)
        ASSERT_TRUE(c.feed(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                 stream.begin() + static_cast<std::ptrdiff_t>(std::min(at + 4096, stream.size())))));
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0].command, Command::SucLog);
    EXPECT_EQ(c.seen[0].text1, directory);
    EXPECT_EQ(c.seen[0].text2, online);
    EXPECT_EQ(c.seen[1].command, Command::Status);
}

TEST(StreamFramer, long_password_login_form_is_framed)
{
    TLoginRecord login;
    login.UserID = "alice";
    login.Password = std::string(32, 'Z');
    Collector c(ReaderSide::Server);
    ASSERT_TRUE(c.feed(concat({buildLogin(login), buildAlive()})));
    ASSERT_EQ(c.seen.size(), 2u);
    EXPECT_EQ(c.seen[0].body.size(), 76u);
    const TLoginRecord back =
        TLoginRecord::decode({reinterpret_cast<const std::uint8_t*>(c.seen[0].body.data()), c.seen[0].body.size()});
    EXPECT_EQ(back.Password, login.Password);
}

TEST(MessageBuilder, cuts_chat_text_to_its_uint16_length)
{
    const std::string text = std::string(65534, 'a') + "\xE2\x82\xAC"; // € would end at 65,537
    const Bytes chat = buildChat(chatFrom("a", "b"), text);
    Collector c(ReaderSide::Client);
    ASSERT_TRUE(c.feed(chat));
    ASSERT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(c.seen[0].text1, std::string(65534, 'a'));
}
