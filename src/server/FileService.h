#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include <asio.hpp>
#include <spdlog/logger.h>

#include "server/Authenticator.h"
#include "server/ServerSettings.h"

namespace oskel::server {

class FtpSession;

// The FTP file service: clients upload a file under a new GUID name and the addressees
// download it by that name, resuming partial downloads. It runs on its own thread, so
// transfers never slow the TCP sessions. Only plain names inside the upload folder are
// served; a stored file is never replaced; uploads beyond the file size limit are
// refused. Once a day, files older than FileRetentionDays that no stored offer names
// are removed.
class FileService {
public:
    FileService(const ServerSettings& settings, Authenticator& authenticator, DatabaseWorker& db,
                std::shared_ptr<spdlog::logger> log);
    ~FileService();

    // Binds and starts its thread; throws asio::system_error when the port is taken.
    void start(const asio::ip::tcp::endpoint& endpoint);
    void stop();
    std::uint16_t port() const { return port_; }

    // Removes old files that no "FILE" row names; returns how many. Any thread.
    std::size_t cleanNow();

    // Posts to the service's thread from any thread while the service runs; after stop()
    // it drops what it is given. It outlives the service, for answers that come late.
    class Gate {
    public:
        void post(std::function<void()> f);

    private:
        friend class FileService;
        std::mutex mutex_;
        asio::io_context* io_ = nullptr;
    };

    // What the sessions need.
    const ServerSettings& settings() const { return settings_; }
    std::shared_ptr<Gate> gate() const { return gate_; }
    Authenticator& authenticator() { return authenticator_; }
    asio::io_context& io() { return io_; }
    spdlog::logger& log() { return *log_; }
    // A free passive-mode port from PasvPortMin..PasvPortMax, bound on `address`.
    std::unique_ptr<asio::ip::tcp::acceptor> passiveAcceptor(const asio::ip::address& address);
    void sessionEnded(FtpSession* session);

    // A name the service serves: not empty, no path separator, no "..", no NUL or
    // control character, at most 255 bytes.
    static bool servableName(std::string_view name);

private:
    void doAccept();
    void scheduleCleaning(std::chrono::seconds after);

    ServerSettings settings_;
    Authenticator& authenticator_;
    DatabaseWorker& db_;
    std::shared_ptr<spdlog::logger> log_;
    asio::io_context io_;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    asio::steady_timer cleaning_{io_};
    std::unordered_map<FtpSession*, std::shared_ptr<FtpSession>> sessions_;
    std::thread thread_;
    std::future<void> cleaningRun_;
    std::uint16_t port_ = 0;
    int nextPassivePort_ = 0;
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

} // namespace oskel::server
