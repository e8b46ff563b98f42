#include "server/ServerCore.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <future>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "protocol/TimeStamp.h"

namespace oskel::server {

namespace {
std::shared_ptr<spdlog::logger> serverLogger()
{
    if (auto existing = spdlog::get("server"))
        return existing;
    auto log = std::make_shared<spdlog::logger>("server", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    log->set_pattern("%Y-%m-%d %H:%M:%S.%e [%l] %v");
    return log;
}

// The reply's char[51]: whole CR LF-ended lines only.
std::string addressLines(const std::vector<std::string>& addresses)
{
    std::string out;
    for (const auto& a : addresses) {
        if (out.size() + a.size() + 2 > 50)
            break;
        out += a + "\r\n";
    }
    return out;
}
} // namespace

ServerCore::ServerCore(ServerSettings settings, ServerObserver& observer)
    : settings_(std::move(settings)), observer_(observer), log_(serverLogger()), work_(asio::make_work_guard(io_))
{
    db_ = std::make_unique<DatabaseWorker>(Database::open(settings_), log_);
    hashThread_ = std::make_unique<TaskThread>();
    authenticator_ = std::make_unique<Authenticator>(*db_, hasher_, *hashThread_);
    sessions_ = std::make_unique<SessionServer>(io_, *db_, hasher_, *hashThread_, observer_, log_);
    udp_ = std::make_unique<UdpRendezvous>(io_, *sessions_, log_);
    network_ = std::thread([this] { io_.run(); });
}

ServerCore::~ServerCore()
{
    stop();
    work_.reset();
    io_.stop();
    if (network_.joinable())
        network_.join();
    // Work still in flight finishes before the objects it refers to go: the database
    // jobs may hand hashing over, hashing may hand database jobs back (dropped now).
    db_->stop();
    hashThread_.reset();
    file_.reset();
    udp_.reset();
    sessions_.reset();
}

template <class F> auto ServerCore::onNetworkThread(F&& f) -> decltype(f())
{
    std::packaged_task<decltype(f())()> task(std::forward<F>(f));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
}

std::vector<std::string> ServerCore::localAddresses()
{
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            const asio::ip::address_v4 a(ntohl(in->sin_addr.s_addr));
            if (!a.is_loopback())
                out.push_back(a.to_string());
        }
        freeifaddrs(list);
    }
    if (out.empty())
        out.push_back("127.0.0.1");
    return out;
}

void ServerCore::convertStoredTexts()
{
    std::promise<void> done;
    db_->post([this, &done](DatabaseWorker::Context& ctx) {
        try {
            const bool wanted = settings_.EncryptMsg;
            if (ctx.offline.textsEnciphered(wanted) != wanted) {
                const auto r = ctx.offline.convertTexts(wanted);
                log_->info("stored texts {}: {} converted, {} left as they were (not cipher text), {} cut",
                           wanted ? "enciphered" : "deciphered", r.converted, r.leftAsTheyWere, r.cut);
            }
        } catch (const std::exception& e) {
            log_->error("stored texts not converted (tried again at the next start): {}", e.what());
        }
        done.set_value();
    });
    done.get_future().wait();
}

ServerCore::StartResult ServerCore::start()
{
    if (running_)
        return {true, {}};
    if (!settings_.portsValid())
        return {false, "a port in the settings is not a number from 1 to 65535"};
    asio::error_code ec;
    const auto bindAddress = settings_.BindAddress.empty() ? asio::ip::address_v4::any()
                                                           : asio::ip::make_address_v4(settings_.BindAddress, ec);
    if (ec)
        return {false, "BindAddress \"" + settings_.BindAddress + "\" is not an IPv4 address"};
    // Before any sign-in can fetch them, the stored texts follow "Encrypt message".
    convertStoredTexts();

    addresses_ = settings_.BindAddress.empty() ? localAddresses() : std::vector<std::string>{settings_.BindAddress};
    ReplySettings reply;
    reply.serverAddrs = addressLines(addresses_);
    reply.organisation = settings_.Organisation;
    reply.ftpPort = static_cast<std::uint16_t>(settings_.ftpServer);
    reply.encryptMsg = settings_.EncryptMsg;
    reply.fileSizeLimit = settings_.LimitFileTrans ? settings_.LimitFileSize : 0;
    reply.signInTimeout = std::chrono::seconds(settings_.SignInTimeout);

    const StartResult bound = onNetworkThread([&]() -> StartResult {
        try {
            reply.tcpPort = static_cast<std::uint16_t>(settings_.tcpServer);
            reply.udpPort = static_cast<std::uint16_t>(settings_.udpServer);
            sessions_->listen({bindAddress, static_cast<std::uint16_t>(settings_.tcpServer)}, reply);
        } catch (const std::exception& e) {
            sessions_->stop();
            return {false, "TCP port " + std::to_string(settings_.tcpServer) + ": " + e.what()};
        }
        try {
            file_ = std::make_unique<FileService>(settings_, *authenticator_, *db_, log_);
            file_->start({bindAddress, static_cast<std::uint16_t>(settings_.ftpServer)});
        } catch (const std::exception& e) {
            file_.reset();
            sessions_->stop();
            return {false, "FTP port " + std::to_string(settings_.ftpServer) + ": " + e.what()};
        }
        try {
            udp_->open({bindAddress, static_cast<std::uint16_t>(settings_.udpServer)});
        } catch (const std::exception& e) {
            file_.reset();
            sessions_->stop();
            return {false, "UDP port " + std::to_string(settings_.udpServer) + ": " + e.what()};
        }
        tcpPort_ = sessions_->port();
        ftpPort_ = file_->port();
        udpPort_ = udp_->port();
        return {true, {}};
    });
    if (!bound.started) {
        log_->error("services not started: {}", bound.error);
        return bound;
    }
    // Ports given as 0 (tests) are known only now: replies carry the bound ones.
    reply.tcpPort = tcpPort_;
    reply.ftpPort = ftpPort_;
    reply.udpPort = udpPort_;
    onNetworkThread([&] {
        sessions_->setReplySettings(reply);
        return 0;
    });
    running_ = true;
    observer_.stateChanged(true, addresses_);
    observer_.logLine(protocol::formatTimeStamp(protocol::DateTime::now()) + " Server started.");
    return {true, {}};
}

void ServerCore::stop()
{
    if (!running_)
        return;
    onNetworkThread([this] {
        sessions_->stop();
        udp_->close();
        return 0;
    });
    if (file_) {
        file_->stop(); // ends every file-service connection
        file_.reset();
    }
    running_ = false;
    observer_.stateChanged(false, {});
    observer_.logLine(protocol::formatTimeStamp(protocol::DateTime::now()) + " Server stoped");
}

bool ServerCore::disconnect(std::uint64_t session, const std::string& reason)
{
    if (!running_)
        return false;
    return onNetworkThread([&] { return sessions_->kickOut(session, reason, true); });
}

} // namespace oskel::server
