// Routing of "chat", "multchat" and "filesend", the offline store, account changes.

#include <gtest/gtest.h>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

TEST(Routing, chat_reaches_the_addressee_written_in_other_case)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("Bob", "b");
    TestClient alice(server.port());
    TestClient bob(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    ASSERT_EQ(bob.login("BOB", "b")->command, Command::SucLog);
    alice.sendChat("alice", "bOb", "hello");
    const auto m = bob.nextOf(Command::Chat);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text1, "hello");
    const auto r = m->record<protocol::TChatRecord>();
    EXPECT_EQ(r.SenderID, "alice");
    EXPECT_EQ(r.ReceiverID, "bOb");
    EXPECT_FALSE(r.Offline);
    EXPECT_EQ(server.storedCount(), 0);
    // A forged sender is refused and nothing is stored.
    alice.sendChat("bob", "Bob", "forged");
    EXPECT_TRUE(bob.silent(300ms));
}

TEST(OfflineStore, chat_to_an_offline_user_arrives_at_sign_in_with_the_offline_flag)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    const std::string text = "it's Bob's 'quoted' text; DROP TABLE T_USER;--";
    alice.sendChat("alice", "BOB", text);
    alice.sendChat("alice", "bob", "second");
    ASSERT_TRUE(server.waitForStored(2));

    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    for (const std::string& expected : {text, std::string("second")}) {
        const auto m = bob.nextOf(Command::Chat);
        ASSERT_TRUE(m) << expected;
        EXPECT_EQ(m->text1, expected);
        const auto r = m->record<protocol::TChatRecord>();
        EXPECT_TRUE(r.Offline);
        EXPECT_EQ(r.SenderID, "alice");
        EXPECT_EQ(r.SendTime, "2026-12-11 10:00:00");
        EXPECT_EQ(r.FontName, ""); // stored rows keep no font
        EXPECT_EQ(r.FontSize, 0);
    }
    EXPECT_TRUE(server.waitForStored(0));
    // Not delivered twice.
    TestClient again(server.port());
    ASSERT_EQ(again.login("bob", "b")->command, Command::SucLog);
    EXPECT_TRUE(again.silent(400ms));
}

TEST(OfflineStore, group_message_to_three_with_one_offline)
{
    TestServer server;
    for (const char* u : {"alice", "bob", "carol", "dave"})
        server.addUser(u, "pw");
    TestClient alice(server.port()), bob(server.port()), carol(server.port());
    for (auto [c, u] : {std::pair{&alice, "alice"}, std::pair{&bob, "bob"}, std::pair{&carol, "carol"}})
        ASSERT_EQ(c->login(u, "pw")->command, Command::SucLog);

    protocol::TMultChatRecord r;
    r.GroupID = "{5D1E7A90-2B3C-4F4D-8E6F-708192A3B4C5}";
    r.SenderID = "alice";
    r.SenderName = "alice";
    r.SendTime = "2026-12-11 10:01:00";
    const std::string members = "bob\r\nCAROL\r\ndave\r\nBob\r\n"; // bob twice: one copy
    alice.send(protocol::buildMultChat(r, members, "hi all"));
    for (TestClient* c : {&bob, &carol}) {
        const auto m = c->nextOf(Command::MultChat);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->text1, members);
        EXPECT_EQ(m->text2, "hi all");
    }
    EXPECT_TRUE(bob.silent(300ms));
    ASSERT_TRUE(server.waitForStored(1));

    TestClient dave(server.port());
    ASSERT_EQ(dave.login("dave", "pw")->command, Command::SucLog);
    const auto m = dave.nextOf(Command::MultChat);
    ASSERT_TRUE(m);
    const auto rec = m->record<protocol::TMultChatRecord>();
    EXPECT_TRUE(rec.Offline);
    EXPECT_EQ(rec.GroupID, r.GroupID);
    EXPECT_EQ(rec.SenderID, "alice");
    EXPECT_EQ(m->text1, members);
    EXPECT_EQ(m->text2, "hi all");
    EXPECT_TRUE(server.waitForStored(0));
}

TEST(OfflineStore, file_offer_to_an_offline_user)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    protocol::TFileSendRecord f;
    f.SenderID = "alice";
    f.SenderName = "Alice";
    f.ReceiverID = "bob";
    f.ReceiverName = "Bob";
    f.Note = "the figures";
    f.SendTime = "2026-12-11 10:02:00";
    f.FileName = "report.pdf";
    f.RegFileName = "{C3D4E5F6-0718-4293-A4B5-C6D7E8F90A1B}";
    alice.send(protocol::buildFileSend(f));
    ASSERT_TRUE(server.waitForStored(1));
    std::string reg;
    server.adminDb().sql() << "SELECT REGFILENAME FROM T_UNDELIVEMSG", soci::into(reg);
    EXPECT_EQ(reg, f.RegFileName);

    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    const auto m = bob.nextOf(Command::FileSend);
    ASSERT_TRUE(m);
    const auto r = m->record<protocol::TFileSendRecord>();
    EXPECT_EQ(r.SenderID, "alice");
    EXPECT_EQ(r.SenderName, "Alice");
    EXPECT_EQ(r.ReceiverName, "Bob");
    EXPECT_EQ(r.Note, "the figures");
    EXPECT_EQ(r.FileName, "report.pdf");
    EXPECT_EQ(r.RegFileName, f.RegFileName);
    EXPECT_EQ(r.SendTime, f.SendTime);
    EXPECT_TRUE(server.waitForStored(0));
}

TEST(OfflineStore, messages_queued_for_a_closing_connection_are_stored)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    constexpr int kMessages = 2000;
    {
        // bob does not read while alice writes him more than the kernel's buffers hold
        // (about 6 MB), then goes away.
        TestClient bob(server.port());
        int small = 4096;
        ::setsockopt(bob.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
        for (int i = 0; i < kMessages; ++i)
            alice.sendChat("alice", "bob", std::to_string(i) + " " + std::string(3000, '.'));
        alice.sendChat("alice", "alice", "sync"); // all of alice's messages have been routed
        ASSERT_TRUE(alice.nextOf(Command::Chat, 5000ms));
    }
    // What the server still held for bob is stored, in order: the tail of the messages.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    long long stored = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const long long now = server.storedCount();
        if (now > 0 && now == stored)
            break;
        stored = now;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_GT(stored, 0);
    std::vector<std::string> texts(static_cast<std::size_t>(stored));
    server.adminDb().sql() << "SELECT MSG FROM T_UNDELIVEMSG ORDER BY ID", soci::into(texts);
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(stored));
    const int first = std::stoi(texts.front());
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(std::stoi(texts[i]), first + static_cast<int>(i));
    EXPECT_EQ(std::stoi(texts.back()), kMessages - 1);
}

TEST(Account, chgpass_and_chginfo_echo_to_the_sender_only)
{
    TestServer server;
    server.addUser("alice", "old");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    TestClient alice2(server.port());
    TestClient bob(server.port());
    ASSERT_EQ(alice.login("alice", "old")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);

    protocol::TChgPassRecord pass;
    pass.UserID = "ALICE";
    pass.NewPassword = "new-password";
    alice.send(protocol::buildChgPass(pass));
    const auto echo = alice.nextOf(Command::ChgPass);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->bytes, protocol::buildChgPass(pass));
    EXPECT_TRUE(bob.silent(200ms));
    ASSERT_EQ(alice2.login("alice", "new-password")->command, Command::SucLog);
    ASSERT_TRUE(alice.nextOf(Command::KikOut)); // the second sign-in replaced the first

    protocol::TChgInfoRecord info;
    info.UserID = "alice";
    info.FirstName = "Alice";
    info.LastName = "O'Neil";
    info.City = "Lyon\tCentre";
    info.BirthDay = "1990-04-01";
    alice2.send(protocol::buildChgInfo(info));
    ASSERT_TRUE(alice2.nextOf(Command::ChgInfo));
    info.BirthDay = ""; // empty: the birthday stays
    info.Remark = "back Monday";
    alice2.send(protocol::buildChgInfo(info));
    ASSERT_TRUE(alice2.nextOf(Command::ChgInfo));
    info.BirthDay = "not a date";
    alice2.send(protocol::buildChgInfo(info));
    ASSERT_TRUE(alice2.nextOf(Command::ChgInfo));
    EXPECT_TRUE(bob.silent(200ms));
    const auto dir = server.admin().directory();
    const auto* u = dir->findUser("alice");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->LastName, "O'Neil");
    EXPECT_EQ(u->City, "Lyon Centre");
    EXPECT_EQ(u->Birthday, "1990-04-01");
    EXPECT_EQ(u->Remark, "back Monday");

    // For another user id, or with a password of 21 bytes: refused, no echo, no change.
    protocol::TChgPassRecord other;
    other.UserID = "bob";
    other.NewPassword = "hijack";
    alice2.send(protocol::buildChgPass(other));
    protocol::TChgInfoRecord otherInfo;
    otherInfo.UserID = "bob";
    otherInfo.FirstName = "Hijacked";
    alice2.send(protocol::buildChgInfo(otherInfo));
    EXPECT_TRUE(alice2.silent(400ms));
    TestClient bob2(server.port());
    ASSERT_EQ(bob2.login("bob", "b")->command, Command::SucLog);
    EXPECT_EQ(server.admin().directory()->findUser("bob")->FirstName, "First bob");
}

TEST(OfflineStore, encryption_switch_at_start_converts_stored_texts)
{
    ServerOptions options;
    options.encryptMsg = false;
    TestServer server(options);
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    alice.sendChat("alice", "bob", "plain one");
    protocol::TMultChatRecord g;
    g.SenderID = "alice";
    alice.send(protocol::buildMultChat(g, "bob\r\n", "plain group"));
    protocol::TFileSendRecord f;
    f.SenderID = "alice";
    f.ReceiverID = "bob";
    f.Note = "a note";
    alice.send(protocol::buildFileSend(f));
    ASSERT_TRUE(server.waitForStored(3));

    server.restart([](server::ServerSettings& s) { s.EncryptMsg = true; });
    std::vector<std::string> texts(3);
    std::vector<std::string> types(3);
    server.adminDb().sql() << "SELECT MSG, MSGTYPE FROM T_UNDELIVEMSG ORDER BY ID", soci::into(texts),
        soci::into(types);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(protocol::decipherText(texts[0]), "plain one");
    EXPECT_EQ(protocol::decipherText(texts[1]), "plain group");
    EXPECT_EQ(texts[2], "a note"); // file offers are never converted

    // The sign-in reply carries the new flag.
    TestClient bob(server.port());
    const auto reply = bob.login("bob", "b");
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->record<protocol::TLoginReply>().EncryptMsg);
    const auto m = bob.nextOf(Command::Chat);
    ASSERT_TRUE(m);
    EXPECT_EQ(protocol::decipherText(m->text1), "plain one");

    // Back: texts that do not decipher are left as they are.
    const std::string enciphered = protocol::encipherText("waiting text");
    server.adminDb().sql() << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES "
                              "('x', 'nobody', 'MSG', 'not cipher text')";
    server.adminDb().sql() << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES "
                              "('x', 'nobody', 'MULTIMSG', :m)",
        soci::use(enciphered);
    server.restart([](server::ServerSettings& s) { s.EncryptMsg = false; });
    std::vector<std::string> after(10);
    server.adminDb().sql() << "SELECT MSG FROM T_UNDELIVEMSG WHERE RECEIVERID = 'nobody' ORDER BY ID",
        soci::into(after);
    EXPECT_EQ(after, (std::vector<std::string>{"not cipher text", "waiting text"}));
}
