#include "numbers/TextEncoding.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrine::numbers;

TEST(TextEncoding, Utf8StaysAndOtherBytesReadAsLatin1) {
    struct Case {
        const char* what;
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"ascii", "0800 112", "0800 112"},
        {"utf-8", "\u0436\u0449 \u20AC \U0001F4DE", "\u0436\u0449 \u20AC \U0001F4DE"},
        {"latin-1 of an earlier version", "\xE9t\xE9!", "\u00E9t\u00E9!"},
        {"a sequence cut short", "\xD0", "\u00D0"},
        {"overlong form", "\xC0\xAF", "\u00C0\u00AF"},
        {"surrogate", "\xED\xA0\x80", "\u00ED\u00A0\u0080"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\u00F4\u0090\u0080\u0080"},
        {"lone continuation between", "a\x80z", "a\u0080z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadAsUtf8(c.bytes), c.text) << c.what;
        EXPECT_EQ(ReadAsUtf8(c.text), c.text) << c.what << ": text in UTF-8 comes back unchanged";
    }
}

TEST(TextEncoding, CountsCharactersNotBytes) {
    EXPECT_EQ(CharacterCount(""), 0u);
    EXPECT_EQ(CharacterCount("1234"), 4u);
    EXPECT_EQ(CharacterCount("\u0436\u0436\u0436"), 3u);
    EXPECT_EQ(CharacterCount("a\U0001F4DEb"), 3u);
}
