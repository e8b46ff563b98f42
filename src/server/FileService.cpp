#include "server/FileService.h"

#include <sys/stat.h>

#include <soci/soci.h>

#include <future>
#include <unordered_set>

#include "server/FtpSession.h"

namespace oskel::server {

FileService::FileService(const ServerSettings& settings, Authenticator& authenticator, DatabaseWorker& db,
                         std::shared_ptr<spdlog::logger> log)
    : settings_(settings), authenticator_(authenticator), db_(db), log_(std::move(log))
{
}

FileService::~FileService()
{
    stop();
}

void FileService::Gate::post(std::function<void()> f)
{
    std::lock_guard lock(mutex_);
    if (io_)
        asio::post(*io_, std::move(f));
}

bool FileService::servableName(std::string_view name)
{
    if (name.empty() || name.size() > 255 || name == "." || name.find("..") != std::string_view::npos)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\')
            return false;
    return true;
}

void FileService::start(const asio::ip::tcp::endpoint& endpoint)
{
    stop();
    io_.restart();
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(io_);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    port_ = acceptor->local_endpoint().port();
    acceptor_ = std::move(acceptor);
    nextPassivePort_ = settings_.PasvPortMin;
    work_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(io_.get_executor());
    doAccept();
    if (settings_.FileRetentionDays > 0)
        scheduleCleaning(std::chrono::minutes(1));
    thread_ = std::thread([this] { io_.run(); });
    std::lock_guard lock(gate_->mutex_);
    gate_->io_ = &io_;
}

void FileService::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(gate_->mutex_);
        gate_->io_ = nullptr;
    }
    std::promise<void> done;
    asio::post(io_, [this, &done] {
        asio::error_code ec;
        if (acceptor_)
            acceptor_->close(ec);
        cleaning_.cancel();
        auto sessions = sessions_;
        for (auto& [raw, session] : sessions)
            session->stop();
        sessions_.clear();
        done.set_value();
    });
    done.get_future().wait();
    if (cleaningRun_.valid())
        cleaningRun_.wait();
    work_.reset();
    io_.stop();
    thread_.join();
    acceptor_.reset();
}

void FileService::doAccept()
{
    acceptor_->async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_ || !acceptor_->is_open())
            return;
        if (!ec) {
            auto session = std::make_shared<FtpSession>(*this, std::move(socket));
            sessions_[session.get()] = session;
            session->start();
            doAccept();
            return;
        }
        log_->warn("file service: accept: {}", ec.message());
        auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(50));
        timer->async_wait([this, timer](const asio::error_code& e) {
            if (!e && acceptor_ && acceptor_->is_open())
                doAccept();
        });
    });
}

void FileService::sessionEnded(FtpSession* session)
{
    // Released after the current handler, which may still be running inside it.
    asio::post(io_, [this, session] { sessions_.erase(session); });
}

std::unique_ptr<asio::ip::tcp::acceptor> FileService::passiveAcceptor(const asio::ip::address& address)
{
    const int min = settings_.PasvPortMin;
    const int max = std::max(settings_.PasvPortMax, min);
    const int count = max - min + 1;
    for (int i = 0; i < count; ++i) {
        const int port = nextPassivePort_;
        nextPassivePort_ = nextPassivePort_ >= max ? min : nextPassivePort_ + 1;
        auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(io_);
        asio::error_code ec;
        acceptor->open(address.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), ec);
        // Closed data connections leave the port in TIME_WAIT for a minute; without
        // SO_REUSEADDR every transfer would use up one port of the range for that long.
        if (!ec)
            acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor->bind({address, static_cast<std::uint16_t>(port)}, ec);
        if (!ec)
            acceptor->listen(1, ec);
        if (!ec)
            return acceptor;
    }
    return nullptr;
}

void FileService::scheduleCleaning(std::chrono::seconds after)
{
    cleaning_.expires_after(after);
    cleaning_.async_wait([this](const asio::error_code& ec) {
        if (ec)
            return;
        // The folder is walked on the cleaning's own thread, never on the transfers'.
        if (cleaningRun_.valid() && cleaningRun_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            scheduleCleaning(std::chrono::hours(24));
            return; // the previous run is still going
        }
        cleaningRun_ = std::async(std::launch::async, [this] {
            try {
                const std::size_t n = cleanNow();
                if (n)
                    log_->info("file service: {} old files removed", n);
            } catch (const std::exception& e) {
                log_->error("file service: cleaning failed: {}", e.what());
            }
        });
        scheduleCleaning(std::chrono::hours(24));
    });
}

std::size_t FileService::cleanNow()
{
    if (settings_.FileRetentionDays <= 0)
        return 0;
    // Names of every file a stored offer still names.
    std::promise<std::unordered_set<std::string>> names;
    auto future = names.get_future();
    db_.post([&names](DatabaseWorker::Context& ctx) {
        try {
            std::unordered_set<std::string> out;
            soci::rowset<std::string> rs =
                (ctx.db.sql().prepare << "SELECT COALESCE(REGFILENAME, '') FROM T_UNDELIVEMSG WHERE MSGTYPE = 'FILE'");
            for (const auto& n : rs)
                out.insert(n);
            names.set_value(std::move(out));
        } catch (...) {
            names.set_exception(std::current_exception());
        }
    });
    const auto keep = future.get(); // no cleaning without knowing what to keep
    const auto folder = settings_.uploadFolder();
    const auto cutoff =
        std::filesystem::file_time_type::clock::now() - std::chrono::hours(24) * settings_.FileRetentionDays;
    std::size_t removed = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || !entry.is_regular_file(ec) || keep.count(name))
            continue;
        if (entry.last_write_time(ec) < cutoff && std::filesystem::remove(entry.path(), ec))
            ++removed;
    }
    return removed;
}

} // namespace oskel::server
