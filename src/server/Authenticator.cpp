#include "server/Authenticator.h"

namespace oskel::server {

const char* Authenticator::reasonText(Result::Kind kind)
{
    switch (kind) {
    case Result::Kind::UnknownUser:
        return "invalid username";
    case Result::Kind::Disabled:
        return "account disabled";
    case Result::Kind::WrongPassword:
        return "invalid password";
    default:
        return "";
    }
}

void Authenticator::authenticate(const std::string& userId, std::optional<std::string> password, Done done)
{
    db_.post([this, userId, password = std::move(password), done = std::move(done)](DatabaseWorker::Context& ctx) {
        using Kind = Result::Kind;
        Result r;
        try {
            ctx.worker.refreshDirectory(ctx);
        } catch (const std::exception&) {
            done(std::move(r)); // Unavailable
            return;
        }
        r.directory = ctx.worker.directory();
        const DirectoryUser* user = r.directory->findUser(userId);
        if (!user) {
            r.kind = Kind::UnknownUser;
            done(std::move(r));
            return;
        }
        r.user = *user;
        if (const Department* d = r.directory->departmentOf(*user))
            r.deptName = d->GroupName;
        if (user->Disable) {
            r.kind = Kind::Disabled;
            done(std::move(r));
            return;
        }
        if (!password) {
            r.kind = Kind::WrongPassword;
            done(std::move(r));
            return;
        }
        if (!PasswordHasher::isHash(user->PassWd)) {
            const bool match = hasher_.check(*password, user->PassWd) == PasswordHasher::Check::Match;
            r.kind = match ? Kind::Ok : Kind::WrongPassword;
            if (match) {
                // A plain-text password from another tool: replace it by its hash.
                hashThread_.post([this, rowId = user->ID, stored = user->PassWd, pw = *password] {
                    const std::string hash = hasher_.hash(pw);
                    db_.post([rowId, stored, hash](DatabaseWorker::Context& c) {
                        c.directory.replacePlainPassword(rowId, stored, hash);
                    });
                });
            }
            done(std::move(r));
            return;
        }
        if (hasher_.remembered(*password, user->PassWd)) {
            r.kind =
                hasher_.check(*password, user->PassWd) == PasswordHasher::Check::Match ? Kind::Ok : Kind::WrongPassword;
            done(std::move(r));
            return;
        }
        hashThread_.post([this, r = std::move(r), pw = *password, done]() mutable {
            r.kind = hasher_.check(pw, r.user.PassWd) == PasswordHasher::Check::Match ? Kind::Ok : Kind::WrongPassword;
            done(std::move(r));
        });
    });
}

} // namespace oskel::server
