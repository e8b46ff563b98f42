#pragma once

#include <functional>
#include <string>

#include "server/DatabaseWorker.h"
#include "server/Directory.h"
#include "server/PasswordHasher.h"
#include "server/TaskThread.h"

namespace oskel::server {

// Checks a user id and a plain-text password against the directory, for the TCP
// sign-in and the file service alike: the user id compared with ASCII letters folded,
// disabled accounts refused, hashes verified on the hash thread (once per start and
// credentials), plain-text passwords of other tools accepted once and replaced by their
// hash. The database and hashing never run on the caller's thread; `done` is called on
// the database or the hash thread and must post its work elsewhere.
class Authenticator {
public:
    struct Result {
        enum class Kind { Ok, UnknownUser, WrongPassword, Disabled, Unavailable };
        Kind kind = Kind::Unavailable;
        DirectoryUser user;
        std::string deptName;
        DirectoryPtr directory;
    };
    using Done = std::function<void(Result)>;

    Authenticator(DatabaseWorker& db, PasswordHasher& hasher, TaskThread& hashThread)
        : db_(db), hasher_(hasher), hashThread_(hashThread)
    {
    }

    // `password` is nullopt when the sign-in carried text that does not decipher.
    void authenticate(const std::string& userId, std::optional<std::string> password, Done done);

    static const char* reasonText(Result::Kind kind);

private:
    DatabaseWorker& db_;
    PasswordHasher& hasher_;
    TaskThread& hashThread_;
};

} // namespace oskel::server
