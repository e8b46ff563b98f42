#include <gtest/gtest.h>

#include <fstream>

#include "ServerHarness.h"
#include "server/IniFile.h"
#include "server/ServerSettings.h"

using namespace oskel::server;

TEST(IniFile, keeps_the_literal_section_name_and_reads_keys_in_any_case)
{
    const IniFile ini = IniFile::parse(
        "; comment\r\n[Server Info]\r\ntcpServer = 7000\r\nEncryptMsg=0\r\n\r\n[Database]\nDriver=sqlite3\n");
    EXPECT_EQ(ini.value("Server Info", "TCPSERVER"), "7000");
    EXPECT_EQ(ini.value("server info", "EncryptMsg"), "0");
    EXPECT_EQ(ini.value("Database", "Driver"), "sqlite3");
    EXPECT_FALSE(ini.value("Server%20Info", "tcpServer"));
    const std::string text = ServerSettings{}.toIni().text();
    EXPECT_EQ(text.rfind("[Server Info]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nEncryptMsg=-1\n"), std::string::npos);
    EXPECT_NE(text.find("\nLimitFileTrans=-1\n"), std::string::npos);
    EXPECT_NE(text.find("[Database]\n"), std::string::npos);
}

TEST(ServerSettings, values_defaults_and_problems)
{
    struct Case {
        const char* line;
        const char* key;
        std::string expected;
        bool problem;
    };
    const auto read = [](const std::string& line) {
        std::vector<std::string> problems;
        const auto s =
            ServerSettings::fromIni(IniFile::parse("[Server Info]\n" + line + "\n"), "/srv/oskel", &problems);
        return std::pair{s, problems};
    };
    const Case cases[] = {
        {"EncryptMsg=-1", "EncryptMsg", "1", false},     {"EncryptMsg=0", "EncryptMsg", "0", false},
        {"EncryptMsg=True", "EncryptMsg", "1", false},   {"EncryptMsg=false", "EncryptMsg", "0", false},
        {"EncryptMsg=maybe", "EncryptMsg", "1", true},   {"LimitFileSize=10", "LimitFileSize", "10", false},
        {"LimitFileSize=0", "LimitFileSize", "1", true}, {"LimitFileSize=5000", "LimitFileSize", "1000", true},
        {"tcpServer=8000", "tcpServer", "8000", false},  {"tcpServer=abc", "tcpServer", "-1", true},
        {"tcpServer=0", "tcpServer", "-1", true},        {"udpServer=70000", "udpServer", "-1", true},
    };
    for (const auto& c : cases) {
        const auto [s, problems] = read(c.line);
        const std::string key = c.key;
        const std::string value = key == "EncryptMsg"      ? std::to_string(s.EncryptMsg)
                                  : key == "LimitFileSize" ? std::to_string(s.LimitFileSize)
                                  : key == "tcpServer"     ? std::to_string(s.tcpServer)
                                                           : std::to_string(s.udpServer);
        EXPECT_EQ(value, c.expected) << c.line;
        EXPECT_EQ(!problems.empty(), c.problem) << c.line;
    }
    const auto [defaults, none] = read("");
    EXPECT_EQ(defaults.tcpServer, 7412);
    EXPECT_EQ(defaults.ftpServer, 7416);
    EXPECT_EQ(defaults.udpServer, 7418);
    EXPECT_TRUE(defaults.LimitFileTrans);
    EXPECT_EQ(defaults.LimitFileSize, 3);
    EXPECT_TRUE(defaults.EncryptMsg);
    EXPECT_EQ(defaults.SignInTimeout, 60);
    EXPECT_EQ(defaults.databaseName(), "/srv/oskel/oskel.db");
    EXPECT_FALSE(read("tcpServer=x").first.portsValid());
}

TEST(ServerSettings, upload_folder_falls_back_to_files_beside_the_settings)
{
    oskel::test::TempDir dir;
    ServerSettings s;
    s.baseDir = dir.path();
    s.tempDic = (dir.path() / "missing").string();
    EXPECT_EQ(s.uploadFolder(), dir.path() / "Files");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Files"));
    std::filesystem::create_directory(dir.path() / "uploads");
    s.tempDic = "uploads"; // relative to the settings file's folder
    EXPECT_EQ(s.uploadFolder(), dir.path() / "uploads");
}

TEST(ServerSettings, saving_writes_every_key_keeps_unknown_ones_and_a_missing_upload_folder_becomes_files)
{
    oskel::test::TempDir dir;
    const auto path = dir.path() / "config.ini";
    {
        std::ofstream f(path);
        f << "[Server Info]\ntcpServer=7412\nOurNote=kept\n[Database]\nDriver=sqlite3\nDatabase=people.db\n";
    }
    ServerSettings s = ServerSettings::load(path);
    s.tcpServer = 9000;
    s.LimitFileSize = 10;
    s.EncryptMsg = false;
    s.tempDic = (dir.path() / "nowhere").string();
    ASSERT_TRUE(s.save(path));
    const auto ini = IniFile::load(path.string());
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->value("Server Info", "tcpServer"), "9000");
    EXPECT_EQ(ini->value("Server Info", "LimitFileSize"), "10");
    EXPECT_EQ(ini->value("Server Info", "EncryptMsg"), "0");
    EXPECT_EQ(ini->value("Server Info", "tempDic"), "Files");
    EXPECT_EQ(ini->value("Server Info", "OurNote"), "kept");
    EXPECT_EQ(ini->value("Database", "Database"), "people.db");

    std::filesystem::create_directory(dir.path() / "uploads");
    s.tempDic = (dir.path() / "uploads").string();
    ASSERT_TRUE(s.save(path));
    const ServerSettings again = ServerSettings::load(path);
    EXPECT_EQ(again.tempDic, s.tempDic);
    EXPECT_EQ(again.tcpServer, 9000);
    EXPECT_FALSE(again.EncryptMsg);
}
