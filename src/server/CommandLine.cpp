#include "server/CommandLine.h"

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>

#include "server/Database.h"
#include "server/DirectoryAdmin.h"
#include "server/HeadlessRunner.h"

namespace oskel::server {

namespace {
constexpr const char* kCritical = "Critical error occured. Please re-install the application.";

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Args {
public:
    explicit Args(std::vector<std::string> a) : a_(std::move(a)) {}
    bool empty() const { return i_ >= a_.size(); }
    bool flag(const std::string& name)
    {
        for (std::size_t k = i_; k < a_.size(); ++k)
            if (a_[k] == name) {
                a_.erase(a_.begin() + static_cast<std::ptrdiff_t>(k));
                return true;
            }
        return false;
    }
    std::string next(const char* what)
    {
        if (empty())
            throw Usage(std::string("missing ") + what);
        return a_[i_++];
    }
    std::optional<std::string> option(const std::string& name)
    {
        for (std::size_t k = i_; k + 1 < a_.size(); ++k)
            if (a_[k] == name) {
                std::string v = a_[k + 1];
                a_.erase(a_.begin() + static_cast<std::ptrdiff_t>(k), a_.begin() + static_cast<std::ptrdiff_t>(k) + 2);
                return v;
            }
        for (std::size_t k = i_; k < a_.size(); ++k)
            if (a_[k] == name)
                throw Usage(name + " needs a value");
        return std::nullopt;
    }
    void done()
    {
        if (!empty())
            throw Usage("unexpected \"" + a_[i_] + "\"");
    }

private:
    std::vector<std::string> a_;
    std::size_t i_ = 0;
};

std::string firstLine(std::istream& in)
{
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int runDept(Args& args, DirectoryAdmin& admin, std::ostream& out)
{
    const std::string verb = args.next("dept command (list, add, rights, delete)");
    if (verb == "list") {
        args.done();
        const auto dir = admin.directory();
        for (const auto& d : dir->departments()) {
            std::size_t users = 0;
            for (const auto& u : dir->users())
                users += dir->departmentOf(u) == &d;
            out << d.ID << '\t' << d.GroupName << '\t' << d.Rights << '\t' << users << '\n';
        }
        return 0;
    }
    if (verb == "add") {
        const auto rights = args.option("--rights");
        const std::string name = args.next("department name");
        args.done();
        admin.addDepartment(name, rights.value_or(DirectoryAdmin::kNewDepartmentRights));
        return 0;
    }
    if (verb == "rights") {
        const std::string name = args.next("department name");
        const std::string rights = args.next("rights");
        args.done();
        admin.setDepartmentRights(name, rights);
        return 0;
    }
    if (verb == "delete") {
        const auto moveTo = args.option("--move-to");
        const bool deleteUsers = args.flag("--delete-users");
        const std::string name = args.next("department name");
        args.done();
        if (moveTo && deleteUsers)
            throw Usage("--move-to and --delete-users exclude each other");
        admin.deleteDepartment(name, moveTo, deleteUsers);
        return 0;
    }
    throw Usage("unknown dept command \"" + verb + "\"");
}

int runUser(Args& args, DirectoryAdmin& admin, std::istream& in, std::ostream& out)
{
    const std::string verb = args.next("user command (list, add, passwd, disable, enable, delete)");
    if (verb == "list") {
        args.done();
        const auto dir = admin.directory();
        for (const auto& u : dir->users()) {
            const Department* d = dir->departmentOf(u);
            out << u.UserLog << '\t' << u.FirstName << '\t' << u.LastName << '\t' << (d ? d->GroupName : "") << '\t'
                << u.Rights << '\t' << (u.Disable ? "disabled" : "enabled") << '\n';
        }
        return 0;
    }
    if (verb == "add") {
        DirectoryAdmin::NewUser nu;
        const auto first = args.option("--first");
        const auto last = args.option("--last");
        const auto dept = args.option("--dept");
        nu.rights = args.option("--rights");
        nu.userId = args.next("user id");
        args.done();
        if (!first)
            throw Usage("user add needs --first FIRST");
        nu.firstName = *first;
        nu.lastName = last.value_or("");
        nu.department = dept.value_or("");
        nu.password = firstLine(in);
        admin.addUser(nu);
        return 0;
    }
    if (verb == "passwd") {
        const std::string id = args.next("user id");
        args.done();
        admin.setPassword(id, firstLine(in));
        return 0;
    }
    if (verb == "disable" || verb == "enable") {
        const std::string id = args.next("user id");
        args.done();
        admin.setDisabled(id, verb == "disable");
        return 0;
    }
    if (verb == "delete") {
        const std::string id = args.next("user id");
        args.done();
        admin.deleteUser(id);
        return 0;
    }
    throw Usage("unknown user command \"" + verb + "\"");
}
} // namespace

std::string defaultConfigPath()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ((ec ? std::filesystem::current_path() : exe.parent_path()) / "config.ini").string();
}

std::string serverUsage()
{
    return "Usage:\n"
           "  OskelServer [--config FILE]                 the server window\n"
           "  OskelServer [--config FILE] --headless      the services without a window, until SIGINT or SIGTERM\n"
           "  OskelServer [--config FILE] dept list\n"
           "  OskelServer [--config FILE] dept add NAME [--rights R]\n"
           "  OskelServer [--config FILE] dept rights NAME R\n"
           "  OskelServer [--config FILE] dept delete NAME [--move-to OTHER | --delete-users]\n"
           "  OskelServer [--config FILE] user list\n"
           "  OskelServer [--config FILE] user add ID --first FIRST [--last LAST] [--dept NAME] [--rights R]\n"
           "  OskelServer [--config FILE] user passwd ID\n"
           "  OskelServer [--config FILE] user disable ID | enable ID | delete ID\n"
           "\n"
           "FILE defaults to config.ini beside the program; the database (oskel.db) and the upload\n"
           "folder (Files) lie beside it. \"user add\" and \"user passwd\" read the password (1 to 20\n"
           "bytes) from the first line of standard input. R is eight characters 0 or 1: voice, file,\n"
           "video, screen shot, invite, invisible, own details, message to a department or everybody;\n"
           "saving a department's rights copies them to its users. A department that still has users\n"
           "is deleted only with --move-to (they keep their rights) or --delete-users. User ids are\n"
           "unique, letters compared without regard to case.\n"
           "Listings are TAB-separated. Exit status: 0 done, 1 refused, 2 wrong usage.\n";
}

int runServerCommandLine(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err,
                         const std::function<int(const std::string&)>& runWindow)
{
    try {
        Args args(argv);
        if (argv.size() == 1 && (argv[0] == "--help" || argv[0] == "-h")) {
            out << serverUsage();
            return 0;
        }
        const std::string config = args.option("--config").value_or(defaultConfigPath());
        if (args.empty()) {
            if (!runWindow)
                throw Usage("the server window is not part of this build; use --headless");
            return runWindow(config);
        }
        const std::string command = args.next("command");
        if (command == "--headless") {
            args.done();
            return runHeadless(config, out, err);
        }
        if (command != "dept" && command != "user")
            throw Usage("unknown command \"" + command + "\"");

        std::vector<std::string> problems;
        const ServerSettings settings = ServerSettings::load(config, &problems);
        std::unique_ptr<Database> db;
        try {
            db = Database::open(settings);
        } catch (const DatabaseError& e) {
            err << kCritical << "\n" << e.what() << "\n";
            return 1;
        }
        PasswordHasher hasher;
        DirectoryAdmin admin(*db, hasher);
        return command == "dept" ? runDept(args, admin, out) : runUser(args, admin, in, out);
    } catch (const Usage& e) {
        err << "OskelServer: " << e.what() << "\n\n" << serverUsage();
        return 2;
    } catch (const AdminRefused& e) {
        err << "OskelServer: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << "OskelServer: " << e.what() << "\n";
        return 1;
    }
}

} // namespace oskel::server
