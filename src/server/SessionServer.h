#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <asio.hpp>
#include <spdlog/logger.h>

#include "protocol/ConversationRecords.h"
#include "protocol/DatagramRecords.h"
#include "protocol/SessionRecords.h"
#include "protocol/StreamFramer.h"
#include "server/Authenticator.h"
#include "server/DatabaseWorker.h"
#include "server/PasswordHasher.h"
#include "server/ServerObserver.h"
#include "server/Session.h"
#include "server/TaskThread.h"

namespace oskel::server {

// What a sign-in reply carries from the settings of the latest start.
struct ReplySettings {
    std::string serverAddrs; // CR LF-ended lines
    std::string organisation;
    std::uint16_t tcpPort = 0;
    std::uint16_t ftpPort = 0;
    std::uint16_t udpPort = 0;
    bool encryptMsg = true;
    std::int32_t fileSizeLimit = 0; // megabytes, 0 = none
    std::chrono::seconds signInTimeout{60};
};

// The TCP session service: accepts connections, signs users in, keeps presence, and
// routes messages to the connections of their addressees or to the offline store.
// Everything here runs on the one network thread; the database and password hashing
// run on their own threads and post their results back.
class SessionServer {
public:
    SessionServer(asio::io_context& io, DatabaseWorker& db, PasswordHasher& hasher, TaskThread& hashThread,
                  ServerObserver& observer, std::shared_ptr<spdlog::logger> log);
    ~SessionServer();

    // Binds and listens; throws asio::system_error when the port cannot be bound.
    void listen(const asio::ip::tcp::endpoint& endpoint, const ReplySettings& settings);
    // What sign-in replies carry from now on.
    void setReplySettings(const ReplySettings& settings) { settings_ = settings; }
    // Closes the listener and every connection (each runs its disconnect steps).
    void stop();
    std::uint16_t port() const;

    // KickOut: "kikout" with `reason`; with closeAfter the connection is closed after it.
    bool kickOut(std::uint64_t session, const std::string& reason, bool closeAfter);
    std::size_t connectionCount() const { return sessions_.size(); }

    // The relayed invitation: to every signed-in connection of ToID, never stored.
    void relayInvite(const protocol::TAVInviteRecord& record);

    // Called by TClient.
    void onFrame(TClient& session, const protocol::Frame& frame);
    void protocolViolation(TClient& session, const std::string& error);
    void sendQueueOverflow(TClient& session);
    void signInTimedOut(TClient& session);
    void sessionClosed(TClient& session);
    void storedRowHandedOver(std::int64_t rowId);
    // Hands a connection the presence changes it has not had yet; false when that
    // closed it (its queue passed the bound).
    bool catchUpPresence(TClient& session);
    // The network thread's read buffer, used by one read at a time.
    std::vector<std::uint8_t>& readBuffer() { return readBuffer_; }

    // Log line: local date and time, two blanks, the user id and the text.
    static std::string logLine(const std::string& userId, const std::string& text);

private:
    void doAccept();
    void handleLogin(TClient& session, const protocol::Frame& frame);
    void finishSignIn(std::uint64_t sessionId, const std::string& typedUserId, bool noDirectory,
                      Authenticator::Result result);
    void replayHeld(TClient& session);
    void handleStatus(TClient& session, const protocol::Frame& frame);
    void handleChat(TClient& session, const protocol::Frame& frame);
    void handleMultChat(TClient& session, const protocol::Frame& frame);
    void handleFileSend(TClient& session, const protocol::Frame& frame);
    void handleChgPass(TClient& session, const protocol::Frame& frame);
    void handleChgInfo(TClient& session, const protocol::Frame& frame);
    // Runs `update` on the database thread and echoes `echo` to the session only when the
    // row was changed: a failed change is never confirmed.
    void confirmAfter(std::uint64_t sessionId, const std::string& user, const char* what, SharedBytes echo,
                      std::function<bool(DatabaseWorker::Context&)> update);

    // RouteChat, RouteMultChat (one addressee), RouteFileSend: queue on every signed-in
    // connection of the addressee, else store. `rowId` marks a message from the store.
    void routeTo(const std::string& addressee, const SharedBytes& bytes, const StoredMessage* row, std::int64_t rowId);
    void deliverStored(std::uint64_t sessionId, std::vector<StoredMessage> rows);
    void reroute(TClient& closed, std::deque<OutItem> items);
    void broadcastStatus(const std::string& userId, const std::string& status);
    // Presence changes are appended to one open batch and handed to every signed-in
    // connection once per event-loop pass (one buffer shared by all, one queue item per
    // connection), instead of one queue item and one write per change and connection.
    // A connection that is sent anything else first takes the batches it has not had.
    void sealPresence();
    void schedulePresenceFlush(std::chrono::steady_clock::time_point at);
    void flushPresence();
    std::string onlineList() const;
    TClient* find(std::uint64_t id) const;
    std::vector<TClient*>* connectionsOf(const std::string& foldedUserId);
    void indexAdd(TClient& session);
    void indexRemove(TClient& session);
    ActiveUser row(const TClient& session) const;
    void flushDeliveredRows();

    asio::io_context& io_;
    DatabaseWorker& db_;
    Authenticator authenticator_;
    PasswordHasher& hasher_;
    TaskThread& hashThread_;
    ServerObserver& observer_;
    std::shared_ptr<spdlog::logger> log_;
    ReplySettings settings_;

    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::uint64_t nextId_ = 1;
    // Every connection in order of acceptance, and the signed-in ones by folded user id.
    std::list<SessionPtr> sessions_;
    std::vector<std::uint8_t> presenceOpen_;
    std::vector<std::pair<std::uint64_t, SharedBytes>> presenceSealed_; // until the next flush
    std::uint64_t presenceNext_ = 1;
    bool presenceFlushPosted_ = false;
    asio::steady_timer presenceTimer_{io_};
    asio::steady_timer deliveredTimer_{io_};
    std::chrono::steady_clock::time_point presenceNextFlush_{};
    std::unordered_map<std::uint64_t, std::list<SessionPtr>::iterator> byId_;
    std::unordered_map<std::string, std::vector<TClient*>> signedIn_;
    // Stored rows queued on a connection or handed over but not yet deleted: a second
    // fetch for the same user leaves them out.
    std::unordered_set<std::int64_t> rowsInDelivery_;
    std::vector<std::int64_t> deliveredRows_;
    bool stopping_ = false;
    std::vector<std::uint8_t> readBuffer_ = std::vector<std::uint8_t>(64 * 1024);
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

StoredMessage storedRowFor(const protocol::Frame& frame, const std::string& addressee);

} // namespace oskel::server
