#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace oskel::server {

// Password hashes in PassWd: libsodium's Argon2id with 2 MiB and one pass, a 16-byte
// salt and a 16-byte hash, written "$o1$" salt "$" hash in unpadded Base64 (49
// characters). A PassWd in any other form is a plain-text password written by another
// tool: it still signs in once and is then replaced by its hash.
class PasswordHasher {
public:
    PasswordHasher();

    static bool isHash(std::string_view stored);
    std::string hash(std::string_view password) const;

    enum class Check { Match, Mismatch };
    // Compares against a hash or a plain-text PassWd. Verified hashes are remembered
    // under a keyed BLAKE2b digest with a per-process key, so only the first check after
    // a start pays the hash. Thread-safe.
    Check check(std::string_view password, std::string_view stored);
    // True when check() would answer from memory without hashing.
    bool remembered(std::string_view password, std::string_view stored) const;

private:
    using Digest = std::array<unsigned char, 32>;
    struct DigestHash {
        std::size_t operator()(const Digest& d) const;
    };
    Digest digest(std::string_view password, std::string_view stored) const;
    bool verifyHash(std::string_view password, std::string_view stored) const;

    std::array<unsigned char, 32> key_{};
    mutable std::mutex mutex_;
    std::unordered_set<Digest, DigestHash> verified_;
};

} // namespace oskel::server
