// Administration of departments and users against SQLite, apart from any window.

#include <gtest/gtest.h>

#include <soci/soci.h>

#include "ServerHarness.h"
#include "server/DirectoryAdmin.h"
#include "server/PasswordHasher.h"

using namespace oskel::server;

namespace {

class Admin : public ::testing::Test {
protected:
    Admin()
    {
        settings_.baseDir = dir_.path();
        db_ = Database::open(settings_);
        admin_ = std::make_unique<DirectoryAdmin>(*db_, hasher_);
    }

    std::int64_t addUser(const std::string& id, std::int64_t dept, const std::string& rights,
                         const std::string& password = "pw")
    {
        DirectoryAdmin::UserEdit e;
        e.user.UserLog = id;
        e.user.FirstName = id;
        e.user.DeptID = dept ? std::to_string(dept) : "";
        e.user.Rights = rights;
        e.password = e.passwordAgain = password;
        return admin_->saveUser(e);
    }
    const DirectoryUser& user(const std::string& id)
    {
        dir_snapshot_ = admin_->directory();
        const DirectoryUser* u = dir_snapshot_->findUser(id);
        EXPECT_NE(u, nullptr) << id;
        return *u;
    }
    bool hasUser(const std::string& id) { return admin_->directory()->findUser(id) != nullptr; }
    std::size_t departments() { return admin_->directory()->departments().size(); }
    // Makes every DELETE on T_GROUP fail, as a refusing database would.
    void refuseGroupDeletes()
    {
        db_->sql() << "CREATE TRIGGER refuse BEFORE DELETE ON T_GROUP BEGIN SELECT RAISE(ABORT, 'refused'); END";
    }

    oskel::test::TempDir dir_;
    ServerSettings settings_;
    std::unique_ptr<Database> db_;
    PasswordHasher hasher_;
    std::unique_ptr<DirectoryAdmin> admin_;
    DirectoryPtr dir_snapshot_;
};

TEST_F(Admin, saving_a_department_copies_its_rights_to_its_users_only)
{
    const auto sales = admin_->saveDepartment(0, "Sales", DirectoryAdmin::kNewDepartmentRights);
    const auto support = admin_->saveDepartment(0, "Support", DirectoryAdmin::kNewDepartmentRights);
    EXPECT_EQ(admin_->directory()->departments().front().Rights, "111111111");
    addUser("alice", sales, "11111111");
    addUser("bob", sales, "00000001");
    addUser("carol", support, "11111111");
    addUser("dave", 0, "11111111");

    // Only the first and the third right checked, and a new name.
    admin_->saveDepartment(sales, "Sales and Marketing", "10100000");
    EXPECT_EQ(user("alice").Rights, "10100000");
    EXPECT_EQ(user("bob").Rights, "10100000");
    EXPECT_EQ(user("carol").Rights, "11111111");
    EXPECT_EQ(user("dave").Rights, "11111111");
    const auto snapshot = admin_->directory();
    const Department* d = snapshot->findDepartment("Sales and Marketing");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->ID, sales);

    struct Refused {
        std::int64_t id;
        std::string name, rights, reason;
    };
    for (const auto& c : std::vector<Refused>{{sales, "Support", "10100000", "exists already"},
                                              {0, "Support", "11111111", "exists already"},
                                              {0, "", "11111111", "not a valid department name"},
                                              {0, "Tabs\there", "11111111", "not a valid department name"},
                                              {0, "Lab", "1012", "not a rights string"},
                                              {9999, "Lab", "11111111", "deleted meanwhile"}}) {
        try {
            admin_->saveDepartment(c.id, c.name, c.rights);
            ADD_FAILURE() << "accepted " << c.name;
        } catch (const AdminRefused& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(departments(), 2u);
    EXPECT_EQ(user("alice").Rights, "10100000");
}

TEST_F(Admin, deleting_a_department_moves_or_deletes_its_users_in_one_transaction)
{
    struct Case {
        const char* name;
        bool moveUsers;
        bool databaseRefuses;
    };
    for (const auto& c : std::vector<Case>{{"move", true, false},
                                           {"delete", false, false},
                                           {"move, refused", true, true},
                                           {"delete, refused", false, true}}) {
        SCOPED_TRACE(c.name);
        oskel::test::TempDir folder;
        settings_.baseDir = folder.path();
        db_ = Database::open(settings_);
        admin_ = std::make_unique<DirectoryAdmin>(*db_, hasher_);

        const auto old = admin_->saveDepartment(0, "Old", "11111111");
        const auto target = admin_->saveDepartment(0, "Target", "00000000");
        addUser("alice", old, "10100000");
        addUser("bob", old, "01000000");
        addUser("carol", target, "00000000");
        if (c.databaseRefuses)
            refuseGroupDeletes();

        const auto run = [&] {
            if (c.moveUsers)
                admin_->deleteDepartment(old, DirectoryAdmin::MoveUsersTo{target});
            else
                admin_->deleteDepartment(old, DirectoryAdmin::DeleteUsers{});
        };
        if (c.databaseRefuses) {
            EXPECT_ANY_THROW(run());
            // Nothing of it stayed: the department and its users are as they were.
            EXPECT_EQ(departments(), 2u);
            EXPECT_EQ(user("alice").DeptID, std::to_string(old));
            EXPECT_EQ(user("bob").DeptID, std::to_string(old));
            continue;
        }
        run();
        EXPECT_EQ(departments(), 1u);
        EXPECT_TRUE(hasUser("carol"));
        if (c.moveUsers) {
            // Moved users keep their own rights.
            EXPECT_EQ(user("alice").DeptID, std::to_string(target));
            EXPECT_EQ(user("alice").Rights, "10100000");
            EXPECT_EQ(user("bob").Rights, "01000000");
        } else {
            EXPECT_FALSE(hasUser("alice"));
            EXPECT_FALSE(hasUser("bob"));
        }
    }
}

TEST_F(Admin, a_department_without_users_goes_and_a_move_needs_another_department)
{
    const auto empty = admin_->saveDepartment(0, "Empty", "11111111");
    const auto full = admin_->saveDepartment(0, "Full", "11111111");
    addUser("alice", full, "11111111");
    admin_->deleteDepartment(empty, DirectoryAdmin::DeleteUsers{});
    EXPECT_EQ(departments(), 1u);
    for (std::int64_t target : {full, std::int64_t{0}, std::int64_t{4242}}) {
        try {
            admin_->deleteDepartment(full, DirectoryAdmin::MoveUsersTo{target});
            ADD_FAILURE() << "moved to " << target;
        } catch (const AdminRefused& e) {
            EXPECT_STREQ(e.what(), "   is not a valid department name");
        }
    }
    EXPECT_TRUE(hasUser("alice"));
    EXPECT_EQ(departments(), 1u);
}

TEST_F(Admin, user_ids_are_unique_and_passwords_are_hashed_and_kept_when_left_empty)
{
    const auto sales = admin_->saveDepartment(0, "Sales", "11111111");
    const auto alice = addUser("alice", sales, "11111111", "first");
    addUser("bob", sales, "11111111");
    const std::string firstHash = user("alice").PassWd;
    EXPECT_TRUE(PasswordHasher::isHash(firstHash));
    EXPECT_EQ(hasher_.check("first", firstHash), PasswordHasher::Check::Match);

    struct Refused {
        const char* what;
        std::int64_t id;
        std::string userLog, password, again, birthday, reason;
    };
    const std::vector<Refused> refused = {
        {"passwords differ", alice, "alice", "one", "two", "", DirectoryAdmin::kPasswordMismatch},
        {"new user without password", 0, "carol", "", "", "", "needs a password"},
        {"taken id, other case", 0, "ALICE", "pw", "pw", "", "is taken"},
        {"renamed to a taken id", alice, "Bob", "", "", "", "is taken"},
        {"password too long", alice, "alice", std::string(21, 'x'), std::string(21, 'x'), "", "1 to 20 bytes"},
        {"user id too long", 0, std::string(21, 'u'), "pw", "pw", "", "not a valid user id"},
        {"birthday not a date", alice, "alice", "", "", "31.02.1990", "not a date"},
    };
    for (const auto& c : refused) {
        DirectoryAdmin::UserEdit e;
        e.user = c.id ? user("alice") : DirectoryUser{};
        e.user.ID = c.id;
        e.user.UserLog = c.userLog;
        e.user.Rights = "11111111";
        e.user.FirstName = "Changed";
        e.user.Birthday = c.birthday;
        e.password = c.password;
        e.passwordAgain = c.again;
        try {
            admin_->saveUser(e);
            ADD_FAILURE() << "accepted: " << c.what;
        } catch (const AdminRefused& ex) {
            EXPECT_NE(std::string(ex.what()).find(c.reason), std::string::npos) << c.what << ": " << ex.what();
        }
    }
    // None of the refused edits changed anything.
    EXPECT_EQ(user("alice").FirstName, "alice");
    EXPECT_EQ(user("alice").PassWd, firstHash);
    EXPECT_FALSE(hasUser("carol"));

    // Both fields empty: the details change, the password stays.
    DirectoryAdmin::UserEdit keep;
    keep.user = user("alice");
    keep.user.UserLog = "Alice";
    keep.user.FirstName = "Alice";
    keep.user.Remark = "line one\r\nline two";
    keep.user.Birthday = "1990-04-01";
    keep.user.Disable = true;
    admin_->saveUser(keep);
    EXPECT_EQ(user("alice").UserLog, "Alice");
    EXPECT_EQ(user("alice").PassWd, firstHash);
    EXPECT_EQ(user("alice").Remark, "line one  line two");
    EXPECT_EQ(user("alice").Birthday, "1990-04-01");
    EXPECT_TRUE(user("alice").Disable);

    // Both fields filled alike: a new hash of the new password.
    DirectoryAdmin::UserEdit change;
    change.user = user("alice");
    change.user.Birthday.clear();
    change.password = change.passwordAgain = "second";
    admin_->saveUser(change);
    const std::string secondHash = user("alice").PassWd;
    EXPECT_NE(secondHash, firstHash);
    EXPECT_EQ(hasher_.check("second", secondHash), PasswordHasher::Check::Match);
    EXPECT_EQ(hasher_.check("first", secondHash), PasswordHasher::Check::Mismatch);
    EXPECT_EQ(user("alice").Birthday, "");

    admin_->deleteUser(alice);
    EXPECT_FALSE(hasUser("alice"));
    EXPECT_TRUE(hasUser("bob"));
}

} // namespace
