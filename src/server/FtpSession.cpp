#include "server/FtpSession.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>

#include "server/FileService.h"

namespace oskel::server {

namespace {
constexpr std::size_t kMaxLine = 2048;
constexpr std::size_t kMaxWaiting = 32;
constexpr std::size_t kStorBuffer = 256 * 1024;
constexpr std::size_t kRetrSlice = 1024 * 1024; // bytes per step, so one transfer does not starve the others

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::optional<std::uint64_t> parseU64(std::string_view s)
{
    std::uint64_t v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || s.empty())
        return std::nullopt;
    return v;
}
} // namespace

FtpSession::FtpSession(FileService& service, asio::ip::tcp::socket control)
    : service_(service), control_(std::move(control)), input_(kMaxLine), idle_(service.io()), delay_(service.io())
{
    asio::error_code ec;
    peer_ = control_.remote_endpoint(ec).address();
    // Clients send ABOR as urgent data (ftplib, for one): its last byte must stay in the
    // command stream, or the line never ends.
    control_.set_option(asio::socket_base::out_of_band_inline(true), ec);
}

FtpSession::~FtpSession()
{
    if (fileFd_ >= 0)
        ::close(fileFd_);
}

void FtpSession::start()
{
    reply("220 Oskel file service ready.");
    touch();
    readCommand();
}

void FtpSession::touch()
{
    idle_.expires_after(std::chrono::seconds(service_.settings().FtpIdleTimeout));
    idle_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || self->closing_)
            return;
        self->reply("421 Idle for too long; closing the connection.");
        self->closing_ = true;
    });
}

void FtpSession::stop()
{
    closing_ = true;
    close();
}

void FtpSession::close()
{
    asio::error_code ec;
    idle_.cancel();
    delay_.cancel();
    if (storing_) {
        if (fileFd_ >= 0)
            ::close(fileFd_);
        fileFd_ = -1;
        std::error_code fe;
        std::filesystem::remove(storPath_, fe); // a partial upload is of no use
        storing_ = false;
    }
    releaseData();
    control_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    control_.close(ec);
    service_.sessionEnded(this);
}

void FtpSession::reply(const std::string& text)
{
    output_.push_back(text + "\r\n");
    if (!writing_)
        writeNext();
}

void FtpSession::writeNext()
{
    if (output_.empty()) {
        writing_ = false;
        if (closing_)
            close();
        return;
    }
    writing_ = true;
    asio::async_write(control_, asio::buffer(output_.front()),
                      [self = shared_from_this()](const asio::error_code& ec, std::size_t) {
                          if (ec) {
                              self->writing_ = false;
                              self->output_.clear();
                              if (!self->closing_) {
                                  self->closing_ = true;
                                  self->close();
                              }
                              return;
                          }
                          self->output_.pop_front();
                          self->writeNext();
                      });
}

void FtpSession::readCommand()
{
    asio::async_read_until(
        control_, input_, '\n', [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
            if (self->closing_ && !self->control_.is_open())
                return;
            if (ec) {
                if (ec == asio::error::not_found) {
                    self->reply("500 Command line too long.");
                    self->closing_ = true;
                    return;
                }
                if (!self->closing_) {
                    self->closing_ = true;
                    self->close();
                }
                return;
            }
            std::string line(asio::buffers_begin(self->input_.data()), asio::buffers_begin(self->input_.data()) + n);
            self->input_.consume(n);
            self->handleLine(std::move(line));
            if (!self->closing_)
                self->readCommand();
        });
}

void FtpSession::handleLine(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    // Telnet interrupt sequences in front of ABOR, and stray bytes, are dropped.
    std::size_t start = 0;
    while (start < line.size() && !std::isalpha(static_cast<unsigned char>(line[start])))
        ++start;
    line.erase(0, start);
    const std::size_t space = line.find(' ');
    const std::string verb = upper(line.substr(0, space));
    const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    touch();
    if (transfer_ != Transfer::None && verb != "ABOR" && verb != "QUIT" && verb != "NOOP" && verb != "STAT") {
        // One transfer at a time; what comes meanwhile waits for its end.
        if (waiting_.size() >= kMaxWaiting) {
            reply("421 Too many commands during a transfer.");
            closing_ = true;
            return;
        }
        waiting_.push_back(line);
        return;
    }
    command(verb, arg);
}

void FtpSession::command(const std::string& verb, const std::string& arg)
{
    if (verb == "QUIT") {
        if (transfer_ != Transfer::None)
            failTransfer("426 Connection closed; transfer aborted.");
        reply("221 Goodbye.");
        closing_ = true;
        return;
    }
    if (verb == "USER") {
        if (auth_ == Auth::Checking)
            return reply("503 The password is being checked.");
        user_ = arg;
        auth_ = Auth::NeedPass;
        return reply("331 Password required for " + arg + ".");
    }
    if (verb == "PASS") {
        if (auth_ != Auth::NeedPass)
            return reply("503 Send USER first.");
        return onPass(arg);
    }
    if (auth_ != Auth::SignedIn)
        return reply("530 Please sign in with USER and PASS.");

    if (verb == "NOOP")
        return reply("200 NOOP ok.");
    if (verb == "SYST")
        return reply("215 UNIX Type: L8");
    if (verb == "FEAT")
        return reply("211-Features:\r\n SIZE\r\n REST STREAM\r\n EPSV\r\n EPRT\r\n UTF8\r\n211 End");
    if (verb == "OPTS")
        return reply(upper(arg) == "UTF8 ON" ? "200 UTF8 is on." : "501 Option not understood.");
    if (verb == "PWD" || verb == "XPWD")
        return reply("257 \"/\" is the current directory.");
    if (verb == "CWD" || verb == "XCWD")
        return reply(arg == "/" || arg == "." || arg.empty() ? "250 Directory is \"/\"."
                                                             : "550 " + arg + ": no such directory.");
    if (verb == "CDUP")
        return reply("250 Directory is \"/\".");
    if (verb == "TYPE") {
        const std::string t = upper(arg);
        return reply(t == "I" || t == "L 8" ? "200 Type set to I." : "504 Only binary transfers (TYPE I) are served.");
    }
    if (verb == "MODE")
        return reply(upper(arg) == "S" ? "200 Mode S." : "504 Only stream mode is served.");
    if (verb == "STRU")
        return reply(upper(arg) == "F" ? "200 Structure F." : "504 Only file structure is served.");
    if (verb == "PORT")
        return onPort(arg, false);
    if (verb == "EPRT")
        return onPort(arg, true);
    if (verb == "PASV")
        return onPassive(false);
    if (verb == "EPSV") {
        if (upper(arg) == "ALL")
            return reply("200 EPSV ALL ok.");
        return onPassive(true);
    }
    if (verb == "REST") {
        const auto offset = parseU64(arg);
        if (!offset)
            return reply("501 REST needs a byte offset.");
        restOffset_ = *offset;
        return reply("350 Restarting at " + arg + ". Send RETR.");
    }
    if (verb == "RETR")
        return onRetr(arg);
    if (verb == "STOR")
        return onStor(arg);
    if (verb == "SIZE")
        return onSize(arg);
    if (verb == "ABOR")
        return onAbor();
    if (verb == "STAT")
        return reply(transfer_ == Transfer::None
                         ? "211 No transfer running."
                         : "211 Transferring, " + std::to_string(fileOffset_) + " bytes so far.");
    return reply("502 " + verb + " is not served here.");
}

void FtpSession::onPass(const std::string& password)
{
    auth_ = Auth::Checking;
    std::weak_ptr<FtpSession> weak = shared_from_this();
    // The answer comes on another thread, maybe after the session or the whole service
    // has ended: it goes through the gate, which drops it once the service stops.
    service_.authenticator().authenticate(user_, password, [weak, gate = service_.gate()](Authenticator::Result r) {
        gate->post([weak, r = std::move(r)] {
            auto self = weak.lock();
            if (!self || self->closing_)
                return;
            if (r.kind == Authenticator::Result::Kind::Ok) {
                self->auth_ = Auth::SignedIn;
                self->reply("230 User " + self->user_ + " signed in.");
                return;
            }
            // A refusal comes after a pause, so guessing passwords is slow.
            self->auth_ = Auth::NeedUser;
            self->delay_.expires_after(std::chrono::seconds(1));
            self->delay_.async_wait([self](const asio::error_code& ec) {
                if (!ec && !self->closing_)
                    self->reply("530 Sign-in incorrect.");
            });
        });
    });
}

void FtpSession::onPort(const std::string& arg, bool extended)
{
    asio::error_code ec;
    asio::ip::address address;
    unsigned port = 0;
    if (!extended) {
        unsigned v[6];
        char tail = 0;
        if (std::sscanf(arg.c_str(), "%u,%u,%u,%u,%u,%u%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
            return reply("501 PORT needs h1,h2,h3,h4,p1,p2.");
        for (unsigned x : v)
            if (x > 255)
                return reply("501 PORT needs h1,h2,h3,h4,p1,p2.");
        address = asio::ip::make_address_v4(std::to_string(v[0]) + "." + std::to_string(v[1]) + "." +
                                                std::to_string(v[2]) + "." + std::to_string(v[3]),
                                            ec);
        port = v[4] * 256 + v[5];
    } else {
        // |proto|address|port|
        if (arg.size() < 7)
            return reply("501 EPRT needs |1|address|port|.");
        const char d = arg[0];
        const std::size_t a = arg.find(d, 1), b = arg.find(d, a + 1), c = arg.find(d, b + 1);
        if (a == std::string::npos || b == std::string::npos || c == std::string::npos)
            return reply("501 EPRT needs |1|address|port|.");
        const std::string proto = arg.substr(1, a - 1);
        if (proto != "1")
            return reply("522 Only IPv4 is served, use (1).");
        address = asio::ip::make_address_v4(arg.substr(a + 1, b - a - 1), ec);
        const auto p = parseU64(arg.substr(b + 1, c - b - 1));
        port = p && *p < 65536 ? static_cast<unsigned>(*p) : 0;
    }
    if (ec || port == 0)
        return reply("501 Bad address or port.");
    // No bounce: data goes only to the client that holds this control connection.
    asio::ip::address peer = peer_;
    if (peer.is_v6() && peer.to_v6().is_v4_mapped())
        peer = asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
    if (address != peer || port < 1024)
        return reply("504 Data connections go only to the client's own address, to a port from 1024.");
    passive_.reset();
    active_ = asio::ip::tcp::endpoint(address, static_cast<std::uint16_t>(port));
    reply(extended ? "200 EPRT command successful." : "200 PORT command successful.");
}

void FtpSession::onPassive(bool extended)
{
    asio::error_code ec;
    const auto local = control_.local_endpoint(ec).address();
    passive_ = service_.passiveAcceptor(local);
    active_.reset();
    if (!passive_)
        return reply("425 No passive port is free.");
    const std::uint16_t port = passive_->local_endpoint(ec).port();
    if (extended)
        return reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    if (!local.is_v4())
        return reply("425 PASV needs IPv4; use EPSV.");
    const auto b = local.to_v4().to_bytes();
    reply("227 Entering Passive Mode (" + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," +
          std::to_string(b[2]) + "," + std::to_string(b[3]) + "," + std::to_string(port / 256) + "," +
          std::to_string(port % 256) + ").");
}

std::optional<std::filesystem::path> FtpSession::pathFor(const std::string& name)
{
    if (!FileService::servableName(name))
        return std::nullopt;
    return service_.settings().uploadFolder() / name;
}

void FtpSession::onSize(const std::string& name)
{
    const auto path = pathFor(name);
    if (!path)
        return reply("553 " + name + ": not a name this service serves.");
    struct stat st {};
    if (::stat(path->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return reply("550 " + name + ": no such file.");
    reply("213 " + std::to_string(static_cast<std::uint64_t>(st.st_size)));
}

void FtpSession::openData(std::function<void()> next)
{
    transfer_ = Transfer::Opening;
    auto self = shared_from_this();
    if (passive_) {
        accepting_ = std::move(passive_);
        accepting_->async_accept([self, next](const asio::error_code& ec, asio::ip::tcp::socket socket) {
            if (self->transfer_ != Transfer::Opening)
                return; // aborted meanwhile
            self->accepting_.reset();
            asio::error_code e;
            // Only the client of this control connection may connect.
            if (ec || socket.remote_endpoint(e).address() != self->peer_) {
                self->failTransfer("425 Cannot open the data connection.");
                return;
            }
            self->data_ = std::make_unique<asio::ip::tcp::socket>(std::move(socket));
            next();
        });
        return;
    }
    if (!active_) {
        failTransfer("425 Use PORT, EPRT, PASV or EPSV first.");
        return;
    }
    data_ = std::make_unique<asio::ip::tcp::socket>(service_.io());
    const auto target = *active_;
    active_.reset();
    data_->async_connect(target, [self, next](const asio::error_code& ec) {
        if (self->transfer_ != Transfer::Opening)
            return;
        if (ec) {
            self->failTransfer("425 Cannot open the data connection.");
            return;
        }
        next();
    });
}

void FtpSession::onRetr(const std::string& name)
{
    const std::uint64_t offset = restOffset_;
    restOffset_ = 0;
    const auto path = pathFor(name);
    if (!path)
        return reply("553 " + name + ": not a name this service serves.");
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        return reply("550 " + name + ": no such file.");
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (offset > size) {
        ::close(fd);
        return reply("554 The restart offset " + std::to_string(offset) + " lies beyond the file's " +
                     std::to_string(size) + " bytes.");
    }
    fileFd_ = fd;
    fileOffset_ = offset;
    fileEnd_ = size;
    reply("150 Opening BINARY mode data connection for " + name + " (" + std::to_string(size - offset) + " bytes).");
    openData([this] {
        transfer_ = Transfer::Retr;
        asio::error_code ec;
        data_->native_non_blocking(true, ec);
        retrStep();
    });
}

void FtpSession::retrStep()
{
    if (transfer_ != Transfer::Retr)
        return;
    std::size_t sent = 0;
    while (fileOffset_ < fileEnd_ && sent < kRetrSlice) {
        off_t off = static_cast<off_t>(fileOffset_);
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(fileEnd_ - fileOffset_, kRetrSlice));
        const ssize_t n = ::sendfile(data_->native_handle(), fileFd_, &off, want);
        if (n > 0) {
            fileOffset_ += static_cast<std::uint64_t>(n);
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            data_->async_wait(asio::ip::tcp::socket::wait_write,
                              [self = shared_from_this()](const asio::error_code& ec) {
                                  if (ec) {
                                      if (self->transfer_ == Transfer::Retr)
                                          self->failTransfer("426 Connection closed; transfer aborted.");
                                      return;
                                  }
                                  self->retrStep();
                              });
            return;
        }
        if (n == 0 && fileOffset_ < fileEnd_) {
            failTransfer("451 The file became shorter while it was read.");
            return;
        }
        failTransfer("426 Connection closed; transfer aborted.");
        return;
    }
    if (fileOffset_ >= fileEnd_) {
        endTransfer("226 Transfer complete.");
        return;
    }
    touch();
    asio::post(service_.io(), [self = shared_from_this()] { self->retrStep(); });
}

void FtpSession::onStor(const std::string& name)
{
    if (restOffset_ != 0) {
        restOffset_ = 0;
        return reply("504 Uploads cannot be resumed; upload under a new name.");
    }
    const auto path = pathFor(name);
    if (!path)
        return reply("553 " + name + ": not a name this service serves.");
    // O_EXCL: a stored file is never replaced, whoever asks.
    const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            return reply("553 " + name + " exists already; every upload takes a new name.");
        return reply("451 " + name + " cannot be created: " + std::strerror(errno));
    }
    fileFd_ = fd;
    storPath_ = *path;
    storing_ = true;
    received_ = 0;
    const auto& s = service_.settings();
    limit_ = s.LimitFileTrans ? static_cast<std::uint64_t>(s.LimitFileSize) * 1024 * 1024 : 0;
    reply("150 Opening BINARY mode data connection for " + name + ".");
    openData([this] {
        transfer_ = Transfer::Stor;
        buffer_.resize(kStorBuffer);
        storStep();
    });
}

void FtpSession::storStep()
{
    data_->async_read_some(
        asio::buffer(buffer_), [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
            if (self->transfer_ != Transfer::Stor)
                return;
            if (n > 0) {
                self->received_ += n;
                if (self->limit_ && self->received_ > self->limit_) {
                    self->failTransfer("552 The upload passes the file size limit of " +
                                       std::to_string(self->limit_ / (1024 * 1024)) + " MB.");
                    return;
                }
                std::size_t done = 0;
                while (done < n) {
                    const ssize_t w = ::write(self->fileFd_, self->buffer_.data() + done, n - done);
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0) {
                        self->failTransfer(std::string("452 Writing the file failed: ") + std::strerror(errno));
                        return;
                    }
                    done += static_cast<std::size_t>(w);
                }
                self->touch();
            }
            if (ec == asio::error::eof) {
                if (::close(self->fileFd_) != 0) {
                    self->fileFd_ = -1;
                    self->failTransfer("452 Writing the file failed.");
                    return;
                }
                self->fileFd_ = -1;
                self->endTransfer("226 Transfer complete.");
                return;
            }
            if (ec) {
                self->failTransfer("426 Connection closed; transfer aborted.");
                return;
            }
            self->storStep();
        });
}

void FtpSession::releaseData()
{
    asio::error_code ec;
    if (data_) {
        data_->shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        data_->close(ec);
        data_.reset();
    }
    passive_.reset();
    if (accepting_) {
        accepting_->close(ec);
        accepting_.reset();
    }
}

void FtpSession::endTransfer(const std::string& finalReply)
{
    storing_ = false;
    storPath_.clear();
    if (fileFd_ >= 0) {
        ::close(fileFd_);
        fileFd_ = -1;
    }
    releaseData();
    transfer_ = Transfer::None;
    reply(finalReply);
    // Commands that came during the transfer run now, in order.
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& line : waiting) {
        if (closing_)
            break;
        handleLine(line);
    }
}

void FtpSession::failTransfer(const std::string& finalReply)
{
    if (storing_) {
        if (fileFd_ >= 0) {
            ::close(fileFd_);
            fileFd_ = -1;
        }
        std::error_code ec;
        std::filesystem::remove(storPath_, ec);
    }
    endTransfer(finalReply);
}

void FtpSession::onAbor()
{
    if (transfer_ == Transfer::None)
        return reply("225 No transfer to abort.");
    failTransfer("426 Transfer aborted.");
    reply("226 ABOR successful.");
}

} // namespace oskel::server
