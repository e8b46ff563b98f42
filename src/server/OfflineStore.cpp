#include "server/OfflineStore.h"

#include <soci/soci.h>

#include "protocol/PasswordCipher.h"
#include "protocol/Utf8Text.h"
#include "server/UserId.h"

namespace oskel::server {

namespace {
constexpr std::size_t kMaxStoredText = 65535;

// The longest plain text whose cipher form fits 65,535 bytes.
constexpr std::size_t maxPlainForCipher()
{
    std::size_t n = kMaxStoredText;
    while (protocol::cipherTextLength(n) > kMaxStoredText)
        --n;
    return n;
}
} // namespace

void OfflineStore::insert(const std::vector<StoredMessage>& rows)
{
    if (rows.empty())
        return;
    std::vector<std::string> sender, senderName, receiver, receiverName, type, time, msg, file, regFile, group, members;
    for (const auto* v :
         {&sender, &senderName, &receiver, &receiverName, &type, &time, &msg, &file, &regFile, &group, &members})
        const_cast<std::vector<std::string>*>(v)->reserve(rows.size());
    for (const auto& r : rows) {
        sender.push_back(r.SENDERID);
        senderName.push_back(r.SENDERNAME);
        receiver.push_back(r.RECEIVERID);
        receiverName.push_back(r.RECEIVERNAME);
        type.push_back(r.MSGTYPE);
        time.push_back(r.SENDTIME);
        msg.push_back(r.MSG);
        file.push_back(r.FILENAME);
        regFile.push_back(r.REGFILENAME);
        group.push_back(r.MultiChatID);
        members.push_back(r.MEMBERS);
    }
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    sql << "INSERT INTO T_UNDELIVEMSG (SENDERID, SENDERNAME, RECEIVERID, RECEIVERNAME, MSGTYPE, SENDTIME, MSG, "
           "FILENAME, REGFILENAME, MultiChatID, MEMBERS) VALUES (:a, :b, :c, :d, :e, :f, :g, :h, :i, :j, :k)",
        soci::use(sender), soci::use(senderName), soci::use(receiver), soci::use(receiverName), soci::use(type),
        soci::use(time), soci::use(msg), soci::use(file), soci::use(regFile), soci::use(group), soci::use(members);
    tr.commit();
}

std::vector<StoredMessage> OfflineStore::fetch(std::string_view receiverId)
{
    // UPPER() narrows the rows through the index; the exact rule (ASCII letters folded,
    // every other byte exact) is applied here, whatever the database's UPPER() does.
    std::vector<StoredMessage> out;
    db_.forEachRow("SELECT " + db_.undeliveredKey() +
                       ", SENDERID, SENDERNAME, RECEIVERID, RECEIVERNAME, MSGTYPE, SENDTIME, MSG, FILENAME, "
                       "REGFILENAME, MultiChatID, MEMBERS FROM T_UNDELIVEMSG WHERE UPPER(RECEIVERID) = UPPER(:r) "
                       "ORDER BY " +
                       db_.undeliveredKey(),
                   {std::string(receiverId)}, [&](const Database::TextRow& r) {
                       StoredMessage m;
                       m.ID = Database::integer(r[0]);
                       m.SENDERID = r[1];
                       m.SENDERNAME = r[2];
                       m.RECEIVERID = r[3];
                       m.RECEIVERNAME = r[4];
                       m.MSGTYPE = r[5];
                       m.SENDTIME = r[6];
                       m.MSG = r[7];
                       m.FILENAME = r[8];
                       m.REGFILENAME = r[9];
                       m.MultiChatID = r[10];
                       m.MEMBERS = r[11];
                       if (sameUserId(m.RECEIVERID, receiverId))
                           out.push_back(std::move(m));
                   });
    return out;
}

void OfflineStore::remove(const std::vector<std::int64_t>& ids)
{
    if (ids.empty())
        return;
    std::vector<long long> keys(ids.begin(), ids.end());
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    sql << "DELETE FROM T_UNDELIVEMSG WHERE " + db_.undeliveredKey() + " = :id", soci::use(keys);
    tr.commit();
}

long long OfflineStore::count()
{
    long long n = 0;
    db_.sql() << "SELECT COUNT(*) FROM T_UNDELIVEMSG", soci::into(n);
    return n;
}

bool OfflineStore::textsEnciphered(bool assumed)
{
    const std::string state = db_.meta("texts_enciphered");
    if (state.empty()) {
        db_.setMeta("texts_enciphered", assumed ? "1" : "0");
        return assumed;
    }
    return state == "1";
}

OfflineStore::Conversion OfflineStore::convertTexts(bool encipher)
{
    Conversion result;
    auto& sql = db_.sql();
    soci::transaction tr(sql);
    std::vector<long long> ids;
    std::vector<std::string> texts;
    db_.forEachRow("SELECT " + db_.undeliveredKey() +
                       ", MSG FROM T_UNDELIVEMSG WHERE MSGTYPE = 'MSG' OR MSGTYPE = 'MULTIMSG'",
                   {}, [&](const Database::TextRow& r) {
                       const std::string& text = r[1];
                       std::string converted;
                       if (encipher) {
                           std::string_view plain = text;
                           if (plain.size() > maxPlainForCipher()) {
                               plain = protocol::cutUtf8(plain, maxPlainForCipher());
                               ++result.cut;
                           }
                           converted = protocol::encipherText(plain);
                       } else {
                           const auto plain = protocol::decipherText(text);
                           if (!plain) {
                               ++result.leftAsTheyWere;
                               return;
                           }
                           converted = *plain;
                       }
                       ids.push_back(Database::integer(r[0]));
                       texts.push_back(std::move(converted));
                   });
    if (!ids.empty())
        sql << "UPDATE T_UNDELIVEMSG SET MSG = :m WHERE " + db_.undeliveredKey() + " = :id", soci::use(texts),
            soci::use(ids);
    db_.setMeta("texts_enciphered", encipher ? "1" : "0");
    tr.commit();
    result.converted = ids.size();
    return result;
}

} // namespace oskel::server
