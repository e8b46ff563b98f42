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

#include "ServerHarness.h"

using namespace oskel::test;
using oskel::protocol::Command;

namespace {

std::uint16_t freePort(int type = SOCK_STREAM)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with `input` on standard input and collects its output.
Result run(const std::vector<std::string>& args, const std::string& input = {}, const std::filesystem::path& dir = {})
{
    const auto outFile = dir.empty() ? std::filesystem::temp_directory_path() / ("oskel-out-" + std::to_string(getpid()))
                                     : dir / "out.txt";
    const auto errFile = outFile.string() + ".err";
    const auto inFile = outFile.string() + ".in";
    std::ofstream(inFile) << input;
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(inFile.c_str(), "r", stdin);
        freopen(outFile.c_str(), "w", stdout);
        freopen(errFile.c_str(), "w", stderr);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream o, e;
    o << std::ifstream(outFile).rdbuf();
    e << std::ifstream(errFile).rdbuf();
    r.out = o.str();
    r.err = e.str();
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    std::filesystem::remove(inFile);
    return r;
}

// A headless OskelServer in its own folder.
class ServerProcess {
public:
    ServerProcess()
    {
        tcp_ = freePort();
        udp_ = freePort(SOCK_DGRAM);
        config_ = dir_.path() / "config.ini";
        std::ofstream(config_) << "[Server Info]\ntcpServer=" << tcp_ << "\nftpServer=" << freePort()
                               << "\nudpServer=" << udp_ << "\nBindAddress=127.0.0.1\nEncryptMsg=0\n";
    }
    ~ServerProcess() { kill(SIGKILL); }

    Result cli(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), {OSKEL_SERVER_BIN, "--config", config_.string()});
        return run(args, input, dir_.path());
    }

    // The headless services, or with `window` the window program (its platform and
    // session as the environment gives them).
    void start(bool window = false)
    {
        pid_ = fork();
        if (pid_ == 0) {
            const std::string log = (dir_.path() / "server.log").string();
            freopen(log.c_str(), "a", stdout);
            freopen((log + ".err").c_str(), "a", stderr);
            if (window)
                execl(OSKEL_SERVER_BIN, OSKEL_SERVER_BIN, "--config", config_.c_str(), nullptr);
            else
                execl(OSKEL_SERVER_BIN, OSKEL_SERVER_BIN, "--config", config_.c_str(), "--headless", nullptr);
            _exit(127);
        }
        // Up once the port answers.
        for (int i = 0; i < 200; ++i) {
            try {
                TestClient probe(tcp_);
                return;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(25ms);
            }
        }
        FAIL() << "OskelServer did not come up";
    }

    // SIGKILL, or SIGTERM and the exit status.
    int kill(int sig)
    {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    long long stored()
    {
        soci::session sql(*soci::factory_sqlite3(), "db=\"" + (dir_.path() / "oskel.db").string() + "\"");
        long long n = 0;
        sql << "SELECT COUNT(*) FROM T_UNDELIVEMSG", soci::into(n);
        return n;
    }

    std::string log()
    {
        std::stringstream s;
        s << std::ifstream(dir_.path() / "server.log").rdbuf();
        return s.str();
    }

    std::uint16_t port() const { return tcp_; }
    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    TempDir dir_;
    std::filesystem::path config_;
    std::uint16_t tcp_ = 0;
    std::uint16_t udp_ = 0;
    pid_t pid_ = -1;
};

}  // namespace

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
