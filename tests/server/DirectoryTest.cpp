// The directory model, password hashes and the schema, apart from the network.

#include <gtest/gtest.h>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "server/Directory.h"
#include "server/OfflineStore.h"
#include "server/PasswordHasher.h"
#include "server/UserId.h"

using namespace oskel::server;

TEST(UserId, ascii_letters_fold_and_other_bytes_stay_exact)
{
    EXPECT_TRUE(sameUserId("Alice", "aLICE"));
    EXPECT_FALSE(sameUserId("alice", "alice "));
    EXPECT_FALSE(sameUserId("\xC3\xA9mile", "\xC3\x89MILE")); // é and É differ
    EXPECT_TRUE(sameUserId("\xC3\xA9mile", "\xC3\xA9MILE"));
    EXPECT_EQ(foldUserId("ab-C_d9"), "AB-C_D9");
}

TEST(Directory, disable_flag_as_other_tools_write_it)
{
    for (const char* yes : {"1", "-1", "true", "True", "TRUE", "t", " 1 "})
        EXPECT_TRUE(readDisableFlag(yes)) << yes;
    for (const char* no : {"0", "", "false", "False", "f", "no", "2"})
        EXPECT_FALSE(readDisableFlag(no)) << no;
}

TEST(PasswordHasher, hashes_verify_and_plain_text_still_signs_in)
{
    PasswordHasher hasher;
    const std::string h = hasher.hash("secret");
    EXPECT_EQ(h.size(), 49u);
    EXPECT_EQ(h.rfind("$o1$", 0), 0u);
    EXPECT_TRUE(PasswordHasher::isHash(h));
    EXPECT_NE(hasher.hash("secret"), h); // salted
    EXPECT_FALSE(hasher.remembered("secret", h));
    EXPECT_EQ(hasher.check("secret", h), PasswordHasher::Check::Match);
    EXPECT_TRUE(hasher.remembered("secret", h));
    EXPECT_EQ(hasher.check("Secret", h), PasswordHasher::Check::Mismatch);
    EXPECT_FALSE(hasher.remembered("Secret", h));
    EXPECT_EQ(hasher.check("plain", "plain"), PasswordHasher::Check::Match);
    EXPECT_EQ(hasher.check("Plain", "plain"), PasswordHasher::Check::Mismatch);
    EXPECT_EQ(hasher.check("", ""), PasswordHasher::Check::Mismatch);
    std::string broken = h;
    broken[10] = '*';
    EXPECT_EQ(hasher.check("secret", broken), PasswordHasher::Check::Mismatch);
}

TEST(Schema, upgrades_a_database_made_by_other_tools)
{
    oskel::test::TempDir dir;
    ServerSettings s;
    s.baseDir = dir.path();
    {
        // Version 0: the three tables as another tool made them, T_UNDELIVEMSG without
        // ID, no T_META, a plain-text password.
        soci::session sql("sqlite3", "db=\"" + s.databaseName() + "\"");
        sql << "CREATE TABLE T_USER (ID INTEGER PRIMARY KEY, USERLOG VARCHAR(50), FIRSTNAME VARCHAR(50), "
               "LASTNAME VARCHAR(50), PASSWD VARCHAR(50), DEPTID VARCHAR(50), RIGHTS VARCHAR(50), GENDER VARCHAR(10), "
               "JOBTITLE VARCHAR(20), EMAIL VARCHAR(50), ADDRESS VARCHAR(50), POSTCODE VARCHAR(50), HANDSET "
               "VARCHAR(50), PHONE VARCHAR(50), STATE VARCHAR(50), CITY VARCHAR(50), DISABLE BOOLEAN, FAX "
               "VARCHAR(50), BIRTHDAY DATE, REMARK VARCHAR(255))";
        sql << "CREATE TABLE T_GROUP (ID INTEGER PRIMARY KEY, GROUPNAME VARCHAR(50), RIGHTS VARCHAR(50))";
        sql << "CREATE TABLE T_UNDELIVEMSG (SENDERID TEXT, SENDERNAME TEXT, RECEIVERID TEXT, RECEIVERNAME TEXT, "
               "MSGTYPE TEXT, SENDTIME TEXT, MSG TEXT, FILENAME TEXT, REGFILENAME TEXT, MULTICHATID TEXT, MEMBERS "
               "TEXT)";
        sql << "INSERT INTO T_USER (USERLOG, FIRSTNAME, PASSWD, DISABLE) VALUES ('old', 'Old', 'pw', -1)";
        sql << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES ('a', 'old', 'MSG', 'first')";
        sql << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES ('a', 'OLD', 'MSG', 'second')";
    }
    {
        auto db = Database::open(s);
        EXPECT_EQ(db->meta("schema_version"), std::to_string(Database::kSchemaVersion));
        EXPECT_EQ(db->undeliveredKey(), "rowid");
        OfflineStore store(*db);
        const auto rows = store.fetch("Old");
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].MSG, "first");
        EXPECT_EQ(rows[1].MSG, "second");
        store.remove({rows[0].ID});
        EXPECT_EQ(store.count(), 1);
        EXPECT_TRUE(DirectoryStore(*db).load()->findUser("OLD")->Disable);
    }
    {
        // Version 1 (T_META but no receiver index) goes to the current version too; a
        // version from the future is refused.
        soci::session sql("sqlite3", "db=\"" + s.databaseName() + "\"");
        sql << "DROP INDEX IX_UNDELIVEMSG_RECEIVER";
        sql << "UPDATE T_META SET VALUE = '1' WHERE NAME = 'schema_version'";
    }
    {
        auto db = Database::open(s);
        int indexes = 0;
        db->sql() << "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'IX_UNDELIVEMSG_RECEIVER'",
            soci::into(indexes);
        EXPECT_EQ(indexes, 1);
        db->setMeta("schema_version", "99");
    }
    EXPECT_THROW(Database::open(s), DatabaseError);
}

TEST(Schema, a_database_that_cannot_be_opened_is_an_error)
{
    oskel::test::TempDir dir;
    ServerSettings s;
    s.baseDir = dir.path();
    s.database.Database = (dir.path() / "no-such-folder" / "x.db").string();
    EXPECT_THROW(Database::open(s), DatabaseError);
    s.database.Driver = "oracle";
    EXPECT_THROW(Database::open(s), DatabaseError);
}
