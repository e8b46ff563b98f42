#pragma once

// OskelServer as a process in its own temporary folder, and a way to run programs.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>

#include "ServerHarness.h"

namespace oskel::test {


struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with `input` on standard input and collects its output.
inline Result run(const std::vector<std::string>& args, const std::string& input = {}, const std::filesystem::path& dir = {})
{
    const auto outFile = dir.empty() ? std::filesystem::temp_directory_path() / ("oskel-out-" + std::to_string(getpid()))
                                     : dir / "out.txt";
    const auto errFile = outFile.string() + ".err";
    const auto inFile = outFile.string() + ".in";
    std::ofstream(inFile) << input;
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(inFile.c_str(), "r", stdin);
        freopen(outFile.c_str(), "w", stdout);
        freopen(errFile.c_str(), "w", stderr);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream o, e;
    o << std::ifstream(outFile).rdbuf();
    e << std::ifstream(errFile).rdbuf();
    r.out = o.str();
    r.err = e.str();
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    std::filesystem::remove(inFile);
    return r;
}

// A headless OskelServer in its own folder.
class ServerProcess {
public:
    ServerProcess()
    {
        tcp_ = freePort(SOCK_STREAM);
        udp_ = freePort(SOCK_DGRAM);
        config_ = dir_.path() / "config.ini";
        std::ofstream(config_) << "[Server Info]\ntcpServer=" << tcp_ << "\nftpServer=" << freePort(SOCK_STREAM)
                               << "\nudpServer=" << udp_ << "\nBindAddress=127.0.0.1\nEncryptMsg=0\n";
    }
    ~ServerProcess() { kill(SIGKILL); }

    Result cli(std::vector<std::string> args, const std::string& input = {})
    {
        args.insert(args.begin(), {OSKEL_SERVER_BIN, "--config", config_.string()});
        return run(args, input, dir_.path());
    }

    // The headless services, or with `window` the window program (its platform and
    // session as the environment gives them). `wrapper` runs before the program, which
    // is appended to it with its arguments (a namespace, say).
    void start(bool window = false, const std::vector<std::string>& wrapper = {})
    {
        std::vector<std::string> args = wrapper;
        args.insert(args.end(), {OSKEL_SERVER_BIN, "--config", config_.string()});
        if (!window)
            args.push_back("--headless");
        pid_ = fork();
        if (pid_ == 0) {
            const std::string log = (dir_.path() / "server.log").string();
            freopen(log.c_str(), "a", stdout);
            freopen((log + ".err").c_str(), "a", stderr);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // Up once the port answers.
        for (int i = 0; i < 200; ++i) {
            try {
                TestClient probe(tcp_);
                return;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(25ms);
            }
        }
        FAIL() << "OskelServer did not come up";
    }

    // SIGKILL, or SIGTERM and the exit status.
    int kill(int sig)
    {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    long long stored()
    {
        soci::session sql(*soci::factory_sqlite3(), "db=\"" + (dir_.path() / "oskel.db").string() + "\"");
        long long n = 0;
        sql << "SELECT COUNT(*) FROM T_UNDELIVEMSG", soci::into(n);
        return n;
    }

    std::string log()
    {
        std::stringstream s;
        s << std::ifstream(dir_.path() / "server.log").rdbuf();
        return s.str();
    }

    std::uint16_t port() const { return tcp_; }
    pid_t pid() const { return pid_; }
    const std::filesystem::path& config() const { return config_; }
    void appendConfig(const std::string& text) { std::ofstream(config_, std::ios::app) << text; }
    const std::filesystem::path& folder() const { return dir_.path(); }

private:
    TempDir dir_;
    std::filesystem::path config_;
    std::uint16_t tcp_ = 0;
    std::uint16_t udp_ = 0;
    pid_t pid_ = -1;
};


} // namespace oskel::test
