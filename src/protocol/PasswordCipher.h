#pragma once

// The cipher of sign-in passwords and, when the server asks for it, of message texts:
// DES in ECB mode, key = first 8 bytes of SHA-256 of the pass phrase (parity bits
// ignored), written as Base64 with "=" padding. The text is cut into whole 8-byte
// blocks and one last block holding the remaining 0 to 7 bytes, zero-filled, with their
// count in its eighth byte. The key is fixed forever: stored texts depend on it.

#include <optional>
#include <string>
#include <string_view>

namespace oskel::protocol {

std::string encipherText(std::string_view plain);

// nullopt for anything that is not cipher text of this form: bad Base64, a length
// that is not whole blocks, or a last block whose count or filling is wrong.
std::optional<std::string> decipherText(std::string_view cipherText);

// Length of the Base64 text for a plain text of `plainBytes` bytes.
constexpr std::size_t cipherTextLength(std::size_t plainBytes)
{
    const std::size_t bytes = (plainBytes / 8 + 1) * 8;
    return (bytes + 2) / 3 * 4;
}

} // namespace oskel::protocol
