#pragma once
// The dial blocker: sits between a dialling program and its modem and refuses dials of numbers
// that are not on the allowed list. Its one promise: a number that is not allowed never reaches
// the modem, whatever bytes the program writes.
//
// What is refused. In command mode the program's bytes are held until they end a command line;
// the line is then checked and either forwarded whole or refused whole. A line is refused when
// any dial in it:
//   - dials a number that is not allowed (after NormaliseNumber), or - ended with ';' - a
//     number that no allowed number begins with (the next dial continues it);
//   - redials (L), dials a stored number (S=n) or is repeated (A/), unless every number the
//     modem may hold for it is allowed: one this port never saw stored or dialled is refused;
//   - dials from a phonebook (>) or contains a hook flash (!);
//   - voice-dials (+CDV) a number that is not allowed.
// A refused line is not forwarded at all: the program gets the echo of the line (when echo is
// on) and NO CARRIER as the modem would word it (ATV, ATQ), and the number is reported. Lines
// longer than kMaxLine are answered ERROR and never forwarded.
//
// Mobile modems (3GPP TS 27.005 and 27.007) spend money in more ways, and each counts as a call
// to a number that must be allowed (the same normalisation, * and # kept):
//   - a text message, AT+CMGS="<number>" in text mode (AT+CMGF=1): refused before the modem
//     prompts for the text, answered +CMS ERROR: 302 (ERROR where extended errors are off,
//     AT+CMEE=0); what the program goes on sending up to Ctrl-Z or Escape is swallowed;
//   - a PDU, AT+CMGS=<length> in PDU mode (the default): after the modem's "> " prompt the PDU is
//     held until Ctrl-Z and read (SmsPdu.h); it goes on only when every destination it may name
//     is allowed, else the modem gets Escape (it drops the message) and the program +CMS ERROR:
//     302 (304 for a PDU that cannot be read, which is reported with no number). Where the modem
//     may be in text mode, the length is taken for a destination as well;
//   - AT+CMSS=<index>: refused unless it names an allowed destination (a stored message's own
//     cannot be checked; reported with no number);
//   - a service code, AT+CUSD=<n>,"<code>" or ATD<code> (*...#): refused unless the code is on
//     the list as written (+CME ERROR: 3, or NO CARRIER for the dial);
//   - once the port has spoken the mobile command set (+C...), a dial ended with ';' is a voice
//     call of its own, so its number has to be allowed itself.
// An allowed message's text passes as it is typed, its lines still checked as command lines (a
// modem that gave up its prompt would take them for commands): a line of it that dials a number
// that is not allowed is refused. Limits: the message mode starts as PDU mode (a modem left in
// text mode before the port was attached is not known); messages stored with AT+CMGW pass
// (storing sends nothing); codes in other character sets (+CSCS="UCS2") are not decoded, so
// they are refused.
//
// The rule that keeps the promise: the blocker's picture of the modem may lag the modem's state
// but never lead it. Where the two could differ, the blocker checks more, not less.
//   - The picture (ModemView) holds, for every setting the checks depend on, the set of values
//     the modem may have: line terminator (S3) and editing character (S5) - each pair with the
//     unfinished line the modem would hold under it -, escape character (S2), echo, numeric
//     results, auto-answer, and what L redials, A/ repeats, &Zn stored and ';' dialled so far.
//   - A byte that ends a line under any possible terminator (or completes "A/") ends a line: that
//     line, edited with every possible editing character, is checked before anything is
//     forwarded. So a terminator changed by a line the modem refused still ends lines here.
//   - A line is read twice: as a modem following V.250 reads it (it stops at the first command
//     it does not know, having perhaps run the ones before) and as a lenient modem reads it (it
//     skips what it does not know, vendor prefix characters on their own included, and goes on).
//     A dial in either reading must be allowed, and the effects of both are taken.
//   - A forwarded line's effects are added to the sets at once: the modem may have run all of
//     it, a part of it or none of it. They replace the old values only when the modem answers OK
//     (or, for a dial, with the dial's outcome) and the blocker knows the answer is this line's:
//     one framing, every earlier line answered, results not switched off (Q1), no call that may
//     be up or come in (a far end could send any text), no command that lets the modem print
//     others' text (messages, network replies: AT+CNMI, +CUSD, makers' own commands), nothing
//     else forwarded meanwhile, and the answer is no line the program itself sent lately (its
//     echo). A line after a dial may have lost its first bytes (the key that ended the dial is
//     gone), and a Ctrl-Z or Escape may end a message whose prompt this side could not follow
//     and start a line: such a line is checked from every "AT" in it.
//   - Values a modem may refuse or read differently are refused here: an S2 value above 255 or
//     an S3 or S5 value above 127 is answered ERROR and never reaches the modem.
//   - Z may restore a stored profile, &F the factory settings, a hang-up (DTR drop, with &D3) may
//     do either, and modems differ in what they restore: each adds those values to the sets
//     (factory, and every profile this port saw stored with &W) and removes none.
//   - Data mode begins only with a CONNECT that is the modem's first line after its echo of an
//     allowed dial (or A, O): text the modem prints for other commands (a stored message, say)
//     always follows a header line of its own. Numeric results count only where ATV0 may be in
//     effect, and only as digits ended by CR alone (information text ends with CR LF).
//   - Data mode ends at three of any possible escape character (without waiting for a guard
//     time), at NO CARRIER (or a numeric 3 where ATV0 may be in effect) and at a hang-up.
// Where results cannot be seen (ATQ1), nothing is ever confirmed and data mode never begins: the
// checks stay on and a call's data is held line by line, which slows or stalls it but lets
// nothing pass unchecked. Likewise a port that once lost step with its modem (a program that
// writes lines without waiting for answers, or changes settings through lines the modem
// refused) keeps its wider sets and extra checks; ordinary dialling programs never get there.
//
// The modems this holds for: any that runs a line only at its terminator, edits with its S5,
// answers OK only when it ran every command of a line as written, where a line is too long for
// it answers ERROR rather than running a cut line (V.250 asks all of this), and reads (and
// echoes) a line only after it has answered the one before. It does not
// hold for settings made before the port was attached (the picture starts from the factory
// settings: a stored profile with another S3, S5 or S2 is not known), nor for dial forms this
// grammar does not know (AtCommand.h) in a modem that reads them as dials.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/ModemView.h"

namespace kestrine::driver {

class DialFilter {
public:
    static constexpr std::size_t kMaxLine = 255;
    static constexpr std::size_t kTail = 16;        // longer than any result text looked for
    static constexpr std::size_t kMaxFramings = 8;  // beyond this, lines that add more get ERROR

    // How a refusal is answered: as a failed dial, or with the error a message or a network
    // command gets (ERROR where the modem reports no extended errors).
    enum class Answer { NoCarrier, MessageError, EquipmentError };
    // What the modem reads after its "> " prompt: a message's text (it passes as typed, its
    // lines still checked, up to Ctrl-Z or Escape) or a PDU (held until Ctrl-Z and let through
    // only when it goes to an allowed destination; otherwise the modem gets Escape).
    enum class Message { None, Pass, Hold };

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
    // The program hung up (B0, last close). `idle`: the modem is known to be on-hook in command
    // mode now, its settings kept and nothing of its own still to say (the virtual modem); a real
    // modem may ignore DTR, reset on it, or still be busy with a command.
    void HangUp(bool idle = false);

    bool InDataMode() const { return dataMode_; }
    // Bytes held of an unfinished command line or message.
    std::size_t Held() const { return raw_.size() + pdu_.size(); }

    struct LineOutcome;

private:
    struct Wording {
        bool echo = true;
        bool verbose = true;
        bool quiet = false;
        char cr = '\r';  // S3 ends results too
        int cmee = 0;
    };
    struct Expected {
        ModemView full;  // the picture if the modem ran the line to its end
        bool dial;
        bool waitEcho;    // the answer counts only after the line's whole echo
        Wording wording;  // before the line
    };

    // A byte ended a line under some framing (`ends`: 0 no, 1 at a terminator, 2 by "A/", 3 by
    // an "A/" that may or may not be one).
    // `messageEnds`: the byte is the Ctrl-Z or Escape that ends a message's text.
    void EndOfChunk(const std::vector<int>& ends, bool messageEnds, std::vector<Action>& actions);
    LineOutcome Check(const Framing& framing, const std::string& line, bool repeat) const;
    void Refuse(const std::string& echo, const std::string& number, Answer how, int code,
                std::vector<Action>& actions);
    std::string Answering(Answer how, int code) const;
    void SendPdu(std::vector<Action>& actions);
    // The modem has left its message prompt: its own line is empty, or still holds what this
    // side holds if it left early.
    void EndMessage();
    // Adds, beside every framing, the same framing with nothing held: a modem may start a fresh
    // line at this point (a message ended, a hang-up).
    void MayStartAfresh();
    void Error(std::vector<Action>& actions);
    void Forward(std::string bytes, std::vector<Action>& actions);
    void DropHeld();
    // Each framing's working line: its held line with the program's unforwarded bytes.
    void Rework();
    std::string Reply(const char* verbose, char numeric) const;
    void ModemLine(const std::string& line, bool endedByCr);
    // A modem line that repeats a line the program sent lately may be its echo, not the
    // modem's own answer (where the echo could not be followed).
    bool MayBeEcho(const std::string& text) const;
    void Result(const std::string& text, bool numeric);
    void EnterDataMode();
    void LeaveDataMode();
    bool CallMayBeUp() const { return callMayBeUp_ || view_.autoAnswer.Contains(true); }

    const AllowList& allowed_;
    ModemView view_;
    Wording wording_;  // the settings the modem most likely has, for the blocker's own replies
    bool dataMode_ = false;
    // The program's bytes of the current chunk: as typed (for the echo of a refused line), and
    // each framing's line with them added.
    std::string raw_;
    std::vector<HeldLine> working_;
    bool overlong_ = false;
    // Answers.
    bool inStep_ = true;                // no answer to anything forwarded is still owed
    std::optional<Expected> expected_;  // the one line whose answer comes next
    bool callMayBeUp_ = false;          // a call may exist, so its far end may send text
    bool awaitingConnect_ = false;      // the first line after a dial's echo decides
    bool mayAbort_ = false;  // a dial may be in progress: the next key ends it, and is gone
    std::string response_;   // modem output of the current line (command mode)
    std::optional<std::string> numeric_;  // digits ended by CR: a result unless LF follows
    std::string echoPending_;             // what the modem will echo of what was forwarded
    bool echoDone_ = false;               // ... and it has echoed all of it
    std::string sent_;                    // command-mode bytes sent to the modem lately
    // Messages.
    Message awaitingPrompt_ = Message::None;
    int pduLength_ = 0;
    Message message_ = Message::None;  // the modem reads a message now
    std::string pdu_;
    bool pduOverflow_ = false;
    std::string refeed_;    // a held PDU to read as commands after all
    bool swallow_ = false;  // a refused message's text is dropped up to Ctrl-Z or Escape
    // The modem may be reading a message whose prompt this side could not follow (more was sent
    // before it came): a Ctrl-Z or Escape may then end it and start a line.
    bool messageMayBe_ = false;
    // Data mode.
    std::vector<int> pluses_;  // run of each possible escape character
    std::string tail_;         // last modem bytes, to find NO CARRIER across reads
};

}  // namespace kestrine::driver
