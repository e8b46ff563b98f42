#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "server/IniFile.h"

namespace oskel::server {

struct DatabaseSettings {
    std::string Driver = "sqlite3"; // sqlite3, postgresql, odbc
    std::string Database;           // SQLite file (default "oskel.db") or PostgreSQL database name
    std::string Host;
    std::string Port;
    std::string User;
    std::string Password;
    std::string DataSource = "OskelServer"; // ODBC data source
};

// "config.ini": section "[Server Info]" with the server's keys and ours, section
// "[Database]". Every default path lies beside the settings file, and relative paths
// resolve against its folder.
struct ServerSettings {
    static constexpr const char* kSection = "Server Info";
    static constexpr const char* kDatabaseSection = "Database";

    int tcpServer = 7412;
    int ftpServer = 7416;
    int udpServer = 7418;
    std::string tempDic; // upload folder as configured; see uploadFolder()
    bool LimitFileTrans = true;
    int LimitFileSize = 3; // megabytes, 1 to 1000
    bool EncryptMsg = true;
    std::string BindAddress; // empty: all addresses
    std::string Organisation;
    int SignInTimeout = 60; // seconds
    int PasvPortMin = 50000;
    int PasvPortMax = 50100;
    int FtpIdleTimeout = 300;   // seconds
    int FileRetentionDays = 30; // 0 = never clean
    DatabaseSettings database;

    std::filesystem::path baseDir; // the folder of the settings file

    // Reads `path`; a missing file gives the defaults. Values that do not parse keep
    // their defaults and are reported in `problems`; a port that is not a number is
    // reported too and makes valid() false.
    static ServerSettings load(const std::filesystem::path& path, std::vector<std::string>* problems = nullptr);
    static ServerSettings fromIni(const IniFile& ini, const std::filesystem::path& baseDir,
                                  std::vector<std::string>* problems = nullptr);
    IniFile toIni() const;
    // What the server window does at every start: writes every key into `path`, keeping
    // the keys it does not know; `tempDic` as "Files" unless it names an existing folder.
    bool save(const std::filesystem::path& path) const;

    // The SQLite file, or the PostgreSQL database name.
    std::string databaseName() const;
    // `tempDic` when that folder exists, else "Files" beside the settings file,
    // created when missing. Resolved at each call, as the file service asks per request.
    std::filesystem::path uploadFolder() const;
    std::filesystem::path resolve(const std::string& path) const;

    // Ports are numbers in 1..65535 (0: any free port, for tests).
    bool portsValid() const;
};

// "-1", "0", "True", "False" and any whole number (non-zero = true); nullopt otherwise.
std::optional<bool> parseIniBool(std::string_view text);
// Written as "-1"/"0".
std::string iniBool(bool value);

} // namespace oskel::server
