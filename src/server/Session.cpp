#include "server/Session.h"

#include "server/SessionServer.h"

namespace oskel::server {

namespace {
constexpr std::size_t kMaxGather = 256;
constexpr std::size_t kItemOverhead = sizeof(OutItem);
} // namespace

protocol::Frame HeldFrame::view() const
{
    protocol::Frame frame;
    protocol::StreamFramer framer(protocol::ReaderSide::Server);
    framer.feed(bytes, [&frame](const protocol::Frame& f) { frame = f; });
    return frame; // views into `bytes`, which outlive the replay
}

TClient::TClient(SessionServer& server, asio::ip::tcp::socket socket, std::uint64_t id)
    : server_(server), socket_(std::move(socket)), timer_(socket_.get_executor()), id_(id)
{
    asio::error_code ec;
    const auto peer = socket_.remote_endpoint(ec);
    if (!ec) {
        PeerIP = peer.address().to_string();
        PeerPort = peer.port();
    }
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    socket_.non_blocking(true, ec);
}

void TClient::start(std::chrono::seconds signInTimeout)
{
    timer_.expires_after(signInTimeout);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (!ec && self->open() && !self->signedIn() && self->state_ != State::Closing)
            self->server_.signInTimedOut(*self);
    });
    doRead();
}

void TClient::doRead()
{
    if (reading_ || state_ == State::Checking || state_ == State::Closing || state_ == State::Closed)
        return;
    reading_ = true;
    // Wait for readiness, then read into the network thread's one buffer: no connection
    // keeps a read buffer of its own while it is idle.
    socket_.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const asio::error_code& ec) {
        self->reading_ = false;
        if (self->state_ == State::Closed)
            return;
        if (ec) {
            self->close();
            return;
        }
        std::vector<std::uint8_t>& buffer = self->server_.readBuffer();
        asio::error_code e;
        const std::size_t n = self->socket_.read_some(asio::buffer(buffer), e);
        if (e == asio::error::would_block || e == asio::error::try_again) {
            self->doRead();
            return;
        }
        if (e) {
            self->close();
            return;
        }
        const bool ok =
            self->framer_.feed(std::span<const std::uint8_t>(buffer.data(), n), [&self](const protocol::Frame& f) {
                if (self->open())
                    self->server_.onFrame(*self, f);
            });
        if (!ok) {
            self->server_.protocolViolation(*self, self->framer_.error());
            return;
        }
        self->doRead();
    });
}

void TClient::resumeReading()
{
    doRead();
}

void TClient::holdFrame(const protocol::Frame& frame)
{
    held_.push_back({{frame.bytes.begin(), frame.bytes.end()}});
}

std::deque<HeldFrame> TClient::takeHeldFrames()
{
    std::deque<HeldFrame> out;
    out.swap(held_);
    return out;
}

bool TClient::send(OutItem item)
{
    if (state_ == State::Closed)
        return false;
    if (!server_.catchUpPresence(*this))
        return false;
    return enqueue(std::move(item));
}

bool TClient::enqueue(OutItem item)
{
    if (state_ == State::Closed)
        return false;
    queuedBytes_ += item.bytes->size() + kItemOverhead;
    queue_.push_back(std::move(item));
    if (queuedBytes_ > sendLimit_) {
        server_.sendQueueOverflow(*this);
        return false;
    }
    // The write starts after the handler that is running now: everything queued for
    // this connection meanwhile (a storm of presence changes, say) leaves in one
    // gathered write instead of one system call per message.
    if (!writing_ && !flushScheduled_) {
        flushScheduled_ = true;
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->flushScheduled_ = false;
            if (!self->writing_)
                self->startWrite();
        });
    }
    return true;
}

void TClient::startWrite()
{
    if (queue_.empty() || state_ == State::Closed)
        return;
    const std::size_t n = std::min(queue_.size(), kMaxGather);
    gather_.clear();
    std::vector<SharedBytes> keep;
    keep.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        gather_.push_back(asio::buffer(*queue_[i].bytes));
        keep.push_back(queue_[i].bytes);
    }
    writing_ = true;
    asio::async_write(socket_, gather_,
                      [self = shared_from_this(), n, keep = std::move(keep)](const asio::error_code& ec, std::size_t) {
                          self->onWritten(ec, n);
                      });
}

void TClient::onWritten(const asio::error_code& ec, std::size_t items)
{
    writing_ = false;
    if (state_ == State::Closed)
        return;
    if (ec) {
        close();
        return;
    }
    for (std::size_t i = 0; i < items && !queue_.empty(); ++i) {
        OutItem& item = queue_.front();
        queuedBytes_ -= item.bytes->size() + kItemOverhead;
        if (item.storedRowId)
            server_.storedRowHandedOver(item.storedRowId);
        queue_.pop_front();
    }
    if (!queue_.empty())
        startWrite();
    else if (state_ == State::Closing)
        close();
}

void TClient::closeAfterFlush()
{
    if (state_ == State::Closed || state_ == State::Closing)
        return;
    state_ = State::Closing;
    if (!writing_ && !flushScheduled_ && queue_.empty()) {
        close();
        return;
    }
    // A peer that does not read is not waited for long.
    timer_.expires_after(std::chrono::seconds(5));
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
        if (!e)
            self->close();
    });
}

void TClient::close()
{
    if (state_ == State::Closed)
        return;
    state_ = State::Closed;
    asio::error_code ec;
    timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    server_.sessionClosed(*this);
}

} // namespace oskel::server
