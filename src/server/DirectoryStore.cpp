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
    std::vector<Department> departments;
    db_.forEachRow("SELECT ID, GroupName, Rights FROM T_GROUP ORDER BY ID", {}, [&](const Database::TextRow& r) {
        departments.push_back({Database::integer(r[0]), r[1], r[2]});
    });
    std::vector<DirectoryUser> users;
    db_.forEachRow("SELECT ID, UserLog, FirstName, LastName, PassWd, DeptID, Rights, Gender, JobTitle, EMail, Address, "
                   "PostCode, HandSet, Phone, State, City, CAST(Disable AS VARCHAR(10)), Fax, "
                   "CAST(Birthday AS VARCHAR(30)), Remark FROM T_USER ORDER BY ID",
                   {}, [&](const Database::TextRow& r) {
                       DirectoryUser u;
                       u.ID = Database::integer(r[0]);
                       u.UserLog = r[1];
                       u.FirstName = r[2];
                       u.LastName = r[3];
                       u.PassWd = r[4];
                       u.DeptID = r[5];
                       u.Rights = r[6];
                       u.Gender = r[7];
                       u.JobTitle = r[8];
                       u.EMail = r[9];
                       u.Address = r[10];
                       u.PostCode = r[11];
                       u.HandSet = r[12];
                       u.Phone = r[13];
                       u.State = r[14];
                       u.City = r[15];
                       u.Disable = readDisableFlag(r[16]);
                       u.Fax = r[17];
                       u.Birthday = normaliseBirthday(r[18]);
                       u.Remark = r[19];
                       users.push_back(std::move(u));
                   });
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
    db_.markDirectoryStale();
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
