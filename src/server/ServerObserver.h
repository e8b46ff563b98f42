#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oskel::server {

// One row of the "Active Users" list.
struct ActiveUser {
    std::uint64_t session = 0;
    std::string UserID;
    std::string DeptName;
    std::string PeerIP;
    int PeerPort = 0;
    std::string SignInTime;
};

// What a window (or the headless runner) sees of the core. Every call comes from the
// network thread and must return at once: a window queues the event for its own
// thread, it never blocks the services.
class ServerObserver {
public:
    virtual ~ServerObserver() = default;
    virtual void logLine(const std::string& line) { (void)line; }
    virtual void userAdded(const ActiveUser& row) { (void)row; }
    virtual void userUpdated(const ActiveUser& row) { (void)row; }
    virtual void userRemoved(std::uint64_t session) { (void)session; }
    virtual void userCount(std::size_t count) { (void)count; }
    // running: the services started (addresses: the server's addresses) or stopped.
    virtual void stateChanged(bool running, const std::vector<std::string>& addresses)
    {
        (void)running;
        (void)addresses;
    }
};

} // namespace oskel::server
