#include "protocol/PasswordCipher.h"

#include <nettle/base64.h>
#include <nettle/des.h>
#include <nettle/sha2.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace oskel::protocol {

namespace {
constexpr std::string_view kPassPhrase = "QORTUMBEX417";

// The key schedule is a constant of the protocol; built once, read-only afterwards.
const des_ctx& cipherKey()
{
    static const des_ctx key = [] {
        std::uint8_t digest[SHA256_DIGEST_SIZE];
        sha256_ctx sha;
        sha256_init(&sha);
        sha256_update(&sha, kPassPhrase.size(), reinterpret_cast<const std::uint8_t*>(kPassPhrase.data()));
        sha256_digest(&sha, sizeof digest, digest);
        des_ctx ctx;
        if (!des_set_key(&ctx, digest))
            throw std::logic_error("password cipher key is a weak DES key");
        return ctx;
    }();
    return key;
}

bool isBase64Text(std::string_view text)
{
    if (text.empty() || text.size() % 4 != 0)
        return false;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding > 0)
            return false; // data after padding
        const bool ok =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok)
            return false;
    }
    return padding <= 2;
}
} // namespace

std::string encipherText(std::string_view plain)
{
    const std::size_t whole = plain.size() / 8 * 8;
    std::vector<std::uint8_t> blocks(whole + 8, 0);
    if (!plain.empty())
        std::memcpy(blocks.data(), plain.data(), plain.size());
    blocks.back() = static_cast<std::uint8_t>(plain.size() - whole);
    des_encrypt(&cipherKey(), blocks.size(), blocks.data(), blocks.data());

    std::string out(BASE64_ENCODE_RAW_LENGTH(blocks.size()), '\0');
    base64_encode_raw(out.data(), blocks.size(), blocks.data());
    return out;
}

std::optional<std::string> decipherText(std::string_view cipherText)
{
    if (!isBase64Text(cipherText))
        return std::nullopt;
    std::vector<std::uint8_t> blocks(BASE64_DECODE_LENGTH(cipherText.size()));
    base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    std::size_t length = blocks.size();
    if (!base64_decode_update(&ctx, &length, blocks.data(), cipherText.size(), cipherText.data()) ||
        !base64_decode_final(&ctx))
        return std::nullopt;
    if (length == 0 || length % 8 != 0)
        return std::nullopt;
    blocks.resize(length);
    des_decrypt(&cipherKey(), blocks.size(), blocks.data(), blocks.data());

    const std::size_t lastBlock = length - 8;
    const std::size_t rest = blocks.back();
    if (rest > 7)
        return std::nullopt;
    for (std::size_t i = lastBlock + rest; i < length - 1; ++i)
        if (blocks[i] != 0)
            return std::nullopt;
    return std::string(reinterpret_cast<const char*>(blocks.data()), lastBlock + rest);
}

} // namespace oskel::protocol
