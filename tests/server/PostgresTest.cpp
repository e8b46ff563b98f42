// The server on PostgreSQL: sign-in, the directory, the offline store, account changes,
// changes made by other connections and the upgrade of tables made by other tools. Each
// test has a fresh database in the cluster this program starts once.

#include <gtest/gtest.h>

#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>

#include "PostgresCluster.h"
#include "ServerHarness.h"
#include "protocol/MessageBuilder.h"
#include "protocol/PasswordCipher.h"

using namespace oskel;
using namespace oskel::test;
using protocol::Command;

namespace {

class Postgres : public ::testing::Test {
protected:
    void SetUp() override
    {
        try {
            db_ = PostgresCluster::shared().createDatabase();
        } catch (const std::exception& e) {
            FAIL() << e.what();
        }
    }

    ServerOptions options() const
    {
        ServerOptions o;
        o.database = db_;
        return o;
    }

    // A plain connection to the test's database, as another tool would open it.
    std::unique_ptr<soci::session> connect() const
    {
        const std::string conn =
            "host=" + db_.Host + " port=" + db_.Port + " dbname=" + db_.Database + " user=" + db_.User;
        return std::make_unique<soci::session>(*soci::factory_postgresql(), conn);
    }

    server::DatabaseSettings db_;
};

// One line of the directory text: 19 fields.
std::string directoryLine(const std::vector<std::string>& fields)
{
    EXPECT_EQ(fields.size(), 19u);
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i ? "\t" : "") + fields[i];
    return line + "\r\n";
}

std::string queryText(server::Database& db, const std::string& query)
{
    std::string value;
    soci::indicator ind = soci::i_ok;
    db.sql() << query, soci::into(value, ind);
    return ind == soci::i_null ? "<null>" : value;
}

Command signInCommand(TestServer& server, const std::string& user, const std::string& password)
{
    TestClient client(server.port());
    const auto reply = client.login(user, password);
    return reply ? reply->command : Command::Unknown;
}

} // namespace

TEST_F(Postgres, sign_in_outcomes)
{
    TestServer server(options());
    server.addUser("alice", "secret", "Sales");
    server.addUser("carol", "pw", "Sales");
    server.admin().setDisabled("carol", true);
    struct Case {
        const char* user;
        const char* password;
        const char* failure; // nullptr: signed in
    };
    const Case cases[] = {
        {"alice", "secret", nullptr},
        {"ALICE", "secret", nullptr},
        {"alice", "Secret", "invalid password"},
        {"nobody", "secret", "invalid username"},
        {"carol", "pw", "account disabled"},
    };
    for (const auto& c : cases) {
        TestClient client(server.port());
        const auto reply = client.login(c.user, c.password);
        ASSERT_TRUE(reply) << c.user;
        if (!c.failure) {
            ASSERT_EQ(reply->command, Command::SucLog) << c.user;
            const auto r = reply->record<protocol::TLoginReply>();
            EXPECT_EQ(r.FirstName, "First alice");
            EXPECT_EQ(r.Rights, "111111111");
        } else {
            ASSERT_EQ(reply->command, Command::FailLog) << c.user;
            EXPECT_EQ(reply->record<protocol::TFailLogRecord>().Reason, c.failure) << c.user;
        }
    }
}

TEST_F(Postgres, directory_text_with_and_without_department)
{
    TestServer server(options());
    server.addUser("alice", "a", "Sales", "Alice");
    server.addUser("bob", "b", {}, "Bob");
    // Another tool's row: every detail, a DATE birthday, a TAB in the city.
    server.adminDb().sql() << "INSERT INTO T_USER (UserLog, FirstName, LastName, Gender, JobTitle, EMail, Address, "
                              "PostCode, HandSet, Phone, State, City, Birthday, Remark, Fax, Disable) VALUES ('zed', "
                              "'Zed', 'O''Hara', 'M', 'Clerk', 'zed@example.org', '1 Main St', '69001', '0600', "
                              "'0400', 'Rhone', 'Old\tTown', DATE '1990-04-01', 'note', '555', 0)";
    TestClient client(server.port());
    const auto reply = client.login("alice", "a", false);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->command, Command::SucLog);
    EXPECT_EQ(static_cast<std::size_t>(reply->record<protocol::TLoginReply>().DirectoryLen), reply->text1.size());
    const std::string sales = std::to_string(server.admin().directory()->findDepartment("Sales")->ID);
    EXPECT_EQ(reply->text1, directoryLine({"alice", "alice", "Alice", "Last", sales, "Sales", "", "", "", "", "", "",
                                           "", "", "", "", "", "False", ""}) +
                                directoryLine({"bob", "bob", "Bob", "Last", "0", "Others", "", "", "", "", "", "", "",
                                               "", "", "", "", "False", ""}) +
                                directoryLine({"zed", "zed", "Zed", "O'Hara", "0", "Others", "M", "Clerk",
                                               "zed@example.org", "1 Main St", "69001", "0600", "0400", "Rhone",
                                               "Old Town", "1990-04-01", "note", "False", "555"}));
}

TEST_F(Postgres, chat_to_an_offline_user_is_delivered_at_sign_in_and_removed)
{
    TestServer server(options());
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    const std::string text = "it's Bob's 'quoted' text; DROP TABLE T_USER;--";
    alice.sendChat("alice", "BOB", text);
    alice.sendChat("alice", "bob", "second");
    ASSERT_TRUE(server.waitForStored(2));
    EXPECT_EQ(queryText(server.adminDb(), "SELECT MSG FROM T_UNDELIVEMSG ORDER BY ID LIMIT 1"), text);

    TestClient bob(server.port());
    ASSERT_EQ(bob.login("bob", "b")->command, Command::SucLog);
    for (const std::string& expected : {text, std::string("second")}) {
        const auto m = bob.nextOf(Command::Chat);
        ASSERT_TRUE(m) << expected;
        EXPECT_EQ(m->text1, expected);
        const auto r = m->record<protocol::TChatRecord>();
        EXPECT_TRUE(r.Offline);
        EXPECT_EQ(r.SenderID, "alice");
        EXPECT_EQ(r.SendTime, "2026-12-11 10:00:00");
    }
    EXPECT_TRUE(server.waitForStored(0));
    TestClient again(server.port());
    ASSERT_EQ(again.login("bob", "b")->command, Command::SucLog);
    EXPECT_TRUE(again.silent(300ms));
}

TEST_F(Postgres, group_message_with_one_member_offline)
{
    TestServer server(options());
    for (const char* u : {"alice", "bob", "dave"})
        server.addUser(u, "pw");
    TestClient alice(server.port()), bob(server.port());
    ASSERT_EQ(alice.login("alice", "pw")->command, Command::SucLog);
    ASSERT_EQ(bob.login("bob", "pw")->command, Command::SucLog);

    protocol::TMultChatRecord r;
    r.GroupID = "{5D1E7A90-2B3C-4F4D-8E6F-708192A3B4C5}";
    r.SenderID = "alice";
    r.SenderName = "alice";
    r.SendTime = "2026-12-11 10:01:00";
    const std::string members = "bob\r\nDAVE\r\n";
    alice.send(protocol::buildMultChat(r, members, "hi all, it's me"));
    const auto live = bob.nextOf(Command::MultChat);
    ASSERT_TRUE(live);
    EXPECT_FALSE(live->record<protocol::TMultChatRecord>().Offline);
    ASSERT_TRUE(server.waitForStored(1));

    TestClient dave(server.port());
    ASSERT_EQ(dave.login("dave", "pw")->command, Command::SucLog);
    const auto m = dave.nextOf(Command::MultChat);
    ASSERT_TRUE(m);
    const auto rec = m->record<protocol::TMultChatRecord>();
    EXPECT_TRUE(rec.Offline);
    EXPECT_EQ(rec.GroupID, r.GroupID);
    EXPECT_EQ(rec.SenderID, "alice");
    EXPECT_EQ(m->text1, members);
    EXPECT_EQ(m->text2, "hi all, it's me");
    EXPECT_TRUE(server.waitForStored(0));
}

TEST_F(Postgres, chgpass_and_chginfo_update_T_USER)
{
    TestServer server(options());
    server.addUser("alice", "old");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "old")->command, Command::SucLog);
    const std::string row = " FROM T_USER WHERE UserLog = 'alice'";

    protocol::TChgPassRecord pass;
    pass.UserID = "ALICE";
    pass.NewPassword = "new-password";
    alice.send(protocol::buildChgPass(pass));
    ASSERT_TRUE(alice.nextOf(Command::ChgPass));
    EXPECT_TRUE(server::PasswordHasher::isHash(queryText(server.adminDb(), "SELECT PassWd" + row)));

    // Birthday is a DATE column: a valid date sets it; empty or unreadable leaves it.
    protocol::TChgInfoRecord info;
    info.UserID = "alice";
    info.FirstName = "Alice";
    info.LastName = "O'Neil";
    info.City = "Lyon\tCentre";
    const std::string birthday = "SELECT COALESCE(TO_CHAR(Birthday, 'YYYY-MM-DD'), '<null>')" + row;
    struct Step {
        const char* birthDay;
        const char* remark;
        const char* stored;
    };
    for (const Step& step :
         {Step{"", "first", "<null>"}, Step{"1990-04-01", "second", "1990-04-01"}, Step{"", "third", "1990-04-01"},
          Step{"not a date", "fourth", "1990-04-01"}, Step{"1985-12-31", "fifth", "1985-12-31"}}) {
        info.BirthDay = step.birthDay;
        info.Remark = step.remark;
        alice.send(protocol::buildChgInfo(info));
        ASSERT_TRUE(alice.nextOf(Command::ChgInfo)) << step.remark;
        EXPECT_EQ(queryText(server.adminDb(), birthday), step.stored) << step.remark;
        EXPECT_EQ(queryText(server.adminDb(), "SELECT Remark" + row), step.remark);
    }
    EXPECT_EQ(queryText(server.adminDb(), "SELECT LastName || '|' || City || '|' || FirstName" + row),
              "O'Neil|Lyon Centre|Alice");

    EXPECT_EQ(signInCommand(server, "alice", "old"), Command::FailLog);
    EXPECT_EQ(signInCommand(server, "alice", "new-password"), Command::SucLog);
}

TEST_F(Postgres, encryption_switch_converts_stored_texts)
{
    TestServer server(options()); // texts stored plain
    server.addUser("alice", "a");
    server.addUser("bob", "b");
    TestClient alice(server.port());
    ASSERT_EQ(alice.login("alice", "a")->command, Command::SucLog);
    alice.sendChat("alice", "bob", "plain one");
    protocol::TMultChatRecord g;
    g.SenderID = "alice";
    alice.send(protocol::buildMultChat(g, "bob\r\n", "plain group"));
    protocol::TFileSendRecord f;
    f.SenderID = "alice";
    f.ReceiverID = "bob";
    f.Note = "a note";
    alice.send(protocol::buildFileSend(f));
    ASSERT_TRUE(server.waitForStored(3));

    const auto texts = [&server] {
        std::vector<std::string> msg(10);
        server.adminDb().sql() << "SELECT MSG FROM T_UNDELIVEMSG ORDER BY ID", soci::into(msg);
        return msg;
    };
    server.restart([](server::ServerSettings& s) { s.EncryptMsg = true; });
    const auto enciphered = texts();
    ASSERT_EQ(enciphered.size(), 3u);
    EXPECT_EQ(protocol::decipherText(enciphered[0]), "plain one");
    EXPECT_EQ(protocol::decipherText(enciphered[1]), "plain group");
    EXPECT_EQ(enciphered[2], "a note"); // file offers stay as they are
    EXPECT_EQ(queryText(server.adminDb(), "SELECT VALUE FROM T_META WHERE NAME = 'texts_enciphered'"), "1");

    // Back; a text that does not decipher is left as it is.
    server.adminDb().sql() << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES "
                              "('x', 'nobody', 'MSG', 'not cipher text')";
    server.restart([](server::ServerSettings& s) { s.EncryptMsg = false; });
    EXPECT_EQ(texts(), (std::vector<std::string>{"plain one", "plain group", "a note", "not cipher text"}));

    TestClient bob(server.port());
    const auto reply = bob.login("bob", "b");
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->record<protocol::TLoginReply>().EncryptMsg);
    const auto m = bob.nextOf(Command::Chat);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->text1, "plain one");
}

TEST_F(Postgres, rows_written_by_another_connection_are_seen_at_the_next_sign_in)
{
    TestServer server(options());
    server.addUser("alice", "a", "Sales");
    EXPECT_EQ(signInCommand(server, "kim", "plain"), Command::FailLog);

    // Another tool adds a user with a plain-text password: the triggers count the change
    // and the server reloads its directory at the next sign-in.
    auto other = connect();
    const auto counter = [&other] {
        std::string v;
        *other << "SELECT VALUE FROM T_META WHERE NAME = 'change_counter'", soci::into(v);
        return std::stoll(v);
    };
    const long long before = counter();
    *other << "INSERT INTO T_USER (UserLog, FirstName, PassWd, Rights, Disable) VALUES ('kim', 'Kim', 'plain', "
              "'11111111', 0)";
    EXPECT_GT(counter(), before);
    EXPECT_EQ(signInCommand(server, "KIM", "plain"), Command::SucLog);

    // The plain text is replaced by its hash, which then signs in.
    std::string stored;
    for (int i = 0; i < 300; ++i) {
        *other << "SELECT PassWd FROM T_USER WHERE UserLog = 'kim'", soci::into(stored);
        if (stored != "plain")
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(server::PasswordHasher::isHash(stored)) << stored;
    EXPECT_EQ(signInCommand(server, "kim", "plain"), Command::SucLog);
    EXPECT_EQ(signInCommand(server, "kim", "wrong"), Command::FailLog);

    // A change to T_GROUP alone is seen too.
    *other << "UPDATE T_GROUP SET GroupName = 'Renamed' WHERE GroupName = 'Sales'";
    TestClient alice(server.port());
    const auto reply = alice.login("alice", "a", false);
    ASSERT_TRUE(reply);
    EXPECT_NE(reply->text1.find("\tRenamed\t"), std::string::npos) << reply->text1;
}

TEST_F(Postgres, schema_upgrade_adds_an_id_to_a_message_table_made_by_another_tool)
{
    {
        // Tables as another tool made them: no T_META, T_UNDELIVEMSG without ID, a
        // BOOLEAN flag, a DATE birthday, a plain-text password.
        auto sql = connect();
        *sql << "CREATE TABLE T_USER (ID SERIAL PRIMARY KEY, USERLOG VARCHAR(50), FIRSTNAME VARCHAR(50), LASTNAME "
                "VARCHAR(50), PASSWD VARCHAR(50), DEPTID VARCHAR(50), RIGHTS VARCHAR(50), GENDER VARCHAR(10), "
                "JOBTITLE VARCHAR(20), EMAIL VARCHAR(50), ADDRESS VARCHAR(50), POSTCODE VARCHAR(50), HANDSET "
                "VARCHAR(50), PHONE VARCHAR(50), STATE VARCHAR(50), CITY VARCHAR(50), DISABLE BOOLEAN, FAX "
                "VARCHAR(50), BIRTHDAY DATE, REMARK VARCHAR(255))";
        *sql << "CREATE TABLE T_GROUP (ID SERIAL PRIMARY KEY, GROUPNAME VARCHAR(50), RIGHTS VARCHAR(50))";
        *sql << "CREATE TABLE T_UNDELIVEMSG (SENDERID VARCHAR(50), SENDERNAME VARCHAR(50), RECEIVERID VARCHAR(50), "
                "RECEIVERNAME VARCHAR(50), MSGTYPE VARCHAR(10), SENDTIME VARCHAR(30), MSG TEXT, FILENAME TEXT, "
                "REGFILENAME TEXT, MULTICHATID VARCHAR(50), MEMBERS TEXT)";
        *sql << "INSERT INTO T_USER (USERLOG, FIRSTNAME, PASSWD, DISABLE, BIRTHDAY) VALUES ('old', 'Old', 'pw', "
                "false, '1985-12-31'), ('gone', 'Gone', 'pw', true, NULL)";
        *sql << "INSERT INTO T_UNDELIVEMSG (SENDERID, RECEIVERID, MSGTYPE, MSG) VALUES ('a', 'old', 'MSG', 'first'), "
                "('a', 'OLD', 'MSG', 'it''s second'), ('a', 'other', 'MSG', 'not for old')";
    }
    TestServer server(options());
    EXPECT_EQ(queryText(server.adminDb(), "SELECT VALUE FROM T_META WHERE NAME = 'schema_version'"),
              std::to_string(server::Database::kSchemaVersion));
    EXPECT_EQ(queryText(server.adminDb(), "SELECT STRING_AGG(CAST(ID AS TEXT), ',' ORDER BY ID) FROM T_UNDELIVEMSG"),
              "1,2,3");

    TestClient gone(server.port());
    const auto refused = gone.login("gone", "pw");
    ASSERT_TRUE(refused);
    ASSERT_EQ(refused->command, Command::FailLog);
    EXPECT_EQ(refused->record<protocol::TFailLogRecord>().Reason, "account disabled");

    TestClient old(server.port());
    const auto reply = old.login("Old", "pw", false);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->command, Command::SucLog);
    EXPECT_NE(reply->text1.find("\t1985-12-31\t"), std::string::npos) << reply->text1;
    for (const char* expected : {"first", "it's second"}) {
        const auto m = old.nextOf(Command::Chat);
        ASSERT_TRUE(m) << expected;
        EXPECT_EQ(m->text1, expected);
        EXPECT_TRUE(m->record<protocol::TChatRecord>().Offline);
    }
    EXPECT_TRUE(server.waitForStored(1));
    EXPECT_EQ(queryText(server.adminDb(), "SELECT MSG FROM T_UNDELIVEMSG"), "not for old");
}
