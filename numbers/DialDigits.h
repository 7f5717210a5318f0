#pragma once
// What of a telephone number is dialled. Its dial digits are 0-9, *, #, + and A-D (a-d count as
// A-D); everything else - blanks, hyphens, dots, brackets, letters, dial modifiers such as T, P,
// W and commas - is dropped. "+44 (20) 7946-0000" and "+442079460000" are the same number;
// "0044..." is not the same as "+44...".
#include <string>
#include <string_view>

namespace kestrine::numbers {

std::string NormaliseNumber(std::string_view number);

// False for a text without a single dial digit (the empty one included): it allows nothing, so it
// is never handed to the driver, and allowing it from an alert would let nothing through.
bool HasDialDigits(std::string_view number);

}  // namespace kestrine::numbers
