// The server through a unixODBC data source of the SQLite ODBC driver, configured in a
// temporary folder. SOCI's ODBC backend sizes its text buffers from the column sizes the
// driver reports (100 MiB when it reports none), so the test watches the memory too.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "ServerHarness.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

namespace {

const char* const kDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";

// Resident memory of this process, in KiB: now (VmRSS) and the peak so far (VmHWM).
struct Memory {
    long rss = -1;
    long hwm = -1;
};

Memory memory()
{
    Memory m;
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        long kib = -1;
        fields >> key >> kib;
        if (key == "VmRSS:")
            m.rss = kib;
        else if (key == "VmHWM:")
            m.hwm = kib;
    }
    return m;
}

// Signs in, trying again for a while: over ODBC the server looks for directory changes
// at most once per second.
std::unique_ptr<TestClient> signIn(TestServer& server, const std::string& user, const std::string& password)
{
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    for (;;) {
        auto client = std::make_unique<TestClient>(server.port());
        const auto reply = client->login(user, password);
        if (reply && reply->command == Command::SucLog)
            return client;
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << user << " did not sign in within 3 s";
            return nullptr;
        }
        std::this_thread::sleep_for(100ms);
    }
}

} // namespace

// For LeakSanitizer: the SQLite ODBC driver keeps a few allocations made while it connects
// (about 1.5 KB, the same with a bare SOCI session); they are not ours to free. The
// driver has no frame pointers, so only the slow unwinder sees it in the stacks.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libsqlite3odbc.so\n";
}

extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

TEST(Odbc, sign_in_and_offline_chat_through_a_data_source)
{
    ASSERT_EQ(::access(kDriver, R_OK), 0) << kDriver << " is missing: install libsqliteodbc (scripts/setup.sh does)";
    TempDir config;
    const auto file = config.path() / "oskel.db";
    std::ofstream(config.path() / "odbcinst.ini")
        << "[SQLite3]\nDescription=SQLite3 ODBC driver\nDriver=" << kDriver << "\n";
    std::ofstream(config.path() / "odbc.ini")
        << "[OskelServer]\nDriver=SQLite3\nDatabase=" << file.string() << "\nTimeout=10000\n";
    ::setenv("ODBCSYSINI", config.path().c_str(), 1);
    ::setenv("ODBCINI", (config.path() / "odbc.ini").c_str(), 1);

    const Memory before = memory();
    Memory after;
    {
        ServerOptions options;
        server::DatabaseSettings odbc;
        odbc.Driver = "odbc";
        odbc.DataSource = "OskelServer";
        options.database = odbc;
        TestServer server(options);
        server.addUser("alice", "a");
        server.addUser("bob", "b");

        const auto alice = signIn(server, "ALICE", "a");
        ASSERT_TRUE(alice);
        // The long text is longer than any buffer a column size would give (the SQLite
        // driver reports 255 bytes for expressions such as CAST and cuts them there).
        std::string longText;
        for (int i = 0; longText.size() < 30000; ++i)
            longText += std::to_string(i) + " it's ";
        const std::vector<std::string> texts = {"it's stored; 'quoted'", longText};
        for (const auto& text : texts)
            alice->sendChat("alice", "bob", text);
        ASSERT_TRUE(server.waitForStored(2));

        const auto bob = signIn(server, "bob", "b");
        ASSERT_TRUE(bob);
        for (const auto& text : texts) {
            const auto m = bob->nextOf(Command::Chat);
            ASSERT_TRUE(m);
            EXPECT_EQ(m->text1.size(), text.size());
            EXPECT_EQ(m->text1, text);
            EXPECT_TRUE(m->record<protocol::TChatRecord>().Offline);
        }
        EXPECT_TRUE(server.waitForStored(0));
        after = memory();
    }
    EXPECT_GT(std::filesystem::file_size(file), 0u); // the data source's file holds the tables

    std::cout << "ODBC memory (KiB): VmRSS " << before.rss << " -> " << after.rss << ", VmHWM " << before.hwm << " -> "
              << after.hwm << "\n";
    ASSERT_GT(before.rss, 0);
    constexpr long kBound = 64 * 1024;
    EXPECT_LT(after.rss - before.rss, kBound);
    EXPECT_LT(after.hwm - before.hwm, kBound);
}
