#include "server/DatabaseWorker.h"

#include <soci/soci.h>

#include <chrono>

namespace oskel::server {

DatabaseWorker::DatabaseWorker(std::unique_ptr<Database> db, std::shared_ptr<spdlog::logger> log)
    : db_(std::move(db)), directoryStore_(*db_), offline_(*db_), log_(std::move(log))
{
    directory_ = directoryStore_.load();
    db_->directoryMayHaveChanged();
    thread_ = std::thread([this] { run(); });
}

DatabaseWorker::~DatabaseWorker()
{
    stop();
}

void DatabaseWorker::post(Job job)
{
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return;  // stopped: nothing runs it any more
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void DatabaseWorker::store(StoredMessage message)
{
    {
        std::lock_guard lock(mutex_);
        if (incoming_.size() + waiting_.size() >= kMaxWaitingRows) {
            log_->error("offline store: {} messages wait for the database; a message from {} to {} is lost",
                        kMaxWaitingRows, message.SENDERID, message.RECEIVERID);
            return;
        }
        incoming_.push_back(std::move(message));
    }
    wake_.notify_one();
}

void DatabaseWorker::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    if (!stopped_ && !waiting_.empty())
        log_->error("offline store: {} messages could not be written before the stop and are lost", waiting_.size());
    stopped_ = true;
}

DirectoryPtr DatabaseWorker::directory() const
{
    std::lock_guard lock(mutex_);
    return directory_;
}

std::size_t DatabaseWorker::waitingRows() const
{
    std::lock_guard lock(mutex_);
    return incoming_.size() + waiting_.size();
}

void DatabaseWorker::refreshDirectory(Context& ctx, bool force)
{
    if (!ctx.db.directoryMayHaveChanged() && !force)
        return;
    DirectoryPtr fresh = ctx.directory.load();
    std::lock_guard lock(mutex_);
    directory_ = std::move(fresh);
}

bool DatabaseWorker::writesWork()
{
    try {
        db_->setMeta("write_check", std::to_string(++writeChecks_));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void DatabaseWorker::writeRows(std::vector<StoredMessage>& rows)
{
    if (rows.empty())
        return;
    try {
        offline_.insert(rows);
        rows.clear();
        return;
    } catch (const std::exception& e) {
        log_->warn("offline store: writing {} messages failed: {}", rows.size(), e.what());
    }
    // Tell a row the database refuses (such as a text it cannot hold) from a database
    // that refuses everything: only the former is dropped.
    std::vector<StoredMessage> kept;
    bool databaseDown = false;
    for (auto& row : rows) {
        if (databaseDown) {
            kept.push_back(std::move(row));
            continue;
        }
        try {
            offline_.insert({row});
        } catch (const std::exception& e) {
            // Reading is no proof: a full disk still answers queries. Only a committed
            // write shows that the database takes writes and refuses just this row.
            if (writesWork()) {
                log_->error("offline store: the database refuses the message from {} to {}; it is lost: {}",
                            row.SENDERID, row.RECEIVERID, e.what());
            } else {
                databaseDown = true;
                kept.push_back(std::move(row));
            }
        }
    }
    rows = std::move(kept);
}

void DatabaseWorker::run()
{
    Context ctx{*db_, directoryStore_, offline_, *this};
    auto lastRetry = std::chrono::steady_clock::now();
    for (;;) {
        std::deque<Job> jobs;
        std::vector<StoredMessage> rows;
        bool stopping = false;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] { return stopping_ || !jobs_.empty() || !incoming_.empty(); };
            if (waiting_.empty())
                wake_.wait(lock, ready);
            else
                wake_.wait_for(lock, std::chrono::seconds(1), ready);
            jobs.swap(jobs_);
            rows.swap(waiting_);
            rows.insert(rows.end(), std::make_move_iterator(incoming_.begin()),
                        std::make_move_iterator(incoming_.end()));
            incoming_.clear();
            stopping = stopping_;
        }
        const bool retrying = !rows.empty();
        if (retrying) {
            const auto now = std::chrono::steady_clock::now();
            writeRows(rows);
            if (!rows.empty()) {
                if (now - lastRetry >= std::chrono::seconds(10)) {
                    log_->error("offline store: the database refuses writes; {} messages wait in memory", rows.size());
                    lastRetry = now;
                }
                std::lock_guard lock(mutex_);
                waiting_.insert(waiting_.begin(), std::make_move_iterator(rows.begin()),
                                std::make_move_iterator(rows.end()));
            }
        }
        for (auto& job : jobs) {
            try {
                job(ctx);
            } catch (const std::exception& e) {
                log_->error("database: {}", e.what());
            }
        }
        if (stopping) {
            std::lock_guard lock(mutex_);
            if (jobs_.empty() && incoming_.empty())
                return;
        }
    }
}

} // namespace oskel::server
