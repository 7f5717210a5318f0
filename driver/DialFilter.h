#pragma once
// The dial blocker: sits between a dialling program and its modem, and owns the dialogue
// between them. Its one promise: a number that is not allowed never reaches the modem,
// whatever bytes the program writes.
//
// The rule that keeps it: the modem hears only lines the blocker wrote, in a configuration the
// blocker set and read back. It does not watch the program's bytes go by and guess what the
// modem makes of them; it ends the program's dialogue and starts its own:
//   - ProgramSide.h reads the program's bytes as a modem would (its own S3, S5, 8th bit
//     cleared, control characters dropped), echoes and words every answer as the program's
//     settings ask; those settings are never sent to the modem.
//   - AtCommand.h is the one grammar. A line it cannot read is answered ERROR; nothing of it
//     is sent.
//   - DialJudge.h decides each command from its parsed form and from what the modem confirmed
//     (ModemRecord): forward (re-encoded), keep (the program's settings), refuse or ERROR.
//     Before anything of a line is sent, the whole line is judged; a refused command refuses
//     the line. Each command is judged again just before it is sent, against the record as it
//     stands then.
//   - ModemLink.h writes "AT<command>\r", one command at a time, the next only after the
//     modem's final result; it configured the modem first (no echo, verbose results, CR LF,
//     escape sequence off) and configures it again after resets, a maker's command, a hang-up
//     and a reopen.
//
// Proof sketch. The modem's command interpreter receives only (a) the configuration lines,
// (b) "AT" + a judged canonical command + CR, (c) message content after the modem's own "> "
// prompt, checked first and ended by the blocker's own Ctrl-Z, (d) a CR to abort a call being
// placed, (e) data-mode bytes. (a)-(d) carry no dial the judge did not allow: a canonical
// command holds only characters the judge emitted, one command per line, nothing the program
// typed that the grammar did not read; outside quotes it holds a D only where the judge allowed
// a dial or in a name that holds one (DialJudge.h), so even a modem that reads a command only as
// far as it knows it and runs the rest as commands finds no other dial; and dial strings stay
// within a modem's buffer (kMaxDialString). Message content goes only behind the modem's own
// "> " at the start of a line, the answer to the command just sent. For
// (e): the blocker passes bytes only in data mode, which it enters on a CONNECT that is the
// modem's final result to a call it sent, and leaves at NO CARRIER anywhere in the modem's
// bytes (ModemLink.h); the modem's own escape is switched off (S2=128, read back), so the
// program cannot bring the modem to command mode from data mode; the program's escape is the
// blocker's (online command state, below). Where the modem keeps its escape on (it refused
// S2=128), three of its escape character in a row are never passed: they end data mode here.
//
// Modes of the program's side (mode_), and what moves between them:
//   Configuring   --modem answered the configuration-->  Command
//   Configuring   --it did not-->                       NotAnswering (retried every 5 s)
//   NotAnswering  --it answers-->                       Command
//   Command       --a line to send-->                   Executing
//   Executing     --final result, line done-->          Command (held input then read)
//   Executing     --+CMGS/+CMGW/+CMGC: own "> "-->      MessageText
//   MessageText   --Ctrl-Z: judged and sent, or refused--> Executing / Command
//   Executing     --CONNECT to a call it sent-->        Data
//   Data          --program's escape (S2, S12)-->       OnlineCommand (the modem stays online)
//   OnlineCommand --O-->  Data;   --H--> Executing (hang-up, configure) --> Command
//   Data, OnlineCommand --NO CARRIER-->                 Command
//   any           --program hangs up (B0, last close)--> Configuring (hang-up, configure)
// While Executing or Configuring the program's bytes are held (bounded) and read as soon as
// the line is done; a byte during a call being placed aborts it, as it would at a modem.
// NotAnswering refuses every line: ERROR, a dial NO CARRIER (a number not allowed is still
// reported as refused).
//
// What is refused, and how it is answered (after the echo, as the program's settings word it):
//   - a dial (D, +CDV, +CDU) of a number that is not allowed: NO CARRIER. L redials and S=n
//     dials a stored number only from the record (what this blocker sent and the modem took),
//     re-encoded as the number itself; > (phonebook), ! (hook flash) and quoted dial strings
//     are refused. A dial ended with ';' is sent only when its number is allowed itself; one
//     that merely leads to an allowed number is held here (OK to the program) and sent whole
//     with the dial that completes it, so no modem ever holds part of a number, whatever it
//     makes of ';' (on a mobile modem - it answered AT+CMGF? - ';' makes a voice call, and
//     nothing is held). A dial after a ';' the modem took must be allowed both as the call's
//     continuation and as a call of its own. Packet-data calls (*98...#, *99...#, +CGDATA) go
//     to the operator: passed.
//   - a text message (+CMGS, +CMGC) to a number that is not allowed, or a PDU that cannot be
//     read: +CMS ERROR: 302 (304), after the blocker's own prompt and the content up to
//     Ctrl-Z; only then does the modem get the command and, after its own prompt, the content.
//   - +CMSS without an allowed destination; +CUSD, +CCFC, +CTFR to codes or numbers that are
//     not allowed: +CMS ERROR: 302, +CME ERROR: 3.
//
// Limits. Data mode passes bytes: a modem that leaves data mode without saying NO CARRIER (or
// with a modem that cannot switch its escape off, one that escapes in another way than three of
// its escape character) could take data as commands. A modem that printed "> " at the start
// of a line in answer to +CMGS without taking text would read the content as commands. The
// makers' own commands are sent as written (DialJudge.h says what a modem that skips an
// unknown prefix character could make of them). Character sets other than GSM, IRA and
// UCS2 are not decoded: numbers in them are refused. A modem that does not take CR as its line
// end at attach (a stored profile with another S3) does not answer the configuration, and
// every dial on it is refused. The call held after ';' is forgotten when the modem answers H
// with OK; a mobile modem told to ignore H for voice calls (+CVHU=1) answers OK and keeps the
// call, so a dial allowed on its own could continue it: all it can reach is an allowed number
// followed by the digits of another (on a modem that continues a held call with a new dial).
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/DialJudge.h"
#include "driver/ModemLink.h"
#include "driver/ProgramSide.h"

namespace kestrine::driver {

class DialFilter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxLine = ProgramSide::kMaxLine;
    static constexpr std::size_t kMaxPending = 2 * kMaxLine;  // held while a line runs
    static constexpr std::size_t kMaxContent = 2 * kMaxLine;  // a message's content

    struct Action {
        enum class Kind {
            ToModem,      // bytes for the modem
            ToProgram,    // bytes for the program
            Blocked,      // a refusal to report: the number
            HangUpModem,  // drop DTR (the virtual modem: hang up)
            Notice        // something the driver's log should say
        };
        Kind kind;
        std::string bytes;
    };

    // `settle`: how long a hang-up takes at the modem (DTR down) before it is spoken to again.
    explicit DialFilter(const AllowList& allowed, Clock::duration settle = {})
        : allowed_(allowed), link_(settle) {}

    // The port is attached: hang up whatever call was left and configure the modem.
    void Attach(Clock::time_point now, std::vector<Action>& actions);
    // Bytes the program wrote.
    void FromProgram(std::string_view bytes, Clock::time_point now, std::vector<Action>& actions);
    // In data mode, bytes that need no look: true when they may go to the modem as they are.
    bool PassesUnseen(std::string_view bytes, Clock::time_point now);
    // Bytes the modem sent.
    void FromModem(std::string_view bytes, Clock::time_point now, std::vector<Action>& actions);
    void Tick(Clock::time_point now, std::vector<Action>& actions);
    std::optional<Clock::time_point> NextDeadline() const;
    // The program hung up (B0) or closed the port: hang up and configure anew.
    void HangUp(Clock::time_point now, std::vector<Action>& actions);

    bool InDataMode() const { return mode_ == Mode::Data; }
    bool ModemAnswers() const { return link_.Answering(); }
    // Program bytes held (an unfinished line, input waiting for a line to end, a message).
    std::size_t Held() const { return program_.Held() + pending_.size() + content_.size(); }

private:
    enum class Mode { Configuring, NotAnswering, Command, Executing, MessageText, Data, OnlineCommand };

    void Feed(char byte, Clock::time_point now);
    void ReadPending(Clock::time_point now);
    void DataFromProgram(std::string_view bytes, Clock::time_point now);
    void FlushEscape();
    void EnterOnlineCommand();
    void RunLine(const std::string& text, Clock::time_point now);
    void RunOnlineLine(const AtLine& line, Clock::time_point now);
    void RunPlan(Clock::time_point now);
    void Finish(const std::string& word, Clock::time_point now);
    void Refuse(const Verdict& verdict);
    void MessageByte(char c, Clock::time_point now);
    void Events(Clock::time_point now);
    void OnFinal(const std::string& word, Clock::time_point now);
    void Apply(std::vector<ModemLink::Op>& ops);
    void ToProgram(const std::string& bytes);

    const AllowList& allowed_;
    ProgramSide program_;
    ModemLink link_;
    Mode mode_ = Mode::Configuring;
    std::vector<Action>* actions_ = nullptr;  // of the call under way
    std::vector<ModemLink::Op> ops_;
    std::vector<ModemLink::Event> events_;

    std::string pending_;      // program bytes that came while a line ran
    std::string lastLine_;     // for A/
    std::deque<AtCommand> plan_;  // the rest of the line under way
    std::string lineFinal_ = "OK";
    std::string info_;
    Verdict current_;          // the command the modem is running
    bool aborted_ = false;     // a key aborted the call being placed
    bool resetProgram_ = false;
    // A message the program is typing after the blocker's prompt.
    MessageKind messageKind_ = MessageKind::None;
    ExtendedArgs messageArgs_;
    std::string content_;
    bool contentOverflow_ = false;
    bool swallow_ = false;  // a refused text message's text, dropped
    // Data mode: the program's escape (S2 three times, S12 guard times) and the modem's own.
    Clock::time_point lastData_{};
    std::string heldEscape_;
    int escapeRun_ = 0;
    int liveRun_ = 0;
    std::optional<Clock::time_point> escapeAt_;
    bool notAnsweringSaid_ = false;
};

}  // namespace kestrine::driver
