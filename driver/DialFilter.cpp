#include "driver/DialFilter.h"

#include <algorithm>

#include "driver/AtCommand.h"

namespace kestrine::driver {

namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDialDigit(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+' || (c >= 'A' && c <= 'D');
}

// Dial modifiers and separators that do not change the number.
bool IsIgnorable(char c) {
    return c == 'T' || c == 'P' || c == 'W' || c == ',' || c == '@' || c == 'R' || c == '^' ||
           c == '$' || c == '&' || c == '(' || c == ')' || c == '-' || c == '.' || c == ' ';
}

struct Dial {
    bool provable = true;
    std::string number;    // normalised, prefix included
    std::string reported;  // what the event names
};

// What a dial string dials, given the digits already dialled with ';' and this port's record.
Dial ResolveDial(const std::string& value, const std::string& prefix, const std::string& lastNumber,
                 const std::map<int, std::string>& stored) {
    Dial dial;
    dial.number = prefix;
    std::string special;  // L or S=n, with nothing else that dials
    std::size_t i = 0;
    while (i < value.size()) {
        const char c = Upper(value[i]);
        if (IsDialDigit(c)) {
            dial.number.push_back(c);
            ++i;
        } else if (c == 'L' && special.empty()) {
            special.assign(1, 'L');
            ++i;
        } else if (c == 'S' && special.empty()) {
            std::size_t j = i + 1;
            if (j < value.size() && value[j] == '=') {
                ++j;
            }
            const std::size_t digits = j;
            while (j < value.size() && value[j] >= '0' && value[j] <= '9' && j - digits < 3) {
                ++j;
            }
            special = "S=" + (j > digits ? value.substr(digits, j - digits) : std::string("0"));
            i = j;
        } else if (IsIgnorable(c)) {
            ++i;
        } else if (c == '!' || c == '>' || c == '"' || c == 'L' || c == 'S') {
            dial.provable = false;  // hook flash, phonebook, quoted, or a second special form
            ++i;
        } else {
            ++i;  // other characters are not dialled
        }
    }
    if (!special.empty()) {
        if (dial.number.size() != prefix.size()) {
            dial.provable = false;  // digits mixed with a redial or stored number
        } else if (special == "L") {
            if (lastNumber.empty()) {
                dial.provable = false;
            } else {
                dial.number += lastNumber;
            }
        } else {
            const auto it = stored.find(std::stoi(special.substr(2)));
            const bool plain =
                it != stored.end() && it->second.find_first_of(";!>LlSs\"") == std::string::npos;
            if (plain && !NormaliseNumber(it->second).empty()) {
                dial.number += NormaliseNumber(it->second);
            } else {
                dial.provable = false;
            }
        }
        dial.reported = dial.provable ? dial.number : prefix + special;
    } else {
        dial.reported = dial.number;
    }
    if (dial.reported.empty()) {
        dial.reported = NormaliseNumber(value).empty() ? value : NormaliseNumber(value);
    }
    return dial;
}

}  // namespace

std::string DialFilter::Reply(const char* verbose, char numeric) const {
    if (quiet_) {
        return {};
    }
    return verbose_ ? std::string("\r\n") + verbose + "\r\n" : std::string(1, numeric) + "\r";
}

DialFilter::Verdict DialFilter::Check(std::string_view line, bool apply) {
    Verdict verdict;
    const auto at = FindAtPrefix(line);
    if (at == std::string_view::npos) {
        if (apply) {
            awaitingConnect_ = false;  // a modem drops a dial in progress at any key
        }
        return verdict;  // no command in it: the modem ignores the line
    }
    const AtLine parsed = ParseAtCommands(line.substr(at));

    // Effects are worked out on copies and kept only when the whole line may pass.
    std::string prefix = prefix_;
    std::string lastNumber = lastNumber_;
    auto stored = stored_;
    char terminator = terminator_, backspace = backspace_, escape = escape_;
    bool echo = echo_, verbose = verbose_, quiet = quiet_;
    bool awaiting = false;
    auto flag = [](const AtCommand& c) { return c.number > 0; };
    for (const auto& command : parsed.commands) {
        switch (command.kind) {
            case AtCommand::Kind::Dial: {
                const Dial dial = ResolveDial(command.value, prefix, lastNumber, stored);
                const bool allowed =
                    dial.provable && (command.continued ? allowed_.LeadsToAllowed(dial.number)
                                                        : allowed_.Allows(dial.number));
                if (!allowed) {
                    return {false, dial.reported};
                }
                if (command.continued) {
                    prefix = dial.number;
                } else {
                    lastNumber = dial.number;
                    prefix.clear();
                    awaiting = true;
                }
                break;
            }
            case AtCommand::Kind::Register:
                if (command.assign) {
                    const char value = static_cast<char>(std::stoi(command.value) & 0xFF);
                    if (command.number == 3) {
                        terminator = value;
                    } else if (command.number == 5) {
                        backspace = value;
                    } else if (command.number == 2) {
                        escape = value;
                    }
                }
                break;
            case AtCommand::Kind::StoreNumber:
                stored[std::max(command.number, 0)] = command.value;
                break;
            case AtCommand::Kind::Prefixed:
                if (command.prefix == '&' && command.letter == 'F') {
                    terminator = '\r', backspace = '\b', escape = '+';
                    echo = verbose = true, quiet = false;
                }
                break;
            case AtCommand::Kind::Basic:
                switch (command.letter) {
                    case 'E':
                        echo = flag(command);
                        break;
                    case 'V':
                        verbose = flag(command);
                        break;
                    case 'Q':
                        quiet = flag(command);
                        break;
                    case 'H':
                        prefix.clear();
                        break;
                    case 'A':
                    case 'O':
                        awaiting = true;
                        break;
                    case 'Z':
                        terminator = '\r', backspace = '\b', escape = '+';
                        echo = verbose = true, quiet = false;
                        prefix.clear();
                        break;
                    default:
                        break;
                }
                break;
            case AtCommand::Kind::Extended:
                // +CDV is a dial by another name (voice dial on mobile modems).
                if (command.value.size() >= 3 && (command.value[0] | 0x20) == 'c' &&
                    (command.value[1] | 0x20) == 'd' && (command.value[2] | 0x20) == 'v') {
                    const Dial dial =
                        ResolveDial(command.value.substr(3), prefix, lastNumber, stored);
                    if (!dial.provable || !allowed_.Allows(dial.number)) {
                        return {false, dial.reported};
                    }
                    lastNumber = dial.number;
                    prefix.clear();
                }
                break;
        }
    }
    if (!parsed.complete) {
        // Something the parser does not know; if a dial may hide behind it, refuse (fail closed).
        const auto d = parsed.rest.find_first_of("Dd");
        if (d != std::string::npos) {
            const auto digits = NormaliseNumber(parsed.rest.substr(d + 1));
            return {false, prefix + (digits.empty() ? parsed.rest : digits)};
        }
    }
    if (apply) {
        prefix_ = prefix;
        lastNumber_ = lastNumber;
        stored_ = std::move(stored);
        terminator_ = terminator, backspace_ = backspace, escape_ = escape;
        echo_ = echo, verbose_ = verbose, quiet_ = quiet;
        awaitingConnect_ = awaiting;
        lastLine_ = std::string(line);
    }
    return verdict;
}

void DialFilter::Refuse(const std::string& echo, const std::string& number,
                        std::vector<Action>& actions) {
    if (echo_ && !echo.empty()) {
        actions.push_back({Action::Kind::ToProgram, echo});
    }
    // The report is shown and logged as text: no zero bytes (they would cut it), no line ends.
    std::string shown;
    for (const char c : number) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
            shown.push_back(c);
        }
    }
    actions.push_back({Action::Kind::Blocked, std::move(shown)});
    if (auto reply = Reply("NO CARRIER", '3'); !reply.empty()) {
        actions.push_back({Action::Kind::ToProgram, std::move(reply)});
    }
}

void DialFilter::Forward(std::string bytes, std::vector<Action>& actions) {
    echoPending_ = bytes;
    if (!actions.empty() && actions.back().kind == Action::Kind::ToModem) {
        actions.back().bytes += bytes;
    } else {
        actions.push_back({Action::Kind::ToModem, std::move(bytes)});
    }
}

void DialFilter::EndOfLine(std::vector<Action>& actions) {
    const std::string terminator(1, terminator_);
    if (overlong_) {
        if (auto reply = Reply("ERROR", '4'); !reply.empty()) {
            actions.push_back({Action::Kind::ToProgram, std::move(reply)});
        }
    } else {
        const std::string line = edited_;
        const Verdict verdict = Check(line, true);
        if (verdict.allowed) {
            Forward(line + terminator, actions);
        } else {
            Refuse(raw_ + terminator, verdict.reported, actions);
        }
    }
    raw_.clear();
    edited_.clear();
    overlong_ = false;
}

void DialFilter::Repeat(std::vector<Action>& actions) {
    const std::string line = lastLine_;
    const Verdict verdict = Check(line, true);
    if (verdict.allowed) {
        Forward(edited_, actions);
    } else {
        Refuse(raw_, verdict.reported, actions);
    }
    raw_.clear();
    edited_.clear();
    overlong_ = false;
}

bool DialFilter::PassesUnseen(std::string_view bytes) {
    if (!dataMode_ || bytes.find(escape_) != std::string_view::npos) {
        return false;
    }
    if (!bytes.empty()) {
        pluses_ = 0;
        echoPending_.clear();
    }
    return true;
}

void DialFilter::FromProgram(std::string_view bytes, std::vector<Action>& actions) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (dataMode_) {
            // Data passes at once; an escape sequence hands the stream back to the checks.
            const std::size_t start = i;
            for (; i < bytes.size(); ++i) {
                if (bytes[i] == escape_) {
                    if (++pluses_ == 3) {
                        break;
                    }
                } else {
                    pluses_ = 0;
                }
            }
            const std::size_t end = std::min(i + 1, bytes.size());
            Forward(std::string(bytes.substr(start, end - start)), actions);
            echoPending_.clear();
            if (pluses_ == 3) {
                dataMode_ = false;
                pluses_ = 0;
                awaitingConnect_ = false;
                response_.clear();
            }
            continue;
        }
        const char c = bytes[i];
        if (c == terminator_) {
            EndOfLine(actions);
            continue;
        }
        if (raw_.size() < 4 * kMaxLine) {
            raw_.push_back(c);
        } else {
            overlong_ = true;
        }
        if (c == backspace_) {
            if (!edited_.empty()) {
                edited_.pop_back();
            }
            continue;
        }
        if (edited_.empty() && (c == '\n' || c == '\0')) {
            continue;  // the rest of a CR LF pair, or line noise
        }
        if (edited_.size() >= kMaxLine) {
            overlong_ = true;
            continue;
        }
        edited_.push_back(c);
        if (c == '/' && !overlong_ && FindRepeat(edited_) != std::string::npos) {
            Repeat(actions);
        } else if (edited_.size() == 3 && edited_.find_first_not_of(escape_) == std::string::npos) {
            // An escape sequence on its own waits for no terminator: a modem that is still
            // online needs it now, and one in command mode ignores it (no "AT" in it).
            Forward(edited_, actions);
            raw_.clear();
            edited_.clear();
        }
    }
}

void DialFilter::ResponseLine(const std::string& line) {
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
        return;
    }
    const std::string text = line.substr(first);
    if (!awaitingConnect_) {
        return;
    }
    if (text.rfind("CONNECT", 0) == 0) {
        dataMode_ = true;
    } else if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
               text.size() <= 3) {
        const int code = std::stoi(text);
        if (code == 1 || code == 5 || code >= 9) {
            dataMode_ = true;
        } else if (code != 0 && code != 2) {
            awaitingConnect_ = false;
        }
        return;
    } else if (text == "NO CARRIER" || text == "BUSY" || text == "NO DIALTONE" ||
               text == "NO DIAL TONE" || text == "NO ANSWER" || text == "ERROR") {
        awaitingConnect_ = false;
        return;
    } else {
        return;
    }
    awaitingConnect_ = false;
    pluses_ = 0;
    tail_.clear();
}

void DialFilter::FromModem(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (dataMode_) {
            // A lost carrier puts the modem back in command mode: so must the checks. The text may
            // straddle two reads, hence the kept tail; numeric NO CARRIER follows the last data
            // byte directly, so any "3<CR>" counts.
            const std::string_view rest = bytes.substr(i);
            const std::string edge = tail_ + std::string(rest.substr(0, kTail));
            auto seen = [&](std::string_view text) {
                return edge.find(text) != std::string::npos ||
                       rest.find(text) != std::string_view::npos;
            };
            if (seen("NO CARRIER") || (!verbose_ && seen("3\r"))) {
                HangUp();
            } else {
                const std::string_view last = rest.size() >= kTail ? rest : std::string_view(edge);
                tail_ = std::string(last.substr(last.size() - std::min(last.size(), kTail)));
            }
            return;
        }
        const char c = bytes[i];
        // The modem's echo of the line just forwarded is not a response.
        if (!echoPending_.empty()) {
            if (c == echoPending_.front()) {
                echoPending_.erase(0, 1);
                continue;
            }
            echoPending_.clear();
        }
        if (c == '\r' || c == '\n') {
            if (!response_.empty()) {
                const std::string line = std::move(response_);
                response_.clear();
                ResponseLine(line);
            }
        } else if (response_.size() < 80) {
            response_.push_back(c);
        }
    }
}

void DialFilter::HangUp() {
    dataMode_ = false;
    awaitingConnect_ = false;
    prefix_.clear();
    pluses_ = 0;
    tail_.clear();
    response_.clear();
    echoPending_.clear();
    raw_.clear();
    edited_.clear();
    overlong_ = false;
}

}  // namespace kestrine::driver
