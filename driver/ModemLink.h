#pragma once
// The modem side of the dial blocker: the only writer of what the modem hears.
//
// It brings the modem to a configuration of its own and reads the answers before anything of
// the program's reaches it - at attach, after every reset the program asks for, after a
// maker's command nobody here knows, after a hang-up and after a reopen:
//   hang up (DTR drop), Escape (ends a message prompt left open), then
//   ATE0V1Q0S3=13S4=10S5=8   required: no echo, verbose results, CR LF framing, CR ends lines
//   AT&D2                    DTR drop hangs up (where the modem takes it)
//   ATS2=128, ATS2?          escape sequence off, read back
//   AT+CMEE=1                numeric extended errors
//   AT+CMGF?, AT+CSCS?       a mobile modem: its message format and character set
// A modem that does not answer OK to the required line is "not answering": every line of the
// program is refused (ERROR, a dial NO CARRIER) and the configuration is tried again every few
// seconds.
//
// Then one command at a time: Send() writes "AT<command>\r" only while Ready(), and the next
// can be sent only after the modem's final result for it (OK, CONNECT..., NO CARRIER, ERROR,
// BUSY, NO DIALTONE, NO ANSWER, +CME ERROR, +CMS ERROR), or after it is given up (a time
// limit; the link then hangs up and configures anew). Lines the modem prints meanwhile are its
// information text; lines while nothing is outstanding, and the line after a +CMT/+CBM/+CDS
// header, are unsolicited. A line that starts with "AT" is an echo, which a configured modem
// does not give: the configuration is set anew after the command.
//
// Data mode begins only with a CONNECT that is the final result of a command the blocker sent
// as a call (dial, answer, packet data); it ends at NO CARRIER anywhere in what the
// modem sends, or at the blocker's own hang-up. A far end that sends "NO CARRIER" ends it here
// while the modem stays online: the blocker is then stricter than needed (its lines go to the
// far end), never laxer.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/DialJudge.h"

namespace kestrine::driver {

class ModemLink {
public:
    using Clock = std::chrono::steady_clock;

    // What the link does to the modem, in order.
    struct Op {
        enum class Kind { Write, HangUp };
        Kind kind;
        std::string bytes;
        bool data = false;  // a call's data, passed as it came
    };
    // What the modem said, for the program's side.
    struct Event {
        enum class Kind {
            Info,         // information text of the outstanding command
            Final,        // its final result (text as the modem worded it)
            Prompt,       // "> ": the message content may follow
            Unsolicited,  // RING, +CMTI, ... (a line of its own)
            Data,         // data mode bytes, as they came
            DataEnded,    // NO CARRIER (or the blocker's hang-up) ended data mode
            Ready,        // configured: commands may be sent
            NotAnswering  // the configuration was not answered
        };
        Kind kind;
        std::string text;
    };

    // `settle`: how long DTR stays down, and the modem is left alone, after a hang-up.
    explicit ModemLink(Clock::duration settle = {}) : settle_(settle) {}

    // Configure anew; first hang up (attach, reopen, lost step) unless `hangUp` is false (a
    // reset or a maker's command the modem just ran: a call it keeps is its own business).
    void Restart(Clock::time_point now, std::vector<Op>& ops, bool hangUp = true);
    // One command; `call`: its CONNECT enters data mode. Only while Ready().
    void Send(const std::string& command, Effect effect, Clock::time_point now,
              std::vector<Op>& ops);
    // After a Prompt: the checked content, ended by Ctrl-Z.
    void SendContent(const std::string& content, Clock::time_point now, std::vector<Op>& ops);
    // A key from the program while a call is being placed: the modem gives the dial up.
    void AbortCall(std::vector<Op>& ops);
    // Data mode bytes of the program.
    void SendData(std::string_view bytes, std::vector<Op>& ops);
    // The blocker hangs up a call (ATH in online command state): DTR drop, then configure.
    void HangUp(Clock::time_point now, std::vector<Op>& ops) { Restart(now, ops, true); }

    void FromModem(std::string_view bytes, Clock::time_point now, std::vector<Op>& ops,
                   std::vector<Event>& events);
    void Tick(Clock::time_point now, std::vector<Op>& ops, std::vector<Event>& events);
    std::optional<Clock::time_point> Deadline() const { return deadline_; }

    bool Ready() const { return state_ == State::Ready; }
    bool Answering() const { return state_ != State::NotAnswering; }
    bool InData() const { return state_ == State::Data; }
    bool Outstanding() const { return state_ == State::Busy || state_ == State::Prompt; }
    Effect OutstandingEffect() const { return effect_; }
    // The modem's escape sequence is still on (it refused S2=128): its escape character.
    std::optional<char> LiveEscape() const { return liveEscape_; }
    ModemRecord& Record() { return record_; }
    const ModemRecord& Record() const { return record_; }
    // The modem asked for the configuration to be set again once the outstanding command ends.
    bool ConfigurationSuspect() const { return suspect_; }

private:
    enum class State { Settling, Configuring, Ready, Busy, Prompt, Data, NotAnswering };
    void ConfigStep(Clock::time_point now, std::vector<Op>& ops);
    void Line(const std::string& line, Clock::time_point now, std::vector<Op>& ops,
              std::vector<Event>& events);
    void ConfigLine(const std::string& line, bool final, Clock::time_point now,
                    std::vector<Op>& ops, std::vector<Event>& events);
    static bool IsFinal(const std::string& line);

    Clock::duration settle_;
    State state_ = State::Settling;
    Effect effect_ = Effect::None;
    std::optional<Clock::time_point> deadline_;
    std::size_t step_ = 0;
    std::string partial_;
    bool bodyNext_ = false;
    bool lineFeedDue_ = false;  // a line ended with CR: an LF next is its framing  // the next line is a message's body, never a result
    bool suspect_ = false;
    std::optional<char> liveEscape_;
    ModemRecord record_;
    ModemRecord fresh_;  // what the configuration is learning
    std::string tail_;   // data mode: the last bytes, to find NO CARRIER across reads
};

}  // namespace kestrine::driver
