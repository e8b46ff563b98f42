#include <gtest/gtest.h>

#include "protocol/PasswordCipher.h"

using namespace oskel::protocol;

TEST(PasswordCipher, lengths_of_the_cipher_text)
{
    for (std::size_t n = 0; n <= 24; ++n) {
        const std::string plain(n, 'p');
        const std::string c = encipherText(plain);
        const std::size_t expected = n <= 7 ? 12 : n <= 15 ? 24 : n <= 23 ? 32 : 44;
        EXPECT_EQ(c.size(), expected) << n;
        EXPECT_EQ(c.size(), cipherTextLength(n)) << n;
        const auto back = decipherText(c);
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(*back, plain);
    }
    // Passwords of up to 20 bytes fit the 33-byte field of the long sign-in form.
    EXPECT_LE(cipherTextLength(20), 32u);
}

TEST(PasswordCipher, round_trips_binary_and_utf8_text)
{
    const std::vector<std::string> texts = {std::string("\0\x01\xff", 3), "p\xC3\xA4sswort", std::string(1000, 'z'),
                                            "Hello /p01 with a line\r\nbreak"};
    for (const auto& t : texts) {
        const auto back = decipherText(encipherText(t));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, t);
    }
    // ECB: equal blocks give equal cipher blocks, a different text a different result.
    EXPECT_NE(encipherText("secret"), encipherText("secreT"));
}

TEST(PasswordCipher, rejects_what_is_not_cipher_text)
{
    const std::string good = encipherText("secret");
    const std::vector<std::string> bad = {
        "",
        "plain password",
        "abc",                // not a multiple of 4
        "AAAA",               // 3 bytes, not a whole block
        good.substr(0, 8),    // 6 bytes
        good + "AAAA",        // 11 bytes
        "=AAAAAAAAAAA",       // padding first
        "AAAAAAAAAA=A",       // data after padding
        "AAAA AAAAAAA",       // blank inside
        "AAAAAAAAAAA\n",      // line break
        std::string(12, '*'), // not Base64
        "AAAAAAAAAAA=",       // decodes, but its count byte is not 0..7 with zero fill
    };
    for (const auto& b : bad)
        EXPECT_FALSE(decipherText(b)) << '"' << b << '"';

    // Random valid Base64 of whole blocks is refused unless its last block is well formed.
    int accepted = 0;
    for (int i = 0; i < 2000; ++i) {
        std::string text;
        for (int k = 0; k < 11; ++k)
            text += "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 31 + k * 17 + i * k) % 64];
        text += '=';
        if (decipherText(text))
            ++accepted;
    }
    EXPECT_LT(accepted, 100);
}
