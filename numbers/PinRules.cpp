#include "numbers/PinRules.h"

#include <algorithm>

#include "numbers/TextEncoding.h"
#include "platform/UserError.h"

namespace kestrine {

namespace {

void Require(bool ok, const char* message) {
    if (!ok) {
        throw UserError(message);
    }
}

// Counted in characters as typed: a PIN of two Cyrillic letters is two characters, not four bytes.
bool LongEnough(const std::string& pin) {
    return numbers::CharacterCount(pin) >= kMinimumPinLength;
}

}  // namespace

bool IsBlankPin(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 32; });
}

void ValidateGetPin(const std::string& pin) {
    Require(!IsBlankPin(pin), "PIN Cannot be blank");
    Require(LongEnough(pin), "PIN must be at least 4 characters");
}

void ValidateSetPin(const std::string& pin, const std::string& confirm) {
    ValidateGetPin(pin);
    Require(!IsBlankPin(confirm), "Confirm PIN Cannot be blank");
    Require(LongEnough(confirm), "Confirm PIN must be at least 4 characters");
    Require(pin == confirm, "PINs do not match");
}

void ValidateChangePin(const std::string& typedCurrent, const std::string& storedCurrent,
                       const std::string& newPin, const std::string& confirm) {
    ValidateGetPin(typedCurrent);
    Require(typedCurrent == storedCurrent, "Current Pin incorrect");
    Require(!IsBlankPin(newPin), "New PIN Cannot be blank");
    Require(LongEnough(newPin), "New PIN must be at least 4 characters");
    // The confirmation has a length test but no blank test of its own.
    Require(LongEnough(confirm), "Confirm PIN must be at least 4 characters");
    Require(newPin == confirm, "New PIN and Confirm New PIN do not match");
}

}  // namespace kestrine
