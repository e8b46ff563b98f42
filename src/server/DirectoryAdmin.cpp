#include "server/DirectoryAdmin.h"

#include <soci/soci.h>

#include "protocol/TimeStamp.h"
#include "protocol/Utf8Text.h"
#include "server/DirectoryStore.h"
#include "server/UserId.h"

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

std::string trimmed(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// A department's ID as T_USER.DeptID holds it.
std::string deptIdText(std::int64_t id) { return std::to_string(id); }
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

void DirectoryAdmin::copyRightsToMembers(const Directory& dir, std::int64_t departmentId, const std::string& rights)
{
    // Users are matched as the directory reads DeptID (other tools may write it with
    // blanks or as a number), so every member the window shows gets the rights.
    long long uid = 0;
    soci::statement st = (db_.sql().prepare << "UPDATE T_USER SET Rights = :r WHERE ID = :id", soci::use(rights),
                          soci::use(uid));
    for (const auto& u : dir.users()) {
        const Department* d = dir.departmentOf(u);
        if (!d || d->ID != departmentId)
            continue;
        uid = u.ID;
        st.execute(true);
    }
}

std::int64_t DirectoryAdmin::saveDepartment(std::int64_t id, const std::string& name, const std::string& rights)
{
    checkName(name);
    checkRights(rights);
    auto& sql = db_.sql();
    WriteTransaction tr(db_);
    const auto dir = directory();
    for (const auto& d : dir->departments())
        if (d.ID != id && d.GroupName == name)
            throw AdminRefused("the department \"" + name + "\" exists already");
    if (id == 0) {
        sql << "INSERT INTO T_GROUP (GroupName, Rights) VALUES (:n, :r)", soci::use(name), soci::use(rights);
        long long newId = 0;
        sql << "SELECT MAX(ID) FROM T_GROUP", soci::into(newId);
        id = newId;
    } else {
        bool known = false;
        for (const auto& d : dir->departments())
            known = known || d.ID == id;
        if (!known)
            throw AdminRefused("the department was deleted meanwhile");
        long long key = id;
        sql << "UPDATE T_GROUP SET GroupName = :n, Rights = :r WHERE ID = :id", soci::use(name), soci::use(rights),
            soci::use(key);
        copyRightsToMembers(*dir, id, rights);
    }
    tr.commit();
    db_.markDirectoryChanged();
    return id;
}

void DirectoryAdmin::deleteDepartment(std::int64_t id, std::variant<MoveUsersTo, DeleteUsers> users)
{
    auto& sql = db_.sql();
    WriteTransaction tr(db_);
    const auto dir = directory();
    std::vector<long long> members;
    for (const auto& u : dir->users()) {
        const Department* d = dir->departmentOf(u);
        if (d && d->ID == id)
            members.push_back(u.ID);
    }
    if (!members.empty()) {
        long long uid = 0;
        if (const auto* move = std::get_if<MoveUsersTo>(&users)) {
            bool known = false;
            for (const auto& d : dir->departments())
                known = known || (d.ID == move->department && d.ID != id);
            if (!known)
                throw AdminRefused("   is not a valid department name");
            const std::string target = deptIdText(move->department);
            soci::statement st = (sql.prepare << "UPDATE T_USER SET DeptID = :d WHERE ID = :id", soci::use(target),
                                  soci::use(uid));
            for (long long m : members) {
                uid = m;
                st.execute(true);
            }
        } else {
            soci::statement st = (sql.prepare << "DELETE FROM T_USER WHERE ID = :id", soci::use(uid));
            for (long long m : members) {
                uid = m;
                st.execute(true);
            }
        }
    }
    long long key = id;
    sql << "DELETE FROM T_GROUP WHERE ID = :id", soci::use(key);
    tr.commit();
    db_.markDirectoryChanged();
}

void DirectoryAdmin::addDepartment(const std::string& name, const std::string& rights)
{
    saveDepartment(0, name, rights);
}

void DirectoryAdmin::setDepartmentRights(const std::string& name, const std::string& rights)
{
    const auto dir = directory();
    saveDepartment(department(*dir, name).ID, name, rights);
}

void DirectoryAdmin::deleteDepartment(const std::string& name, const std::optional<std::string>& moveTo,
                                      bool deleteUsers)
{
    const auto dir = directory();
    const Department& d = department(*dir, name);
    std::size_t members = 0;
    for (const auto& u : dir->users())
        members += dir->departmentOf(u) == &d;
    if (moveTo) {
        const Department& target = department(*dir, *moveTo);
        if (&target == &d)
            throw AdminRefused("a department cannot take its own users");
        deleteDepartment(d.ID, MoveUsersTo{target.ID});
        return;
    }
    if (members && !deleteUsers)
        throw AdminRefused("the department \"" + name + "\" has " + std::to_string(members) +
                           " users; move them with --move-to OTHER or delete them with --delete-users");
    deleteDepartment(d.ID, DeleteUsers{});
}

std::int64_t DirectoryAdmin::saveUser(const UserEdit& edit)
{
    DirectoryUser u = edit.user;
    if (edit.password != edit.passwordAgain)
        throw AdminRefused(kPasswordMismatch);
    checkUserId(u.UserLog);
    std::optional<std::string> hash;
    if (!edit.password.empty()) {
        checkPassword(edit.password);
        hash = hasher_.hash(edit.password);
    } else if (u.ID == 0) {
        throw AdminRefused("a new user needs a password");
    }
    checkRights(u.Rights);
    std::string birthday;
    if (!trimmed(u.Birthday).empty()) {
        const auto date = protocol::parseDate(trimmed(u.Birthday));
        if (!date)
            throw AdminRefused("\"" + u.Birthday + "\" is not a date (yyyy-MM-dd)");
        birthday = protocol::formatDate(*date);
    }
    for (std::string* s : {&u.FirstName, &u.LastName, &u.Gender, &u.JobTitle, &u.EMail, &u.Address, &u.PostCode,
                           &u.HandSet, &u.Phone, &u.State, &u.City, &u.Fax, &u.Remark})
        *s = protocol::cleanListText(*s);

    auto& sql = db_.sql();
    WriteTransaction tr(db_);
    const auto dir = directory();
    for (const auto& other : dir->users())
        if (other.ID != u.ID && sameUserId(other.UserLog, u.UserLog))
            throw AdminRefused("the user id \"" + u.UserLog + "\" is taken");
    if (!u.DeptID.empty()) {
        bool known = false;
        for (const auto& d : dir->departments())
            known = known || deptIdText(d.ID) == u.DeptID;
        if (!known)
            throw AdminRefused("the department was deleted meanwhile");
    }
    if (u.ID != 0) {
        bool known = false;
        for (const auto& other : dir->users())
            known = known || other.ID == u.ID;
        if (!known)
            throw AdminRefused("the user was deleted meanwhile");
    }

    soci::indicator birthdayInd = birthday.empty() ? soci::i_null : soci::i_ok;
    int disabled = u.Disable ? 1 : 0;
    if (u.ID == 0) {
        const std::string pass = hash.value_or("");
        sql << "INSERT INTO T_USER (UserLog, FirstName, LastName, PassWd, DeptID, Rights, Gender, JobTitle, EMail, "
               "Address, PostCode, HandSet, Phone, State, City, Disable, Fax, Birthday, Remark) VALUES (:u, :f, :l, "
               ":p, :d, :r, :g, :j, :e, :a, :pc, :h, :ph, :s, :c, :x, :fx, :b, :rm)",
            soci::use(u.UserLog), soci::use(u.FirstName), soci::use(u.LastName), soci::use(pass), soci::use(u.DeptID),
            soci::use(u.Rights), soci::use(u.Gender), soci::use(u.JobTitle), soci::use(u.EMail), soci::use(u.Address),
            soci::use(u.PostCode), soci::use(u.HandSet), soci::use(u.Phone), soci::use(u.State), soci::use(u.City),
            soci::use(disabled), soci::use(u.Fax), soci::use(birthday, birthdayInd), soci::use(u.Remark);
        long long newId = 0;
        sql << "SELECT MAX(ID) FROM T_USER", soci::into(newId);
        u.ID = newId;
    } else {
        long long key = u.ID;
        sql << "UPDATE T_USER SET UserLog = :u, FirstName = :f, LastName = :l, DeptID = :d, Rights = :r, Gender = :g, "
               "JobTitle = :j, EMail = :e, Address = :a, PostCode = :pc, HandSet = :h, Phone = :ph, State = :s, "
               "City = :c, Disable = :x, Fax = :fx, Birthday = :b, Remark = :rm WHERE ID = :id",
            soci::use(u.UserLog), soci::use(u.FirstName), soci::use(u.LastName), soci::use(u.DeptID),
            soci::use(u.Rights), soci::use(u.Gender), soci::use(u.JobTitle), soci::use(u.EMail), soci::use(u.Address),
            soci::use(u.PostCode), soci::use(u.HandSet), soci::use(u.Phone), soci::use(u.State), soci::use(u.City),
            soci::use(disabled), soci::use(u.Fax), soci::use(birthday, birthdayInd), soci::use(u.Remark),
            soci::use(key);
        if (hash) {
            sql << "UPDATE T_USER SET PassWd = :p WHERE ID = :id", soci::use(*hash), soci::use(key);
        }
    }
    tr.commit();
    db_.markDirectoryChanged();
    return u.ID;
}

void DirectoryAdmin::deleteUser(std::int64_t id)
{
    long long key = id;
    db_.sql() << "DELETE FROM T_USER WHERE ID = :id", soci::use(key);
    db_.markDirectoryChanged();
}

void DirectoryAdmin::addUser(const NewUser& nu)
{
    if (nu.firstName.empty() || hasControlBytes(nu.firstName) || hasControlBytes(nu.lastName))
        throw AdminRefused("a user needs a first name without control characters");
    checkUserId(nu.userId);
    checkPassword(nu.password);
    if (nu.rights)
        checkRights(*nu.rights);
    const auto dir = directory();
    UserEdit e;
    e.user.UserLog = nu.userId;
    e.user.FirstName = nu.firstName;
    e.user.LastName = nu.lastName;
    e.user.Rights = nu.rights.value_or("11111111");
    if (!nu.department.empty()) {
        const Department& d = department(*dir, nu.department);
        e.user.DeptID = deptIdText(d.ID);
        if (!nu.rights)
            e.user.Rights = d.Rights;
    }
    e.password = e.passwordAgain = nu.password;
    saveUser(e);
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
    deleteUser(user(*dir, userId).ID);
}

} // namespace oskel::server
