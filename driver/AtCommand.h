#pragma once
// The grammar of a Hayes command line, shared by the dial blocker and the virtual modem.
//
// A line holds "AT" (any case; anything before it is ignored) and then commands, blanks ignored
// outside quotes: basic commands (a letter and optional digits), registers (Sn=v, Sn?),
// prefixed commands (& \ % * # $ followed by a letter and digits; &Zn=... stores a number and
// takes the rest of the line), extended commands (+... up to ';', quotes respected) and dials
// (D up to the end of the line or to ';', which leaves the modem in command mode off-hook).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::driver {

struct AtCommand {
    enum class Kind { Basic, Prefixed, Register, Extended, Dial, StoreNumber };
    Kind kind = Kind::Basic;
    char prefix = 0;  // Prefixed: & \ % * # $
    char letter = 0;  // upper case
    int number = -1;  // the digits after the letter or register name; -1 when none
    bool query = false;
    bool assign = false;
    std::string value;       // Register: the value; Dial: the dial string; StoreNumber: the number
    bool continued = false;  // Dial: ended with ';'
};

struct AtLine {
    std::vector<AtCommand> commands;
    bool complete = true;  // false: parsing stopped at something it does not know
    std::string rest;      // what was not understood
};

// Offset just past the first "AT" (case ignored), or npos.
std::size_t FindAtPrefix(std::string_view line);
// Offset of the 'A' of a leading "A/" repeat request, or npos.
std::size_t FindRepeat(std::string_view line);
// Parses what follows "AT".
AtLine ParseAtCommands(std::string_view commands);

}  // namespace kestrine::driver
