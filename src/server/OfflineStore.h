#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/Database.h"

namespace oskel::server {

// One row of T_UNDELIVEMSG: a message, group message or file offer waiting for one
// receiver.
struct StoredMessage {
    std::int64_t ID = 0; // insertion order; 0 before it is stored
    std::string SENDERID;
    std::string SENDERNAME;
    std::string RECEIVERID;
    std::string RECEIVERNAME;
    std::string MSGTYPE; // "MSG", "MULTIMSG" or "FILE"
    std::string SENDTIME;
    std::string MSG;
    std::string FILENAME;
    std::string REGFILENAME;
    std::string MultiChatID;
    std::string MEMBERS;

    bool operator==(const StoredMessage&) const = default;
};

class OfflineStore {
public:
    explicit OfflineStore(Database& db) : db_(db) {}

    // All rows in one transaction; throws when the database refuses (nothing stored).
    void insert(const std::vector<StoredMessage>& rows);
    // The receiver's rows in insertion order (user ids compared with ASCII folding).
    std::vector<StoredMessage> fetch(std::string_view receiverId);
    void remove(const std::vector<std::int64_t>& ids);
    long long count();

    struct Conversion {
        std::size_t converted = 0;
        std::size_t leftAsTheyWere = 0; // texts that did not decipher
        std::size_t cut = 0;            // texts cut so that their cipher form fits 65,535 bytes
    };
    // Enciphers (or deciphers) the MSG of every "MSG" and "MULTIMSG" row in one
    // transaction and records the new state in T_META. "FILE" rows stay as they are.
    Conversion convertTexts(bool encipher);
    // The state recorded in T_META; when none is recorded yet, `assumed` is recorded.
    bool textsEnciphered(bool assumed);

private:
    Database& db_;
};

} // namespace oskel::server
