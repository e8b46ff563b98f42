#pragma once

#include <optional>
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
// transaction.
class DirectoryAdmin {
public:
    static constexpr const char* kNewDepartmentRights = "111111111";

    DirectoryAdmin(Database& db, PasswordHasher& hasher) : db_(db), hasher_(hasher) {}

    DirectoryPtr directory();

    void addDepartment(const std::string& name, const std::string& rights = kNewDepartmentRights);
    // Saving a department's rights copies them to every user of the department.
    void setDepartmentRights(const std::string& name, const std::string& rights);
    // With users: they move to `moveTo` (rights unchanged); without `moveTo` the request
    // is refused.
    void deleteDepartment(const std::string& name, const std::optional<std::string>& moveTo);

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
    static void checkRights(const std::string& rights);

private:
    const DirectoryUser& user(const Directory& dir, const std::string& userId);
    const Department& department(const Directory& dir, const std::string& name);

    Database& db_;
    PasswordHasher& hasher_;
};

} // namespace oskel::server
