// Sign-in, the reply's directory and online list, repeated sign-ins, presence.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

namespace {
std::string reasonOf(const Received& r)
{
    return r.record<protocol::TFailLogRecord>().Reason;
}
} // namespace

TEST(SignIn, outcomes)
{
    TestServer server;
    server.addUser("alice", "secret", "Sales");
    server.addUser("carol", "pw", "Sales");
    server.admin().setDisabled("carol", true);
    struct Case {
        const char* user;
        const char* password;
        const char* failure; // nullptr: signed in
    };
    const Case cases[] = {
        {"alice", "secret", nullptr},
        {"ALICE", "secret", nullptr}, // the account is found in other letter case
        {"alice", "Secret", "invalid password"},
        {"alice", "", "invalid password"},
        {"nobody", "secret", "invalid username"},
        {"carol", "pw", "account disabled"},
    };
    for (const auto& c : cases) {
        TestClient client(server.port());
        const auto reply = client.login(c.user, c.password);
        ASSERT_TRUE(reply) << c.user;
        if (!c.failure) {
            EXPECT_EQ(reply->command, Command::SucLog) << c.user;
            const auto r = reply->record<protocol::TLoginReply>();
            EXPECT_EQ(r.FirstName, "First alice");
            EXPECT_EQ(r.Rights, "111111111");
            EXPECT_EQ(r.TcpPort, server.port());
            EXPECT_EQ(r.UdpPort, server.udpPort());
            EXPECT_EQ(r.ServerAddrs, "127.0.0.1\r\n");
        } else {
            ASSERT_EQ(reply->command, Command::FailLog) << c.user;
            EXPECT_EQ(reasonOf(*reply), c.failure);
            const auto kick = client.next();
            ASSERT_TRUE(kick);
            EXPECT_EQ(kick->command, Command::KikOut);
            EXPECT_EQ(kick->record<protocol::TKikOutRecord>().Reason, "faillog");
        }
    }
}

TEST(SignIn, long_password_form)
{
    TestServer server;
    server.addUser("dave", "twenty-byte-password");
    TestClient client(server.port());
    const auto reply = client.login("dave", "twenty-byte-password");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->command, Command::SucLog);
}

TEST(SignIn, directory_and_online_list_bytes)
{
    ServerOptions options;
    options.organisation = "Example Works";
    TestServer server(options);
    server.addUser("alice", "a", "Sales", "Alice");
    server.addUser("bob", "b", {}, "Bob");
    server.addUser("eve", "e", "Gone", "Eve");
    server.admin().deleteDepartment("Gone", std::string("Sales"));
    server.admin().addDepartment("Gone");
    {
        // A user whose DeptID names no department, and one written by another tool with
        // a TAB in a detail and a birthday in another form.
        server.adminDb().sql() << "INSERT INTO T_USER (UserLog, FirstName, DeptID, Rights, City, Birthday, Disable) "
                                  "VALUES ('zed', 'Zed', '99', '10000000', 'Old\tTown', '1990-4-1', '0')";
        server.adminDb().sql() << "INSERT INTO T_USER (UserLog, FirstName, Disable) VALUES ('off', 'Off', 'True')";
    }
    TestClient waiting(server.port()); // a connection that never signs in
    TestClient client(server.port());
    const auto reply = client.login("alice", "a", false);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->command, Command::SucLog);
    const auto r = reply->record<protocol::TLoginReply>();
    EXPECT_EQ(r.Organisation, "Example Works");
    EXPECT_EQ(r.EncryptMsg, false);
    EXPECT_EQ(r.FileSizeLimit, 3);
    EXPECT_EQ(static_cast<std::size_t>(r.DirectoryLen), reply->text1.size());
    const std::string sales = std::to_string(server.admin().directory()->findDepartment("Sales")->ID);
    EXPECT_EQ(reply->text1, "alice\talice\tAlice\tLast\t" + sales +
                                "\tSales\t\t\t\t\t\t\t\t\t\t\t\tFalse\t\r\n"
                                "bob\tbob\tBob\tLast\t0\tOthers\t\t\t\t\t\t\t\t\t\t\t\tFalse\t\r\n"
                                "eve\teve\tEve\tLast\t" +
                                sales +
                                "\tSales\t\t\t\t\t\t\t\t\t\t\t\tFalse\t\r\n"
                                "zed\tzed\tZed\t\t0\tOthers\t\t\t\t\t\t\t\t\tOld Town\t1990-04-01\t\tFalse\t\r\n");
    EXPECT_EQ(reply->text2, "New sign in\tOffline\r\nalice\tOffline\r\n");

    // The flag byte set: no directory at all.
    TestClient again(server.port());
    const auto second = again.login("bob", "b", true);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->record<protocol::TLoginReply>().DirectoryLen, 0);
    EXPECT_TRUE(second->text1.empty());
    EXPECT_EQ(second->text2, "New sign in\tOffline\r\nalice\tOffline\r\nbob\tOffline\r\n");
}

TEST(SignIn, users_added_by_another_tool_and_plain_passwords)
{
    TestServer server;
    TestClient first(server.port());
    ASSERT_EQ(first.login("kim", "plain")->command, Command::FailLog);
    // Another tool adds a user with a plain-text password while the server runs.
    server.adminDb().sql() << "INSERT INTO T_USER (UserLog, FirstName, PassWd, Rights, Disable) VALUES "
                              "('kim', 'Kim', 'plain', '11111111', 0)";
    TestClient second(server.port());
    const auto ok = second.login("KIM", "plain");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->command, Command::SucLog);
    // The plain text is replaced by its hash, and the password still signs in.
    std::string stored;
    for (int i = 0; i < 200; ++i) {
        server.adminDb().sql() << "SELECT PassWd FROM T_USER WHERE UserLog = 'kim'", soci::into(stored);
        if (stored != "plain")
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(server::PasswordHasher::isHash(stored)) << stored;
    TestClient third(server.port());
    EXPECT_EQ(third.login("kim", "plain")->command, Command::SucLog);
    TestClient fourth(server.port());
    EXPECT_EQ(fourth.login("kim", "wrong")->command, Command::FailLog);
}

TEST(SignIn, repeated_sign_in_in_other_case_kicks_the_earlier_session)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    TestClient first(server.port());
    ASSERT_EQ(first.login("alice", "a")->command, Command::SucLog);
    first.sendStatus("alice", "Online");
    ASSERT_TRUE(bob.nextOf(Command::Status));

    TestClient second(server.port());
    ASSERT_EQ(second.login("Alice", "a")->command, Command::SucLog);
    const auto kick = first.nextOf(Command::KikOut);
    ASSERT_TRUE(kick);
    EXPECT_EQ(kick->record<protocol::TKikOutRecord>().Reason,
              "You have been signed out because you sign in at another location.");
    EXPECT_TRUE(first.closedByServer());
    // alice is still signed in on the second connection: nobody hears "Offline" for her.
    EXPECT_TRUE(bob.silent(400ms));
    second.sendStatus("Alice", "Busy");
    const auto st = bob.nextOf(Command::Status);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->record<protocol::TStatusRecord>().Status, "Busy");
}

TEST(Presence, broadcast_to_every_signed_in_connection_and_refusals)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    TestClient bob(server.port());
    TestClient stranger(server.port()); // never signs in: hears nothing
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);

    for (const char* status : {"Online", "Away", "Busy", "N/A", "Invisible", "Offline"}) {
        alice.sendStatus("alice", status);
        for (TestClient* c : {&alice, &bob}) {
            const auto m = c->nextOf(Command::Status);
            ASSERT_TRUE(m) << status;
            const auto r = m->record<protocol::TStatusRecord>();
            EXPECT_EQ(r.UserID, "alice");
            EXPECT_EQ(r.Status, status);
        }
    }
    alice.sendStatus("alice", "online"); // not one of the six names
    alice.sendStatus("alice", "Sleeping");
    alice.sendStatus("bob", "Away"); // not her own user id
    EXPECT_TRUE(bob.silent(400ms));
    EXPECT_TRUE(stranger.silent(100ms));

    // The online list shows the last reported status.
    alice.sendStatus("alice", "Away");
    ASSERT_TRUE(bob.nextOf(Command::Status));
    TestClient carol(server.port());
    server.addUser("carol", "c");
    const auto reply = carol.login("carol", "c");
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->text2.find("alice\tAway\r\n"), std::string::npos) << reply->text2;

    // Leaving: "Offline" to the others; a connection that never signed in leaves unheard.
    ::shutdown(stranger.fd(), SHUT_RDWR);
    EXPECT_TRUE(bob.silent(400ms));
    ::shutdown(alice.fd(), SHUT_RDWR);
    const auto gone = bob.nextOf(Command::Status);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->record<protocol::TStatusRecord>().UserID, "alice");
    EXPECT_EQ(gone->record<protocol::TStatusRecord>().Status, "Offline");
}

TEST(SignIn, before_sign_in_only_login_and_alive_count)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);

    TestClient intruder(server.port());
    intruder.sendChat("alice", "bob", "forged");
    intruder.sendStatus("alice", "Online");
    intruder.send(protocol::buildAlive());
    EXPECT_TRUE(bob.silent(400ms));
    EXPECT_TRUE(intruder.silent(100ms));
    EXPECT_FALSE(server.waitForStored(1, 300ms));
    // The same connection can still sign in, and its own messages then count.
    ASSERT_EQ(intruder.login("alice", "a")->command, Command::SucLog);
    intruder.sendChat("alice", "bob", "real");
    const auto chat = bob.nextOf(Command::Chat);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->text1, "real");
}

TEST(SignIn, timeout_closes_connections_that_never_sign_in)
{
    ServerOptions options;
    options.signInTimeout = 1;
    TestServer server(options);
    server.addUser("alice", "a");
    TestClient idle(server.port());
    TestClient user(server.port());
    ASSERT_EQ(user.login("alice", "a")->command, Command::SucLog);
    EXPECT_TRUE(idle.closedByServer(4000ms));
    EXPECT_FALSE(user.closedByServer(500ms));
}

TEST(SignIn, messages_sent_while_the_password_is_checked_are_handled_in_order)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    // login, status and three chats in one write: the chats wait for the sign-in.
    TestClient alice(server.port());
    protocol::TLoginRecord login;
    login.UserID = "alice";
    login.Password = protocol::encipherText("a");
    login.NoDirectory = true;
    std::vector<std::uint8_t> burst = protocol::buildLogin(login);
    protocol::TStatusRecord st;
    st.UserID = "alice";
    st.Status = "Online";
    const auto status = protocol::buildStatus(st);
    burst.insert(burst.end(), status.begin(), status.end());
    for (const char* text : {"one", "two", "three"}) {
        protocol::TChatRecord c;
        c.SenderID = "alice";
        c.ReceiverID = "bob";
        const auto m = protocol::buildChat(c, text);
        burst.insert(burst.end(), m.begin(), m.end());
    }
    alice.send(burst);
    ASSERT_TRUE(bob.nextOf(Command::Status));
    for (const char* text : {"one", "two", "three"}) {
        const auto m = bob.nextOf(Command::Chat);
        ASSERT_TRUE(m) << text;
        EXPECT_EQ(m->text1, text);
    }
}

TEST(SignIn, a_replaced_connection_that_closes_after_the_newer_one_announces_nothing)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    server.addUser("carol", "c");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    TestClient carol(server.port());
    ASSERT_EQ(carol.login("carol", "c")->command, Command::SucLog);
    TestClient first(server.port());
    int small = 4096;
    ::setsockopt(first.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(first.login("alice", "a")->command, Command::SucLog);
    // first never reads again: what carol sends it stays queued (under the bound), so
    // the kikout of the repeated sign-in cannot leave and first lingers while closing.
    const std::string big(60000, 'x');
    for (int i = 0; i < 110; ++i) // 6.6 MB: more than the kernel buffers, less than the bound
        carol.sendChat("carol", "alice", big);
    while (bob.next(300ms)) {
    }
    {
        TestClient second(server.port());
        ASSERT_EQ(second.login("alice", "a")->command, Command::SucLog);
    } // the newer connection goes first: alice is offline now

    int offline = 0;
    const auto until = std::chrono::steady_clock::now() + 7s; // first is closed within 5 s
    while (std::chrono::steady_clock::now() < until) {
        if (auto m = bob.next(200ms); m && m->command == Command::Status) {
            const auto st = m->record<protocol::TStatusRecord>();
            offline += st.UserID == "alice" && st.Status == "Offline";
        }
    }
    EXPECT_EQ(offline, 1);
}
