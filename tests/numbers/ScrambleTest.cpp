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

TEST(Scramble, KnownAnswers) {
    // Worked out apart from this code, from the cipher's definition; existing stores hold these.
    EXPECT_EQ(XorCipher("ab", 0x0B7D41E6), "\x20\x2b") << "the feedback uses the enciphered byte";
    EXPECT_EQ(XorCipher("ab", 0x41E6), XorCipher("ab", 0x0B7D41E6)) << "only the low 16 bits count";
    struct Case {
        const char* text;
        const char* scrambled;  // under the store's key
    };
    const Case cases[] = {
        {"Allowed", "Acxr0j6XrD"},
        {"Settings", "SoJNCTTGDKP"},
        {"ParentalPIN", "RElubYdVSw2g2mE"},
        {"ParentalControl", "RElubYdVSwGkVIm3bD6d"},
        {"FreshFromSetup", "HIl6dc+XbkZ6CoOuzbJ"},
        {"SadPanda", "S4pHy8Ir7MA"},
        {"MayBee47", "MkEKDGEUwDA"},
        {"0800 112", "xFqAUcJd3EO"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Scramble(c.text, 0x0B7D41E6), c.scrambled) << c.text;
        EXPECT_EQ(Unscramble(c.scrambled, 0x0B7D41E6), c.text);
    }
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
    // Texts whose enciphered byte at `at` is 0, in every position of a group of three.
    struct Case {
        std::uint32_t key;
        std::string text;
        std::size_t at;
        const char* scrambled;
    };
    const Case cases[] = {
        {0x0000, std::string("\0qqqq", 5), 0, "AkikkTD"},
        {0x0000, "q\x76qqq", 1, "xBQjvzA"},
        {0x0000, "qq\xa1qq", 2, "xdAAU9G"},
        {0x0000, "qqq\xddq", 3, "xdA0AkK"},
        {0x41E6, "\x41qqqq", 0, "AogNCZD"},
        {0x41E6, "q\x30qqq", 1, "wAgWlDJ"},
        {0x41E6, "qq\x94qq", 2, "wEEAHpO"},
        {0x41E6, "qqq\xdeq", 3, "wEU5AsA"},
        {0xFFFF, "\xffqqqq", 0, "As/7x5J"},
        {0xFFFF, "q\x0aqqq", 1, "OCgrv6N"},
        {0xFFFF, "qq\x0eqq", 2, "OuHAxWP"},
        {0xFFFF, "qqq\x28q", 3, "Ou3fAUB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scrambled);
        ASSERT_EQ(XorCipher(c.text, c.key).at(c.at), '\0');
        EXPECT_EQ(Scramble(c.text, c.key), c.scrambled);
        EXPECT_EQ(Unscramble(c.scrambled, c.key), c.text);
    }
}

TEST(Scramble, Decode64AcceptsAnyText) {
    EXPECT_EQ(Decode64("h"), "") << "a lone last character yields nothing";
    EXPECT_EQ(Decode64("hJ2Yk"), "abc");
    EXPECT_EQ(Decode64("**"), std::string(1, '\0')) << "characters outside the alphabet count as 0";
    EXPECT_EQ(Decode64(std::string("h\0J2", 4)), Decode64("hAJ2"));
}
