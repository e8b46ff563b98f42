#include "server/ServerSettings.h"

#include <charconv>
#include <system_error>

#include "server/UserId.h"

namespace oskel::server {

namespace {
std::optional<int> parseInt(std::string_view text)
{
    int v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size() || text.empty())
        return std::nullopt;
    return v;
}

void readInt(const IniFile& ini, const char* section, const char* key, int& out, int min, int max,
             std::vector<std::string>* problems)
{
    const auto text = ini.value(section, key);
    if (!text)
        return;
    const auto v = parseInt(*text);
    if (!v || *v < min || *v > max) {
        if (problems)
            problems->push_back(std::string(key) + "=\"" + *text + "\" is not a number from " + std::to_string(min) +
                                " to " + std::to_string(max));
        if (v && *v < min)
            out = min;
        else if (v && *v > max)
            out = max;
        return;
    }
    out = *v;
}

void readBool(const IniFile& ini, const char* key, bool& out, std::vector<std::string>* problems)
{
    const auto text = ini.value(ServerSettings::kSection, key);
    if (!text)
        return;
    if (const auto v = parseIniBool(*text))
        out = *v;
    else if (problems)
        problems->push_back(std::string(key) + "=\"" + *text + "\" is not a boolean");
}

void readText(const IniFile& ini, const char* section, const char* key, std::string& out)
{
    if (const auto text = ini.value(section, key))
        out = *text;
}
} // namespace

std::optional<bool> parseIniBool(std::string_view text)
{
    if (sameUserId(text, "true"))
        return true;
    if (sameUserId(text, "false"))
        return false;
    if (const auto v = parseInt(text))
        return *v != 0;
    return std::nullopt;
}

std::string iniBool(bool value)
{
    return value ? "-1" : "0";
}

ServerSettings ServerSettings::load(const std::filesystem::path& path, std::vector<std::string>* problems)
{
    const auto ini = IniFile::load(path.string());
    return fromIni(ini ? *ini : IniFile(), std::filesystem::absolute(path).parent_path(), problems);
}

ServerSettings ServerSettings::fromIni(const IniFile& ini, const std::filesystem::path& baseDir,
                                       std::vector<std::string>* problems)
{
    ServerSettings s;
    s.baseDir = baseDir;
    // A port outside 1..65535 is marked -1 so that portsValid() refuses to start.
    for (auto [key, port] : {std::pair{"tcpServer", &s.tcpServer}, std::pair{"ftpServer", &s.ftpServer},
                             std::pair{"udpServer", &s.udpServer}}) {
        const auto text = ini.value(kSection, key);
        if (!text)
            continue;
        const auto v = parseInt(*text);
        if (!v || *v < 1 || *v > 65535) {
            *port = -1;
            if (problems)
                problems->push_back(std::string(key) + "=\"" + *text + "\" is not a port number");
        } else {
            *port = *v;
        }
    }
    readText(ini, kSection, "tempDic", s.tempDic);
    readBool(ini, "LimitFileTrans", s.LimitFileTrans, problems);
    readInt(ini, kSection, "LimitFileSize", s.LimitFileSize, 1, 1000, problems);
    readBool(ini, "EncryptMsg", s.EncryptMsg, problems);
    readText(ini, kSection, "BindAddress", s.BindAddress);
    readText(ini, kSection, "Organisation", s.Organisation);
    readInt(ini, kSection, "SignInTimeout", s.SignInTimeout, 1, 86400, problems);
    readInt(ini, kSection, "PasvPortMin", s.PasvPortMin, 1, 65535, problems);
    readInt(ini, kSection, "PasvPortMax", s.PasvPortMax, 1, 65535, problems);
    readInt(ini, kSection, "FtpIdleTimeout", s.FtpIdleTimeout, 1, 86400, problems);
    readInt(ini, kSection, "FileRetentionDays", s.FileRetentionDays, 0, 36500, problems);

    auto& d = s.database;
    readText(ini, kDatabaseSection, "Driver", d.Driver);
    readText(ini, kDatabaseSection, "Database", d.Database);
    readText(ini, kDatabaseSection, "Host", d.Host);
    readText(ini, kDatabaseSection, "Port", d.Port);
    readText(ini, kDatabaseSection, "User", d.User);
    readText(ini, kDatabaseSection, "Password", d.Password);
    readText(ini, kDatabaseSection, "DataSource", d.DataSource);
    return s;
}

IniFile ServerSettings::toIni() const
{
    IniFile ini;
    ini.set(kSection, "tcpServer", std::to_string(tcpServer));
    ini.set(kSection, "ftpServer", std::to_string(ftpServer));
    ini.set(kSection, "udpServer", std::to_string(udpServer));
    ini.set(kSection, "tempDic", tempDic);
    ini.set(kSection, "LimitFileTrans", iniBool(LimitFileTrans));
    ini.set(kSection, "LimitFileSize", std::to_string(LimitFileSize));
    ini.set(kSection, "EncryptMsg", iniBool(EncryptMsg));
    ini.set(kSection, "BindAddress", BindAddress);
    ini.set(kSection, "Organisation", Organisation);
    ini.set(kSection, "SignInTimeout", std::to_string(SignInTimeout));
    ini.set(kSection, "PasvPortMin", std::to_string(PasvPortMin));
    ini.set(kSection, "PasvPortMax", std::to_string(PasvPortMax));
    ini.set(kSection, "FtpIdleTimeout", std::to_string(FtpIdleTimeout));
    ini.set(kSection, "FileRetentionDays", std::to_string(FileRetentionDays));
    ini.set(kDatabaseSection, "Driver", database.Driver);
    ini.set(kDatabaseSection, "Database", database.Database);
    ini.set(kDatabaseSection, "Host", database.Host);
    ini.set(kDatabaseSection, "Port", database.Port);
    ini.set(kDatabaseSection, "User", database.User);
    ini.set(kDatabaseSection, "Password", database.Password);
    ini.set(kDatabaseSection, "DataSource", database.DataSource);
    return ini;
}

bool ServerSettings::save(const std::filesystem::path& path) const
{
    IniFile ini = IniFile::load(path.string()).value_or(IniFile{});
    ServerSettings written = *this;
    std::error_code ec;
    if (tempDic.empty() || !std::filesystem::is_directory(resolve(tempDic), ec))
        written.tempDic = "Files";
    ini.merge(written.toIni());
    return ini.save(path.string());
}

std::filesystem::path ServerSettings::resolve(const std::string& path) const
{
    const std::filesystem::path p(path);
    return p.is_absolute() ? p : baseDir / p;
}

std::string ServerSettings::databaseName() const
{
    if (database.Driver == "sqlite3")
        return resolve(database.Database.empty() ? "oskel.db" : database.Database).string();
    return database.Database.empty() ? "oskel" : database.Database;
}

std::filesystem::path ServerSettings::uploadFolder() const
{
    std::error_code ec;
    if (!tempDic.empty()) {
        const auto configured = resolve(tempDic);
        if (std::filesystem::is_directory(configured, ec))
            return configured;
    }
    const auto files = baseDir / "Files";
    std::filesystem::create_directories(files, ec);
    return files;
}

bool ServerSettings::portsValid() const
{
    // 0 (any free port) is only ever set by a program, such as a test; a settings file
    // that gives 0 is refused when read.
    for (int p : {tcpServer, ftpServer, udpServer})
        if (p < 0 || p > 65535)
            return false;
    return true;
}

} // namespace oskel::server
