#include "server/SessionServer.h"

#include <algorithm>

#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"
#include "protocol/TimeStamp.h"
#include "protocol/Utf8Text.h"
#include "server/UserId.h"

namespace oskel::server {

using namespace protocol;

namespace {
constexpr const char* kRepeatLog = "You have been signed out because you sign in at another location.";
constexpr std::size_t kMinSendLimit = 8 * 1024 * 1024;

SharedBytes share(std::vector<std::uint8_t> bytes)
{
    return std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
}

bool isStatusName(std::string_view s)
{
    for (const char* name : {"Online", "Away", "Busy", "N/A", "Invisible", "Offline"})
        if (s == name)
            return true;
    return false;
}

// The lines of a member list, each user id once (compared folded), in order.
std::vector<std::string> memberIds(std::string_view list)
{
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    while (!list.empty()) {
        const std::size_t eol = list.find('\n');
        std::string_view line = list.substr(0, eol);
        list.remove_prefix(eol == std::string_view::npos ? list.size() : eol + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.remove_suffix(1);
        if (!line.empty() && seen.insert(foldUserId(line)).second)
            out.emplace_back(line);
    }
    return out;
}
} // namespace

StoredMessage storedRowFor(const Frame& frame, const std::string& addressee)
{
    StoredMessage m;
    switch (frame.command) {
    case Command::Chat: {
        const auto r = TChatRecord::decode(frame.body);
        m = {0,
             r.SenderID,
             r.SenderName,
             r.ReceiverID,
             r.ReceiverName,
             "MSG",
             r.SendTime,
             std::string(frame.text1),
             {},
             {},
             {},
             {}};
        break;
    }
    case Command::MultChat: {
        const auto r = TMultChatRecord::decode(frame.body);
        m = {0,
             r.SenderID,
             r.SenderName,
             addressee,
             {},
             "MULTIMSG",
             r.SendTime,
             std::string(frame.text2),
             {},
             {},
             std::string(cutUtf8(r.GroupID, 40)),
             std::string(frame.text1)};
        break;
    }
    case Command::FileSend: {
        const auto r = TFileSendRecord::decode(frame.body);
        m = {0,      r.SenderID, r.SenderName, r.ReceiverID, r.ReceiverName,
             "FILE", r.SendTime, r.Note,       r.FileName,   r.RegFileName,
             {},     {}};
        break;
    }
    default:
        break;
    }
    return m;
}

SessionServer::SessionServer(asio::io_context& io, DatabaseWorker& db, PasswordHasher& hasher, TaskThread& hashThread,
                             ServerObserver& observer, std::shared_ptr<spdlog::logger> log)
    : io_(io), db_(db), authenticator_(db, hasher, hashThread), hasher_(hasher), hashThread_(hashThread),
      observer_(observer), log_(std::move(log))
{
}

SessionServer::~SessionServer()
{
    *alive_ = false;
}

std::string SessionServer::logLine(const std::string& userId, const std::string& text)
{
    return formatTimeStamp(DateTime::now()) + "  " + userId + text;
}

void SessionServer::listen(const asio::ip::tcp::endpoint& endpoint, const ReplySettings& settings)
{
    settings_ = settings;
    stopping_ = false;
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(io_);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    acceptor_ = std::move(acceptor);
    doAccept();
}

std::uint16_t SessionServer::port() const
{
    asio::error_code ec;
    return acceptor_ ? acceptor_->local_endpoint(ec).port() : 0;
}

void SessionServer::doAccept()
{
    if (!acceptor_)
        return;
    acceptor_->async_accept([this, alive = alive_](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (!*alive || stopping_ || !acceptor_)
            return;
        if (ec) {
            if (ec == asio::error::operation_aborted)
                return;
            // Out of descriptors or the like: try again shortly instead of spinning.
            log_->warn("accept: {}", ec.message());
            auto timer = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(50));
            timer->async_wait([this, alive, timer](const asio::error_code&) {
                if (*alive)
                    doAccept();
            });
            return;
        }
        const std::uint64_t id = nextId_++;
        auto session = std::make_shared<TClient>(*this, std::move(socket), id);
        sessions_.push_back(session);
        byId_[id] = std::prev(sessions_.end());
        observer_.userAdded(row(*session));
        observer_.userCount(sessions_.size());
        session->start(settings_.signInTimeout);
        doAccept();
    });
}

void SessionServer::stop()
{
    stopping_ = true;
    if (acceptor_) {
        asio::error_code ec;
        acceptor_->close(ec);
        acceptor_.reset();
    }
    std::vector<SessionPtr> all(sessions_.begin(), sessions_.end());
    for (auto& s : all)
        s->close();
    // Rows handed over in the last moments are deleted now, not delivered again.
    deliveredTimer_.cancel();
    flushDeliveredRows();
}

TClient* SessionServer::find(std::uint64_t id) const
{
    const auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second->get();
}

std::vector<TClient*>* SessionServer::connectionsOf(const std::string& foldedUserId)
{
    const auto it = signedIn_.find(foldedUserId);
    return it == signedIn_.end() || it->second.empty() ? nullptr : &it->second;
}

void SessionServer::indexAdd(TClient& s)
{
    if (s.indexed)
        return;
    signedIn_[s.foldedUserId].push_back(&s);
    s.indexed = true;
}

void SessionServer::indexRemove(TClient& s)
{
    if (!s.indexed)
        return;
    const auto it = signedIn_.find(s.foldedUserId);
    if (it != signedIn_.end()) {
        auto& v = it->second;
        v.erase(std::remove(v.begin(), v.end(), &s), v.end());
        if (v.empty())
            signedIn_.erase(it);
    }
    s.indexed = false;
}

ActiveUser SessionServer::row(const TClient& s) const
{
    return {s.id(), s.UserID, s.DeptName, s.PeerIP, s.PeerPort, s.SignInTime};
}

void SessionServer::onFrame(TClient& s, const Frame& frame)
{
    if (s.state() == TClient::State::Checking) {
        s.holdFrame(frame); // handled in order once the password check is done
        return;
    }
    if (s.state() == TClient::State::Connected) {
        // Before sign-in only "login" and "alive" count.
        if (frame.command == Command::Login)
            handleLogin(s, frame);
        else if (frame.command != Command::Alive)
            log_->debug("{}:{} sent \"{}\" before signing in; dropped", s.PeerIP, s.PeerPort,
                        std::string(frame.header.name()));
        return;
    }
    if (s.state() != TClient::State::SignedIn)
        return;
    switch (frame.command) {
    case Command::Status:
        handleStatus(s, frame);
        break;
    case Command::Chat:
        handleChat(s, frame);
        break;
    case Command::MultChat:
        handleMultChat(s, frame);
        break;
    case Command::FileSend:
        handleFileSend(s, frame);
        break;
    case Command::ChgPass:
        handleChgPass(s, frame);
        break;
    case Command::ChgInfo:
        handleChgInfo(s, frame);
        break;
    default:
        break; // "alive", and a repeated "login"
    }
}

void SessionServer::handleLogin(TClient& s, const Frame& frame)
{
    const TLoginRecord login = TLoginRecord::decode(frame.body);
    s.setState(TClient::State::Checking);
    const std::uint64_t id = s.id();
    authenticator_.authenticate(
        login.UserID, decipherText(login.Password),
        [this, alive = alive_, id, typed = login.UserID, noDirectory = login.NoDirectory](Authenticator::Result r) {
            asio::post(io_, [this, alive, id, typed, noDirectory, r = std::move(r)]() mutable {
                if (*alive)
                    finishSignIn(id, typed, noDirectory, std::move(r));
            });
        });
}

void SessionServer::finishSignIn(std::uint64_t id, const std::string& typedUserId, bool noDirectory,
                                 Authenticator::Result r)
{
    TClient* s = find(id);
    if (!s || s->state() != TClient::State::Checking)
        return;
    using Kind = Authenticator::Result::Kind;
    if (r.kind == Kind::Unavailable) {
        s->close();
        return;
    }
    if (r.kind != Kind::Ok) {
        const char* reason = Authenticator::reasonText(r.kind);
        log_->info("{}:{} sign-in as {} refused: {}", s->PeerIP, s->PeerPort, typedUserId, reason);
        s->setState(TClient::State::Connected);
        s->send({share(buildFailLog(reason))});
        s->send({share(buildKikOut("faillog"))});
        replayHeld(*s);
        return;
    }

    // An earlier session of the same user is signed out.
    const std::string folded = foldUserId(typedUserId);
    if (auto* others = connectionsOf(folded)) {
        const std::vector<TClient*> earlier = *others;
        for (TClient* other : earlier)
            if (other != s) {
                // The new connection takes over: this one's end is nobody's news.
                other->replaced = true;
                kickOut(other->id(), kRepeatLog, true);
            }
    }

    s->UserID = cleanListText(typedUserId);
    s->UserName = r.user.FirstName;
    s->DeptName = r.deptName;
    s->Status = "Offline";
    s->SignInTime = formatTimeStamp(DateTime::now());
    s->userRowId = r.user.ID;
    s->foldedUserId = folded;
    s->setState(TClient::State::SignedIn);
    // Presence changes from before this sign-in are in its online list already.
    sealPresence();
    s->presenceSeq = presenceNext_;
    indexAdd(*s);
    observer_.userUpdated(row(*s));

    TLoginReply reply;
    reply.FirstName = r.user.FirstName;
    reply.ServerAddrs = settings_.serverAddrs;
    reply.Organisation = settings_.organisation;
    reply.TcpPort = settings_.tcpPort;
    reply.FtpPort = settings_.ftpPort;
    reply.UdpPort = settings_.udpPort;
    reply.Rights = r.user.Rights;
    reply.EncryptMsg = settings_.encryptMsg;
    reply.FileSizeLimit = settings_.fileSizeLimit;
    const SharedBytes& directory = r.directory->directoryBytes();
    const std::size_t directorySize = noDirectory ? 0 : directory->size();
    const std::string online = onlineList();
    reply.DirectoryLen = static_cast<std::int32_t>(directorySize);
    reply.OnlineListLen = static_cast<std::int32_t>(online.size());
    const auto body = reply.encode();
    const std::size_t replySize = 16 + body.size() + directorySize + online.size();
    s->setSendLimit(std::max(kMinSendLimit, 2 * replySize));
    // The directory text is shared by every reply until the directory changes.
    s->send({share(buildMessage(Command::SucLog, body))});
    if (directorySize)
        s->send({directory});
    s->send({share(std::vector<std::uint8_t>(online.begin(), online.end()))});

    observer_.logLine(logLine(s->UserID, " sign in."));

    db_.post([this, alive = alive_, id, userId = s->UserID](DatabaseWorker::Context& ctx) {
        std::vector<StoredMessage> rows;
        try {
            rows = ctx.offline.fetch(userId);
        } catch (const std::exception& e) {
            log_->error("stored messages for {} cannot be read: {}", userId, e.what());
            return;
        }
        if (rows.empty())
            return;
        asio::post(io_, [this, alive, id, rows = std::move(rows)]() mutable {
            if (*alive)
                deliverStored(id, std::move(rows));
        });
    });
    replayHeld(*s);
}

void SessionServer::replayHeld(TClient& s)
{
    auto held = s.takeHeldFrames();
    for (const auto& h : held) {
        if (!s.open())
            return;
        onFrame(s, h.view());
    }
    if (s.open() && s.state() != TClient::State::Checking)
        s.resumeReading();
}

std::string SessionServer::onlineList() const
{
    std::string out;
    out.reserve(sessions_.size() * 24);
    for (const auto& s : sessions_) {
        if (!s->open())
            continue;
        out += s->UserID;
        out += '\t';
        out += s->Status;
        out += "\r\n";
    }
    return out;
}

void SessionServer::broadcastStatus(const std::string& userId, const std::string& status)
{
    TStatusRecord record;
    record.UserID = userId;
    record.Status = status;
    const auto bytes = buildStatus(record);
    presenceOpen_.insert(presenceOpen_.end(), bytes.begin(), bytes.end());
    // Due now (after the running handlers), or when the pause after the last flush ends.
    schedulePresenceFlush(presenceNextFlush_);
}

void SessionServer::schedulePresenceFlush(std::chrono::steady_clock::time_point at)
{
    if (presenceFlushPosted_)
        return;
    presenceFlushPosted_ = true;
    if (at <= std::chrono::steady_clock::now()) {
        asio::post(io_, [this, alive = alive_] {
            if (*alive)
                flushPresence();
        });
        return;
    }
    presenceTimer_.expires_at(at);
    presenceTimer_.async_wait([this, alive = alive_](const asio::error_code& ec) {
        if (!ec && *alive)
            flushPresence();
    });
}

void SessionServer::sealPresence()
{
    if (presenceOpen_.empty())
        return;
    presenceSealed_.emplace_back(presenceNext_++, share(std::move(presenceOpen_)));
    presenceOpen_ = {};
}

bool SessionServer::catchUpPresence(TClient& s)
{
    if (!s.signedIn())
        return true;
    sealPresence();
    if (s.presenceSeq == presenceNext_)
        return true;
    // By index and by copy: queueing may close a connection, whose "Offline" and
    // rerouted messages can seal a new batch here meanwhile.
    for (std::size_t i = 0; i < presenceSealed_.size(); ++i) {
        const auto [seq, batch] = presenceSealed_[i];
        if (seq < s.presenceSeq)
            continue;
        s.presenceSeq = seq + 1;
        if (!s.enqueue({batch}))
            return false;
    }
    return true;
}

void SessionServer::flushPresence()
{
    presenceFlushPosted_ = false;
    sealPresence();
    if (presenceSealed_.empty())
        return;
    const std::uint64_t sealedEnd = presenceNext_;
    // Held by shared pointer: a connection closed on the way (its queue passed the
    // bound) may take others with it.
    std::vector<SessionPtr> targets;
    targets.reserve(sessions_.size());
    for (const auto& s : sessions_)
        if (s->signedIn() && s->presenceSeq != presenceNext_)
            targets.push_back(s);
    for (const auto& t : targets)
        catchUpPresence(*t);
    // Every signed-in connection has the batches up to sealedEnd now. A batch sealed on
    // the way (a connection closed and its "Offline" went out) stays for the next flush,
    // which its broadcast has asked for.
    std::erase_if(presenceSealed_, [sealedEnd](const auto& b) { return b.first < sealedEnd; });
    if (!presenceSealed_.empty())
        schedulePresenceFlush(std::chrono::steady_clock::now());
    // A flush costs a system call per connection (the writes follow this handler). Under
    // a storm of changes the next flush waits about twice that long, so that flushing
    // takes at most half of the network thread and each flush carries many changes;
    // when changes are rare, each leaves at once.
    const auto pause = std::chrono::microseconds(20 * static_cast<long long>(targets.size()));
    presenceNextFlush_ = std::chrono::steady_clock::now() + std::min<std::chrono::microseconds>(pause, std::chrono::milliseconds(200));
}

void SessionServer::handleStatus(TClient& s, const Frame& frame)
{
    const TStatusRecord record = TStatusRecord::decode(frame.body);
    if (!sameUserId(record.UserID, s.UserID) || !isStatusName(record.Status)) {
        log_->debug("{}: \"status\" for {} / {} refused", s.UserID, record.UserID, record.Status);
        return;
    }
    s.Status = record.Status;
    broadcastStatus(s.UserID, record.Status);
}

void SessionServer::routeTo(const std::string& addressee, const SharedBytes& bytes, const StoredMessage* row,
                            std::int64_t rowId)
{
    if (auto* conns = connectionsOf(foldUserId(addressee))) {
        const std::vector<TClient*> targets = *conns;
        for (TClient* t : targets) {
            if (rowId)
                rowsInDelivery_.insert(rowId);
            if (!t->send({bytes, rowId, rowId == 0}) && rowId)
                rowsInDelivery_.erase(rowId);
        }
        return;
    }
    if (rowId || !row)
        return; // a stored message simply stays in the store
    db_.store(*row);
}

void SessionServer::handleChat(TClient& s, const Frame& frame)
{
    const TChatRecord record = TChatRecord::decode(frame.body);
    if (!sameUserId(record.SenderID, s.UserID))
        return;
    const SharedBytes bytes = share({frame.bytes.begin(), frame.bytes.end()});
    if (connectionsOf(foldUserId(record.ReceiverID))) {
        routeTo(record.ReceiverID, bytes, nullptr, 0);
        return;
    }
    const StoredMessage stored = storedRowFor(frame, record.ReceiverID);
    routeTo(record.ReceiverID, bytes, &stored, 0);
}

void SessionServer::handleMultChat(TClient& s, const Frame& frame)
{
    const TMultChatRecord record = TMultChatRecord::decode(frame.body);
    if (!sameUserId(record.SenderID, s.UserID))
        return;
    const SharedBytes bytes = share({frame.bytes.begin(), frame.bytes.end()});
    for (const std::string& member : memberIds(frame.text1)) {
        if (connectionsOf(foldUserId(member))) {
            routeTo(member, bytes, nullptr, 0);
        } else {
            const StoredMessage stored = storedRowFor(frame, member);
            routeTo(member, bytes, &stored, 0);
        }
    }
}

void SessionServer::handleFileSend(TClient& s, const Frame& frame)
{
    const TFileSendRecord record = TFileSendRecord::decode(frame.body);
    if (!sameUserId(record.SenderID, s.UserID))
        return;
    const SharedBytes bytes = share({frame.bytes.begin(), frame.bytes.end()});
    const StoredMessage stored = storedRowFor(frame, record.ReceiverID);
    routeTo(record.ReceiverID, bytes, &stored, 0);
}

void SessionServer::handleChgPass(TClient& s, const Frame& frame)
{
    const TChgPassRecord record = TChgPassRecord::decode(frame.body);
    if (!sameUserId(record.UserID, s.UserID))
        return;
    if (record.NewPassword.empty() || record.NewPassword.size() > 20) {
        log_->info("{}: new password of {} bytes refused", s.UserID, record.NewPassword.size());
        return;
    }
    const auto echo = share(buildChgPass(record));
    hashThread_.post([this, id = s.id(), rowId = s.userRowId, user = s.UserID, pw = record.NewPassword, echo] {
        const std::string hash = hasher_.hash(pw);
        confirmAfter(id, user, "password change", echo,
                     [rowId, hash](DatabaseWorker::Context& ctx) { return ctx.directory.setPassword(rowId, hash); });
    });
}

void SessionServer::handleChgInfo(TClient& s, const Frame& frame)
{
    const TChgInfoRecord record = TChgInfoRecord::decode(frame.body);
    if (!sameUserId(record.UserID, s.UserID))
        return;
    confirmAfter(s.id(), s.UserID, "details change", share(buildChgInfo(record)),
                 [rowId = s.userRowId, record](DatabaseWorker::Context& ctx) {
                     return ctx.directory.setDetails(rowId, record);
                 });
}

void SessionServer::confirmAfter(std::uint64_t id, const std::string& user, const char* what, SharedBytes echo,
                                 std::function<bool(DatabaseWorker::Context&)> update)
{
    db_.post([this, alive = alive_, id, user, what, echo, update = std::move(update)](DatabaseWorker::Context& ctx) {
        bool ok = false;
        try {
            ok = update(ctx);
        } catch (const std::exception& e) {
            log_->error("{}: {} failed: {}", user, what, e.what());
        }
        if (!ok) {
            log_->error("{}: {} not stored; not confirmed", user, what);
            return;
        }
        asio::post(io_, [this, alive, id, echo] {
            if (!*alive)
                return;
            if (TClient* t = find(id))
                t->send({echo});
        });
    });
}

void SessionServer::deliverStored(std::uint64_t id, std::vector<StoredMessage> rows)
{
    TClient* s = find(id);
    if (!s || !s->signedIn())
        return; // the rows stay in the store for the next sign-in
    for (const StoredMessage& m : rows) {
        if (rowsInDelivery_.count(m.ID))
            continue;
        std::vector<std::uint8_t> bytes;
        if (m.MSGTYPE == "MSG") {
            TChatRecord r;
            r.SenderID = m.SENDERID;
            r.SenderName = m.SENDERNAME;
            r.ReceiverID = m.RECEIVERID;
            r.ReceiverName = m.RECEIVERNAME;
            r.SendTime = m.SENDTIME;
            r.Offline = true;
            bytes = buildChat(r, m.MSG);
        } else if (m.MSGTYPE == "MULTIMSG") {
            TMultChatRecord r;
            r.GroupID = m.MultiChatID;
            r.SenderID = m.SENDERID;
            r.SenderName = m.SENDERNAME;
            r.SendTime = m.SENDTIME;
            r.Offline = true;
            bytes = buildMultChat(r, m.MEMBERS, m.MSG);
        } else if (m.MSGTYPE == "FILE") {
            TFileSendRecord r;
            r.SenderID = m.SENDERID;
            r.SenderName = m.SENDERNAME;
            r.ReceiverID = m.RECEIVERID;
            r.ReceiverName = m.RECEIVERNAME;
            r.SendTime = m.SENDTIME;
            r.FileName = m.FILENAME;
            r.RegFileName = m.REGFILENAME;
            r.Note = m.MSG;
            bytes = buildFileSend(r);
        } else {
            log_->warn("stored row {} has the unknown type \"{}\"; left in the store", m.ID, m.MSGTYPE);
            continue;
        }
        routeTo(s->UserID, share(std::move(bytes)), nullptr, m.ID);
    }
}

void SessionServer::storedRowHandedOver(std::int64_t rowId)
{
    // Deletions are gathered for up to 10 ms into one transaction: a commit costs a
    // flush to disk, and a crash in between only means the row is delivered again.
    if (deliveredRows_.empty()) {
        deliveredTimer_.expires_after(std::chrono::milliseconds(10));
        deliveredTimer_.async_wait([this, alive = alive_](const asio::error_code& ec) {
            if (!ec && *alive)
                flushDeliveredRows();
        });
    }
    deliveredRows_.push_back(rowId);
}

void SessionServer::flushDeliveredRows()
{
    if (deliveredRows_.empty())
        return;
    std::vector<std::int64_t> ids;
    ids.swap(deliveredRows_);
    db_.post([this, alive = alive_, ids](DatabaseWorker::Context& ctx) {
        try {
            ctx.offline.remove(ids);
        } catch (const std::exception& e) {
            log_->error("delivered messages cannot be removed from the store: {}", e.what());
        }
        asio::post(io_, [this, alive, ids] {
            if (!*alive)
                return;
            for (auto id : ids)
                rowsInDelivery_.erase(id);
        });
    });
}

void SessionServer::reroute(TClient& closed, std::deque<OutItem> items)
{
    for (OutItem& item : items) {
        if (item.storedRowId) {
            rowsInDelivery_.erase(item.storedRowId); // still in the store
            continue;
        }
        if (!item.reroutable)
            continue;
        HeldFrame held{*item.bytes};
        const Frame frame = held.view();
        std::string addressee = closed.UserID; // a group message was queued here for this user
        if (frame.command == Command::Chat)
            addressee = TChatRecord::decode(frame.body).ReceiverID;
        else if (frame.command == Command::FileSend)
            addressee = TFileSendRecord::decode(frame.body).ReceiverID;
        const StoredMessage stored = storedRowFor(frame, addressee);
        routeTo(addressee, item.bytes, &stored, 0);
    }
}

bool SessionServer::kickOut(std::uint64_t id, const std::string& reason, bool closeAfter)
{
    TClient* s = find(id);
    if (!s || !s->open())
        return false;
    s->send({share(buildKikOut(reason))});
    if (closeAfter) {
        indexRemove(*s);
        s->closeAfterFlush();
    }
    return true;
}

void SessionServer::relayInvite(const TAVInviteRecord& record)
{
    auto* conns = connectionsOf(foldUserId(record.ToID));
    if (!conns)
        return; // never stored
    const SharedBytes bytes = share(buildAVInvite(record));
    const std::vector<TClient*> targets = *conns;
    for (TClient* t : targets)
        t->send({bytes});
}

void SessionServer::protocolViolation(TClient& s, const std::string& error)
{
    log_->warn("{}:{} ({}) closed: {}", s.PeerIP, s.PeerPort, s.UserID, error);
    s.close();
}

void SessionServer::sendQueueOverflow(TClient& s)
{
    log_->warn("{}:{} ({}) closed: it does not read, {} bytes wait for it", s.PeerIP, s.PeerPort, s.UserID,
               s.queuedBytes());
    s.close();
}

void SessionServer::signInTimedOut(TClient& s)
{
    log_->info("{}:{} closed: no sign-in within {} s", s.PeerIP, s.PeerPort, settings_.signInTimeout.count());
    s.close();
}

void SessionServer::sessionClosed(TClient& s)
{
    const auto it = byId_.find(s.id());
    if (it == byId_.end())
        return;
    const SessionPtr keep = *it->second; // the session lives until this function returns
    sessions_.erase(it->second);
    byId_.erase(it);
    const bool wasSignedIn = !s.foldedUserId.empty();
    indexRemove(s);
    std::deque<OutItem> items;
    items.swap(s.queue_);
    s.queuedBytes_ = 0;
    reroute(s, std::move(items));

    observer_.userRemoved(s.id());
    observer_.logLine(logLine(s.UserID, " sign out."));
    // Nobody hears of a connection that never signed in, nor of a user still signed in
    // on another connection.
    if (wasSignedIn && !s.replaced && !stopping_ && !connectionsOf(s.foldedUserId))
        broadcastStatus(s.UserID, "Offline");
    observer_.userCount(sessions_.size());
}

} // namespace oskel::server
