#pragma once
// A small Hayes-compatible modem for demonstrations and tests, good enough for real dialling
// programs: AT, Z, &F, E, V, Q, H, I, O, A, Sn=v, Sn?, D (any number: "CONNECT 33600"), extended
// and other prefixed commands are accepted; anything else is ERROR. Once connected, it is a
// loop-back line: every byte comes back. "+++" with guard time (S12, in 1/50 s) on both sides
// returns to command mode ("OK"); O goes back online, H hangs up. Losing the line (B0, or the
// program closing the port) hangs up.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestrine::driver {

class VirtualModem {
public:
    using Clock = std::chrono::steady_clock;

    VirtualModem() { Reset(); }

    // Bytes from the program; returns the modem's answer.
    std::string Input(std::string_view bytes, Clock::time_point now);
    // Runs what is due at `now` (the guard time after "+++").
    std::string Tick(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const { return escapeAt_; }
    // DTR dropped: hangs up; `report` says whether the program can still hear "NO CARRIER".
    std::string HangUp(bool report);

    bool Online() const { return online_; }
    bool CallUp() const { return callUp_; }

private:
    void Reset();
    std::string Execute(const std::string& line);
    std::string Result(const char* verbose, int numeric) const;
    Clock::duration Guard() const { return std::chrono::milliseconds(20 * registers_[12]); }

    unsigned char registers_[256];
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    bool online_ = false;  // data mode
    bool callUp_ = false;  // a call exists (online, or escaped to command mode)
    std::string line_;
    std::string lastLine_;
    // Escape detection in data mode.
    Clock::time_point lastByte_{};
    int pluses_ = 0;
    std::optional<Clock::time_point> escapeAt_;
};

}  // namespace kestrine::driver
