#include "numbers/Scramble.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrine::numbers;

TEST(Scramble, Encode64SeedVectors) {
    EXPECT_EQ(Encode64("abc"), "hJ2Y");
    EXPECT_EQ(Encode64("abcd"), "hJ2YkB");
    EXPECT_EQ(Encode64("a"), "hB");
    EXPECT_EQ(Encode64(""), "");
    EXPECT_EQ(Decode64("hJ2YkB"), "abcd");
    EXPECT_EQ(Encode64(std::string("\xff\xff\xff", 3)), "////");
}

TEST(Scramble, LengthsFollowTheGroupsOfThree) {
    for (std::size_t n = 0; n <= 7; ++n) {
        const std::size_t expected = 4 * (n / 3) + (n % 3 != 0 ? n % 3 + 1 : 0);
        EXPECT_EQ(Scramble(std::string(n, 'x'), 1).size(), expected) << n;
    }
    EXPECT_EQ(Scramble("", 0x1234), "");
    EXPECT_EQ(Unscramble("", 0x1234), "");
}

TEST(Scramble, XorCipherFeedsBackTheEncipheredByte) {
    // First byte: 'a' ^ (0x41E6 >> 8). Second: key = ((c + k) * 52845 + 22719) mod 65536.
    const std::uint16_t k0 = 0x41E6;
    const auto c0 = static_cast<std::uint8_t>('a' ^ (k0 >> 8));
    const auto k1 = static_cast<std::uint16_t>((c0 + k0) * 52845u + 22719u);
    const auto c1 = static_cast<std::uint8_t>('b' ^ (k1 >> 8));
    EXPECT_EQ(XorCipher("ab", 0x0B7D41E6),
              std::string({static_cast<char>(c0), static_cast<char>(c1)}));
    EXPECT_EQ(XorCipher("ab", 0x41E6), XorCipher("ab", 0x0B7D41E6)) << "only the low 16 bits count";
}

TEST(Scramble, RoundTripsEveryByteUnderEveryKey) {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
    }
    for (std::uint32_t key = 0; key <= 0xFFFF; ++key) {
        const std::string text = all.substr(key % 256) + all.substr(0, key % 7);
        const std::string scrambled = Scramble(text, key);
        ASSERT_EQ(Unscramble(scrambled, key), text) << key;
        ASSERT_EQ(scrambled.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
                  std::string::npos);
    }
}

TEST(Scramble, EncipheredZeroBytesSurvive) {
    // Pick texts whose enciphered form holds zero bytes, in every position of a group.
    for (std::uint32_t key : {0u, 0x41E6u, 0xFFFFu}) {
        for (std::size_t at = 0; at < 4; ++at) {
            std::string text(5, 'q');
            // Solve byte `at` so that its cipher byte is 0.
            const std::string prefix = XorCipher(text.substr(0, at), key);
            std::uint16_t k = static_cast<std::uint16_t>(key);
            for (unsigned char c : prefix) {
                k = static_cast<std::uint16_t>((c + k) * 52845u + 22719u);
            }
            text[at] = static_cast<char>(k >> 8);
            ASSERT_EQ(XorCipher(text, key)[at], '\0');
            EXPECT_EQ(Unscramble(Scramble(text, key), key), text) << key << " " << at;
        }
    }
}

TEST(Scramble, Decode64AcceptsAnyText) {
    EXPECT_EQ(Decode64("h"), "") << "a lone last character yields nothing";
    EXPECT_EQ(Decode64("hJ2Yk"), "abc");
    EXPECT_EQ(Decode64("**"), std::string(1, '\0')) << "characters outside the alphabet count as 0";
    EXPECT_EQ(Decode64(std::string("h\0J2", 4)), Decode64("hAJ2"));
}
