// OskelServer as a process under faults: killed under load, and a database that stops
// taking writes while it runs.

#include <atomic>
#include <set>

#include "ServerProcess.h"

using namespace oskel::test;
using oskel::protocol::Command;

namespace {

std::set<std::string> storedTexts(const std::filesystem::path& db, const std::string& receiver)
{
    soci::session sql(*soci::factory_sqlite3(), "db=\"" + db.string() + "\"");
    std::set<std::string> out;
    soci::rowset<std::string> rows = (sql.prepare << "SELECT MSG FROM T_UNDELIVEMSG WHERE RECEIVERID = :r",
                                      soci::use(receiver));
    for (const auto& r : rows)
        out.insert(r);
    return out;
}

TEST(KillNine, under_relay_and_offline_load_every_stored_message_is_delivered_after_the_restart)
{
    ServerProcess s;
    for (const char* u : {"alice", "bob", "carol", "dave"})
        ASSERT_EQ(s.cli({"user", "add", u, "--first", u}, "pw\n").status, 0);
    s.start();
    constexpr int kMessages = 4000;
    std::atomic<bool> stop{false};
    {
        TestClient alice(s.port());
        TestClient carol(s.port());
        TestClient dave(s.port());
        ASSERT_EQ(alice.login("alice", "pw")->command, Command::SucLog);
        ASSERT_EQ(carol.login("carol", "pw")->command, Command::SucLog);
        ASSERT_EQ(dave.login("dave", "pw")->command, Command::SucLog);
        // Relay load: carol writes to dave, who reads, while alice writes to bob (offline).
        std::thread relay([&] {
            for (int i = 0; !stop && i < 100000; ++i)
                carol.sendChat("carol", "dave", "r" + std::to_string(i));
        });
        std::thread reader([&] {
            while (!stop && dave.next(200ms)) {
            }
        });
        for (int i = 0; i < kMessages; ++i) {
            alice.sendChat("alice", "bob", "m" + std::to_string(i));
            if (i == kMessages / 2) {
                // Kill in the middle of the stream, once rows are being committed.
                const auto deadline = std::chrono::steady_clock::now() + 10s;
                while (s.stored() == 0 && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(5ms);
                s.kill(SIGKILL);
                break;
            }
        }
        stop = true;
        relay.join();
        reader.join();
    }
    const std::set<std::string> stored = storedTexts(s.folder() / "oskel.db", "bob");
    ASSERT_FALSE(stored.empty());

    s.start();
    std::set<std::string> received;
    {
        TestClient bob(s.port());
        ASSERT_EQ(bob.login("bob", "pw")->command, Command::SucLog);
        while (auto m = bob.nextOf(Command::Chat, 1500ms))
            received.insert(m->text1);
    }
    for (const auto& text : stored)
        EXPECT_TRUE(received.count(text)) << text << " was stored but not delivered";
    for (const auto& text : received)
        EXPECT_EQ(text[0], 'm') << text;
    EXPECT_EQ(storedTexts(s.folder() / "oskel.db", "bob").size(), 0u);
}

// The server's database on a small filesystem of its own (a private mount namespace),
// which is then filled up and freed again.
class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a mount namespace";
        mount_ = s_.folder() / "db";
        std::filesystem::create_directory(mount_);
        const Result probe = run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                  "mount -t tmpfs -o size=1m tmpfs '" + mount_.string() + "'"});
        if (probe.status != 0)
            GTEST_SKIP() << "this machine allows no private mount namespace with a tmpfs: " << probe.err;
        s_.appendConfig("[Database]\nDatabase=db/oskel.db\n");
        s_.start(false, {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                         "mount -t tmpfs -o size=4m tmpfs '" + mount_.string() + "' && exec \"$0\" \"$@\""});
    }
    // Runs a command inside the server's mount namespace.
    Result inside(const std::vector<std::string>& command, const std::string& input = {})
    {
        std::vector<std::string> args = {"/usr/bin/nsenter", "-t", std::to_string(s_.pid()), "-m", "--"};
        args.insert(args.end(), command.begin(), command.end());
        return run(args, input, s_.folder());
    }
    Result cli(const std::vector<std::string>& args, const std::string& input = {})
    {
        std::vector<std::string> command = {OSKEL_SERVER_BIN, "--config", s_.config().string()};
        command.insert(command.end(), args.begin(), args.end());
        return inside(command, input);
    }
    bool alive() { return ::kill(s_.pid(), 0) == 0; }

    ServerProcess s_;
    std::filesystem::path mount_;
};

TEST_F(FullDisk, relaying_goes_on_and_stored_messages_wait_until_the_database_takes_writes_again)
{
    for (const char* u : {"alice", "bob", "carol", "dave"})
        ASSERT_EQ(cli({"user", "add", u, "--first", u}, "pw\n").status, 0);
    TestClient alice(s_.port());
    TestClient bob(s_.port());
    ASSERT_EQ(alice.login("alice", "pw")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "pw")->command, Command::SucLog);

    // Fill the filesystem: every write of the database fails from now on.
    inside({"/bin/sh", "-c", "cat /dev/zero > '" + (mount_ / "filler").string() + "' 2>/dev/null; true"});
    const Result df = inside({"/bin/df", "--output=avail", mount_.string()});
    std::istringstream words(df.out);
    std::string caption, avail;
    words >> caption >> avail;
    ASSERT_EQ(avail, "0") << df.out << df.err;

    constexpr int kStored = 50;
    for (int i = 0; i < kStored; ++i)
        alice.sendChat("alice", "carol", "offline " + std::to_string(i));
    // Relaying between signed-in clients goes on.
    alice.sendChat("alice", "bob", "still here");
    const auto relayed = bob.nextOf(Command::Chat);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->text1, "still here");
    // A sign-in meanwhile either works (reading needs no space) or is closed without an
    // answer; nothing else.
    {
        TestClient dave(s_.port());
        const auto reply = dave.login("dave", "pw");
        if (reply) {
            EXPECT_EQ(reply->command, Command::SucLog);
        }
    }
    std::this_thread::sleep_for(1500ms); // several failed write passes
    EXPECT_TRUE(alive());

    // Space again: the waiting rows are written and reach carol at her sign-in, in order.
    inside({"/bin/rm", "-f", (mount_ / "filler").string()});
    std::this_thread::sleep_for(2500ms);
    TestClient carol(s_.port());
    ASSERT_EQ(carol.login("carol", "pw")->command, Command::SucLog);
    std::vector<std::string> got;
    while (auto m = carol.nextOf(Command::Chat, 1500ms))
        got.push_back(m->text1);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kStored));
    for (int i = 0; i < kStored; ++i)
        EXPECT_EQ(got[static_cast<std::size_t>(i)], "offline " + std::to_string(i));
    EXPECT_TRUE(alive());
}

} // namespace
