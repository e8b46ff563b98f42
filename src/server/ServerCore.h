#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <spdlog/logger.h>

#include "server/Authenticator.h"
#include "server/DatabaseWorker.h"
#include "server/FileService.h"
#include "server/PasswordHasher.h"
#include "server/ServerObserver.h"
#include "server/ServerSettings.h"
#include "server/SessionServer.h"
#include "server/TaskThread.h"
#include "server/UdpRendezvous.h"

namespace oskel::server {

// The services of OskelServer without any window: the database, the TCP sessions, the
// UDP rendezvous (and the file service's place in start and stop). A window or the
// headless runner observes it through ServerObserver and commands it through the calls
// below, from any thread but the network thread.
class ServerCore {
public:
    // Opens the database; throws DatabaseError when it cannot be opened.
    ServerCore(ServerSettings settings, ServerObserver& observer);
    ~ServerCore();

    struct StartResult {
        bool started = false;
        std::string error; // why not, e.g. a port that cannot be bound
    };
    // Binds TCP, then UDP; when one fails, the others are released again and the core
    // stays stopped. Converts the stored texts when "Encrypt message" changed.
    StartResult start();
    void stop();
    bool running() const { return running_; }

    // The ports actually bound (useful with port 0 in tests).
    std::uint16_t tcpPort() const { return tcpPort_; }
    std::uint16_t udpPort() const { return udpPort_; }
    std::uint16_t ftpPort() const { return ftpPort_; }
    // The file service while running (tests call its cleaning).
    FileService* fileService() { return file_.get(); }
    const std::vector<std::string>& addresses() const { return addresses_; }

    // "Disconnect" of the "Active Users" list.
    bool disconnect(std::uint64_t session, const std::string& reason = "You are disconnected by server.");

    const ServerSettings& settings() const { return settings_; }
    void setSettings(const ServerSettings& settings) { settings_ = settings; }
    DatabaseWorker& database() { return *db_; }

    // The machine's non-loopback IPv4 addresses, or 127.0.0.1 when there is none.
    static std::vector<std::string> localAddresses();

private:
    template <class F> auto onNetworkThread(F&& f) -> decltype(f());
    void convertStoredTexts();

    ServerSettings settings_;
    ServerObserver& observer_;
    std::shared_ptr<spdlog::logger> log_;
    PasswordHasher hasher_;
    std::unique_ptr<DatabaseWorker> db_;
    std::unique_ptr<TaskThread> hashThread_;
    std::unique_ptr<Authenticator> authenticator_;
    std::unique_ptr<FileService> file_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::unique_ptr<SessionServer> sessions_;
    std::unique_ptr<UdpRendezvous> udp_;
    std::thread network_;
    bool running_ = false;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t udpPort_ = 0;
    std::uint16_t ftpPort_ = 0;
    std::vector<std::string> addresses_;
};

} // namespace oskel::server
