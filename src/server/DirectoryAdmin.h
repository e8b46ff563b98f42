#pragma once

#include <optional>
#include <variant>
#include <string>
#include <vector>

#include "server/Database.h"
#include "server/Directory.h"
#include "server/PasswordHasher.h"

namespace oskel::server {

// Thrown with a one-line reason when an administration request is refused.
class AdminRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The administration of departments and users, without any window: what the command
// line and the server window do to T_GROUP and T_USER. Every change runs in one
// transaction that holds the write lock from its checks to its commit, so two tools on
// one database cannot both take the same user id.
class DirectoryAdmin {
public:
    static constexpr const char* kNewDepartmentRights = "111111111";
    static constexpr const char* kPasswordMismatch = "Password does not match. Please check.";

    DirectoryAdmin(Database& db, PasswordHasher& hasher) : db_(db), hasher_(hasher) {}

    DirectoryPtr directory();

    // Adds a department (`id` 0) or renames it and sets its rights; saving copies the
    // rights to every user of the department. Returns the department's ID.
    std::int64_t saveDepartment(std::int64_t id, const std::string& name, const std::string& rights);
    // What happens to the users of a department that is deleted.
    struct MoveUsersTo {
        std::int64_t department = 0;
    };
    struct DeleteUsers {};
    // Deletes the department; its users move to another department (rights unchanged)
    // or are deleted with it, in the same transaction.
    void deleteDepartment(std::int64_t id, std::variant<MoveUsersTo, DeleteUsers> users);

    // By name, for the command line.
    void addDepartment(const std::string& name, const std::string& rights = kNewDepartmentRights);
    void setDepartmentRights(const std::string& name, const std::string& rights);
    // With users: they move to `moveTo`, or are deleted with `deleteUsers`; with neither
    // the request is refused.
    void deleteDepartment(const std::string& name, const std::optional<std::string>& moveTo, bool deleteUsers = false);

    // A user as the user dialog edits it: `user.ID` 0 adds one. Both password fields
    // empty keep the stored password (a new user needs one); otherwise they must be
    // equal and 1 to 20 bytes, and the hash is stored. `PassWd` is not read. User ids
    // are unique as the sign-in compares them. Returns the user's ID.
    struct UserEdit {
        DirectoryUser user;
        std::string password;
        std::string passwordAgain;
    };
    std::int64_t saveUser(const UserEdit& edit);
    void deleteUser(std::int64_t id);

    // By user id, for the command line.
    struct NewUser {
        std::string userId;
        std::string firstName;
        std::string lastName;
        std::string department;            // empty: none
        std::optional<std::string> rights; // default: the department's
        std::string password;
    };
    void addUser(const NewUser& user);
    void setPassword(const std::string& userId, const std::string& password);
    void setDisabled(const std::string& userId, bool disabled);
    void deleteUser(const std::string& userId);

    static void checkUserId(const std::string& userId);
    static void checkPassword(const std::string& password);
    // One to nine characters 0 or 1 (a new department's string has nine).
    static void checkRights(const std::string& rights);

private:
    void copyRightsToMembers(const Directory& dir, std::int64_t departmentId, const std::string& rights);
    const DirectoryUser& user(const Directory& dir, const std::string& userId);
    const Department& department(const Directory& dir, const std::string& name);

    Database& db_;
    PasswordHasher& hasher_;
};

} // namespace oskel::server
