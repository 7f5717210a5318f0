#include "numbers/Scramble.h"

#include <algorithm>
#include <array>

namespace kestrine::numbers {

namespace {

constexpr std::uint32_t kMultiplier = 52845;
constexpr std::uint32_t kIncrement = 22719;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (std::uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}

constexpr auto kDecode = MakeDecodeTable();

// The feedback always runs on the enciphered byte, so both directions share it.
std::uint16_t NextKey(std::uint16_t key, std::uint8_t enciphered) {
    return static_cast<std::uint16_t>((std::uint32_t{enciphered} + key) * kMultiplier + kIncrement);
}

}  // namespace

std::string XorCipher(std::string_view text, std::uint32_t key) {
    auto k = static_cast<std::uint16_t>(key);
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(static_cast<std::uint8_t>(text[i]) ^ (k >> 8));
        out[i] = static_cast<char>(c);
        k = NextKey(k, c);
    }
    return out;
}

std::string XorDecipher(std::string_view text, std::uint32_t key) {
    auto k = static_cast<std::uint16_t>(key);
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(text[i]);
        out[i] = static_cast<char>(c ^ (k >> 8));
        k = NextKey(k, c);
    }
    return out;
}

std::string Encode64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t group = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t b = 0; b < group; ++b) {
            v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + b])) << (8 * b);
        }
        for (std::size_t c = 0; c <= group; ++c) {
            out += kAlphabet[(v >> (6 * c)) & 0x3F];
        }
    }
    return out;
}

std::string Decode64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const std::size_t group = std::min<std::size_t>(4, text.size() - i);
        std::uint32_t v = 0;
        for (std::size_t c = 0; c < group; ++c) {
            v |= static_cast<std::uint32_t>(kDecode[static_cast<std::uint8_t>(text[i + c])])
                 << (6 * c);
        }
        for (std::size_t b = 0; b + 1 < group; ++b) {
            out += static_cast<char>((v >> (8 * b)) & 0xFF);
        }
    }
    return out;
}

std::string Scramble(std::string_view text, std::uint32_t key) {
    return Encode64(XorCipher(text, key));
}

std::string Unscramble(std::string_view text, std::uint32_t key) {
    return XorDecipher(Decode64(text), key);
}

}  // namespace kestrine::numbers
