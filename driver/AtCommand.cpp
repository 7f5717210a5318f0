#include "driver/AtCommand.h"

namespace kestrine::driver {

namespace {

using at::IsDigit;
using at::IsLetter;
using at::Upper;

bool IsVendorPrefix(char c) {
    return c == '\\' || c == '%' || c == '*' || c == '#' || c == '$' || c == '-' || c == '^' ||
           c == '!' || c == '_';
}

// Blanks only separate; inside quotes they count.
std::string WithoutBlanks(std::string_view text) {
    std::string out;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        }
        if (!quoted && (c == ' ' || c == '\t')) {
            continue;
        }
        out.push_back(c);
    }
    return out;
}

int ReadNumber(const std::string& s, std::size_t& i) {
    if (i >= s.size() || !IsDigit(s[i])) {
        return -1;
    }
    long value = 0;
    while (i < s.size() && IsDigit(s[i])) {
        value = value * 10 + (s[i] - '0');
        if (value > 1000000) {
            value = 1000000;
        }
        ++i;
    }
    return static_cast<int>(value);
}

}  // namespace

std::size_t FindAtPrefix(std::string_view line) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (Upper(line[i]) == 'A' && Upper(line[i + 1]) == 'T') {
            return i + 2;
        }
    }
    return std::string_view::npos;
}

std::size_t FindRepeat(std::string_view line) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (Upper(line[i]) == 'A') {
            if (line[i + 1] == '/') {
                return i;
            }
            if (Upper(line[i + 1]) == 'T') {
                return std::string_view::npos;
            }
        }
    }
    return std::string_view::npos;
}

AtLine ParseAtCommands(std::string_view commands, Reading reading) {
    const std::string s = WithoutBlanks(commands);
    const bool lenient = reading == Reading::Lenient;
    AtLine line;
    std::size_t i = 0;
    auto stop = [&] {
        line.complete = false;
        line.rest = s.substr(i);
        return line;
    };
    while (i < s.size()) {
        const char c = Upper(s[i]);
        AtCommand command;
        const bool startsPrefixed = (c == '&' || IsVendorPrefix(c)) && i + 1 < s.size() &&
                                    IsLetter(Upper(s[i + 1]));
        if (lenient && !startsPrefixed && !(IsLetter(c) || c == '+')) {
            ++i;  // what this modem does not know, it skips
            continue;
        }
        if (c == 'D') {
            command.kind = AtCommand::Kind::Dial;
            command.letter = 'D';
            const auto end = s.find(';', i + 1);
            command.value =
                s.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
            command.continued = end != std::string::npos;
            i = end == std::string::npos ? s.size() : end + 1;
        } else if (c == 'S') {
            command.kind = AtCommand::Kind::Register;
            command.letter = 'S';
            ++i;
            command.number = ReadNumber(s, i);
            if (command.number < 0) {
                command.number = 0;
            }
            if (i < s.size() && s[i] == '?') {
                command.query = true;
                ++i;
            } else if (i < s.size() && s[i] == '=') {
                command.assign = true;
                ++i;
                const int value = ReadNumber(s, i);
                command.value = value < 0 ? "0" : std::to_string(value);
            }
        } else if (c == '+' || c == '^' || c == '!' || c == '_' || c == '*' || c == '#' ||
                   c == '$' ||
                   (IsVendorPrefix(c) && i + 2 < s.size() && IsLetter(Upper(s[i + 1])) &&
                    IsLetter(Upper(s[i + 2])))) {
            // Extended syntax: a name and its arguments up to ';'. Makers use other prefixes
            // for their own (^SYSCFG, !SCACT, $NWRAT, #CID, *E2NAP); only \ % - also begin a
            // basic command of one letter and a number (\N3, %C1, -V90=1), and read as one
            // when a digit follows the letter.
            command.kind = AtCommand::Kind::Extended;
            command.prefix = c;
            std::size_t j = i + 1;
            bool quoted = false;
            while (j < s.size() && (quoted || s[j] != ';')) {
                quoted = s[j] == '"' ? !quoted : quoted;
                ++j;
            }
            command.value = s.substr(i + 1, j - i - 1);
            i = j < s.size() ? j + 1 : j;
        } else if (c == '&' || IsVendorPrefix(c)) {
            if (i + 1 >= s.size() || !IsLetter(Upper(s[i + 1]))) {
                if (lenient) {
                    ++i;
                    continue;
                }
                return stop();
            }
            command.prefix = c;
            command.letter = Upper(s[i + 1]);
            i += 2;
            command.number = ReadNumber(s, i);
            if (c == '&' && command.letter == 'Z' && i < s.size() && s[i] == '=') {
                command.kind = AtCommand::Kind::StoreNumber;
                command.value = s.substr(i + 1);
                i = s.size();
            } else {
                command.kind = AtCommand::Kind::Prefixed;
                if (i < s.size() && s[i] == '?') {
                    command.query = true;
                    ++i;
                } else if (i + 1 < s.size() && s[i] == '=' && IsDigit(s[i + 1])) {
                    command.assign = true;  // vendor commands such as -V90=1
                    ++i;
                    command.value = std::to_string(ReadNumber(s, i));
                }
            }
        } else if (IsLetter(c)) {
            command.kind = AtCommand::Kind::Basic;
            command.letter = c;
            ++i;
            command.number = ReadNumber(s, i);
            if (i < s.size() && s[i] == '?') {
                command.query = true;
                ++i;
            }
        } else {
            return stop();
        }
        line.commands.push_back(std::move(command));
    }
    return line;
}

}  // namespace kestrine::driver
