#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <spdlog/logger.h>

#include "server/Database.h"
#include "server/Directory.h"
#include "server/DirectoryStore.h"
#include "server/OfflineStore.h"

namespace oskel::server {

// The thread that owns the database connection. Network threads never wait for it:
// they post jobs, which run in order, and hand over messages to store, which are
// written in groups, one transaction per pass (under load a pass gathers everything
// that arrived during the previous one). While the database refuses writes, the
// messages wait in a bounded memory queue and are written when it is back.
class DatabaseWorker {
public:
    struct Context {
        Database& db;
        DirectoryStore& directory;
        OfflineStore& offline;
        DatabaseWorker& worker;
    };
    using Job = std::function<void(Context&)>;

    static constexpr std::size_t kMaxWaitingRows = 200000;

    DatabaseWorker(std::unique_ptr<Database> db, std::shared_ptr<spdlog::logger> log);
    ~DatabaseWorker();

    // Runs `job` on the worker thread after every message handed to store() before it.
    void post(Job job);
    void store(StoredMessage message);
    // Finishes what was handed over and ends the thread.
    void stop();

    // The current directory (any thread). refreshDirectory() runs on the worker.
    DirectoryPtr directory() const;
    void refreshDirectory(Context& ctx, bool force = false);

    // Messages not yet committed (pending a pass, or waiting for the database).
    std::size_t waitingRows() const;

private:
    void run();
    void writeRows(std::vector<StoredMessage>& rows);
    // True when a small committed write succeeds.
    bool writesWork();

    std::unique_ptr<Database> db_;
    DirectoryStore directoryStore_;
    OfflineStore offline_;
    std::shared_ptr<spdlog::logger> log_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<StoredMessage> incoming_;
    std::vector<StoredMessage> waiting_; // refused by the database, retried
    bool stopping_ = false;
    bool stopped_ = false;
    DirectoryPtr directory_;
    std::uint64_t writeChecks_ = 0;
    std::thread thread_;
};

} // namespace oskel::server
