#include "ServerHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <soci/soci.h>

#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"

namespace oskel::test {

using namespace protocol;

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "oskel-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void RecordingObserver::logLine(const std::string& line)
{
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
}

void RecordingObserver::userAdded(const server::ActiveUser& row)
{
    std::lock_guard lock(mutex_);
    rows_.push_back(row);
}

void RecordingObserver::userRemoved(std::uint64_t session)
{
    std::lock_guard lock(mutex_);
    std::erase_if(rows_, [session](const server::ActiveUser& r) { return r.session == session; });
}

std::vector<std::string> RecordingObserver::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<server::ActiveUser> RecordingObserver::rows() const
{
    std::lock_guard lock(mutex_);
    return rows_;
}

TestClient::TestClient(std::uint16_t port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect to the test server");
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TestClient::~TestClient()
{
    ::close(fd_);
}

std::uint16_t TestClient::localPort() const
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

void TestClient::send(const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return; // closed by the server: the test sees it on reading
        done += static_cast<std::size_t>(n);
    }
}

bool TestClient::fill(std::chrono::steady_clock::time_point deadline)
{
    while (inbox_.empty() && !closed_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        std::uint8_t buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closed_ = true;
            break;
        }
        const bool ok =
            framer_.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), [this](const Frame& f) {
                inbox_.push_back({f.command,
                                  {f.bytes.begin(), f.bytes.end()},
                                  {f.body.begin(), f.body.end()},
                                  std::string(f.text1),
                                  std::string(f.text2)});
            });
        if (!ok)
            throw std::runtime_error("the server sent an unreadable stream: " + framer_.error());
    }
    return !inbox_.empty();
}

std::optional<Received> TestClient::next(std::chrono::milliseconds timeout)
{
    if (!fill(std::chrono::steady_clock::now() + timeout))
        return std::nullopt;
    Received r = std::move(inbox_.front());
    inbox_.pop_front();
    return r;
}

std::optional<Received> TestClient::nextOf(Command command, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
        Received r = std::move(inbox_.front());
        inbox_.pop_front();
        if (r.command == command)
            return r;
    }
    return std::nullopt;
}

bool TestClient::silent(std::chrono::milliseconds quiet)
{
    return !fill(std::chrono::steady_clock::now() + quiet);
}

bool TestClient::closedByServer(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_ && std::chrono::steady_clock::now() < deadline) {
        inbox_.clear();
        fill(deadline);
    }
    return closed_;
}

std::optional<Received> TestClient::login(const std::string& user, const std::string& password, bool noDirectory)
{
    TLoginRecord r;
    r.UserID = user;
    r.Password = encipherText(password);
    r.NoDirectory = noDirectory;
    send(buildLogin(r));
    const auto deadline = std::chrono::steady_clock::now() + 5000ms;
    while (fill(deadline)) {
        Received m = std::move(inbox_.front());
        inbox_.pop_front();
        if (m.command == Command::SucLog || m.command == Command::FailLog)
            return m;
    }
    return std::nullopt;
}

void TestClient::sendStatus(const std::string& user, const std::string& status)
{
    TStatusRecord r;
    r.UserID = user;
    r.Status = status;
    send(buildStatus(r));
}

void TestClient::sendChat(const std::string& from, const std::string& to, const std::string& text)
{
    TChatRecord r;
    r.SenderID = from;
    r.SenderName = from;
    r.ReceiverID = to;
    r.ReceiverName = to;
    r.FontName = "Sans";
    r.FontColor = "clBlack";
    r.SendTime = "2026-12-11 10:00:00";
    send(buildChat(r, text));
}

TestServer::TestServer(ServerOptions options)
{
    settings_.baseDir = dir_.path();
    settings_.tcpServer = 0;
    settings_.ftpServer = 0;
    settings_.udpServer = 0;
    settings_.BindAddress = "127.0.0.1";
    settings_.EncryptMsg = options.encryptMsg;
    settings_.SignInTimeout = options.signInTimeout;
    settings_.Organisation = options.organisation;
    if (options.database)
        settings_.database = *options.database;
    core_ = std::make_unique<server::ServerCore>(settings_, observer_);
    const auto started = core_->start();
    if (!started.started)
        throw std::runtime_error("test server did not start: " + started.error);
}

TestServer::~TestServer()
{
    admin_.reset();
    adminDb_.reset();
    core_.reset();
}

server::Database& TestServer::adminDb()
{
    if (!adminDb_)
        adminDb_ = server::Database::open(settings_);
    return *adminDb_;
}

server::DirectoryAdmin& TestServer::admin()
{
    if (!admin_) {
        hasher_ = std::make_unique<server::PasswordHasher>();
        admin_ = std::make_unique<server::DirectoryAdmin>(adminDb(), *hasher_);
    }
    return *admin_;
}

void TestServer::addUser(const std::string& id, const std::string& password, const std::string& dept,
                         const std::string& first)
{
    if (!dept.empty() && !admin().directory()->findDepartment(dept))
        admin().addDepartment(dept);
    server::DirectoryAdmin::NewUser u;
    u.userId = id;
    u.firstName = first.empty() ? "First " + id : first;
    u.lastName = "Last";
    u.department = dept;
    u.password = password;
    admin().addUser(u);
}

long long TestServer::storedCount()
{
    long long n = 0;
    adminDb().sql() << "SELECT COUNT(*) FROM T_UNDELIVEMSG", soci::into(n);
    return n;
}

bool TestServer::waitForStored(long long count, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (storedCount() == count)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return storedCount() == count;
}

void TestServer::restart(const std::function<void(server::ServerSettings&)>& change)
{
    const std::uint16_t tcp = core_->tcpPort();
    const std::uint16_t udp = core_->udpPort();
    core_->stop();
    change(settings_);
    settings_.tcpServer = tcp;
    settings_.udpServer = udp;
    core_->setSettings(settings_);
    const auto started = core_->start();
    if (!started.started)
        throw std::runtime_error("test server did not start again: " + started.error);
}

std::uint16_t freePort(int type)
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

} // namespace oskel::test
