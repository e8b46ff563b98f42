#include "server/DirectoryAdmin.h"

#include <soci/soci.h>

#include "server/DirectoryStore.h"

namespace oskel::server {

namespace {
bool hasControlBytes(const std::string& s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

void checkName(const std::string& name)
{
    if (name.empty() || name.size() > 50 || hasControlBytes(name))
        throw AdminRefused("\"" + name + "\" is not a valid department name (1 to 50 bytes, no control characters)");
}
} // namespace

void DirectoryAdmin::checkUserId(const std::string& userId)
{
    if (userId.empty() || userId.size() > 20 || hasControlBytes(userId))
        throw AdminRefused("\"" + userId + "\" is not a valid user id (1 to 20 bytes, no control characters)");
}

void DirectoryAdmin::checkPassword(const std::string& password)
{
    if (password.empty() || password.size() > 20)
        throw AdminRefused("a password has 1 to 20 bytes");
}

void DirectoryAdmin::checkRights(const std::string& rights)
{
    if (rights.empty() || rights.size() > 9 || rights.find_first_not_of("01") != std::string::npos)
        throw AdminRefused("\"" + rights + "\" is not a rights string (eight characters 0 or 1)");
}

DirectoryPtr DirectoryAdmin::directory()
{
    return DirectoryStore(db_).load();
}

const DirectoryUser& DirectoryAdmin::user(const Directory& dir, const std::string& userId)
{
    const DirectoryUser* u = dir.findUser(userId);
    if (!u)
        throw AdminRefused("there is no user \"" + userId + "\"");
    return *u;
}

const Department& DirectoryAdmin::department(const Directory& dir, const std::string& name)
{
    const Department* d = dir.findDepartment(name);
    if (!d)
        throw AdminRefused("there is no department \"" + name + "\"");
    return *d;
}

void DirectoryAdmin::addDepartment(const std::string& name, const std::string& rights)
{
    checkName(name);
    checkRights(rights);
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    const auto dir = directory();
    if (dir->findDepartment(name))
        throw AdminRefused("the department \"" + name + "\" exists already");
    sql << "INSERT INTO T_GROUP (GroupName, Rights) VALUES (:n, :r)", soci::use(name), soci::use(rights);
    tr.commit();
    db_.markDirectoryChanged();
}

void DirectoryAdmin::setDepartmentRights(const std::string& name, const std::string& rights)
{
    checkRights(rights);
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    const auto dir = directory();
    const Department& d = department(*dir, name);
    long long id = d.ID;
    const std::string deptId = std::to_string(d.ID);
    sql << "UPDATE T_GROUP SET Rights = :r WHERE ID = :id", soci::use(rights), soci::use(id);
    for (const auto& u : dir->users()) {
        if (dir->departmentOf(u) != &d)
            continue;
        long long uid = u.ID;
        sql << "UPDATE T_USER SET Rights = :r WHERE ID = :id", soci::use(rights), soci::use(uid);
    }
    tr.commit();
    db_.markDirectoryChanged();
}

void DirectoryAdmin::deleteDepartment(const std::string& name, const std::optional<std::string>& moveTo)
{
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    const auto dir = directory();
    const Department& d = department(*dir, name);
    std::vector<long long> members;
    for (const auto& u : dir->users())
        if (dir->departmentOf(u) == &d)
            members.push_back(u.ID);
    if (!members.empty()) {
        if (!moveTo)
            throw AdminRefused("the department \"" + name + "\" has " + std::to_string(members.size()) +
                               " users; move them with --move-to OTHER");
        const Department& target = department(*dir, *moveTo);
        if (&target == &d)
            throw AdminRefused("a department cannot take its own users");
        const std::string targetId = std::to_string(target.ID);
        for (long long uid : members)
            sql << "UPDATE T_USER SET DeptID = :d WHERE ID = :id", soci::use(targetId), soci::use(uid);
    }
    long long id = d.ID;
    sql << "DELETE FROM T_GROUP WHERE ID = :id", soci::use(id);
    tr.commit();
    db_.markDirectoryChanged();
}

void DirectoryAdmin::addUser(const NewUser& nu)
{
    checkUserId(nu.userId);
    checkPassword(nu.password);
    if (nu.firstName.empty() || hasControlBytes(nu.firstName) || hasControlBytes(nu.lastName))
        throw AdminRefused("a user needs a first name without control characters");
    const std::string hash = hasher_.hash(nu.password);
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    const auto dir = directory();
    if (dir->findUser(nu.userId))
        throw AdminRefused("the user id \"" + nu.userId + "\" is taken");
    std::string deptId;
    std::string rights = nu.rights.value_or("11111111");
    if (!nu.department.empty()) {
        const Department& d = department(*dir, nu.department);
        deptId = std::to_string(d.ID);
        if (!nu.rights)
            rights = d.Rights;
    }
    if (nu.rights)
        checkRights(rights);
    int disabled = 0;
    sql << "INSERT INTO T_USER (UserLog, FirstName, LastName, PassWd, DeptID, Rights, Disable) "
           "VALUES (:u, :f, :l, :p, :d, :r, :x)",
        soci::use(nu.userId), soci::use(nu.firstName), soci::use(nu.lastName), soci::use(hash), soci::use(deptId),
        soci::use(rights), soci::use(disabled);
    tr.commit();
    db_.markDirectoryChanged();
}

void DirectoryAdmin::setPassword(const std::string& userId, const std::string& password)
{
    checkPassword(password);
    const std::string hash = hasher_.hash(password);
    const auto dir = directory();
    if (!DirectoryStore(db_).setPassword(user(*dir, userId).ID, hash))
        throw AdminRefused("the password of \"" + userId + "\" was not changed");
}

void DirectoryAdmin::setDisabled(const std::string& userId, bool disabled)
{
    const auto dir = directory();
    long long id = user(*dir, userId).ID;
    int flag = disabled ? 1 : 0;
    db_.sql() << "UPDATE T_USER SET Disable = :x WHERE ID = :id", soci::use(flag), soci::use(id);
    db_.markDirectoryChanged();
}

void DirectoryAdmin::deleteUser(const std::string& userId)
{
    const auto dir = directory();
    long long id = user(*dir, userId).ID;
    db_.sql() << "DELETE FROM T_USER WHERE ID = :id", soci::use(id);
    db_.markDirectoryChanged();
}

} // namespace oskel::server
