#include "server/HeadlessRunner.h"

#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <mutex>

#include "server/Database.h"
#include "server/ServerCore.h"

namespace oskel::server {

namespace {
class StreamObserver : public ServerObserver {
public:
    explicit StreamObserver(std::ostream& out) : out_(out) {}
    void logLine(const std::string& line) override
    {
        std::lock_guard lock(mutex_);
        out_ << line << std::endl;
    }

private:
    std::ostream& out_;
    std::mutex mutex_;
};
} // namespace

int runHeadless(const std::string& configPath, std::ostream& out, std::ostream& err)
{
    // The signals are taken by sigwait below; every thread started from here on
    // inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::vector<std::string> problems;
    const ServerSettings settings = ServerSettings::load(configPath, &problems);
    for (const auto& p : problems)
        err << "OskelServer: " << configPath << ": " << p << "\n";

    StreamObserver observer(out);
    std::unique_ptr<ServerCore> core;
    try {
        core = std::make_unique<ServerCore>(settings, observer);
    } catch (const DatabaseError& e) {
        err << "Critical error occured. Please re-install the application.\n" << e.what() << "\n";
        return 1;
    }
    const auto started = core->start();
    if (!started.started) {
        err << "OskelServer: the services did not start: " << started.error << "\n";
        return 1;
    }
    err << "OskelServer: TCP " << core->tcpPort() << ", FTP " << core->ftpPort() << ", UDP " << core->udpPort()
        << ", database " << settings.databaseName() << "\n";
    int sig = 0;
    sigwait(&signals, &sig);
    core->stop();
    core.reset();
    return 0;
}

} // namespace oskel::server
