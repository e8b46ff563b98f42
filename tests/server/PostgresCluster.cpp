#include "PostgresCluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <libpq-fe.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>

namespace oskel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {
// The newest /usr/lib/postgresql/<version>/bin holding initdb and postgres.
fs::path findBinDir()
{
    fs::path best;
    double bestVersion = -1;
    std::error_code ec;
    for (fs::directory_iterator it("/usr/lib/postgresql", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path bin = it->path() / "bin";
        if (::access((bin / "initdb").c_str(), X_OK) != 0 || ::access((bin / "postgres").c_str(), X_OK) != 0)
            continue;
        const double version = std::strtod(it->path().filename().c_str(), nullptr);
        if (version > bestVersion) {
            bestVersion = version;
            best = bin;
        }
    }
    if (best.empty())
        throw std::runtime_error("PostgreSQL is not installed: no /usr/lib/postgresql/<version>/bin with initdb and "
                                 "postgres. Install Debian's postgresql package (scripts/setup.sh does).");
    return best;
}

std::string findRunuser()
{
    for (const char* p : {"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser"})
        if (::access(p, X_OK) == 0)
            return p;
    throw std::runtime_error("runuser not found: PostgreSQL refuses to run as root and the tests run as root");
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A port that was free on 127.0.0.1 a moment ago.
std::uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket() failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    if (!ok)
        throw std::runtime_error("no free port on 127.0.0.1");
    return ntohs(addr.sin_port);
}

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int st = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            if (status)
                *status = st;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

// The parent of `pid` according to /proc, or -1.
pid_t parentOf(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    pid_t ppid = -1;
    rest >> state >> ppid;
    return ppid;
}
} // namespace

PostgresCluster& PostgresCluster::shared()
{
    static std::mutex mutex;
    static std::unique_ptr<PostgresCluster> cluster;
    static std::string failure;
    std::lock_guard lock(mutex);
    if (!cluster && failure.empty()) {
        try {
            cluster = std::make_unique<PostgresCluster>();
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    if (!cluster)
        throw std::runtime_error("the test PostgreSQL cluster is not available: " + failure);
    return *cluster;
}

PostgresCluster::PostgresCluster()
{
    bin_ = findBinDir();
    asRoot_ = ::geteuid() == 0;
    if (asRoot_) {
        const passwd* pw = ::getpwnam("postgres");
        if (!pw)
            throw std::runtime_error("there is no user \"postgres\" to run PostgreSQL as (Debian's postgresql "
                                     "package creates it)");
        if (::chown(dir_.path().c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("cannot give " + dir_.path().string() + " to the user postgres");
        prefix_ = {findRunuser(), "-u", "postgres", "--"};
    }

    const fs::path initLog = dir_.path() / "initdb.log";
    const pid_t initdb = spawn({(bin_ / "initdb").string(), "-D", (dir_.path() / "data").string(), "-U", "postgres",
                                "-A", "trust", "--no-sync", "-E", "UTF8", "--locale=C"},
                               initLog);
    int status = 0;
    if (!waitForExit(initdb, 60s, &status)) {
        ::kill(initdb, SIGKILL);
        ::waitpid(initdb, nullptr, 0);
        throw std::runtime_error("initdb did not finish within 60 s: " + readFile(initLog));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("initdb failed: " + readFile(initLog));

    // Another program may take the chosen port before postgres binds it: try another.
    std::string log;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startServer(log))
            return;
        if (log.find("could not bind") == std::string::npos && log.find("already in use") == std::string::npos)
            break;
    }
    throw std::runtime_error("postgres did not start: " + log);
}

PostgresCluster::~PostgresCluster()
{
    admin_.reset();
    stopServer();
}

pid_t PostgresCluster::spawn(const std::vector<std::string>& args, const fs::path& logFile)
{
    std::vector<std::string> command = prefix_;
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : command)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string cwd = dir_.path().string();
    const std::string log = logFile.string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork() failed");
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. When the test program dies
        // without stopping the cluster, the child gets SIGTERM (runuser passes it on to
        // postgres, which then shuts down as its clients are gone). The folder is the
        // working directory, as the user postgres may not enter ours.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(125);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

bool PostgresCluster::startServer(std::string& log)
{
    port_ = freePort();
    const fs::path logFile = dir_.path() / "postgres.log";
    std::error_code ec;
    fs::remove(logFile, ec);
    child_ = spawn({(bin_ / "postgres").string(), "-D", (dir_.path() / "data").string(), "-p", std::to_string(port_),
                    "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + dir_.path().string(), "-c",
                    "fsync=off", "-c", "synchronous_commit=off", "-c", "full_page_writes=off"},
                   logFile);
    const std::string conninfo =
        "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=postgres user=postgres connect_timeout=2";
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(child_, nullptr, WNOHANG) == child_) {
            child_ = -1;
            log = readFile(logFile);
            return false;
        }
        if (PQping(conninfo.c_str()) == PQPING_OK)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    stopServer();
    log = "no answer within 30 s: " + readFile(logFile);
    return false;
}

void PostgresCluster::stopServer()
{
    if (child_ <= 0)
        return;
    // As root our child is runuser, which would only pass on a polite SIGTERM; the
    // postmaster (the first line of postmaster.pid) gets SIGQUIT, an immediate shutdown.
    pid_t target = child_;
    if (asRoot_) {
        std::istringstream pidFile(readFile(dir_.path() / "data" / "postmaster.pid"));
        pid_t postmaster = -1;
        pidFile >> postmaster;
        if (postmaster > 0 && parentOf(postmaster) == child_)
            target = postmaster;
    }
    ::kill(target, SIGQUIT);
    if (!waitForExit(child_, 10s)) {
        ::kill(target, SIGKILL);
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
    }
    child_ = -1;
}

server::DatabaseSettings PostgresCluster::createDatabase()
{
    std::lock_guard lock(mutex_);
    if (!admin_)
        admin_ = std::make_unique<soci::session>(*soci::factory_postgresql(),
                                                 "host=127.0.0.1 port=" + std::to_string(port_) +
                                                     " dbname=postgres user=postgres");
    const std::string name = "oskel_test_" + std::to_string(++databases_);
    *admin_ << "CREATE DATABASE " + name;
    server::DatabaseSettings d;
    d.Driver = "postgresql";
    d.Database = name;
    d.Host = "127.0.0.1";
    d.Port = std::to_string(port_);
    d.User = "postgres";
    return d;
}

} // namespace oskel::test
