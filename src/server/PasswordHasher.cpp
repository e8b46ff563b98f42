#include "server/PasswordHasher.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace oskel::server {

namespace {
constexpr std::string_view kPrefix = "$o1$";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 16;
constexpr unsigned long long kOpsLimit = 1;
constexpr std::size_t kMemLimit = 2 * 1024 * 1024;
constexpr int kB64 = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;

std::string toBase64(const unsigned char* data, std::size_t size)
{
    std::string out(sodium_base64_ENCODED_LEN(size, kB64), '\0');
    sodium_bin2base64(out.data(), out.size(), data, size, kB64);
    out.resize(std::strlen(out.c_str()));
    return out;
}

bool fromBase64(std::string_view text, unsigned char* out, std::size_t size)
{
    std::size_t len = 0;
    return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &len, nullptr, kB64) == 0 && len == size;
}

bool argon(std::string_view password, const unsigned char* salt, unsigned char* out)
{
    return crypto_pwhash(out, kHashBytes, password.data(), password.size(), salt, kOpsLimit, kMemLimit,
                         crypto_pwhash_ALG_ARGON2ID13) == 0;
}
} // namespace

PasswordHasher::PasswordHasher()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
    randombytes_buf(key_.data(), key_.size());
}

bool PasswordHasher::isHash(std::string_view stored)
{
    return stored.size() == 49 && stored.substr(0, kPrefix.size()) == kPrefix && stored[26] == '$';
}

std::string PasswordHasher::hash(std::string_view password) const
{
    unsigned char salt[kSaltBytes];
    unsigned char out[kHashBytes];
    randombytes_buf(salt, sizeof salt);
    if (!argon(password, salt, out))
        throw std::runtime_error("password hashing ran out of memory");
    return std::string(kPrefix) + toBase64(salt, sizeof salt) + "$" + toBase64(out, sizeof out);
}

bool PasswordHasher::verifyHash(std::string_view password, std::string_view stored) const
{
    unsigned char salt[kSaltBytes];
    unsigned char expected[kHashBytes];
    unsigned char actual[kHashBytes];
    if (!fromBase64(stored.substr(4, 22), salt, sizeof salt) ||
        !fromBase64(stored.substr(27), expected, sizeof expected))
        return false;
    if (!argon(password, salt, actual))
        return false;
    return sodium_memcmp(actual, expected, kHashBytes) == 0;
}

std::size_t PasswordHasher::DigestHash::operator()(const Digest& d) const
{
    std::size_t h;
    std::memcpy(&h, d.data(), sizeof h);
    return h;
}

PasswordHasher::Digest PasswordHasher::digest(std::string_view password, std::string_view stored) const
{
    Digest d;
    crypto_generichash_state st;
    crypto_generichash_init(&st, key_.data(), key_.size(), d.size());
    crypto_generichash_update(&st, reinterpret_cast<const unsigned char*>(stored.data()), stored.size());
    const unsigned char sep = 0;
    crypto_generichash_update(&st, &sep, 1);
    crypto_generichash_update(&st, reinterpret_cast<const unsigned char*>(password.data()), password.size());
    crypto_generichash_final(&st, d.data(), d.size());
    return d;
}

bool PasswordHasher::remembered(std::string_view password, std::string_view stored) const
{
    if (!isHash(stored))
        return true; // plain text compares without hashing
    const Digest d = digest(password, stored);
    std::lock_guard lock(mutex_);
    return verified_.count(d) > 0;
}

PasswordHasher::Check PasswordHasher::check(std::string_view password, std::string_view stored)
{
    if (!isHash(stored)) {
        // A plain-text PassWd from another tool: exact, case-sensitive comparison.
        return !stored.empty() && password == stored ? Check::Match : Check::Mismatch;
    }
    const Digest d = digest(password, stored);
    {
        std::lock_guard lock(mutex_);
        if (verified_.count(d))
            return Check::Match;
    }
    if (!verifyHash(password, stored))
        return Check::Mismatch;
    std::lock_guard lock(mutex_);
    verified_.insert(d);
    return Check::Match;
}

} // namespace oskel::server
