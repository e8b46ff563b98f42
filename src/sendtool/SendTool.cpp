#include "sendtool/SendTool.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "protocol/GuidText.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"
#include "protocol/StreamFramer.h"
#include "protocol/TimeStamp.h"

namespace oskel::sendtool {

using namespace protocol;

namespace {
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string server = "127.0.0.1";
    std::string port = "7412";
    std::string user;
    std::vector<std::string> to;
    std::optional<std::string> message;
    bool directory = false;
    bool online = false;
    double wait = 1.0;
};

Options parse(const std::vector<std::string>& args)
{
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw Usage(a + " needs a value");
            return args[++i];
        };
        if (a == "--server")
            o.server = value();
        else if (a == "--port")
            o.port = value();
        else if (a == "--user")
            o.user = value();
        else if (a == "--to") {
            std::string list = value();
            for (std::size_t start = 0; start <= list.size();) {
                const std::size_t comma = list.find(',', start);
                const std::string id =
                    list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!id.empty())
                    o.to.push_back(id);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == "--message")
            o.message = value();
        else if (a == "--directory")
            o.directory = true;
        else if (a == "--online")
            o.online = true;
        else if (a == "--wait")
            o.wait = std::stod(value());
        else
            throw Usage("unknown argument \"" + a + "\"");
    }
    if (o.user.empty())
        throw Usage("--user ID is required");
    if (!o.to.empty() && !o.message)
        throw Usage("--to needs --message TEXT");
    return o;
}

class Connection {
public:
    Connection(const std::string& host, const std::string& port)
    {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0)
            throw Refused("cannot resolve " + host);
        for (addrinfo* a = res; a && fd_ < 0; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
            if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0)
                fd_ = fd;
            else if (fd >= 0)
                ::close(fd);
        }
        freeaddrinfo(res);
        if (fd_ < 0)
            throw Refused("cannot connect to " + host + ":" + port + ": " + std::strerror(errno));
    }
    ~Connection() { ::close(fd_); }

    void write(const std::vector<std::uint8_t>& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                throw Refused("the server closed the connection");
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads until `until` returns true for a frame or the deadline passes; false when
    // the server closed the connection.
    template <class F> bool read(std::chrono::steady_clock::time_point deadline, F&& onFrame)
    {
        std::uint8_t buf[65536];
        bool stop = false;
        while (!stop) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return true;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            if (!framer_.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)),
                              [&](const Frame& f) { stop = onFrame(f) || stop; }))
                throw Refused("the server sent something unreadable: " + framer_.error());
        }
        return true;
    }

private:
    int fd_ = -1;
    StreamFramer framer_{ReaderSide::Client};
};

std::string readable(std::string_view text, bool enciphered)
{
    if (enciphered)
        if (const auto plain = decipherText(text))
            return *plain;
    return std::string(text);
}
} // namespace

std::string sendToolUsage()
{
    return "Usage: oskel-send --user ID [--server HOST] [--port N] [--to ID[,ID...] --message TEXT]\n"
           "                  [--directory] [--online] [--wait SECONDS]\n"
           "Signs in as ID with the password on the first line of standard input, sends TEXT to one\n"
           "user (or to several as a group), prints the messages that arrive within SECONDS (1 by\n"
           "default; stored messages arrive at sign-in) and exits. --directory and --online print the\n"
           "user directory and the online list of the sign-in reply.\n"
           "Exit status: 0 done, 1 refused or unreachable, 2 wrong usage.\n";
}

int runSendTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err)
{
    try {
        if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
            out << sendToolUsage();
            return 0;
        }
        const Options o = parse(args);
        std::string password;
        std::getline(in, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        if (password.empty() || password.size() > 20)
            throw Usage("the password (first line of standard input) has 1 to 20 bytes");

        Connection conn(o.server, o.port);
        TLoginRecord login;
        login.UserID = o.user;
        login.Password = encipherText(password);
        login.NoDirectory = !o.directory;
        conn.write(buildLogin(login));

        bool signedIn = false;
        bool enciphered = false;
        std::string firstName;
        std::string refusal;
        const auto printMessage = [&](const Frame& f) {
            if (f.command == Command::Chat) {
                const auto r = TChatRecord::decode(f.body);
                out << "[" << r.SendTime << "] " << r.SenderID << (r.Offline ? " (stored)" : "") << ": "
                    << readable(f.text1, enciphered) << "\n";
            } else if (f.command == Command::MultChat) {
                const auto r = TMultChatRecord::decode(f.body);
                out << "[" << r.SendTime << "] " << r.SenderID << " to the group" << (r.Offline ? " (stored)" : "")
                    << ": " << readable(f.text2, enciphered) << "\n";
            } else if (f.command == Command::FileSend) {
                const auto r = TFileSendRecord::decode(f.body);
                out << "[" << r.SendTime << "] " << r.SenderID << " offers the file " << r.FileName << " ("
                    << r.RegFileName << ")\n";
            } else if (f.command == Command::KikOut) {
                const auto r = TKikOutRecord::decode(f.body);
                if (r.Reason != "faillog")
                    out << "signed out by the server: " << r.Reason << "\n";
            }
        };
        // Messages can come in the same read as the reply (stored ones follow it at
        // once), so every frame goes through one handler.
        const auto handle = [&](const Frame& f) {
            if (f.command == Command::FailLog) {
                refusal = TFailLogRecord::decode(f.body).Reason;
                return true;
            }
            if (f.command != Command::SucLog) {
                printMessage(f);
                return false;
            }
            const auto reply = TLoginReply::decode(f.body);
            signedIn = true;
            enciphered = reply.EncryptMsg;
            firstName = reply.FirstName;
            if (o.directory)
                out << f.text1;
            if (o.online)
                out << f.text2;
            return true;
        };
        const bool open = conn.read(std::chrono::steady_clock::now() + std::chrono::seconds(15), handle);
        if (!refusal.empty())
            throw Refused("sign-in refused: " + refusal);
        if (!signedIn)
            throw Refused(open ? "no answer to the sign-in" : "the server closed the connection");

        if (!o.to.empty()) {
            const std::string text = enciphered ? encipherText(*o.message) : *o.message;
            const std::string now = formatTimeStamp(DateTime::now());
            if (o.to.size() == 1) {
                TChatRecord r;
                r.SenderID = o.user;
                r.SenderName = o.user;
                r.ReceiverID = o.to[0];
                r.ReceiverName = o.to[0];
                r.FontColor = "clBlack";
                r.FontName = "Sans";
                r.FontSize = 10;
                r.SendTime = now;
                conn.write(buildChat(r, text));
            } else {
                TMultChatRecord r;
                r.GroupID = NewGuidText();
                r.SenderID = o.user;
                r.SenderName = o.user;
                r.FontColor = "clBlack";
                r.FontName = "Sans";
                r.FontSize = 10;
                r.SendTime = now;
                std::string members;
                for (const auto& id : o.to)
                    members += id + "\r\n";
                conn.write(buildMultChat(r, members, text));
            }
        }
        conn.read(std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(o.wait * 1000)),
                  [&](const Frame& f) {
                      printMessage(f);
                      return false;
                  });
        return 0;
    } catch (const Usage& e) {
        err << "oskel-send: " << e.what() << "\n\n" << sendToolUsage();
        return 2;
    } catch (const std::exception& e) {
        err << "oskel-send: " << e.what() << "\n";
        return 1;
    }
}

} // namespace oskel::sendtool
