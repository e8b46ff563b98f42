// oskel-floor: the least a relay server can do, as a yardstick for OskelServer's relay
// figures. One thread, one epoll loop, non-blocking sockets on 127.0.0.1:PORT.
//
//   oskel-floor --port P
//
// A connection's first message must be "login" (43- or 76-byte body); its user id,
// ASCII letters folded, is mapped to the connection and the same canned "suclog"
// (no directory, no online list) goes back whatever the password. After that every
// message is taken as one frame: header, the body the header's Length gives, and for
// "chat" the text its TextLen counts. A "chat" goes unchanged to the connection its
// ReceiverID maps to; a chat to nobody, and every other message, is dropped. Nothing
// else is checked, stored or answered.
//
// Forwarded bytes are appended to the addressee's output buffer and written once per
// pass of the loop, so all messages for one connection that arrived in one pass leave
// in one write. What the socket does not take waits for EPOLLOUT; nothing is dropped.
// SIGINT or SIGTERM ends the loop and prints what was forwarded and dropped.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "protocol/MessageBuilder.h"

namespace {

using namespace oskel::protocol;

constexpr std::size_t kHeader = 16;
constexpr std::size_t kIdField = 21;       // char[21] user ids
constexpr std::size_t kChatRecord = 161;   // TChatRecord
constexpr std::size_t kChatReceiver = 42;  // ReceiverID in the chat record
constexpr std::size_t kChatTextLen = 158;  // uint16 TextLen in the chat record
constexpr std::size_t kMultRecord = 244;   // TMultChatRecord: skipped, but its texts must be too
constexpr std::size_t kMultMembersLen = 165;
constexpr std::size_t kMultTextLen = 241;
constexpr std::int32_t kMaxSkippedBody = 65536; // larger bodies of other messages end the connection

volatile std::sig_atomic_t stopping = 0;

void onSignal(int)
{
    stopping = 1;
}

std::uint16_t le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::int32_t le32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                                     (static_cast<std::uint32_t>(p[2]) << 16) |
                                     (static_cast<std::uint32_t>(p[3]) << 24));
}

bool named(const std::uint8_t* header, std::string_view name)
{
    return header[0] == name.size() && std::memcmp(header + 1, name.data(), name.size()) == 0;
}

// A user id as routing compares it: the bytes of a char[21] up to the first NUL, ASCII
// letters upper case, the rest zero. Fixed size, so a lookup allocates nothing.
struct UserKey {
    std::array<char, kIdField> bytes{};
    std::uint8_t size = 0;

    static UserKey of(const std::uint8_t* field)
    {
        UserKey k;
        while (k.size < kIdField && field[k.size] != 0) {
            const char c = static_cast<char>(field[k.size]);
            k.bytes[k.size] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
            ++k.size;
        }
        return k;
    }
    bool operator==(const UserKey&) const = default;
};

struct UserKeyHash {
    std::size_t operator()(const UserKey& k) const noexcept
    {
        return std::hash<std::string_view>{}(std::string_view(k.bytes.data(), k.size));
    }
};

struct Conn {
    int fd = -1; // -1 once closed; the object lives until the end of the loop pass
    bool signedIn = false;
    bool dirty = false; // on the list of connections to write at the end of the pass
    UserKey user;
    std::vector<std::uint8_t> in; // the unfinished frame of the last read
    std::vector<std::uint8_t> out;
    std::size_t outPos = 0; // bytes of `out` already written
};

struct Stats {
    long long accepted = 0;
    long long signedIn = 0;
    long long forwarded = 0;
    long long forwardedBytes = 0;
    long long unknownAddressee = 0;
    long long otherDropped = 0;
    long long violations = 0;
};

class Floor {
public:
    explicit Floor(int listenFd, std::uint16_t port) : listen_(listenFd)
    {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            std::perror("oskel-floor: epoll_create1");
            std::exit(1);
        }
        epoll_event ev{};
        ev.events = EPOLLIN; // level-triggered: a full descriptor table leaves it ready
        ev.data.ptr = nullptr;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &ev);

        TLoginReply reply;
        reply.FirstName = "Floor";
        reply.TcpPort = port;
        reply.Rights = "11111111";
        sucLog_ = buildSucLog(reply, {}, {});
        users_.reserve(16384);
    }

    void run()
    {
        std::vector<epoll_event> events(1024);
        while (!stopping) {
            const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("oskel-floor: epoll_wait");
                std::exit(1);
            }
            for (int i = 0; i < n; ++i) {
                auto* c = static_cast<Conn*>(events[i].data.ptr);
                if (c == nullptr) {
                    acceptAll();
                    continue;
                }
                if (c->fd < 0)
                    continue; // closed earlier in this pass
                const std::uint32_t ev = events[i].events;
                if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))
                    readAll(*c);
                if (c->fd >= 0 && (ev & EPOLLOUT) && c->outPos < c->out.size() && !c->dirty)
                    flush(*c);
            }
            for (Conn* c : dirty_) {
                c->dirty = false;
                if (c->fd >= 0)
                    flush(*c);
            }
            dirty_.clear();
            closed_.clear();
        }
    }

    const Stats& stats() const { return stats_; }
    std::size_t open() const { return conns_.size(); }

private:
    void acceptAll()
    {
        for (;;) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK && !acceptWarned_) {
                    std::fprintf(stderr, "oskel-floor: accept: %s\n", std::strerror(errno));
                    acceptWarned_ = true;
                }
                return;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto conn = std::make_unique<Conn>();
            conn->fd = fd;
            epoll_event ev{};
            // Edge-triggered, both directions, registered once: no epoll_ctl when output
            // backs up or drains.
            ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
            ev.data.ptr = conn.get();
            if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
                ::close(fd);
                continue;
            }
            conns_.emplace(conn.get(), std::move(conn));
            ++stats_.accepted;
        }
    }

    // Edge-triggered: reads until the socket is empty.
    void readAll(Conn& c)
    {
        for (;;) {
            const ssize_t n = ::recv(c.fd, buffer_.data(), buffer_.size(), 0);
            if (n > 0) {
                if (!take(c, buffer_.data(), static_cast<std::size_t>(n))) {
                    ++stats_.violations;
                    close(c);
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            close(c); // end of stream or an error
            return;
        }
    }

    // Hands over every complete frame of the connection's pending bytes plus `data`;
    // false on a frame this loop cannot size.
    bool take(Conn& c, const std::uint8_t* data, std::size_t size)
    {
        const std::uint8_t* p = data;
        std::size_t avail = size;
        if (!c.in.empty()) {
            c.in.insert(c.in.end(), data, data + size);
            p = c.in.data();
            avail = c.in.size();
        }
        std::size_t used = 0;
        while (used < avail) {
            const std::size_t frame = frameSize(p + used, avail - used);
            if (frame == kNeedMore)
                break;
            if (frame == kBad)
                return false;
            if (!handle(c, p + used, frame))
                return false;
            if (c.fd < 0)
                return true;
            used += frame;
        }
        if (!c.in.empty())
            c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
        else if (used < avail)
            c.in.assign(data + used, data + avail);
        return true;
    }

    static constexpr std::size_t kNeedMore = 0;
    static constexpr std::size_t kBad = ~std::size_t{0};

    // Size of the frame at p: header, body, trailing texts.
    static std::size_t frameSize(const std::uint8_t* p, std::size_t avail)
    {
        if (avail < kHeader)
            return kNeedMore;
        const std::int32_t length = le32(p + 12);
        if (named(p, "chat")) {
            if (length != static_cast<std::int32_t>(kChatRecord))
                return kBad;
            if (avail < kHeader + kChatRecord)
                return kNeedMore;
            const std::size_t frame = kHeader + kChatRecord + le16(p + kHeader + kChatTextLen);
            return avail < frame ? kNeedMore : frame;
        }
        if (named(p, "multchat")) {
            if (length != static_cast<std::int32_t>(kMultRecord))
                return kBad;
            if (avail < kHeader + kMultRecord)
                return kNeedMore;
            const std::size_t frame =
                kHeader + kMultRecord + le16(p + kHeader + kMultMembersLen) + le16(p + kHeader + kMultTextLen);
            return avail < frame ? kNeedMore : frame;
        }
        if (length < 0 || length > kMaxSkippedBody)
            return kBad;
        const std::size_t frame = kHeader + static_cast<std::size_t>(length);
        return avail < frame ? kNeedMore : frame;
    }

    bool handle(Conn& c, const std::uint8_t* frame, std::size_t size)
    {
        if (!c.signedIn) {
            const std::int32_t length = le32(frame + 12);
            if (!named(frame, "login") || (length != 43 && length != 76))
                return false;
            c.user = UserKey::of(frame + kHeader);
            // A second sign-in under the same id takes the route over.
            users_[c.user] = &c;
            c.signedIn = true;
            ++stats_.signedIn;
            queue(c, sucLog_.data(), sucLog_.size());
            return true;
        }
        if (!named(frame, "chat")) {
            ++stats_.otherDropped;
            return true;
        }
        const auto to = users_.find(UserKey::of(frame + kHeader + kChatReceiver));
        if (to == users_.end()) {
            ++stats_.unknownAddressee;
            return true;
        }
        queue(*to->second, frame, size);
        ++stats_.forwarded;
        stats_.forwardedBytes += static_cast<long long>(size);
        return true;
    }

    void queue(Conn& c, const std::uint8_t* bytes, std::size_t size)
    {
        c.out.insert(c.out.end(), bytes, bytes + size);
        if (!c.dirty) {
            c.dirty = true;
            dirty_.push_back(&c);
        }
    }

    // Writes as much as the socket takes; the rest waits for the next EPOLLOUT.
    void flush(Conn& c)
    {
        while (c.outPos < c.out.size()) {
            const ssize_t n = ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                c.outPos += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Keep the buffer from growing with bytes already written.
                if (c.outPos >= (1u << 16) && c.outPos * 2 >= c.out.size()) {
                    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outPos));
                    c.outPos = 0;
                }
                return;
            }
            close(c);
            return;
        }
        c.out.clear();
        c.outPos = 0;
    }

    // The descriptor goes at once; the object at the end of the pass, since events and
    // the write list of this pass may still point at it.
    void close(Conn& c)
    {
        if (c.signedIn) {
            const auto it = users_.find(c.user);
            if (it != users_.end() && it->second == &c)
                users_.erase(it);
        }
        ::close(c.fd);
        c.fd = -1;
        const auto it = conns_.find(&c);
        closed_.push_back(std::move(it->second));
        conns_.erase(it);
    }

    int epoll_ = -1;
    int listen_ = -1;
    bool acceptWarned_ = false;
    Bytes sucLog_;
    std::unordered_map<Conn*, std::unique_ptr<Conn>> conns_;
    std::unordered_map<UserKey, Conn*, UserKeyHash> users_;
    std::vector<Conn*> dirty_;
    std::vector<std::unique_ptr<Conn>> closed_;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(256 * 1024);
    Stats stats_;
};

[[noreturn]] void usage(const char* problem)
{
    std::fprintf(stderr, "oskel-floor: %s\nusage: oskel-floor --port P\n", problem);
    std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    int port = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--port" && i + 1 < argc) {
            const std::string_view v = argv[++i];
            int p = -1;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), p);
            if (r.ec != std::errc() || r.ptr != v.data() + v.size() || p < 0 || p > 65535)
                usage("--port must be 0 to 65535 (0: any free port)");
            port = p;
        } else {
            usage("unknown argument");
        }
    }
    if (port < 0)
        usage("--port is needed");

    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa{};
    sa.sa_handler = onSignal; // no SA_RESTART: epoll_wait returns EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4096) != 0) {
        std::perror("oskel-floor: listen");
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const auto bound = ntohs(addr.sin_port);
    std::fprintf(stderr, "listening on 127.0.0.1:%u\n", static_cast<unsigned>(bound));

    Floor floor(fd, bound);
    floor.run();
    const Stats& s = floor.stats();
    std::fprintf(stderr,
                 "oskel-floor: %lld connections (%zu open), %lld signed in; forwarded %lld messages (%lld bytes); "
                 "dropped %lld to unknown addressees, %lld others; %lld connections closed for bad frames\n",
                 s.accepted, floor.open(), s.signedIn, s.forwarded, s.forwardedBytes, s.unknownAddressee,
                 s.otherDropped, s.violations);
    return 0;
}
