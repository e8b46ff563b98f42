#include "server/Directory.h"

#include <charconv>

#include "protocol/Utf8Text.h"
#include "server/UserId.h"

namespace oskel::server {

namespace {
std::string_view trim(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}
} // namespace

bool readDisableFlag(std::string_view text)
{
    text = trim(text);
    return text == "1" || text == "-1" || sameUserId(text, "true") || text == "t" || text == "T";
}

Directory::Directory(std::vector<DirectoryUser> users, std::vector<Department> departments)
    : users_(std::move(users)), departments_(std::move(departments))
{
    for (std::size_t i = 0; i < departments_.size(); ++i)
        byDepartmentId_.emplace(departments_[i].ID, i);
    for (std::size_t i = 0; i < users_.size(); ++i)
        byUserId_.emplace(foldUserId(users_[i].UserLog), i); // the first in ID order wins
    for (const auto& u : users_)
        if (!u.Disable)
            text_ += directoryLine(u, departmentOf(u));
    bytes_ = std::make_shared<const std::vector<std::uint8_t>>(text_.begin(), text_.end());
}

const DirectoryUser* Directory::findUser(std::string_view userId) const
{
    const auto it = byUserId_.find(foldUserId(userId));
    return it == byUserId_.end() ? nullptr : &users_[it->second];
}

const Department* Directory::departmentOf(const DirectoryUser& user) const
{
    const std::string_view text = trim(user.DeptID);
    std::int64_t id = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size())
        return nullptr;
    const auto it = byDepartmentId_.find(id);
    return it == byDepartmentId_.end() ? nullptr : &departments_[it->second];
}

const Department* Directory::findDepartment(std::string_view name) const
{
    for (const auto& d : departments_)
        if (d.GroupName == name)
            return &d;
    return nullptr;
}

std::string Directory::directoryLine(const DirectoryUser& u, const Department* department)
{
    using protocol::cleanListText;
    std::string line;
    line.reserve(160);
    const auto field = [&line](std::string_view value) {
        line += cleanListText(value);
        line += '\t';
    };
    field(u.UserLog);
    field(u.UserLog); // the display name is the user id when the server runs in English
    field(u.FirstName);
    field(u.LastName);
    field(department ? std::to_string(department->ID) : "0");
    field(department ? department->GroupName : "Others");
    field(u.Gender);
    field(u.JobTitle);
    field(u.EMail);
    field(u.Address);
    field(u.PostCode);
    field(u.HandSet);
    field(u.Phone);
    field(u.State);
    field(u.City);
    field(u.Birthday);
    field(u.Remark);
    field("False");
    line += cleanListText(u.Fax);
    line += "\r\n";
    return line;
}

} // namespace oskel::server
