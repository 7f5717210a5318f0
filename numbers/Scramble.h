#pragma once
// The scrambling of every name and value the settings store writes: a byte-feedback XOR cipher
// under a 16-bit key, then a 64-character text encoding. Not encryption; it keeps the settings
// from being read or edited by hand.
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrine::numbers {

// Every function takes the low 16 bits of `key`.
std::string XorCipher(std::string_view text, std::uint32_t key);
std::string XorDecipher(std::string_view text, std::uint32_t key);

// Three bytes become four characters of the standard Base64 alphabet, least significant bits and
// bytes first, without padding: a short last group of n bytes gives n + 1 characters.
std::string Encode64(std::string_view bytes);
// The inverse; characters outside the alphabet count as 0 and a lone last character adds nothing,
// so any text decodes.
std::string Decode64(std::string_view text);

std::string Scramble(std::string_view text, std::uint32_t key);
std::string Unscramble(std::string_view text, std::uint32_t key);

}  // namespace kestrine::numbers
