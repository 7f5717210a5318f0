#pragma once
// The grammar of a Hayes command line, shared by the dial blocker and the virtual modem.
//
// A line holds "AT" (any case; anything before it is ignored) and then commands, blanks ignored
// outside quotes: basic commands (a letter and optional digits), registers (Sn=v, Sn?),
// prefixed commands (& \ % * # $ - followed by one letter, digits and perhaps =digits; &Zn=...
// stores a number and takes the rest of the line), extended commands (a name and its arguments
// up to ';', quotes respected: +CMGF=1, and makers' own with ^ ! _ or a prefix above followed by
// two letters or more: ^SYSCFG, $NWRAT) and dials (D up to the end of the line or to ';').
// `prefix` and `value` of an extended command are its prefix and the rest ("CMGF=1").
//
// Modems read what they do not know in two ways: a modem that follows V.250 stops the line at
// the first command it does not know (ERROR; commands before it may have run), a lenient one
// skips it and goes on: a maker's command whole (its prefix, letter and digits, or an extended
// one to ';'), a character that starts no command on its own. The dial blocker reads lines
// strictly and sends only what it read, re-encoded (DialJudge.h); the virtual modem reads
// either way.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::driver {

// The character classes of the grammar (ASCII only, whatever the locale).
namespace at {
inline char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
inline bool IsLetter(char c) {  // upper case
    return c >= 'A' && c <= 'Z';
}
}  // namespace at

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
enum class Reading { Strict, Lenient };

// Parses what follows "AT". A lenient reading is always complete.
AtLine ParseAtCommands(std::string_view commands, Reading reading = Reading::Strict);

}  // namespace kestrine::driver
