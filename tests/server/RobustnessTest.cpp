// Bad input and slow readers affect only their own connection.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <cstring>
#include <random>

#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

TEST(Robustness, a_client_that_stops_reading_is_cut_off_and_the_others_go_on)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    server.addUser("sloth", "s");
    TestClient alice(server.port()), bob(server.port()), sloth(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    int small = 4096;
    ::setsockopt(sloth.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(sloth.login("sloth", "s")->command, Command::SucLog);

    // 12 MiB of chat for sloth, which never reads; bob keeps getting his messages. Every
    // "status" bob sees on the way is kept: sloth's "Offline" may come at any point.
    bool slothLeft = false;
    const auto nextChatOfBob = [&] {
        while (auto m = bob.next(5000ms)) {
            if (m->command == Command::Chat)
                return std::optional<Received>(m);
            if (m->command == Command::Status) {
                const auto st = m->record<protocol::TStatusRecord>();
                slothLeft = slothLeft || (st.UserID == "sloth" && st.Status == "Offline");
            }
        }
        return std::optional<Received>();
    };
    const std::string big(60000, 'x');
    for (int i = 0; i < 210; ++i) {
        alice.sendChat("alice", "sloth", big);
        if (i % 50 == 0) {
            alice.sendChat("alice", "bob", "still here " + std::to_string(i));
            const auto m = nextChatOfBob();
            ASSERT_TRUE(m) << i;
            EXPECT_EQ(m->text1, "still here " + std::to_string(i));
        }
    }
    // sloth's queue passed its bound: it was disconnected and everybody heard it go.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!slothLeft && std::chrono::steady_clock::now() < deadline) {
        if (auto m = bob.next(200ms); m && m->command == Command::Status) {
            const auto st = m->record<protocol::TStatusRecord>();
            slothLeft = st.UserID == "sloth" && st.Status == "Offline";
        }
    }
    EXPECT_TRUE(slothLeft);
    alice.sendChat("alice", "bob", "after");
    EXPECT_EQ(bob.nextOf(Command::Chat)->text1, "after");
}

TEST(Robustness, malformed_input_closes_only_that_connection)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);

    const auto header = [](std::string_view name, std::int32_t length) {
        protocol::TMsgHeader h;
        h.NameLength = static_cast<std::uint8_t>(name.size());
        std::memcpy(h.Name.data(), name.data(), name.size());
        h.Length = length;
        const auto a = h.encode();
        return std::vector<std::uint8_t>(a.begin(), a.end());
    };
    std::mt19937 rng(7);
    std::vector<std::uint8_t> noise(4096);
    for (auto& b : noise)
        b = static_cast<std::uint8_t>(rng());
    const std::vector<std::vector<std::uint8_t>> attacks = {
        header("chat", 100000),   // oversized
        header("login", 1 << 30), // absurd
        header("zzz", 70000),     // unknown and too large to skip
        header("chat", -1),       noise,
    };
    for (const auto& attack : attacks) {
        TestClient bad(server.port());
        if (&attack != &attacks.back()) {
            ASSERT_EQ(bad.login("alice", "a")->command, Command::SucLog);
        }
        bad.send(attack);
        EXPECT_TRUE(bad.closedByServer()) << attack.size();
    }
    // bob is still served.
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    alice.sendChat("alice", "bob", "fine");
    EXPECT_EQ(bob.nextOf(Command::Chat)->text1, "fine");
}

TEST(Robustness, a_thousand_connections_that_never_sign_in_are_closed_and_nobody_hears_of_them)
{
    // Each connection costs a descriptor here and one in the server (same process).
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 2300)
        GTEST_SKIP() << "open-files limit " << limit.rlim_cur << " is too low";

    ServerOptions options;
    options.signInTimeout = 1;
    TestServer server(options);
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port()), bob(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    while (alice.next(300ms)) { // bob's arrival
    }

    std::vector<std::unique_ptr<TestClient>> idle;
    for (int i = 0; i < 1000; ++i) {
        idle.push_back(std::make_unique<TestClient>(server.port()));
        if (i % 3 == 0) // some say something that does not count before a sign-in
            idle.back()->sendChat("mallory", "alice", "hello");
    }
    std::size_t closed = 0;
    for (auto& c : idle)
        closed += c->closedByServer(5000ms);
    EXPECT_EQ(closed, idle.size());
    // Nothing was broadcast or delivered about them, and the signed-in go on.
    EXPECT_TRUE(alice.silent(300ms));
    alice.sendChat("alice", "bob", "still here");
    const auto m = bob.nextOf(Command::Chat);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text1, "still here");
}

TEST(Robustness, wrong_case_names_are_skipped_and_truncated_messages_go_nowhere)
{
    TestServer server;
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    while (bob.next(300ms)) { // alice's arrival
    }

    protocol::TChatRecord c;
    c.SenderID = "alice";
    c.ReceiverID = "bob";
    // "CHAT" is not "chat": an unknown name, skipped with its body; the stream stays in step.
    auto wrongCase = protocol::buildChat(c, "");
    std::memcpy(wrongCase.data() + 1, "CHAT", 4);
    auto burst = wrongCase;
    const auto good = protocol::buildChat(c, "after the skipped one");
    burst.insert(burst.end(), good.begin(), good.end());
    alice.send(burst);
    const auto m = bob.nextOf(Command::Chat);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text1, "after the skipped one");
    EXPECT_FALSE(alice.closedByServer(200ms));

    // A message cut off by the sender's end reaches nobody.
    {
        TestClient carol(server.port());
        server.addUser("carol", "c");
        ASSERT_EQ(carol.login("carol", "c")->command, Command::SucLog);
        protocol::TChatRecord cut;
        cut.SenderID = "carol";
        cut.ReceiverID = "bob";
        const auto whole = protocol::buildChat(cut, "never whole");
        carol.send(std::vector<std::uint8_t>(whole.begin(), whole.begin() + 100));
    }
    bool chatSeen = false;
    while (auto other = bob.next(500ms))
        chatSeen = chatSeen || other->command == Command::Chat;
    EXPECT_FALSE(chatSeen);
}
