#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

namespace oskel::server {

class FileService;

// One control connection of the file service and its data connections: the commands
// clients use (USER, PASS, TYPE, PORT/EPRT, PASV/EPSV, STOR, SIZE, REST, RETR, ABOR,
// QUIT) and the few more that real clients send first. Transfers stream between the
// socket and the file; the control connection stays readable meanwhile, so ABOR stops a
// transfer at once.
class FtpSession : public std::enable_shared_from_this<FtpSession> {
public:
    FtpSession(FileService& service, asio::ip::tcp::socket control);
    ~FtpSession();

    void start();
    void stop();

private:
    enum class Auth { NeedUser, NeedPass, Checking, SignedIn };
    enum class Transfer { None, Opening, Retr, Stor };

    void readCommand();
    void handleLine(std::string line);
    void command(const std::string& verb, const std::string& arg);
    void reply(const std::string& text);
    void writeNext();
    void touch();
    void close();

    void onPass(const std::string& password);
    void onPort(const std::string& arg, bool extended);
    void onPassive(bool extended);
    void onRetr(const std::string& name);
    void onStor(const std::string& name);
    void onSize(const std::string& name);
    void onAbor();

    // Opens the data connection (passive: accepts; active: connects), then `next`.
    void openData(std::function<void()> next);
    void retrStep();
    void storStep();
    void endTransfer(const std::string& finalReply);
    void failTransfer(const std::string& finalReply);
    void releaseData();
    std::optional<std::filesystem::path> pathFor(const std::string& name);

    FileService& service_;
    asio::ip::tcp::socket control_;
    asio::ip::address peer_;
    asio::streambuf input_;
    std::deque<std::string> output_;
    bool writing_ = false;
    bool closing_ = false;
    asio::steady_timer idle_;
    asio::steady_timer delay_;

    Auth auth_ = Auth::NeedUser;
    std::string user_;
    std::uint64_t restOffset_ = 0;

    std::unique_ptr<asio::ip::tcp::acceptor> passive_;
    std::unique_ptr<asio::ip::tcp::acceptor> accepting_; // passive, waiting for the client
    std::optional<asio::ip::tcp::endpoint> active_;
    std::unique_ptr<asio::ip::tcp::socket> data_;
    Transfer transfer_ = Transfer::None;
    int fileFd_ = -1;
    std::filesystem::path storPath_;
    bool storing_ = false; // storPath_ is ours until the upload completes
    std::uint64_t fileOffset_ = 0;
    std::uint64_t fileEnd_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t limit_ = 0; // bytes, 0 = none
    std::vector<std::uint8_t> buffer_;
    std::deque<std::string> waiting_; // commands that came during a transfer
};

} // namespace oskel::server
