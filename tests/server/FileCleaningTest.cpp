// The file service's daily cleaning of the upload folder, and the names it serves.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <fstream>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "server/FileService.h"

using namespace oskel;
using namespace oskel::test;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

void setAge(const fs::path& path, std::chrono::hours age)
{
    fs::last_write_time(path, fs::file_time_type::clock::now() - age);
}

void storeRow(TestServer& server, const std::string& type, const std::string& regFileName)
{
    server.adminDb().sql() << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, FILENAME, REGFILENAME) "
                              "VALUES ('alice', 'bob', :t, 'report.pdf', :r)",
        soci::use(type), soci::use(regFileName);
}

constexpr auto kDay = std::chrono::hours(24);

// One reply line of the file service, without CR LF; empty when none comes or the
// connection closed.
std::string ftpReply(int fd)
{
    std::string line;
    char c = 0;
    while (line.size() < 512) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1 || ::recv(fd, &c, 1, 0) != 1)
            return {};
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    return line;
}

// True when the server closes the connection within 5 s; what comes before is skipped.
bool closedByServer(int fd)
{
    char buf[4096];
    for (int i = 0; i < 100; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return false;
        if (::recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
    return false;
}

void ftpSend(int fd, const std::string& text)
{
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

} // namespace

TEST(FileCleaning, removes_old_files_that_no_stored_offer_names)
{
    TestServer server;
    ASSERT_EQ(server.settings().FileRetentionDays, 30);
    const fs::path folder = server.settings().uploadFolder();
    ASSERT_TRUE(fs::is_directory(folder));

    enum class Row { None, File, Msg };
    struct Case {
        std::string name;
        std::chrono::hours age;
        Row row;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"{11111111-2222-4333-8444-000000000001}", 31 * kDay, Row::None, false},
        {"{11111111-2222-4333-8444-000000000002}", 400 * kDay, Row::None, false},
        {"{11111111-2222-4333-8444-000000000003}", 31 * kDay, Row::File, true}, // an offer waits for it
        {"{11111111-2222-4333-8444-000000000004}", 31 * kDay, Row::Msg, false}, // only "FILE" rows count
        {"{11111111-2222-4333-8444-000000000005}", 29 * kDay, Row::None, true}, // within the retention
        {"{11111111-2222-4333-8444-000000000006}", std::chrono::hours(0), Row::None, true},
        {".hidden-old", 90 * kDay, Row::None, true},
    };
    for (const auto& c : cases) {
        writeFile(folder / c.name, "content of " + c.name);
        setAge(folder / c.name, c.age);
        if (c.row != Row::None)
            storeRow(server, c.row == Row::File ? "FILE" : "MSG", c.name);
    }
    // A directory and what it holds are not the service's files.
    fs::create_directory(folder / "sub");
    writeFile(folder / "sub" / "inner", "x");
    setAge(folder / "sub" / "inner", 90 * kDay);
    setAge(folder / "sub", 90 * kDay);
    fs::create_directory(folder / "empty");
    setAge(folder / "empty", 90 * kDay);
    // A "FILE" row without a stored name keeps nothing.
    server.adminDb().sql() << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE) VALUES ('a', 'b', 'FILE')";

    std::size_t expectRemoved = 0;
    for (const auto& c : cases)
        expectRemoved += !c.kept;
    EXPECT_EQ(server.core().fileService()->cleanNow(), expectRemoved);
    for (const auto& c : cases)
        EXPECT_EQ(fs::exists(folder / c.name), c.kept) << c.name;
    EXPECT_TRUE(fs::exists(folder / "sub" / "inner"));
    EXPECT_TRUE(fs::is_directory(folder / "empty"));
    // The kept files are untouched.
    std::ifstream kept(folder / cases[2].name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "content of " + cases[2].name);

    // Nothing more is old enough: a second run removes nothing.
    EXPECT_EQ(server.core().fileService()->cleanNow(), 0u);
}

TEST(FileCleaning, a_retention_of_zero_days_keeps_everything)
{
    TestServer server;
    server.restart([](server::ServerSettings& s) { s.FileRetentionDays = 0; });
    const fs::path folder = server.settings().uploadFolder();
    writeFile(folder / "old", "x");
    setAge(folder / "old", 3650 * kDay);
    EXPECT_EQ(server.core().fileService()->cleanNow(), 0u);
    EXPECT_TRUE(fs::exists(folder / "old"));
}

TEST(FileService, servable_names)
{
    const struct {
        std::string name;
        bool servable;
    } cases[] = {
        {"{11111111-2222-4333-8444-555555555555}", true},
        {"report.pdf", true},
        {"\xc3\x9c"
         "bersicht.txt",
         true}, // UTF-8
        {std::string(255, 'x'), true},
        {std::string(256, 'x'), false},
        {"", false},
        {".", false},
        {"..", false},
        {"../x", false},
        {"x/..", false},
        {"a..b", false},
        {"a/b", false},
        {"/etc/passwd", false},
        {"a\\b", false},
        {"..\\x", false},
        {std::string("a\0b", 3), false},
        {"a\x01"
         "b",
         false},
        {"tab\tname", false},
        {"line\nbreak", false},
        {"del\x7f", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(server::FileService::servableName(c.name), c.servable) << '"' << c.name << '"';
}

TEST(FileService, password_checks_that_end_after_a_stop_go_nowhere)
{
    TestServer server;
    server.addUser("alice", "a");
    // Wrong passwords keep the hash thread busy well past the stop.
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.core().ftpPort()));
        ftpSend(clients.back()->fd(), "USER alice\r\nPASS wrong" + std::to_string(i) + "\r\n");
    }
    for (auto& c : clients) {
        ASSERT_EQ(ftpReply(c->fd()).substr(0, 3), "220");
        ASSERT_EQ(ftpReply(c->fd()).substr(0, 3), "331");
    }
    server.restart([](server::ServerSettings&) {});
    for (auto& c : clients)
        EXPECT_TRUE(closedByServer(c->fd())) << "a session of the stopped service";

    // The new service signs in once the old checks are done, answering only its own.
    TestClient next(server.core().ftpPort());
    EXPECT_EQ(ftpReply(next.fd()).substr(0, 3), "220");
    ftpSend(next.fd(), "USER alice\r\nPASS a\r\n");
    EXPECT_EQ(ftpReply(next.fd()).substr(0, 3), "331");
    EXPECT_EQ(ftpReply(next.fd()).substr(0, 3), "230");
    ftpSend(next.fd(), "NOOP\r\n");
    EXPECT_EQ(ftpReply(next.fd()).substr(0, 3), "200");
}
