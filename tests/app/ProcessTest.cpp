// OskelServer and oskel-send as processes: the command line, the headless service,
// and kill -9 at awkward moments.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include "ServerProcess.h"

using namespace oskel::test;
using oskel::protocol::Command;


TEST(CommandLine, dept_and_user_commands_and_their_exit_status)
{
    ServerProcess s;
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string outOrErr;  // a part of standard output (status 0) or standard error
    };
    const std::vector<Case> cases = {
        {{"dept", "add", "Sales"}, "", 0, ""},
        {{"dept", "add", "Sales"}, "", 1, "exists already"},
        {{"dept", "add", "Support", "--rights", "10100000"}, "", 0, ""},
        {{"user", "add", "alice", "--first", "Alice", "--dept", "Sales"}, "secret\n", 0, ""},
        {{"user", "add", "ALICE", "--first", "Other"}, "pw\n", 1, "is taken"},
        {{"user", "add", "bob", "--first", "Bob", "--dept", "Nowhere"}, "pw\n", 1, "no department"},
        {{"user", "add", "bob", "--first", "Bob"}, "\n", 1, "1 to 20 bytes"},
        {{"user", "add", "bob", "--first", "Bob"}, std::string(21, 'p') + "\n", 1, "1 to 20 bytes"},
        {{"user", "add", "bob"}, "pw\n", 2, "--first"},
        {{"user", "add", "bob", "--first", "Bob", "--dept", "Support"}, "pw\n", 0, ""},
        {{"dept", "rights", "Sales", "10100000"}, "", 0, ""},
        {{"dept", "rights", "Sales", "12"}, "", 1, "rights string"},
        {{"user", "list"}, "", 0, "alice\tAlice\t\tSales\t10100000\tenabled\nbob\tBob\t\tSupport\t10100000\tenabled\n"},
        {{"dept", "delete", "Sales"}, "", 1, "--move-to"},
        {{"dept", "delete", "Sales", "--move-to", "Support"}, "", 0, ""},
        {{"user", "disable", "alice"}, "", 0, ""},
        {{"user", "list"}, "", 0, "alice\tAlice\t\tSupport\t10100000\tdisabled\n"},
        {{"user", "passwd", "nobody"}, "pw\n", 1, "no user"},
        {{"dept", "delete", "Support", "--move-to", "Sales", "--delete-users"}, "", 2, "exclude each other"},
        {{"dept", "delete", "Support", "--delete-users"}, "", 0, ""},
        {{"user", "passwd", "alice"}, "pw\n", 1, "no user"},
        {{"user", "frobnicate"}, "", 2, "unknown user command"},
        {{"dept"}, "", 2, "missing"},
        {{"bogus"}, "", 2, "Usage:"},
    };
    for (const auto& c : cases) {
        const Result r = s.cli(c.args, c.input);
        std::string what;
        for (const auto& a : c.args)
            what += a + " ";
        EXPECT_EQ(r.status, c.status) << what << "\n" << r.err;
        if (!c.outOrErr.empty()) {
            EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.outOrErr), std::string::npos)
                << what << "\nout: " << r.out << "\nerr: " << r.err;
        }
    }
    const Result help = run({OSKEL_SERVER_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--headless"), std::string::npos);
}

TEST(Window, a_second_copy_in_the_same_session_ends_silently)
{
    ServerProcess s;
    const auto runtime = s.folder() / "runtime";
    std::filesystem::create_directory(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    s.start(true); // the window program starts its services by itself
    // A copy that did not end would wait in its window: `timeout` turns that into 124.
    const Result second = run({"/usr/bin/timeout", "10", OSKEL_SERVER_BIN, "--config",
                               (s.folder() / "config.ini").string()});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "");
    // The first copy goes on serving.
    TestClient probe(s.port());
    EXPECT_TRUE(probe.silent(50ms));
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("QT_QPA_PLATFORM");
}

TEST(CommandLine, a_database_that_cannot_be_opened)
{
    TempDir dir;
    std::ofstream(dir.path() / "config.ini") << "[Database]\nDriver=sqlite3\nDatabase=" << (dir.path() / "no" / "such" / "x.db").string() << "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--headless"}, std::vector<std::string>{"user", "list"}}) {
        std::vector<std::string> full{OSKEL_SERVER_BIN, "--config", (dir.path() / "config.ini").string()};
        full.insert(full.end(), args.begin(), args.end());
        const Result r = run(full);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err.rfind("Critical error occured. Please re-install the application.\n", 0), 0u) << r.err;
    }
}

TEST(Headless, first_message_with_oskel_send_and_a_clean_stop)
{
    ServerProcess s;
    ASSERT_EQ(s.cli({"dept", "add", "Sales"}).status, 0);
    ASSERT_EQ(s.cli({"user", "add", "alice", "--first", "Alice", "--dept", "Sales"}, "apw\n").status, 0);
    ASSERT_EQ(s.cli({"user", "add", "bob", "--first", "Bob"}, "bpw\n").status, 0);
    s.start();
    const std::string port = std::to_string(s.port());
    const Result sent = run({OSKEL_SEND_BIN, "--port", port, "--user", "alice", "--to", "bob", "--message",
                             "it's waiting for you", "--wait", "0.2"},
                            "apw\n");
    EXPECT_EQ(sent.status, 0) << sent.err;
    const Result wrong = run({OSKEL_SEND_BIN, "--port", port, "--user", "bob"}, "nope\n");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("invalid password"), std::string::npos) << wrong.err;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (s.stored() < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(s.stored(), 1);
    const Result got = run({OSKEL_SEND_BIN, "--port", port, "--user", "BOB", "--online", "--wait", "2"}, "bpw\n");
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_NE(got.out.find("alice (stored): it's waiting for you"), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("BOB\tOffline\r\n"), std::string::npos) << got.out;

    EXPECT_EQ(s.kill(SIGTERM), 0);
    const std::string log = s.log();
    EXPECT_NE(log.find(" Server started.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  alice sign in.\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  BOB sign out.\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Server stoped\n"), std::string::npos) << log;
}

TEST(Headless, a_busy_port_leaves_the_server_stopped)
{
    ServerProcess s;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(s.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(fd, 1);
    const Result r = s.cli({"--headless"});
    ::close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not start"), std::string::npos) << r.err;
}

TEST(KillNine, stored_messages_survive_between_storing_and_delivering)
{
    ServerProcess s;
    ASSERT_EQ(s.cli({"user", "add", "alice", "--first", "Alice"}, "a\n").status, 0);
    ASSERT_EQ(s.cli({"user", "add", "bob", "--first", "Bob"}, "b\n").status, 0);
    s.start();
    constexpr int kMessages = 300;
    {
        TestClient alice(s.port());
        ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
        for (int i = 0; i < kMessages; ++i)
            alice.sendChat("alice", "bob", "m" + std::to_string(i));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (s.stored() < kMessages && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_EQ(s.stored(), kMessages);
    }
    std::set<std::string> seen;
    // First life after the crash: bob reads only part before the server dies again.
    s.kill(SIGKILL);
    s.start();
    {
        TestClient bob(s.port());
        ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
        for (int i = 0; i < 40; ++i)
            if (auto m = bob.nextOf(Command::Chat))
                seen.insert(m->text1);
        s.kill(SIGKILL);
    }
    // Second life: everything not yet read is still there.
    s.start();
    {
        TestClient bob(s.port());
        ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
        while (auto m = bob.nextOf(Command::Chat, 1500ms))
            seen.insert(m->text1);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessages));
}
