// oskel-load: drives thousands of protocol clients from one process, on one epoll loop,
// against an OskelServer that is already running on a loopback address. Each scenario
// prints a small table and one JSON line on stdout; progress and problems go to stderr.
//
//   oskel-load --port P [options] signin N        sign N users in, report, leave
//   oskel-load --port P [options] hold N          sign in, stay, server memory and idle CPU
//   oskel-load --port P [options] storm N         signed in, then all re-sign-in at once
//   oskel-load --port P [options] relay N P RATE  P pairs chat at RATE messages/s ("max":
//                                                 as fast as the loop can write)
//
// Users are "u00001" and up (--first moves the start), all with one password. Every
// client socket binds to one of --sources addresses from 127.0.0.2 on, so the ephemeral
// ports of one address never run out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ConversationRecords.h"
#include "protocol/Datagram.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"
#include "protocol/SessionRecords.h"
#include "protocol/StreamFramer.h"
#include "protocol/TimeStamp.h"

namespace {

using namespace oskel::protocol;
using Clock = std::chrono::steady_clock;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double seconds(std::int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int serverPid = 0;
    std::string password = "loadpw";
    int firstUser = 1;
    int window = 256;         // sign-ins outstanding at a time
    int sources = 64;         // source addresses 127.0.0.2 ...
    double timeout = 300;     // per phase, seconds
    double idleSeconds = 5;   // hold: server CPU measured over this
    double relaySeconds = 15; // relay: measured window after the warm-up
    double warmup = 1;        // relay: seconds not measured
    double maxSeconds = 5;    // relay max: sending window
    int batch = 8;            // relay max: messages per write
    int inflight = 0;         // relay max: messages on their way per route; 0 = unbounded
    bool withDirectory = false; // sign in with the directory flag 0 (the reply carries the directory)
    int udpPort = 0;            // rendezvous: the server's UDP port
    std::string database;       // offline: the server's SQLite file, to count the stored rows
    int repeats = 5;            // fanout: status changes measured
    std::string scenario;
    std::vector<std::string> args;
};

[[noreturn]] void usage(const std::string& problem)
{
    std::fprintf(stderr,
                 "oskel-load: %s\n"
                 "usage: oskel-load --port P [--host A] [--server-pid PID] [--password PW] [--first K]\n"
                 "                  [--window W] [--sources S] [--timeout SEC] [--idle SEC] [--seconds SEC]\n"
                 "                  [--warmup SEC] [--max-seconds SEC] [--batch B] [--inflight K]\n"
                 "                  [--with-directory] [--udp-port U] [--db FILE] [--repeats R]\n"
                 "                  signin N | hold N | storm N | relay N PAIRS RATE|max | fanout N\n"
                 "                  | offline N M | rendezvous COUNT\n",
                 problem.c_str());
    std::exit(2);
}

// ---- figures of the server process ----

long procRssKiB(int pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// utime + stime in clock ticks, all threads.
long long procCpuTicks(int pid)
{
    if (pid <= 0)
        return -1;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = all.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// Share of one core the server used between two readings.
double cpuPercent(long long ticks0, long long ticks1, double wallSeconds)
{
    if (ticks0 < 0 || ticks1 < 0 || wallSeconds <= 0)
        return -1;
    return 100.0 * static_cast<double>(ticks1 - ticks0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / wallSeconds;
}

// This process's own CPU time, for telling a busy generator from a busy server.
double selfCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// ---- output ----

double percentileMs(const std::vector<std::int64_t>& sorted, double q)
{
    if (sorted.empty())
        return -1;
    auto i = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
    i = std::min(i, sorted.size() - 1);
    return static_cast<double>(sorted[i]) / 1e6;
}

void row(const char* name, const std::string& value)
{
    std::printf("  %-36s %s\n", name, value.c_str());
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// A figure for the tables; below zero means "not measured".
std::string val(double v, int decimals)
{
    return v < 0 ? "n/a" : fmt("%.*f", decimals, v);
}

// A JSON object built field by field; numbers below zero mean "not measured" and are
// written as null.
class Json {
public:
    Json& text(const char* key, const std::string& v)
    {
        add(key, "\"" + v + "\"");
        return *this;
    }
    Json& integer(const char* key, long long v)
    {
        add(key, v < 0 ? "null" : std::to_string(v));
        return *this;
    }
    Json& number(const char* key, double v, int decimals = 3)
    {
        add(key, v < 0 ? "null" : fmt("%.*f", decimals, v));
        return *this;
    }
    void print() const { std::printf("{%s}\n", body_.c_str()); }

private:
    void add(const char* key, const std::string& value)
    {
        if (!body_.empty())
            body_ += ",";
        body_ += "\"" + std::string(key) + "\":" + value;
    }
    std::string body_;
};

std::string cString(std::span<const std::uint8_t> bytes)
{
    const auto* p = reinterpret_cast<const char*>(bytes.data());
    return std::string(p, strnlen(p, bytes.size()));
}

// ---- clients ----

enum class ClientState { Idle, Connecting, SigningIn, SignedIn };

struct Client {
    int index = 0;
    std::string id;
    int fd = -1;
    std::uint32_t generation = 0; // tells events of an earlier connection apart
    ClientState state = ClientState::Idle;
    StreamFramer framer{ReaderSide::Client};
    std::vector<std::uint8_t> out; // bytes the socket did not take yet
    std::size_t outPos = 0;
    bool watchingOut = false;
    bool refused = false; // faillog: the password is wrong, no retry
    int attempts = 0;
    std::int64_t signInStartNs = 0;
};

// The clients and their event loop. Connections go through a window of at most
// `window` sign-ins outstanding, so the server's accept queue is never overrun; a
// connection that fails before its sign-in is tried again a few times.
class Generator {
public:
    static constexpr int kMaxAttempts = 5;
    static constexpr std::uint64_t kTimerTag = ~std::uint64_t{0};

    Generator(const Options& options, int count) : options_(options), clients_(static_cast<std::size_t>(count))
    {
        char id[32];
        for (int i = 0; i < count; ++i) {
            clients_[i].index = i;
            std::snprintf(id, sizeof id, "u%05d", options.firstUser + i);
            clients_[i].id = id;
        }
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (epoll_ < 0 || timer_ < 0) {
            std::perror("oskel-load: epoll/timerfd");
            std::exit(1);
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kTimerTag;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);

        server_.sin_family = AF_INET;
        server_.sin_port = htons(static_cast<std::uint16_t>(options.port));
        if (inet_pton(AF_INET, options.host.c_str(), &server_.sin_addr) != 1)
            usage("--host must be an IPv4 address");

        TLoginRecord login;
        login.Password = encipherText(options.password);
        login.NoDirectory = !options.withDirectory;
        loginTemplate_ = login;
    }

    ~Generator()
    {
        for (auto& c : clients_)
            if (c.fd >= 0)
                ::close(c.fd);
        ::close(timer_);
        ::close(epoll_);
    }

    int size() const { return static_cast<int>(clients_.size()); }
    Client& client(int i) { return clients_[static_cast<std::size_t>(i)]; }

    // Called for every message after the generator's own handling of sign-in replies.
    std::function<void(Client&, const Frame&)> onFrame;
    // Called once a client's "suclog" arrived (its frame still in view).
    std::function<void(Client&, const Frame&)> onSignedIn;
    // Called when the timer armed with armTimer() fires.
    std::function<void()> onTimer;

    struct Counters {
        long long signedIn = 0;      // sign-ins completed
        long long refused = 0;       // faillog
        long long kikouts = 0;       // kikout received
        long long lostSignedIn = 0;  // a signed-in connection closed by the server or an error
        long long lostSigningIn = 0; // a connection lost before its sign-in finished
        long long connectErrors = 0;
        long long retries = 0;
        long long gaveUp = 0;
        long long protocolErrors = 0;
    } counters;
    std::vector<std::int64_t> signInNs; // per sign-in: first connect to "suclog"
    std::string firstProblem;

    int outstanding() const { return outstanding_; }
    bool idle() const { return outstanding_ == 0 && pending_.empty() && retry_.empty(); }

    void queueSignIn(int index)
    {
        Client& c = client(index);
        c.attempts = 0;
        c.refused = false;
        c.signInStartNs = 0;
        pending_.push_back(index);
    }

    // Closes the connection deliberately; nothing is counted.
    void hangUp(Client& c)
    {
        if (c.state == ClientState::Connecting || c.state == ClientState::SigningIn)
            --outstanding_;
        closeFd(c);
    }

    void send(Client& c, std::span<const std::uint8_t> bytes)
    {
        if (c.fd < 0 || bytes.empty())
            return;
        if (c.out.size() == c.outPos) {
            c.out.clear();
            c.outPos = 0;
            const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n == static_cast<ssize_t>(bytes.size()))
                return;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                lost(c, std::string("send: ") + std::strerror(errno));
                return;
            }
            const std::size_t done = n > 0 ? static_cast<std::size_t>(n) : 0;
            c.out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end());
        } else {
            c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        }
        watchOut(c, true);
    }

    bool hasPendingOutput(const Client& c) const { return c.out.size() > c.outPos; }

    void armTimer(std::int64_t atNs)
    {
        itimerspec spec{};
        atNs = std::max<std::int64_t>(atNs, 1);
        spec.it_value.tv_sec = atNs / 1000000000;
        spec.it_value.tv_nsec = atNs % 1000000000;
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &spec, nullptr);
    }

    // One pass of the loop: waits up to timeoutMs for events, handles them, and starts
    // queued sign-ins that fit the window.
    void poll(int timeoutMs)
    {
        pumpSignIns();
        const int n = epoll_wait(epoll_, events_, kEvents, timeoutMs);
        if (n < 0 && errno != EINTR) {
            std::perror("oskel-load: epoll_wait");
            std::exit(1);
        }
        bool timerFired = false;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events_[i].data.u64;
            if (tag == kTimerTag) {
                std::uint64_t expirations = 0;
                while (::read(timer_, &expirations, sizeof expirations) > 0) {
                }
                timerFired = true;
                continue;
            }
            Client& c = client(static_cast<int>(tag & 0xffffffffu));
            const auto generation = static_cast<std::uint32_t>(tag >> 32);
            if (c.fd < 0 || c.generation != generation)
                continue; // an event of a connection closed meanwhile
            const std::uint32_t ev = events_[i].events;
            if (c.state == ClientState::Connecting) {
                if (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))
                    connected(c);
                continue;
            }
            if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR))
                readFrom(c);
            if (c.fd >= 0 && c.generation == generation && (ev & EPOLLOUT))
                flush(c);
        }
        if (timerFired && onTimer)
            onTimer();
        pumpSignIns();
    }

    // Runs the loop until done() holds or the deadline passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::int64_t deadlineNs)
    {
        auto lastReport = nowNs();
        while (!done()) {
            const auto now = nowNs();
            if (now >= deadlineNs)
                return false;
            if (now - lastReport >= 5'000'000'000LL && progress) {
                progress();
                lastReport = now;
            }
            poll(static_cast<int>(std::min<std::int64_t>(100, (deadlineNs - now) / 1'000'000 + 1)));
        }
        return true;
    }

    // Keeps reading for `forNs`.
    void runFor(std::int64_t forNs)
    {
        const auto end = nowNs() + forNs;
        runUntil([] { return false; }, end);
    }

    std::function<void()> progress;

    // Sign-ins queued with queueSignIn() all came to an end (signed in, refused or
    // given up).
    bool signInsSettled() const { return idle(); }

private:
    static constexpr int kEvents = 1024;

    void pumpSignIns()
    {
        const auto now = nowNs();
        while (!retry_.empty() && retry_.front().second <= now) {
            pending_.push_back(retry_.front().first);
            retry_.pop_front();
        }
        while (outstanding_ < options_.window && !pending_.empty()) {
            Client& c = client(pending_.front());
            pending_.pop_front();
            if (!startConnect(c))
                break; // out of descriptors or addresses: it went to the retry queue
        }
    }

    bool startConnect(Client& c)
    {
        closeFd(c);
        c.framer = StreamFramer(ReaderSide::Client);
        c.out.clear();
        c.outPos = 0;
        if (c.signInStartNs == 0)
            c.signInStartNs = nowNs();
        ++c.attempts;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            connectFailed(c, std::string("socket: ") + std::strerror(errno));
            return false;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (options_.sources > 0) {
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = htonl(0x7f000002u + static_cast<std::uint32_t>(c.index % options_.sources));
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&src), sizeof src) != 0) {
                const std::string e = std::string("bind: ") + std::strerror(errno);
                ::close(fd);
                connectFailed(c, e);
                return false;
            }
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0 && errno != EINPROGRESS) {
            const std::string e = std::string("connect: ") + std::strerror(errno);
            ::close(fd);
            connectFailed(c, e);
            return false;
        }
        c.fd = fd;
        ++c.generation;
        c.state = ClientState::Connecting;
        c.watchingOut = true;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u64 = (static_cast<std::uint64_t>(c.generation) << 32) | static_cast<std::uint32_t>(c.index);
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        ++outstanding_;
        return true;
    }

    void connectFailed(Client& c, const std::string& why)
    {
        ++counters.connectErrors;
        note(c, why);
        retryLater(c);
    }

    void retryLater(Client& c)
    {
        if (c.attempts >= kMaxAttempts) {
            ++counters.gaveUp;
            note(c, "gave up after " + std::to_string(c.attempts) + " attempts");
            return;
        }
        ++counters.retries;
        retry_.emplace_back(c.index, nowNs() + 200'000'000LL * c.attempts);
    }

    void connected(Client& c)
    {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            lost(c, std::string("connect: ") + std::strerror(err));
            return;
        }
        c.state = ClientState::SigningIn;
        watchOut(c, false);
        TLoginRecord login = loginTemplate_;
        login.UserID = c.id;
        send(c, buildLogin(login));
    }

    void watchOut(Client& c, bool on)
    {
        if (c.fd < 0 || c.watchingOut == on)
            return;
        c.watchingOut = on;
        epoll_event ev{};
        ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        ev.data.u64 = (static_cast<std::uint64_t>(c.generation) << 32) | static_cast<std::uint32_t>(c.index);
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void flush(Client& c)
    {
        while (c.fd >= 0 && c.outPos < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                c.outPos += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n < 0 && errno == EINTR)
                continue;
            lost(c, std::string("send: ") + std::strerror(errno));
            return;
        }
        if (c.fd < 0)
            return;
        c.out.clear();
        c.outPos = 0;
        watchOut(c, false);
    }

    void readFrom(Client& c)
    {
        const int fd = c.fd;
        for (int round = 0; round < 8 && c.fd == fd; ++round) {
            const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (n == 0) {
                lost(c, "closed by the server");
                return;
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    lost(c, std::string("recv: ") + std::strerror(errno));
                return;
            }
            const bool ok = c.framer.feed(std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(n)),
                                          [this, &c, fd](const Frame& f) {
                                              if (c.fd == fd)
                                                  handle(c, f);
                                          });
            if (!ok && c.fd == fd) {
                ++counters.protocolErrors;
                lost(c, "stream: " + c.framer.error());
                return;
            }
            if (static_cast<std::size_t>(n) < buffer_.size())
                return;
        }
    }

    void handle(Client& c, const Frame& f)
    {
        switch (f.command) {
        case Command::SucLog:
            if (c.state != ClientState::SigningIn)
                return;
            c.state = ClientState::SignedIn;
            --outstanding_;
            ++counters.signedIn;
            signInNs.push_back(nowNs() - c.signInStartNs);
            if (onSignedIn)
                onSignedIn(c, f);
            return;
        case Command::FailLog:
            ++counters.refused;
            note(c, "faillog: " + cString(f.body));
            c.refused = true;
            hangUp(c);
            return;
        case Command::KikOut:
            ++counters.kikouts;
            if (!c.refused)
                note(c, "kikout: " + cString(f.body));
            return;
        default:
            if (onFrame)
                onFrame(c, f);
        }
    }

    // The connection ended without us asking for it.
    void lost(Client& c, const std::string& why)
    {
        const ClientState was = c.state;
        closeFd(c);
        note(c, why);
        if (was == ClientState::SignedIn) {
            ++counters.lostSignedIn;
            return;
        }
        --outstanding_;
        ++counters.lostSigningIn;
        retryLater(c);
    }

    void closeFd(Client& c)
    {
        if (c.fd >= 0)
            ::close(c.fd); // also leaves the epoll set
        c.fd = -1;
        c.state = ClientState::Idle;
        c.watchingOut = false;
        c.out.clear();
        c.outPos = 0;
    }

    void note(const Client& c, const std::string& what)
    {
        if (firstProblem.empty())
            firstProblem = c.id + ": " + what;
        if (notes_ < 10)
            std::fprintf(stderr, "oskel-load: %s: %s\n", c.id.c_str(), what.c_str());
        else if (notes_ == 10)
            std::fprintf(stderr, "oskel-load: further problems are only counted\n");
        ++notes_;
    }

    const Options& options_;
    std::vector<Client> clients_;
    int epoll_ = -1;
    int timer_ = -1;
    sockaddr_in server_{};
    TLoginRecord loginTemplate_;
    int outstanding_ = 0;
    std::deque<int> pending_;
    std::deque<std::pair<int, std::int64_t>> retry_; // index, not before
    int notes_ = 0;
    epoll_event events_[kEvents];
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(256 * 1024);
};

// ---- shared steps ----

struct SignInFigures {
    double seconds = 0;
    long long signedIn = 0;
    double p50Ms = -1, p99Ms = -1, maxMs = -1;
};

void progressLine(const char* phase, Generator& g, long long target)
{
    std::fprintf(stderr, "oskel-load: %s: %lld/%lld signed in, %d outstanding\n", phase, g.counters.signedIn, target,
                 g.outstanding());
}

// Queues every client for sign-in and runs until all sign-ins came to an end.
SignInFigures signInAll(Generator& g, const Options& o, const char* phase)
{
    const long long before = g.counters.signedIn;
    g.signInNs.clear();
    const auto t0 = nowNs();
    for (int i = 0; i < g.size(); ++i)
        g.queueSignIn(i);
    g.progress = [&g, phase] { progressLine(phase, g, g.size()); };
    const bool settled =
        g.runUntil([&] { return g.signInsSettled(); }, t0 + static_cast<std::int64_t>(o.timeout * 1e9));
    SignInFigures f;
    f.seconds = seconds(nowNs() - t0);
    f.signedIn = g.counters.signedIn - before;
    if (!settled)
        std::fprintf(stderr, "oskel-load: %s: timed out after %.0f s\n", phase, o.timeout);
    std::sort(g.signInNs.begin(), g.signInNs.end());
    f.p50Ms = percentileMs(g.signInNs, 0.50);
    f.p99Ms = percentileMs(g.signInNs, 0.99);
    f.maxMs = g.signInNs.empty() ? -1 : static_cast<double>(g.signInNs.back()) / 1e6;
    return f;
}

void printProblems(const Generator& g)
{
    const auto& k = g.counters;
    row("failures", fmt("refused %lld, gave up %lld, lost signed in %lld, lost signing in %lld", k.refused, k.gaveUp,
                        k.lostSignedIn, k.lostSigningIn));
    row("", fmt("kikouts %lld, connect errors %lld, retries %lld, stream errors %lld", k.kikouts, k.connectErrors,
                k.retries, k.protocolErrors));
    if (!g.firstProblem.empty())
        row("first problem", g.firstProblem);
}

Json& problemsJson(Json& j, const Generator& g)
{
    const auto& k = g.counters;
    return j.integer("refused", k.refused)
        .integer("gave_up", k.gaveUp)
        .integer("lost_signed_in", k.lostSignedIn)
        .integer("lost_signing_in", k.lostSigningIn)
        .integer("kikouts", k.kikouts)
        .integer("retries", k.retries);
}

int parseCount(const std::string& text, const char* what)
{
    int v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v <= 0)
        usage(std::string(what) + " must be a positive number");
    return v;
}

// "u00042" -> 41 (with --first 1); -1 for anything else.
int indexOf(std::string_view id, const Options& o, int count)
{
    if (id.size() < 2 || id[0] != 'u')
        return -1;
    int n = 0;
    const auto r = std::from_chars(id.data() + 1, id.data() + id.size(), n);
    if (r.ec != std::errc() || r.ptr != id.data() + id.size())
        return -1;
    n -= o.firstUser;
    return n >= 0 && n < count ? n : -1;
}

// ---- scenarios ----

int runSignIn(const Options& o, int n)
{
    Generator g(o, n);
    const char* name = o.withDirectory ? "full" : "signin";
    const SignInFigures s = signInAll(g, o, name);
    std::printf("%s: %d clients%s\n", name, n, o.withDirectory ? ", each reply with the whole directory" : "");
    row("signed in", fmt("%lld / %d", s.signedIn, n));
    row("time to sign all in", fmt("%.2f s (%.0f sign-ins/s)", s.seconds, static_cast<double>(s.signedIn) / s.seconds));
    row("per sign-in p50 / p99 / max", (val(s.p50Ms, 1) + " / " + val(s.p99Ms, 1) + " / " + val(s.maxMs, 1) + " ms"));
    printProblems(g);
    Json j;
    j.text("scenario", name).integer("clients", n).integer("signed_in", s.signedIn).number("signin_s", s.seconds);
    j.number("signins_per_s", static_cast<double>(s.signedIn) / s.seconds, 0);
    j.number("signin_p50_ms", s.p50Ms).number("signin_p99_ms", s.p99Ms);
    problemsJson(j, g).print();
    return s.signedIn == n ? 0 : 1;
}

int runHold(const Options& o, int n)
{
    Generator g(o, n);
    const long rssBefore = procRssKiB(o.serverPid);
    const SignInFigures s = signInAll(g, o, "hold");
    g.runFor(1'000'000'000LL); // the last replies and the server's own follow-up work
    const long rssAfter = procRssKiB(o.serverPid);
    const long long ticks0 = procCpuTicks(o.serverPid);
    const auto idle0 = nowNs();
    g.runFor(static_cast<std::int64_t>(o.idleSeconds * 1e9));
    const double idleCpu = cpuPercent(ticks0, procCpuTicks(o.serverPid), seconds(nowNs() - idle0));
    const long rssIdle = procRssKiB(o.serverPid);
    long long connected = 0;
    for (int i = 0; i < n; ++i)
        connected += g.client(i).state == ClientState::SignedIn;
    const double perClient =
        rssBefore >= 0 && rssAfter >= 0 && s.signedIn > 0 ? static_cast<double>(rssAfter - rssBefore) / s.signedIn : -1;

    std::printf("hold: %d clients\n", n);
    row("signed in / still connected", fmt("%lld / %lld of %d", s.signedIn, connected, n));
    row("time to sign all in", fmt("%.2f s (%.0f sign-ins/s)", s.seconds, static_cast<double>(s.signedIn) / s.seconds));
    row("per sign-in p50 / p99 / max", (val(s.p50Ms, 1) + " / " + val(s.p99Ms, 1) + " / " + val(s.maxMs, 1) + " ms"));
    row("server RSS before / after",
        (val(static_cast<double>(rssBefore), 0) + " / " + val(static_cast<double>(rssAfter), 0) + " KiB"));
    row("server memory per signed-in client", (val(perClient, 1) + " KiB"));
    row("server RSS after idle", (val(static_cast<double>(rssIdle), 0) + " KiB"));
    // /proc counts in clock ticks: one tick over the idle window is the resolution.
    row("server CPU at idle", fmt("%s %% of one core over %.0f s (resolution %.2f %%)", val(idleCpu, 2).c_str(),
                                  o.idleSeconds, 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / o.idleSeconds));
    printProblems(g);
    Json j;
    j.text("scenario", "hold").integer("clients", n).integer("signed_in", s.signedIn).integer("connected", connected);
    j.number("signin_s", s.seconds).number("signin_p50_ms", s.p50Ms).number("signin_p99_ms", s.p99Ms);
    j.integer("rss_before_kib", rssBefore)
        .integer("rss_after_kib", rssAfter)
        .number("rss_per_client_kib", perClient, 2);
    j.integer("rss_idle_kib", rssIdle).number("idle_cpu_pct", idleCpu, 2);
    problemsJson(j, g).print();
    return connected == n ? 0 : 1;
}

int runStorm(const Options& o, int n)
{
    Generator g(o, n);
    const SignInFigures first = signInAll(g, o, "storm: first sign-in");
    if (first.signedIn != n) {
        std::fprintf(stderr, "oskel-load: storm: only %lld of %d signed in; no storm\n", first.signedIn, n);
        printProblems(g);
        return 1;
    }
    g.runFor(1'000'000'000LL);

    // seen[c] holds one bit per other client whose "Online" reached c on its new
    // connection, as a "status" message or as a line of its sign-in reply's online list.
    // Before the storm nobody sent a status, so an "Online" can only come from a new
    // connection.
    const std::size_t words = (static_cast<std::size_t>(n) + 63) / 64;
    std::vector<std::uint64_t> seen(words * static_cast<std::size_t>(n), 0);
    std::vector<int> seenCount(static_cast<std::size_t>(n), 0);
    long long pairs = 0;
    long long statusOnline = 0, statusOther = 0, listOnline = 0, statusUnknown = 0, selfSeen = 0;
    const long long wanted = static_cast<long long>(n) * (n - 1);
    long long clientsDone = 0;

    auto mark = [&](int c, int other) {
        if (other == c) {
            ++selfSeen;
            return;
        }
        std::uint64_t& w = seen[static_cast<std::size_t>(c) * words + static_cast<std::size_t>(other) / 64];
        const std::uint64_t bit = std::uint64_t{1} << (other % 64);
        if (w & bit)
            return;
        w |= bit;
        ++pairs;
        if (++seenCount[static_cast<std::size_t>(c)] == n - 1)
            ++clientsDone;
    };

    Bytes online;
    g.onSignedIn = [&](Client& c, const Frame& f) {
        std::string_view list = f.text2;
        while (!list.empty()) {
            const auto eol = list.find("\r\n");
            const std::string_view line = list.substr(0, eol);
            list.remove_prefix(eol == std::string_view::npos ? list.size() : eol + 2);
            const auto tab = line.find('\t');
            if (tab == std::string_view::npos || line.substr(tab + 1) != "Online")
                continue;
            ++listOnline;
            const int other = indexOf(line.substr(0, tab), o, n);
            if (other >= 0)
                mark(c.index, other);
        }
        TStatusRecord status;
        status.UserID = c.id;
        status.Status = "Online";
        g.send(c, buildStatus(status));
    };
    g.onFrame = [&](Client& c, const Frame& f) {
        if (f.command != Command::Status || f.body.size() < TStatusRecord::kSize)
            return;
        const std::string user = cString(f.body.subspan(0, 21));
        const std::size_t len = std::min<std::size_t>(f.body[21], 10);
        const std::string_view status(reinterpret_cast<const char*>(f.body.data()) + 22, len);
        if (status != "Online") {
            ++statusOther;
            return;
        }
        ++statusOnline;
        const int other = indexOf(user, o, n);
        if (other < 0) {
            ++statusUnknown;
            return;
        }
        mark(c.index, other);
    };

    // The storm: every connection drops at once, every client signs in again through
    // the sign-in window and announces itself.
    const auto lostBefore = g.counters.lostSignedIn + g.counters.lostSigningIn;
    const long long signedBefore = g.counters.signedIn;
    const long long ticks0 = procCpuTicks(o.serverPid);
    const double self0 = selfCpuSeconds();
    const auto t0 = nowNs();
    for (int i = 0; i < n; ++i)
        g.hangUp(g.client(i));
    g.signInNs.clear();
    for (int i = 0; i < n; ++i)
        g.queueSignIn(i);
    std::int64_t allSignedInNs = -1;
    g.progress = [&] {
        std::fprintf(stderr, "oskel-load: storm: %lld/%d signed in again, %lld/%lld pairs seen (%.1f%%)\n",
                     g.counters.signedIn - signedBefore, n, pairs, wanted, 100.0 * pairs / wanted);
    };
    const bool settled = g.runUntil(
        [&] {
            if (allSignedInNs < 0 && g.counters.signedIn - signedBefore == n)
                allSignedInNs = nowNs() - t0;
            return pairs == wanted;
        },
        t0 + static_cast<std::int64_t>(o.timeout * 1e9));
    const std::int64_t settledNs = nowNs() - t0;
    const double cpu = cpuPercent(ticks0, procCpuTicks(o.serverPid), seconds(settledNs));
    const double selfCpu = 100.0 * (selfCpuSeconds() - self0) / seconds(settledNs);
    std::sort(g.signInNs.begin(), g.signInNs.end());

    std::printf("storm: %d clients re-sign-in at once (window %d)\n", n, o.window);
    row("first sign-in (not timed)", fmt("%.2f s", first.seconds));
    row("all signed in again after", allSignedInNs < 0 ? "never" : fmt("%.2f s", seconds(allSignedInNs)));
    row("per re-sign-in p50 / p99",
        (val(percentileMs(g.signInNs, 0.5), 1) + " / " + val(percentileMs(g.signInNs, 0.99), 1) + " ms"));
    row(settled ? "every client saw every other after" : "NOT settled; gave up after",
        fmt("%.2f s", seconds(settledNs)));
    row("pairs seen", fmt("%lld / %lld (N x (N-1)); clients done %lld / %d", pairs, wanted, clientsDone, n));
    row("N^2 status deliveries", fmt("%lld", static_cast<long long>(n) * n));
    row("\"Online\" as status messages", fmt("%lld (own echo %lld)", statusOnline, selfSeen));
    row("\"Online\" as online-list lines", fmt("%lld", listOnline));
    row("other status messages (Offline)", fmt("%lld", statusOther));
    row("CPU during the storm: server / load", (val(cpu, 0) + " % / " + val(selfCpu, 0) + " % of one core"));
    printProblems(g);
    Json j;
    j.text("scenario", "storm")
        .integer("clients", n)
        .integer("window", o.window)
        .number("first_signin_s", first.seconds);
    j.number("all_signed_in_s", allSignedInNs < 0 ? -1 : seconds(allSignedInNs));
    j.number("settled_s", settled ? seconds(settledNs) : -1).integer("settled", settled ? 1 : 0);
    j.integer("pairs_seen", pairs).integer("pairs_wanted", wanted).integer("n_squared", static_cast<long long>(n) * n);
    j.integer("status_online_msgs", statusOnline).integer("online_list_lines", listOnline);
    j.integer("status_other_msgs", statusOther).number("server_cpu_pct", cpu, 0).number("load_cpu_pct", selfCpu, 0);
    j.integer("lost_in_storm", g.counters.lostSignedIn + g.counters.lostSigningIn - lostBefore);
    problemsJson(j, g).print();
    return settled ? 0 : 1;
}

// One direction of a pair: a prebuilt "chat" whose text is the send time in twenty
// decimal digits, patched in place before each write.
struct Route {
    int from = 0;
    int to = 0;
    Bytes message;
};

constexpr std::size_t kStampDigits = 20;

void stamp(Bytes& message, std::int64_t ns)
{
    char* p = reinterpret_cast<char*>(message.data() + message.size() - kStampDigits);
    auto v = static_cast<std::uint64_t>(ns);
    for (std::size_t i = kStampDigits; i-- > 0; v /= 10)
        p[i] = static_cast<char>('0' + v % 10);
}

// rate 0: open loop, as fast as the loop can write.
int runRelay(const Options& o, int n, int pairCount, int rate)
{
    if (pairCount * 2 > n)
        usage("PAIRS must be at most N/2");
    Generator g(o, n);
    const SignInFigures s = signInAll(g, o, "relay: sign-in");
    if (s.signedIn != n) {
        std::fprintf(stderr, "oskel-load: relay: only %lld of %d signed in\n", s.signedIn, n);
        printProblems(g);
        return 1;
    }
    g.runFor(1'000'000'000LL);

    std::vector<Route> routes;
    const std::string sendTime = formatTimeStamp(DateTime::now());
    for (int p = 0; p < pairCount; ++p)
        for (int dir = 0; dir < 2; ++dir) {
            Route r;
            r.from = 2 * p + dir;
            r.to = 2 * p + 1 - dir;
            TChatRecord rec;
            rec.SenderID = rec.SenderName = g.client(r.from).id;
            rec.ReceiverID = rec.ReceiverName = g.client(r.to).id;
            rec.FontColor = "clBlack";
            rec.FontName = "Sans";
            rec.SendTime = sendTime;
            rec.FontSize = 10;
            r.message = buildChat(rec, std::string(kStampDigits, '0'));
            routes.push_back(std::move(r));
        }
    std::vector<int> routeTo(static_cast<std::size_t>(n), -1); // receiving client -> the route to it
    for (std::size_t i = 0; i < routes.size(); ++i)
        routeTo[static_cast<std::size_t>(routes[i].to)] = static_cast<int>(i);
    std::vector<long long> inflight(routes.size(), 0);

    const bool maxMode = rate == 0;
    // The paced schedule starts a moment ahead so its first message is on time.
    const auto start = nowNs() + (maxMode ? 0 : 10'000'000LL);
    const auto measureFrom = maxMode ? start : start + static_cast<std::int64_t>(o.warmup * 1e9);
    const auto end = maxMode ? start + static_cast<std::int64_t>(o.maxSeconds * 1e9)
                             : measureFrom + static_cast<std::int64_t>(o.relaySeconds * 1e9);

    std::int64_t lastReceiveNs = 0;
    long long sent = 0, sentMeasured = 0, received = 0, receivedMeasured = 0, receivedInWindow = 0, misrouted = 0;
    std::vector<std::int64_t> latency, lag;
    g.progress = [&] { std::fprintf(stderr, "oskel-load: relay: %lld sent, %lld received\n", sent, received); };
    latency.reserve(maxMode ? 1 << 20 : static_cast<std::size_t>(rate * (o.relaySeconds + 1)));

    g.onFrame = [&](Client& c, const Frame& f) {
        if (f.command != Command::Chat)
            return;
        const auto now = nowNs();
        const std::string receiver = cString(f.body.subspan(42, 21));
        std::int64_t sentNs = 0;
        const auto r = std::from_chars(f.text1.data(), f.text1.data() + f.text1.size(), sentNs);
        if (receiver != c.id || r.ec != std::errc() || f.text1.size() != kStampDigits) {
            ++misrouted;
            return;
        }
        ++received;
        lastReceiveNs = now;
        if (const int route = routeTo[static_cast<std::size_t>(c.index)]; route >= 0)
            --inflight[static_cast<std::size_t>(route)];
        if (now <= end)
            ++receivedInWindow;
        if (sentNs >= measureFrom && sentNs < end) {
            ++receivedMeasured;
            latency.push_back(now - sentNs);
        }
    };

    auto sendOn = [&](Route& r, std::int64_t scheduledNs) {
        const auto now = nowNs();
        stamp(r.message, now);
        g.send(g.client(r.from), r.message);
        ++sent;
        if (now >= measureFrom && now < end) {
            ++sentMeasured;
            if (scheduledNs > 0)
                lag.push_back(now - scheduledNs);
        }
    };

    const long long ticks0 = procCpuTicks(o.serverPid);
    const double self0 = selfCpuSeconds();
    if (!maxMode) {
        // Message j goes at start + j / RATE, round robin over the routes; the timer wakes
        // the loop for each, so the messages are spread evenly over every second.
        const double intervalNs = 1e9 / rate;
        long long j = 0;
        bool sending = true;
        g.onTimer = [&] {
            const auto now = nowNs();
            for (;;) {
                const auto due = start + static_cast<std::int64_t>(static_cast<double>(j) * intervalNs);
                if (due >= end) {
                    sending = false;
                    return;
                }
                if (due > now) {
                    g.armTimer(due);
                    return;
                }
                // Routes are pair 0 both ways, pair 1 both ways, ...: round robin.
                sendOn(routes[static_cast<std::size_t>(j) % routes.size()], due);
                ++j;
            }
        };
        g.armTimer(start);
        g.runUntil([&] { return !sending; }, end + 5'000'000'000LL);
    } else {
        // Open loop: a sender whose socket took everything gets another batch at once,
        // without waiting for any answer. With --inflight K a route also waits while K of
        // its messages are on their way.
        Bytes batch;
        while (nowNs() < end) {
            bool wrote = false;
            for (std::size_t i = 0; i < routes.size(); ++i) {
                Route& r = routes[i];
                Client& from = g.client(r.from);
                if (from.fd < 0 || g.hasPendingOutput(from))
                    continue;
                if (o.inflight > 0 && inflight[i] + o.batch > o.inflight)
                    continue;
                batch.clear();
                const auto now = nowNs();
                for (int b = 0; b < o.batch; ++b) {
                    stamp(r.message, now);
                    batch.insert(batch.end(), r.message.begin(), r.message.end());
                }
                g.send(from, batch);
                sent += o.batch;
                sentMeasured += o.batch;
                inflight[i] += o.batch;
                wrote = true;
            }
            g.poll(wrote ? 0 : 1);
        }
    }
    const auto sendEnd = nowNs();
    const double cpu = cpuPercent(ticks0, procCpuTicks(o.serverPid), seconds(sendEnd - start));
    const double selfCpu = 100.0 * (selfCpuSeconds() - self0) / seconds(sendEnd - start);
    // Whatever is still on its way.
    g.runUntil([&] { return received + misrouted >= sent; }, nowNs() + 10'000'000'000LL);

    std::sort(latency.begin(), latency.end());
    std::sort(lag.begin(), lag.end());
    const double window = seconds(end - measureFrom);
    const double sentRate = static_cast<double>(sentMeasured) / window;
    const double windowRate = static_cast<double>(receivedInWindow) / seconds(end - start);
    // Everything received, up to the last message: what the server kept up with.
    const double sustainedRate =
        lastReceiveNs > start ? static_cast<double>(received) / seconds(lastReceiveNs - start) : -1;
    const double p50 = percentileMs(latency, 0.50), p99 = percentileMs(latency, 0.99),
                 p999 = percentileMs(latency, 0.999);
    const double maxMs = latency.empty() ? -1 : static_cast<double>(latency.back()) / 1e6;
    const long long lost = sent - received - misrouted;

    if (maxMode)
        std::printf("relay max: %d clients, %d pairs, open loop for %.0f s (batches of %d, in flight per route %s)\n",
                    n, pairCount, o.maxSeconds, o.batch,
                    o.inflight > 0 ? std::to_string(o.inflight).c_str() : "unbounded");
    else
        std::printf("relay: %d clients, %d pairs, %d messages/s for %.0f s (after %.0f s warm-up)\n", n, pairCount,
                    rate, o.relaySeconds, o.warmup);
    row("messages sent / received", fmt("%lld / %lld (lost %lld, misrouted %lld)", sent, received, lost, misrouted));
    row("achieved send rate", fmt("%.0f messages/s", sentRate));
    row("received rate in the window", fmt("%.0f messages/s", windowRate));
    row("received rate until the last message",
        fmt("%.0f messages/s (%.2f s)", sustainedRate, lastReceiveNs > start ? seconds(lastReceiveNs - start) : -1));
    row("latency p50 / p99 / p99.9 / max",
        (val(p50, 3) + " / " + val(p99, 3) + " / " + val(p999, 3) + " / " + val(maxMs, 3) + " ms"));
    row("latency samples", fmt("%zu", latency.size()));
    if (!maxMode)
        row("sender lag p99 / max", (val(percentileMs(lag, 0.99), 3) + " / " +
                                     val(lag.empty() ? -1 : static_cast<double>(lag.back()) / 1e6, 3) + " ms"));
    row("CPU while sending: server / load", (val(cpu, 0) + " % / " + val(selfCpu, 0) + " % of one core"));
    printProblems(g);
    Json j;
    j.text("scenario", maxMode ? "relay_max" : "relay").integer("clients", n).integer("pairs", pairCount);
    j.integer("rate_target", maxMode ? -1 : rate).number("seconds", window, 1);
    if (maxMode)
        j.integer("batch", o.batch).integer("inflight", o.inflight);
    j.integer("sent", sent).integer("received", received).integer("lost", lost).integer("misrouted", misrouted);
    j.number("sent_per_s", sentRate, 0).number("received_per_s", windowRate, 0);
    j.number("received_per_s_to_last", sustainedRate, 0);
    j.number("p50_ms", p50).number("p99_ms", p99).number("p999_ms", p999).number("max_ms", maxMs);
    if (!maxMode)
        j.number("lag_p99_ms", percentileMs(lag, 0.99));
    j.number("server_cpu_pct", cpu, 0).number("load_cpu_pct", selfCpu, 0);
    problemsJson(j, g).print();
    return lost == 0 && misrouted == 0 ? 0 : 1;
}

// ---- fan-out, offline store, rendezvous ----

// One "status" change of the first client, seen by every signed-in client (its own
// connection included): the time from the write to the last arrival, several times.
int runFanOut(const Options& o, int n)
{
    Generator g(o, n);
    const SignInFigures s = signInAll(g, o, "fanout: sign-in");
    if (s.signedIn != n) {
        std::fprintf(stderr, "oskel-load: fanout: only %lld of %d signed in\n", s.signedIn, n);
        printProblems(g);
        return 1;
    }
    g.runFor(1'000'000'000LL);
    Client& sender = g.client(0);
    std::string expected;
    std::vector<char> seen(static_cast<std::size_t>(n), 0);
    int seenCount = 0;
    std::int64_t lastNs = 0;
    g.onFrame = [&](Client& c, const Frame& f) {
        if (f.command != Command::Status || f.body.size() < TStatusRecord::kSize)
            return;
        const TStatusRecord st = TStatusRecord::decode(f.body);
        if (st.UserID != sender.id || st.Status != expected || seen[static_cast<std::size_t>(c.index)])
            return;
        seen[static_cast<std::size_t>(c.index)] = 1;
        ++seenCount;
        lastNs = nowNs();
    };
    std::vector<std::int64_t> rounds;
    const char* statuses[] = {"Away", "Online", "Busy", "Online"};
    for (int r = 0; r < o.repeats; ++r) {
        expected = statuses[r % 4];
        std::fill(seen.begin(), seen.end(), 0);
        seenCount = 0;
        TStatusRecord st;
        st.UserID = sender.id;
        st.Status = expected;
        const auto t0 = nowNs();
        g.send(sender, buildStatus(st));
        if (!g.runUntil([&] { return seenCount == n; }, t0 + static_cast<std::int64_t>(o.timeout * 1e9))) {
            std::fprintf(stderr, "oskel-load: fanout: only %d of %d saw \"%s\"\n", seenCount, n, expected.c_str());
            break;
        }
        rounds.push_back(lastNs - t0);
        g.runFor(300'000'000LL); // quiet between rounds
    }
    std::vector<std::int64_t> sorted = rounds;
    std::sort(sorted.begin(), sorted.end());
    std::printf("fanout: one \"status\" change seen by %d clients, %d times\n", n, o.repeats);
    std::string each;
    for (auto ns : rounds)
        each += fmt("%.1f ", static_cast<double>(ns) / 1e6);
    row("time to the last client, each (ms)", each);
    row("median / max", (val(percentileMs(sorted, 0.5), 1) + " / " +
                         val(sorted.empty() ? -1 : static_cast<double>(sorted.back()) / 1e6, 1) + " ms"));
    printProblems(g);
    Json j;
    j.text("scenario", "fanout").integer("clients", n).integer("rounds", static_cast<long long>(rounds.size()));
    j.number("median_ms", percentileMs(sorted, 0.5))
        .number("max_ms", sorted.empty() ? -1 : static_cast<double>(sorted.back()) / 1e6);
    problemsJson(j, g).print();
    return static_cast<int>(rounds.size()) == o.repeats ? 0 : 1;
}

// Rows of T_UNDELIVEMSG, read with the sqlite3 program (-1 when it cannot be read).
long long storedRows(const std::string& database)
{
    if (database.empty())
        return -1;
    const std::string command = "sqlite3 -cmd '.timeout 10000' '" + database + "' 'SELECT COUNT(*) FROM T_UNDELIVEMSG'";
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        return -1;
    char line[64] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    ::pclose(p);
    return got ? std::atoll(line) : -1;
}

// M chats from the first client to the other N-1, none of them signed in (each signed
// in once before): the rows the
// store takes per second, then the sign-ins of the addressees and the rows delivered
// per second; every message carries its number, so a lost or doubled one shows.
int runOffline(const Options& o, int n, int m)
{
    if (n < 2)
        usage("offline needs N of at least 2");
    Generator g(o, n);
    // Everybody signs in once and leaves: the server then knows their credentials, as
    // for every sign-in after a user's first since the start, so the figures below are
    // the store's and not the password hashing's.
    signInAll(g, o, "offline: warm-up");
    g.runFor(500'000'000LL);
    for (int i = 1; i < n; ++i)
        g.hangUp(g.client(i));
    g.runFor(1'000'000'000LL);
    Client& sender = g.client(0);
    if (sender.state != ClientState::SignedIn) {
        std::fprintf(stderr, "oskel-load: offline: the sender did not sign in\n");
        return 1;
    }
    const long long storedBefore = storedRows(o.database);
    std::vector<std::uint8_t> burst;
    const auto t0 = nowNs();
    for (int i = 0; i < m; ++i) {
        TChatRecord chat;
        chat.SenderID = sender.id;
        chat.ReceiverID = g.client(1 + i % (n - 1)).id;
        const auto msg = buildChat(chat, fmt("%d", i));
        burst.insert(burst.end(), msg.begin(), msg.end());
        if (burst.size() >= 256 * 1024 || i == m - 1) {
            g.send(sender, burst);
            burst.clear();
            while (g.hasPendingOutput(sender))
                g.poll(10);
        }
    }
    const auto sentNs = nowNs() - t0;
    long long stored = storedRows(o.database);
    while (stored >= 0 && stored - storedBefore < m && nowNs() - t0 < static_cast<std::int64_t>(o.timeout * 1e9)) {
        g.poll(20);
        stored = storedRows(o.database);
    }
    const auto inNs = nowNs() - t0;

    std::vector<char> got(static_cast<std::size_t>(m), 0);
    long long received = 0, doubled = 0, misrouted = 0;
    g.onFrame = [&](Client& c, const Frame& f) {
        if (f.command != Command::Chat || f.body.size() < TChatRecord::kSize)
            return;
        int k = -1;
        std::from_chars(f.text1.data(), f.text1.data() + f.text1.size(), k);
        if (k < 0 || k >= m || c.index != 1 + k % (n - 1)) {
            ++misrouted;
            return;
        }
        if (got[static_cast<std::size_t>(k)]) {
            ++doubled;
            return;
        }
        got[static_cast<std::size_t>(k)] = 1;
        ++received;
    };
    const auto t1 = nowNs();
    for (int i = 1; i < n; ++i)
        g.queueSignIn(i);
    g.runUntil([&] { return received == m; }, t1 + static_cast<std::int64_t>(o.timeout * 1e9));
    const auto outNs = nowNs() - t1;
    // Delivered rows are deleted in groups after their hand-over: give them time.
    long long left = storedRows(o.database);
    for (int i = 0; i < 100 && left > storedBefore; ++i) {
        g.runFor(100'000'000LL);
        left = storedRows(o.database);
    }

    std::printf("offline: %d messages to %d users who are not signed in\n", m, n - 1);
    row("written by the sender in", fmt("%.2f s", seconds(sentNs)));
    row("stored (committed) rows", stored < 0 ? std::string("n/a (--db not given)")
                                              : fmt("%lld of %d after %.2f s: %.0f rows/s in", stored - storedBefore,
                                                    m, seconds(inNs), (stored - storedBefore) / seconds(inNs)));
    row("delivered at the sign-ins", fmt("%lld of %d in %.2f s: %.0f rows/s out", received, m, seconds(outNs),
                                         static_cast<double>(received) / seconds(outNs)));
    row("lost / doubled / misrouted", fmt("%lld / %lld / %lld", m - received, doubled, misrouted));
    row("rows left in the store", left < 0 ? std::string("n/a") : fmt("%lld", left - storedBefore));
    printProblems(g);
    Json j;
    j.text("scenario", "offline").integer("clients", n).integer("messages", m);
    j.integer("stored", stored < 0 ? -1 : stored - storedBefore)
        .number("in_rows_per_s", stored < 0 ? -1 : (stored - storedBefore) / seconds(inNs), 0);
    j.integer("delivered", received).number("out_rows_per_s", static_cast<double>(received) / seconds(outNs), 0);
    j.integer("lost", m - received).integer("doubled", doubled).integer("misrouted", misrouted);
    j.integer("left_in_store", left < 0 ? -1 : left - storedBefore);
    problemsJson(j, g).print();
    return received == m && doubled == 0 && misrouted == 0 ? 0 : 1;
}

// "cserver" probes from one UDP socket, at most `window` unanswered at a time; answers
// per second and the answers that carried the probe's own source port.
int runRendezvous(const Options& o, int count)
{
    if (o.udpPort <= 0)
        usage("rendezvous needs --udp-port");
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7f000002u);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    const std::string ownPort = std::to_string(ntohs(local.sin_port));
    int big = 8 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(o.udpPort));
    inet_pton(AF_INET, o.host.c_str(), &server.sin_addr);
    TCServerRecord probe;
    probe.ServerAddr = o.host;
    const auto datagram = buildCServerDatagram(probe);

    const int window = std::max(1, o.window);
    long long sent = 0, answered = 0, wrong = 0;
    std::vector<std::uint8_t> in(2048);
    const auto t0 = nowNs();
    const auto deadline = t0 + static_cast<std::int64_t>(o.timeout * 1e9);
    while (answered < count && nowNs() < deadline) {
        while (sent < count && sent - answered < window) {
            if (::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server),
                         sizeof server) < 0)
                break;
            ++sent;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            if (sent - answered >= window)
                sent = answered; // lost on the way: send those again
            continue;
        }
        for (;;) {
            const ssize_t r = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
            if (r <= 0)
                break;
            ++answered;
            const auto parsed = parseDatagram(std::span<const std::uint8_t>(in.data(), static_cast<std::size_t>(r)));
            const auto* a = parsed ? std::get_if<CServerDatagram>(&*parsed) : nullptr;
            if (!a || a->record.SeenIP != "127.0.0.2" || a->record.SeenPort != ownPort)
                ++wrong;
        }
    }
    const double secs = seconds(nowNs() - t0);
    ::close(fd);
    std::printf("rendezvous: %d \"cserver\" probes, %d unanswered at most\n", count, window);
    row("answered", fmt("%lld of %d in %.2f s: %.0f answers/s", answered, count, secs,
                        static_cast<double>(answered) / secs));
    row("answers with a wrong address", fmt("%lld", wrong));
    Json j;
    j.text("scenario", "rendezvous").integer("probes", count).integer("answered", answered);
    j.number("answers_per_s", static_cast<double>(answered) / secs, 0).integer("wrong", wrong);
    j.print();
    return answered >= count && wrong == 0 ? 0 : 1;
}

Options parse(int argc, char** argv)
{
    Options o;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc)
            usage(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--host")
            o.host = value(i);
        else if (a == "--port")
            o.port = parseCount(value(i), "--port");
        else if (a == "--server-pid")
            o.serverPid = parseCount(value(i), "--server-pid");
        else if (a == "--password")
            o.password = value(i);
        else if (a == "--first")
            o.firstUser = parseCount(value(i), "--first");
        else if (a == "--window")
            o.window = parseCount(value(i), "--window");
        else if (a == "--sources")
            o.sources = std::min(parseCount(value(i), "--sources"), 250);
        else if (a == "--timeout")
            o.timeout = std::atof(value(i).c_str());
        else if (a == "--idle")
            o.idleSeconds = std::atof(value(i).c_str());
        else if (a == "--seconds")
            o.relaySeconds = std::atof(value(i).c_str());
        else if (a == "--warmup")
            o.warmup = std::atof(value(i).c_str());
        else if (a == "--max-seconds")
            o.maxSeconds = std::atof(value(i).c_str());
        else if (a == "--batch")
            o.batch = parseCount(value(i), "--batch");
        else if (a == "--inflight")
            o.inflight = parseCount(value(i), "--inflight");
        else if (a == "--with-directory")
            o.withDirectory = true;
        else if (a == "--udp-port")
            o.udpPort = parseCount(value(i), "--udp-port");
        else if (a == "--db")
            o.database = value(i);
        else if (a == "--repeats")
            o.repeats = parseCount(value(i), "--repeats");
        else if (a.rfind("--", 0) == 0)
            usage("unknown option " + a);
        else if (o.scenario.empty())
            o.scenario = a;
        else
            o.args.push_back(a);
    }
    if (o.port <= 0 || o.port > 65535)
        usage("--port is needed");
    return o;
}

void raiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const Options o = parse(argc, argv);
    raiseFileLimit();
    auto need = [&](std::size_t count) {
        if (o.args.size() != count)
            usage(o.scenario + " takes " + std::to_string(count) + " argument(s)");
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (o.scenario == "signin") {
        need(1);
        return runSignIn(o, parseCount(o.args[0], "N"));
    }
    if (o.scenario == "hold") {
        need(1);
        return runHold(o, parseCount(o.args[0], "N"));
    }
    if (o.scenario == "storm") {
        need(1);
        return runStorm(o, parseCount(o.args[0], "N"));
    }
    if (o.scenario == "relay") {
        need(3);
        const int n = parseCount(o.args[0], "N");
        const int pairs = parseCount(o.args[1], "PAIRS");
        const int rate = o.args[2] == "max" ? 0 : parseCount(o.args[2], "RATE");
        return runRelay(o, n, pairs, rate);
    }
    if (o.scenario == "fanout") {
        need(1);
        return runFanOut(o, parseCount(o.args[0], "N"));
    }
    if (o.scenario == "offline") {
        need(2);
        return runOffline(o, parseCount(o.args[0], "N"), parseCount(o.args[1], "M"));
    }
    if (o.scenario == "rendezvous") {
        need(1);
        return runRendezvous(o, parseCount(o.args[0], "COUNT"));
    }
    usage(o.scenario.empty() ? "a scenario is needed" : "unknown scenario " + o.scenario);
}
