#pragma once
// The judge: one parsed command (AtCommand.h) and the blocker's own record of what the modem
// confirmed -> what to do with it. Pure: no state, no I/O; the dial blocker (DialFilter.h) and
// its tests call it.
//
// The command table (Classify) says what each command does to the modem, in one place:
//   - held by the blocker, never sent (E V Q T P, S2 S3 S4 S5 S12, &D, +CMEE): the program's
//     wording, framing, escape and dial mode are the blocker's (ProgramSide.h);
//   - dials (D), answer (A), online (O), hang-up (H, and +CHUP where the modem answered
//     AT+CMGF?, so follows 27.007), resets (Z, &F, +CFUN=...), stored numbers (&Zn=), message
//     format and character set (+CMGF, +CSCS), data calls (+CGDATA);
//   - money spent without D: messages (+CMGS, +CMGW stores, +CMGC, +CMSS), service codes
//     (+CUSD), voice dial (+CDV), call forwarding (+CCFC), deflection (+CTFR), URI dial (+CDU);
//   - the makers' own commands (^ $ % # ! _ * and \ %-prefixed ones) and anything else the
//     table does not know: forwarded as written, and the modem's configuration is set anew
//     after them, since nobody here knows what they change.
// Outside quotes a D reaches the modem only as a dial the judge allowed, in a standard name
// that holds one (+CGDCONT, +CIND, ...), or in a maker's name: modems that read a command only as
// far as they know it and go on with the rest ("+GCAPD0907", "+CMGSD", "+CUSD=1TD10") find no
// other dial. Other + names with a D are answered ERROR.
// A name begins with a letter; a maker's name that begins with D goes on with a letter
// ("^D0900" is ERROR). Limit: a modem that does not know a maker's prefix character and reads
// what follows it as its own commands could dial from a maker's name with a D in it
// (AT^DTMF); V.250 has it answer ERROR, as the independent modem here does.
// A forwarded command is re-encoded (Canonical): the modem gets exactly the command that was
// judged, never the program's bytes. The extended commands whose CONNECT starts a call's data
// (+CGDATA, +CDV, +CDU) are re-encoded in 27.007's form only, with no bare letter of the
// program's in them (PacketDataCall, JudgeExtended). Limit: bare letters in the arguments of
// other extended commands go as written; a modem that reads them as commands of their own (the
// independent one reads "+CSCS=O" as +CSCS and O) changes only what the blocker sets anew after
// it, and a CONNECT that is no answer to a call the blocker placed never starts data mode.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/AtCommand.h"

namespace kestrine::driver {

// What the blocker knows of the modem because the modem confirmed it (OK to a command the
// blocker sent, or a reply to the blocker's own query).
struct ModemRecord {
    bool mobile = false;     // answered AT+CMGF?: a mobile modem, ';' makes a voice call
    int messageFormat = 0;   // 0 PDU, 1 text
    std::string charset;     // +CSCS, upper case; empty: the default (GSM)
    // Digits of a call continued with ';' that is still up, as far as the blocker knows: it is
    // forgotten only on what certainly ends it (V.250's H carried out, +CHUP carried out by a
    // modem that follows 27.007, the blocker's own hang-up, a dial's answer that is no error),
    // never on an error or on a +CHUP a modem may not know.
    std::string callPrefix;
    bool callPrefixed = false;
    // A dial ended with ';' that leads to an allowed number but is none itself: kept here, not
    // sent, and sent whole with the dial that completes it ("D0123;" then "D456": D0123456).
    // A modem then never holds part of a number, whatever it makes of ';'.
    std::string heldDial;
    std::string lastNumber;              // the last number dialled (for L); empty: none known
    std::map<int, std::string> stored;   // &Zn=number the modem took
};

enum class Effect {
    None,           // forwarded, changes nothing the blocker records
    Local,          // the blocker's own (ProgramSide), or a dial part it holds (Dial)
    Dial,           // a call to `number`; CONNECT enters data mode
    DataCall,       // a packet-data session (*99#, +CGDATA): CONNECT enters data mode
    Answer,         // A: CONNECT enters data mode
    Online,         // O
    HangUp,         // H, and +CHUP on a mobile modem
    Reset,          // Z, &F, +CFUN=: configure the modem anew afterwards
    Unknown,        // a maker's command: configure the modem anew afterwards
    Store,          // &Zn=number
    MessageFormat,  // +CMGF=
    Charset,        // +CSCS=
    Message,        // +CMGS / +CMGW / +CMGC: a "> " prompt and content follow
};

// A command whose CONNECT starts a call's data: a dial, a packet-data call, an answer.
inline bool PlacesCall(Effect effect) {
    return effect == Effect::Dial || effect == Effect::DataCall || effect == Effect::Answer;
}

enum class MessageKind { None, Send, Write, Command };

struct Verdict {
    enum class Kind { Forward, Local, Refuse, Error };
    Kind kind = Kind::Error;
    Effect effect = Effect::None;
    std::string canonical;  // Forward: the command as the modem gets it (no "AT", no CR)
    std::string number;     // Dial: the whole call's number; Refuse: the number to report
    bool continued = false; // Dial: ended with ';'
    enum class Answer { NoCarrier, MessageError, EquipmentError, Error };
    Answer answer = Answer::Error;
    int code = 0;            // MessageError / EquipmentError
    MessageKind message = MessageKind::None;
    int storeIndex = -1;     // Store
    int value = -1;          // MessageFormat
    std::string text;        // Charset: the set; Message: the destination or length argument
};

// An extended command's name and arguments: "CMGS=\"0900\",129" -> CMGS, assign, {"0900","129"}.
struct ExtendedArgs {
    std::string name;  // upper case
    bool assign = false;
    bool query = false;  // NAME? or NAME=?
    std::vector<std::string> values;  // unquoted
    std::vector<bool> quoted;
    bool wellFormed = true;
};
ExtendedArgs SplitExtended(std::string_view value);

// The longest dial string sent: modems keep it in a buffer of their own, and one that overflows
// (the independent modem here does, at 129 characters) does what nobody can tell. Longer dials
// are answered ERROR.
inline constexpr std::size_t kMaxDialString = 64;

// A dial string's digits and modifiers as the modem gets them (blanks, separators and what no
// modem dials dropped); `refuse` is set for forms that cannot be proven: ! (hook flash),
// > (phonebook), quotes.
struct DialString {
    std::string canonical;  // T P W , @ and dial digits, in order
    std::string digits;     // NormaliseNumber of it
    bool redial = false;    // L
    int stored = -1;        // S=n
    bool refuse = false;
    std::string refused;    // what to report when refused
};
DialString ReadDialString(std::string_view value);

// A dial string as the modem dials it, tone or pulse (T and P switch, `pulse` first): pulse
// cannot dial * # + or A-D, and a modem leaves them out, so a number holding one there becomes
// another number. False for such a string.
bool DialsAsWritten(std::string_view canonical, bool pulse);

// True for the packet-data dial of 27.007 (*98...# and *99...#).
bool IsPacketDataCall(std::string_view digits);

// `pulse`: the program's default dial mode (ATP, ATT), which the blocker keeps: every dial it
// sends begins with T or P, so the modem's own default never matters.
Verdict Judge(const AtCommand& command, const ModemRecord& modem, const AllowList& allowed,
              bool pulse = false);

// A message's content, collected after the blocker's own prompt, judged with its command.
// `argument` is the command's first argument (text mode: the destination; PDU: the length).
Verdict JudgeMessage(MessageKind kind, const ExtendedArgs& args, const ModemRecord& modem,
                     std::string_view content, const AllowList& allowed);

}  // namespace kestrine::driver
