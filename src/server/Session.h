#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "protocol/StreamFramer.h"
#include "server/Directory.h"

namespace oskel::server {

class SessionServer;

// One message waiting in a connection's send queue. The bytes are composed once and
// shared by every connection they go to.
struct OutItem {
    SharedBytes bytes;
    std::int64_t storedRowId = 0; // a row of the offline store, deleted once handed over
    bool reroutable = false;      // a message that goes to another connection or the store if this one closes
};

// A complete message kept while the session waits for its password check.
struct HeldFrame {
    std::vector<std::uint8_t> bytes;
    protocol::Frame view() const;
};

// TClient: one TCP connection and its session. Lives on the network thread; the
// server's logic is in SessionServer, this class moves bytes.
class TClient : public std::enable_shared_from_this<TClient> {
public:
    enum class State { Connected, Checking, SignedIn, Closing, Closed };

    TClient(SessionServer& server, asio::ip::tcp::socket socket, std::uint64_t id);

    void start(std::chrono::seconds signInTimeout);

    // Queues a message after the presence changes this connection has not been given
    // yet, so that it sees everything in the order it happened. Returns false when the
    // connection is closed or its queue passed its bound (the connection is then
    // closed and its queue rerouted).
    bool send(OutItem item);
    // Stops reading, writes what is queued, then closes.
    void closeAfterFlush();
    void close();

    // Sign-in state; `Checking` holds the frames that come meanwhile.
    void holdFrame(const protocol::Frame& frame);
    std::deque<HeldFrame> takeHeldFrames();
    void resumeReading();
    void setSendLimit(std::size_t bytes) { sendLimit_ = bytes; }

    std::uint64_t id() const { return id_; }
    State state() const { return state_; }
    void setState(State s) { state_ = s; }
    bool signedIn() const { return state_ == State::SignedIn; }
    bool open() const { return state_ != State::Closed; }
    std::size_t queuedBytes() const { return queuedBytes_; }

    // The session's fields as the "Active Users" list and the online list show them.
    std::string UserID = "New sign in";
    std::string UserName = "Signing...";
    std::string DeptName;
    std::string PeerIP;
    std::string Status = "Offline";
    std::string SignInTime;
    int PeerPort = 0;
    std::int64_t userRowId = 0; // T_USER.ID of the signed-in account
    std::string foldedUserId;
    bool indexed = false; // in the routing index of signed-in connections
    std::uint64_t presenceSeq = 0; // the next batch of presence changes it is to get
    bool replaced = false;         // signed out by a newer sign-in of the same user

private:
    bool enqueue(OutItem item);
    void doRead();
    void startWrite();
    void onWritten(const asio::error_code& ec, std::size_t items);

    SessionServer& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    std::uint64_t id_;
    State state_ = State::Connected;
    protocol::StreamFramer framer_{protocol::ReaderSide::Server};
    bool reading_ = false;
    std::deque<HeldFrame> held_;

    std::deque<OutItem> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t sendLimit_ = 8 * 1024 * 1024;
    bool writing_ = false;
    bool flushScheduled_ = false;
    std::vector<asio::const_buffer> gather_;

    friend class SessionServer;
};

using SessionPtr = std::shared_ptr<TClient>;

} // namespace oskel::server
