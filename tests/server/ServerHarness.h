#pragma once

// A real server on 127.0.0.1 (ports chosen by the system) over a database in a
// temporary folder, and protocol clients that talk to it over real sockets.

#include <chrono>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ConversationRecords.h"
#include "protocol/DatagramRecords.h"
#include "protocol/SessionRecords.h"
#include "protocol/StreamFramer.h"
#include "server/Database.h"
#include "server/DirectoryAdmin.h"
#include "server/ServerCore.h"

namespace oskel::test {

using namespace std::chrono_literals;

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A port of 127.0.0.1 that is free now (the system's choice), for SOCK_STREAM or SOCK_DGRAM.
std::uint16_t freePort(int type);

// A received message, owned.
struct Received {
    protocol::Command command = protocol::Command::Unknown;
    std::vector<std::uint8_t> bytes; // the whole message
    std::vector<std::uint8_t> body;
    std::string text1;
    std::string text2;

    template <class R> R record() const { return R::decode(body); }
};

// Records log lines and "Active Users" events.
class RecordingObserver : public server::ServerObserver {
public:
    void logLine(const std::string& line) override;
    void userAdded(const server::ActiveUser& row) override;
    void userRemoved(std::uint64_t session) override;
    std::vector<std::string> lines() const;
    std::vector<server::ActiveUser> rows() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<server::ActiveUser> rows_;
};

// A protocol client over a blocking socket.
class TestClient {
public:
    explicit TestClient(std::uint16_t port);
    ~TestClient();

    void send(const std::vector<std::uint8_t>& bytes);
    // The next message, or nullopt when none comes within `timeout` or the connection closed.
    std::optional<Received> next(std::chrono::milliseconds timeout = 3000ms);
    // The next message with this command, skipping others (kept for later next() calls: no).
    std::optional<Received> nextOf(protocol::Command command, std::chrono::milliseconds timeout = 3000ms);
    // True when nothing arrives within `quiet`.
    bool silent(std::chrono::milliseconds quiet = 300ms);
    // True when the server closed the connection within `timeout`.
    bool closedByServer(std::chrono::milliseconds timeout = 3000ms);

    // Sends "login" and waits for "suclog" or "faillog".
    std::optional<Received> login(const std::string& user, const std::string& password, bool noDirectory = true);
    void sendStatus(const std::string& user, const std::string& status);
    void sendChat(const std::string& from, const std::string& to, const std::string& text);

    int fd() const { return fd_; }
    std::uint16_t localPort() const;

private:
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool closed_ = false;
    protocol::StreamFramer framer_{protocol::ReaderSide::Client};
    std::deque<Received> inbox_;
};

struct ServerOptions {
    bool encryptMsg = false;
    int signInTimeout = 60;
    std::string organisation;
    // Another database instead of the SQLite file in the folder: PostgreSQL or an ODBC data source.
    std::optional<server::DatabaseSettings> database;
};

// The server core running in this process.
class TestServer {
public:
    explicit TestServer(ServerOptions options = {});
    ~TestServer();

    server::ServerCore& core() { return *core_; }
    std::uint16_t port() const { return core_->tcpPort(); }
    std::uint16_t udpPort() const { return core_->udpPort(); }
    RecordingObserver& observer() { return observer_; }
    const server::ServerSettings& settings() const { return settings_; }
    const std::filesystem::path& folder() const { return dir_.path(); }

    // A second connection to the same database, as another administration tool would use.
    server::Database& adminDb();
    server::DirectoryAdmin& admin();
    void addUser(const std::string& id, const std::string& password, const std::string& dept = {},
                 const std::string& first = {});
    long long storedCount();
    // Waits until the offline store holds `count` rows (inserts are committed in groups).
    bool waitForStored(long long count, std::chrono::milliseconds timeout = 3000ms);

    // Restarts the core with other settings (a stop and a start of the services).
    void restart(const std::function<void(server::ServerSettings&)>& change);

private:
    TempDir dir_;
    server::ServerSettings settings_;
    RecordingObserver observer_;
    std::unique_ptr<server::ServerCore> core_;
    std::unique_ptr<server::Database> adminDb_;
    std::unique_ptr<server::PasswordHasher> hasher_;
    std::unique_ptr<server::DirectoryAdmin> admin_;
};

} // namespace oskel::test
