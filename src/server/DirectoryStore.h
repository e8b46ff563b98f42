#pragma once

#include <string>

#include "protocol/ConversationRecords.h"
#include "server/Database.h"
#include "server/Directory.h"

namespace oskel::server {

// Reads the directory from T_USER and T_GROUP and writes the changes that users make
// to their own accounts.
class DirectoryStore {
public:
    explicit DirectoryStore(Database& db) : db_(db) {}

    DirectoryPtr load();

    // Each returns true when exactly one row was changed.
    bool setPassword(std::int64_t userRowId, const std::string& passWd);
    // Replaces a plain-text PassWd by its hash, only if the row still holds that text.
    bool replacePlainPassword(std::int64_t userRowId, const std::string& plain, const std::string& hash);
    // The details of a "chginfo"; a birthday that is blank or does not parse leaves
    // Birthday unchanged. TAB, CR and LF are replaced by blanks.
    bool setDetails(std::int64_t userRowId, const protocol::TChgInfoRecord& info);

private:
    Database& db_;
};

} // namespace oskel::server
