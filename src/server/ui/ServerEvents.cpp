#include "server/ui/ServerEvents.h"

namespace oskel::server::ui {

template <class F> void ServerEvents::queue(F&& change)
{
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        change(pending_);
        wake = !signalled_;
        signalled_ = true;
    }
    if (wake)
        QMetaObject::invokeMethod(this, &ServerEvents::arrived, Qt::QueuedConnection);
}

void ServerEvents::logLine(const std::string& line)
{
    queue([&](Batch& b) {
        if (b.lines.size() < kMaxPendingLines)
            b.lines.push_back(line);
    });
}

void ServerEvents::userAdded(const ActiveUser& row)
{
    queue([&](Batch& b) { b.users.emplace_back(Added{row}); });
}

void ServerEvents::userUpdated(const ActiveUser& row)
{
    queue([&](Batch& b) { b.users.emplace_back(Updated{row}); });
}

void ServerEvents::userRemoved(std::uint64_t session)
{
    queue([&](Batch& b) { b.users.emplace_back(Removed{session}); });
}

void ServerEvents::userCount(std::size_t count)
{
    queue([&](Batch& b) { b.count = count; });
}

ServerEvents::Batch ServerEvents::take()
{
    std::lock_guard lock(mutex_);
    Batch out = std::move(pending_);
    pending_ = {};
    signalled_ = false;
    return out;
}

} // namespace oskel::server::ui
