#pragma once
// The dial blocker: sits between a dialling program and its modem and refuses dials of numbers
// that are not on the allowed list.
//
// In command mode the program's bytes are held until the line terminator (S3), with backspace
// (S5) editing applied; the edited line is then checked and either forwarded or refused. "A/"
// repeats the last forwarded line at once. A line is refused when any dial in it:
//   - dials a number that is not allowed (after NormaliseNumber), or - ended with ';' - a
//     number that no allowed number begins with (the next dial continues it);
//   - redials (L) a number that is not allowed, or that this port never dialled;
//   - dials a stored number (S=n) not stored through this port with &Z, or one that is not allowed;
//   - dials from a phonebook (>) or contains a hook flash (!);
//   - voice-dials (+CDV) a number that is not allowed;
//   - or the line cannot be parsed past a point after which a D appears.
// A refused line is not forwarded at all: the program gets the echo of the line (when echo is
// on) and NO CARRIER as the modem would word it (ATV, ATQ), and the number is reported.
// Lines longer than kMaxLine are answered ERROR and never forwarded.
//
// After CONNECT from the modem the port is in data mode: bytes pass at once, and "+++" (with or
// without guard time) or NO CARRIER from the modem return to command-mode checking.
//
// Limits: the modem's return to command mode is seen from its result codes, and where they are
// ambiguous the checks come back on rather than stay off. With ATV0 any "3<CR>" (NO CARRIER) in
// the modem's data ends data mode; with ATQ1 the modem reports no CONNECT, so the checks stay on
// for the whole call. A "+++" inside data also switches them on although the modem (lacking the
// guard time) stays online. In these cases the session's data is held line by line, which slows
// or stalls it but lets nothing pass unchecked.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"

namespace kestrine::driver {

class DialFilter {
public:
    static constexpr std::size_t kMaxLine = 255;
    static constexpr std::size_t kTail = 16;  // longer than any result text looked for in data

    struct Action {
        enum class Kind { ToModem, ToProgram, Blocked };
        Kind kind;
        std::string bytes;  // Blocked: the number as dialled
    };

    explicit DialFilter(const AllowList& allowed) : allowed_(allowed) {}

    // Bytes the program wrote; appends what to do with them, in order.
    void FromProgram(std::string_view bytes, std::vector<Action>& actions);
    // In data mode, bytes without an escape character need no look: true when `bytes` may go to
    // the modem as they are (the filter has taken note of them), false to use FromProgram.
    bool PassesUnseen(std::string_view bytes);
    // Bytes the modem sent to the program (they pass unchanged; the filter only watches them).
    void FromModem(std::string_view bytes);
    // The line was hung up (B0, last close): back to command mode, nothing continued.
    void HangUp();

    bool InDataMode() const { return dataMode_; }
    // Bytes held of an unfinished command line.
    std::size_t Held() const { return raw_.size(); }

private:
    struct Verdict {
        bool allowed = true;
        std::string reported;
    };
    void EndOfLine(std::vector<Action>& actions);
    void Repeat(std::vector<Action>& actions);
    // Checks a line (without its terminator) and, when it may pass, applies its effects.
    Verdict Check(std::string_view line, bool apply);
    void Refuse(const std::string& echo, const std::string& number, std::vector<Action>& actions);
    void Forward(std::string bytes, std::vector<Action>& actions);
    std::string Reply(const char* verbose, char numeric) const;
    void ResponseLine(const std::string& line);

    const AllowList& allowed_;
    bool dataMode_ = false;
    std::string raw_;     // as typed, for the echo of a refused line
    std::string edited_;  // after editing
    bool overlong_ = false;
    char terminator_ = '\r';
    char backspace_ = '\b';
    char escape_ = '+';
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    std::string lastLine_;               // the last command line forwarded, for A/
    std::string lastNumber_;             // the last number dialled to the end, for L
    std::string prefix_;                 // digits dialled so far with ';'
    std::map<int, std::string> stored_;  // &Zn= numbers forwarded through this port
    bool awaitingConnect_ = false;
    int pluses_ = 0;
    std::string response_;     // modem output of the current line (command mode)
    std::string tail_;         // last modem bytes in data mode, to find NO CARRIER across reads
    std::string echoPending_;  // what the modem will echo of the line just forwarded
};

}  // namespace kestrine::driver
