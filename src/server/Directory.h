#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace oskel::server {

// Bytes composed once and shared by every connection they are written to.
using SharedBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

struct DirectoryUser {
    std::int64_t ID = 0;
    std::string UserLog;
    std::string FirstName;
    std::string LastName;
    std::string PassWd;
    std::string DeptID;
    std::string Rights;
    std::string Gender;
    std::string JobTitle;
    std::string EMail;
    std::string Address;
    std::string PostCode;
    std::string HandSet;
    std::string Phone;
    std::string State;
    std::string City;
    bool Disable = false;
    std::string Fax;
    std::string Birthday; // yyyy-MM-dd, empty when none or unreadable
    std::string Remark;
};

struct Department {
    std::int64_t ID = 0;
    std::string GroupName;
    std::string Rights;
};

// The directory as read at one moment: users in ID order, departments, and the user
// directory text of the sign-in reply, built once and shared by every reply until the
// directory changes. Immutable, so any thread may read it.
class Directory {
public:
    Directory(std::vector<DirectoryUser> users, std::vector<Department> departments);

    // The first user, in ID order, whose UserLog equals `userId` (ASCII letters folded).
    const DirectoryUser* findUser(std::string_view userId) const;
    // The department that DeptID names, or nullptr when it is empty or names none.
    const Department* departmentOf(const DirectoryUser& user) const;
    const Department* findDepartment(std::string_view name) const;

    const std::vector<DirectoryUser>& users() const { return users_; }
    const std::vector<Department>& departments() const { return departments_; }

    // One CR LF-ended line per enabled user, 19 TAB-separated fields.
    const std::string& directoryText() const { return text_; }
    const SharedBytes& directoryBytes() const { return bytes_; }
    static std::string directoryLine(const DirectoryUser& user, const Department* department);

private:
    std::vector<DirectoryUser> users_;
    std::vector<Department> departments_;
    std::unordered_map<std::string, std::size_t> byUserId_;
    std::unordered_map<std::int64_t, std::size_t> byDepartmentId_;
    std::string text_;
    SharedBytes bytes_;
};

using DirectoryPtr = std::shared_ptr<const Directory>;

// Reads `Disable` as other tools write it: 1, -1, "1", "-1", "true", "True", "t".
bool readDisableFlag(std::string_view text);

} // namespace oskel::server
