#pragma once

#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include <QObject>

#include "server/ServerObserver.h"

namespace oskel::server::ui {

// Carries the core's events from the network thread to the window's thread. The
// observer calls only queue (they never wait for the window); the first event of a
// batch wakes the window once, and the window takes everything queued so far.
class ServerEvents : public QObject, public ServerObserver {
    Q_OBJECT
public:
    struct Removed {
        std::uint64_t session = 0;
    };
    struct Added {
        ActiveUser row;
    };
    struct Updated {
        ActiveUser row;
    };
    using UserEvent = std::variant<Added, Updated, Removed>;
    struct Batch {
        std::vector<std::string> lines;
        std::vector<UserEvent> users;
        std::optional<std::size_t> count;
    };

    // Log lines beyond this many, waiting for a window that does not keep up, are dropped.
    static constexpr std::size_t kMaxPendingLines = 10000;

    explicit ServerEvents(QObject* parent = nullptr) : QObject(parent) {}

    void logLine(const std::string& line) override;
    void userAdded(const ActiveUser& row) override;
    void userUpdated(const ActiveUser& row) override;
    void userRemoved(std::uint64_t session) override;
    void userCount(std::size_t count) override;

    // On the window's thread: everything queued so far.
    Batch take();

signals:
    void arrived();

private:
    template <class F> void queue(F&& change);

    std::mutex mutex_;
    Batch pending_;
    bool signalled_ = false;
};

} // namespace oskel::server::ui
