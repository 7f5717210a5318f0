#pragma once
// A small Hayes-compatible modem for demonstrations and tests, good enough for real dialling
// programs. It runs a line at S3 and edits with S5; commands run left to right, and the first it
// cannot carry out (an unknown letter, a register or value out of range, a phonebook dial, a line
// longer than it holds) answers ERROR and leaves the rest of the line unrun. It knows E, V, Q, H,
// I, O, A, Z, &F, &W, &Zn=number, Sn=v, Sn?, and D with digits, L (redial), S=n (a stored
// number) and ';' (stay in command mode, off-hook, and continue the number with the next dial);
// A/ repeats the last line. Z restores what &W stored (or the factory settings), &F the factory
// settings. A dial connects ("CONNECT 33600") and the line is a loop-back: every byte comes back.
// "+++" with guard time (S12, in 1/50 s) on both sides returns to command mode ("OK"); O goes
// back online, H hangs up. Losing the line (B0, or the program closing the port) hangs up.
//
// It speaks enough of a mobile modem for tests and for trying by hand: +CMGF, +CMEE, +CSCA, a
// message with +CMGS in text mode (+CMGS="number") or PDU mode (+CMGS=length) after a "> "
// prompt, sent at Ctrl-Z ("+CMGS: <mr>", OK) or dropped at Escape, +CMGW and +CMSS for stored
// messages, and service codes with +CUSD="*100#" or ATD*100#, answered with a +CUSD line;
// ATD*99# (and the other packet-data dials, *98...# and *99...#) connects a data call.
// Commands are read in 7 bits, as a modem on a line with parity reads them.
//
// Real modems differ where the standard leaves room; Options gives a few of those differences,
// so that tests can hold the dial blocker against more than one modem.
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::driver {

class VirtualModem {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        bool lenient = false;              // skips what it does not know instead of ERROR
        bool resetsKeepFraming = false;    // Z and &F leave S2, S3 and S5 as they are
        bool redialsLastDialOnly = false;  // L: the last D's digits, not the whole call
        Clock::duration dialTime{};        // a dial takes this long; any byte meanwhile aborts it
        bool busy = false;                 // every dial ends BUSY instead of connecting
        bool landline = false;             // no mobile command set: +C commands are ERROR
    };
    // A number the modem dialled (the whole call so far, digits dialled with ';' before
    // included; `continued` when it ended with ';'), sent a message to, or sent as a service
    // code.
    struct Dialled {
        enum class Kind { Call, Message, Code };
        std::string number;
        bool continued;
        Kind kind = Kind::Call;
    };

    VirtualModem() : VirtualModem(Options{}) {}
    explicit VirtualModem(Options options);

    // Bytes from the program; returns the modem's answer.
    std::string Input(std::string_view bytes, Clock::time_point now);
    // Runs what is due at `now` (the guard time after "+++", a dial's end).
    std::string Tick(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;
    // DTR dropped: hangs up; `report` says whether the program can still hear "NO CARRIER".
    std::string HangUp(bool report);

    bool Online() const { return online_; }
    bool CallUp() const { return callUp_; }
    const std::vector<Dialled>& Calls() const { return calls_; }

private:
    struct Profile {
        unsigned char registers[256];
        bool echo, verbose, quiet;
    };
    void Restore(const Profile& profile);
    Profile Current() const;
    std::string Execute(const std::string& line, Clock::time_point now);
    // Dials `value`; returns the answer that ends the line (empty while a dial takes its time),
    // or nothing when the line goes on (';').
    std::optional<std::string> Dial(const std::string& value, bool continued,
                                    Clock::time_point now);
    std::string Result(const char* verbose, int numeric) const;
    std::string Info(const std::string& text) const;
    std::string Prompt() const;
    // A mobile command; nothing when the line goes on, else its answer (it ends the line).
    std::optional<std::string> Mobile(const std::string& command);
    std::string MessageInput(char c);
    Clock::duration Guard() const { return std::chrono::milliseconds(20 * registers_[12]); }

    Options options_;
    Profile factory_;
    std::optional<Profile> stored_;  // &W
    unsigned char registers_[256];
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    bool online_ = false;  // data mode
    bool callUp_ = false;  // a call exists (online, or escaped to command mode)
    std::string line_;
    bool overflow_ = false;
    std::string lastLine_;
    std::string prefix_;                  // digits dialled with ';' in this call
    std::string lastNumber_;              // for L
    std::map<int, std::string> numbers_;  // &Zn
    std::vector<Dialled> calls_;
    // Mobile.
    int cmgf_ = 0;
    int cmee_ = 0;
    std::string centre_ = "+447700900999";
    struct Message {
        std::string to;
        std::string text;  // as typed: text, or a PDU in hex
        bool pdu = false;
        int length = 0;
    };
    std::map<int, Message> storedMessages_;
    enum class Taking { None, Send, Write };
    Taking taking_ = Taking::None;  // a message, after the "> " prompt
    Message message_;
    int reference_ = 0;
    // A dial in progress: when it is over.
    std::optional<Clock::time_point> dialEnd_;
    // Escape detection in data mode.
    Clock::time_point lastByte_{};
    int pluses_ = 0;
    std::optional<Clock::time_point> escapeAt_;
};

}  // namespace kestrine::driver
