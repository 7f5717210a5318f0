#pragma once
// The program's side of the dial blocker: the dialogue as the program hears it. The program's
// echo (E), result form (V), quiet mode (Q), dial mode (T, P), escape character (S2), line end
// (S3), line feed (S4), editing character (S5), escape guard time (S12), DTR behaviour (&D) and
// extended errors (+CMEE) are kept here and never sent to the modem, which keeps the blocker's own
// configuration (ModemLink.h).
//
// A command line is read as V.250 says a modem reads it: everything before "AT" (any case) is
// ignored, "A/" repeats the last line at once, S5 edits, S3 ends the line; the 8th bit is
// cleared (the parity of a 7-bit line) and control characters are dropped. A line longer than
// kMaxLine is answered ERROR.
#include <cstddef>
#include <string>

#include "driver/AtCommand.h"

namespace kestrine::driver {

struct ProgramSettings {
    bool echo = true;
    bool verbose = true;
    bool quiet = false;
    unsigned char s2 = '+';
    unsigned char s3 = '\r';
    unsigned char s4 = '\n';
    unsigned char s5 = '\b';
    unsigned char s12 = 50;  // 1/50 s
    int dtr = 2;
    bool pulse = false;  // ATP: dials without T or P are pulse-dialled
    int cmee = 0;
};

class ProgramSide {
public:
    static constexpr std::size_t kMaxLine = 255;
    enum class Got { None, Line, Repeat, Overflow };

    // One byte of a command line; the echo goes to `echo`, a finished line (what follows "AT")
    // to `line`.
    Got Feed(char byte, std::string& echo, std::string& line);
    void Clear();
    std::size_t Held() const { return line_.size(); }

    // A command the blocker keeps (E V Q T P S2-S5 S12 &D +CMEE); false where its value is out of
    // range. A query's answer is appended to `info` as information text.
    bool ApplyLocal(const AtCommand& command, std::string& info);
    // Z, &F: the factory settings.
    void Reset() { settings = ProgramSettings{}; }

    // A final result worded by the modem ("OK", "CONNECT 33600", "+CME ERROR: 3") as the
    // program's settings ask for it.
    std::string Final(const std::string& word) const;
    std::string Info(const std::string& text) const;
    std::string Prompt() const;

    ProgramSettings settings;

private:
    enum class State { Idle, SawA, InLine };
    State state_ = State::Idle;
    std::string line_;
    bool overflow_ = false;
};

}  // namespace kestrine::driver
