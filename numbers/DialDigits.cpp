#include "numbers/DialDigits.h"

#include <algorithm>

namespace kestrine::numbers {

namespace {

char DialDigit(char c) {
    if (c >= 'a' && c <= 'd') {
        c = static_cast<char>(c - 'a' + 'A');
    }
    const bool digit =
        (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+' || (c >= 'A' && c <= 'D');
    return digit ? c : '\0';
}

}  // namespace

std::string NormaliseNumber(std::string_view number) {
    std::string digits;
    for (const char c : number) {
        if (const char digit = DialDigit(c)) {
            digits.push_back(digit);
        }
    }
    return digits;
}

bool HasDialDigits(std::string_view number) {
    return std::any_of(number.begin(), number.end(), [](char c) { return DialDigit(c) != '\0'; });
}

}  // namespace kestrine::numbers
