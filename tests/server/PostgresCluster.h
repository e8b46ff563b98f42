#pragma once

// A throwaway PostgreSQL cluster for the tests: initdb in a temporary folder, one
// postgres listening on 127.0.0.1 on a free port (its unix socket inside the folder),
// trust authentication. PostgreSQL refuses to run as root, so as root both run as the
// user "postgres" through runuser.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ServerHarness.h"
#include "server/ServerSettings.h"

namespace soci {
class session;
}

namespace oskel::test {

class PostgresCluster {
public:
    // The cluster of this test program, started at the first call and stopped at exit.
    // Call it from the main thread: the cluster stops when the thread that started it ends.
    // Throws std::runtime_error saying why when it cannot start (PostgreSQL not
    // installed, initdb or postgres failing); later calls repeat that error.
    static PostgresCluster& shared();

    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& folder() const { return dir_.path(); }

    // A new empty database, for one test: the server's settings to reach it.
    server::DatabaseSettings createDatabase();

private:
    // Runs `args` (as the user postgres when we are root) in the folder, its output
    // appended to `logFile`.
    pid_t spawn(const std::vector<std::string>& args, const std::filesystem::path& logFile);
    bool startServer(std::string& log);
    void stopServer();

    TempDir dir_;
    std::filesystem::path bin_;
    bool asRoot_ = false;
    std::vector<std::string> prefix_; // runuser -u postgres --, as root
    std::uint16_t port_ = 0;
    pid_t child_ = -1;
    std::mutex mutex_;
    std::unique_ptr<soci::session> admin_;
    int databases_ = 0;
};

} // namespace oskel::test
