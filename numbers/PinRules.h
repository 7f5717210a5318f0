#pragma once
// The checks the PIN dialogs make on what was typed (UTF-8, lengths counted in characters). Each
// throws UserError with the first failing check's message; comparing with the stored PIN is the
// caller's business, except for the change dialog, which checks the current PIN itself.
#include <string>

namespace kestrine {

inline constexpr std::size_t kMinimumPinLength = 4;

// Blank: nothing left once characters of code 32 or less are trimmed from both ends.
bool IsBlankPin(const std::string& text);

void ValidateGetPin(const std::string& pin);
void ValidateSetPin(const std::string& pin, const std::string& confirm);
void ValidateChangePin(const std::string& typedCurrent, const std::string& storedCurrent,
                       const std::string& newPin, const std::string& confirm);

}  // namespace kestrine
