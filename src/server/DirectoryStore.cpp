#include "server/DirectoryStore.h"

#include <soci/soci.h>

#include "protocol/TimeStamp.h"
#include "protocol/Utf8Text.h"

namespace oskel::server {

namespace {
std::string normaliseBirthday(const std::string& text)
{
    if (const auto d = protocol::parseDate(text))
        return protocol::formatDate(*d);
    if (const auto t = protocol::parseTimeStamp(text))
        return protocol::formatDate(*t);
    return {};
}
} // namespace

DirectoryPtr DirectoryStore::load()
{
    auto& sql = db_.sql();
    std::vector<Department> departments;
    {
        soci::rowset<soci::row> rs = (sql.prepare << "SELECT ID, GroupName, Rights FROM T_GROUP ORDER BY ID");
        for (const auto& r : rs)
            departments.push_back({Database::integer(r, 0), Database::text(r, 1), Database::text(r, 2)});
    }
    std::vector<DirectoryUser> users;
    {
        soci::rowset<soci::row> rs =
            (sql.prepare << "SELECT ID, UserLog, FirstName, LastName, PassWd, DeptID, Rights, Gender, JobTitle, "
                            "EMail, Address, PostCode, HandSet, Phone, State, City, CAST(Disable AS VARCHAR(10)), Fax, "
                            "CAST(Birthday AS VARCHAR(30)), Remark "
                            "FROM T_USER ORDER BY ID");
        for (const auto& r : rs) {
            DirectoryUser u;
            u.ID = Database::integer(r, 0);
            u.UserLog = Database::text(r, 1);
            u.FirstName = Database::text(r, 2);
            u.LastName = Database::text(r, 3);
            u.PassWd = Database::text(r, 4);
            u.DeptID = Database::text(r, 5);
            u.Rights = Database::text(r, 6);
            u.Gender = Database::text(r, 7);
            u.JobTitle = Database::text(r, 8);
            u.EMail = Database::text(r, 9);
            u.Address = Database::text(r, 10);
            u.PostCode = Database::text(r, 11);
            u.HandSet = Database::text(r, 12);
            u.Phone = Database::text(r, 13);
            u.State = Database::text(r, 14);
            u.City = Database::text(r, 15);
            u.Disable = readDisableFlag(Database::text(r, 16));
            u.Fax = Database::text(r, 17);
            u.Birthday = normaliseBirthday(Database::text(r, 18));
            u.Remark = Database::text(r, 19);
            users.push_back(std::move(u));
        }
    }
    return std::make_shared<const Directory>(std::move(users), std::move(departments));
}

bool DirectoryStore::setPassword(std::int64_t userRowId, const std::string& passWd)
{
    long long id = userRowId;
    soci::statement st =
        (db_.sql().prepare << "UPDATE T_USER SET PassWd = :p WHERE ID = :id", soci::use(passWd), soci::use(id));
    st.execute(true);
    db_.markDirectoryChanged();
    return st.get_affected_rows() == 1;
}

bool DirectoryStore::replacePlainPassword(std::int64_t userRowId, const std::string& plain, const std::string& hash)
{
    long long id = userRowId;
    soci::statement st = (db_.sql().prepare << "UPDATE T_USER SET PassWd = :h WHERE ID = :id AND PassWd = :p",
                          soci::use(hash), soci::use(id), soci::use(plain));
    st.execute(true);
    db_.markDirectoryChanged();
    return st.get_affected_rows() == 1;
}

bool DirectoryStore::setDetails(std::int64_t userRowId, const protocol::TChgInfoRecord& info)
{
    using protocol::cleanListText;
    const std::string gender = cleanListText(info.Gender), job = cleanListText(info.JobTitle),
                      first = cleanListText(info.FirstName), last = cleanListText(info.LastName),
                      email = cleanListText(info.EMail), address = cleanListText(info.Address),
                      post = cleanListText(info.PostCode), hand = cleanListText(info.HandSet),
                      phone = cleanListText(info.Phone), state = cleanListText(info.State),
                      city = cleanListText(info.City), remark = cleanListText(info.Remark),
                      fax = cleanListText(info.Fax);
    const std::string birthday = normaliseBirthday(info.BirthDay);
    long long id = userRowId;
    const std::string columns = "UPDATE T_USER SET Gender = :g, JobTitle = :j, FirstName = :f, LastName = :l, "
                                "EMail = :e, Address = :a, PostCode = :pc, HandSet = :h, Phone = :ph, State = :s, "
                                "City = :c, Remark = :r, Fax = :fx";
    auto& sql = db_.sql();
    long long affected = 0;
    if (birthday.empty()) {
        soci::statement st =
            (sql.prepare << columns + " WHERE ID = :id", soci::use(gender), soci::use(job), soci::use(first),
             soci::use(last), soci::use(email), soci::use(address), soci::use(post), soci::use(hand), soci::use(phone),
             soci::use(state), soci::use(city), soci::use(remark), soci::use(fax), soci::use(id));
        st.execute(true);
        affected = st.get_affected_rows();
    } else {
        soci::statement st = (sql.prepare << columns + ", Birthday = :b WHERE ID = :id", soci::use(gender),
                              soci::use(job), soci::use(first), soci::use(last), soci::use(email), soci::use(address),
                              soci::use(post), soci::use(hand), soci::use(phone), soci::use(state), soci::use(city),
                              soci::use(remark), soci::use(fax), soci::use(birthday), soci::use(id));
        st.execute(true);
        affected = st.get_affected_rows();
    }
    db_.markDirectoryChanged();
    return affected == 1;
}

} // namespace oskel::server
