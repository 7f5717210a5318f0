#include "driver/DialFilter.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "driver/AtCommand.h"
#include "driver/SmsPdu.h"

namespace kestrine::driver {

namespace {

const Restorable kFactory{};
constexpr char kCtrlZ = '\x1A';
constexpr char kEscape = '\x1B';
// A PDU is at most 176 octets and a service centre part 12, in hex.
constexpr std::size_t kMaxPdu = 2 * (1 + 12 + 176);
// What the program sent lately, to tell its echo from the modem's own words.
constexpr std::size_t kSentKept = 2048;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDialDigit(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == '+' || (c >= 'A' && c <= 'D');
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What a dial string dials, with the modem's record as it may be: one number per value the
// modem may hold for what the string refers to (digits dialled before with ';', L, S=n).
struct Dial {
    bool provable = true;
    std::vector<std::string> numbers;  // normalised, the digits dialled before included
    std::vector<std::string> own;      // the same without them
    std::string reported;              // what the event names when it is refused
};

Dial ResolveDial(const std::string& value, const ModemView& view) {
    Dial dial;
    std::string digits;
    std::string special;  // L or S=n, with nothing else that dials
    std::size_t i = 0;
    while (i < value.size()) {
        const char c = Upper(value[i]);
        if (IsDialDigit(c)) {
            digits.push_back(c);
            ++i;
        } else if (c == 'L' && special.empty()) {
            special.assign(1, 'L');
            ++i;
        } else if (c == 'S' && special.empty()) {
            std::size_t j = i + 1;
            if (j < value.size() && value[j] == '=') {
                ++j;
            }
            const std::size_t start = j;
            while (j < value.size() && value[j] >= '0' && value[j] <= '9' && j - start < 3) {
                ++j;
            }
            special = "S=" + (j > start ? value.substr(start, j - start) : std::string("0"));
            i = j;
        } else if (c == '!' || c == '>' || c == '"' || c == 'L' || c == 'S') {
            dial.provable = false;  // hook flash, phonebook, quoted, or a second special form
            ++i;
        } else {
            ++i;  // modifiers, separators and other characters are not dialled
        }
    }
    std::vector<std::string> bodies;
    if (special.empty()) {
        bodies.push_back(digits);
    } else if (!digits.empty()) {
        dial.provable = false;  // digits mixed with a redial or stored number
    } else if (special == "L") {
        dial.provable = dial.provable && !view.redial.unknown && !view.redial.values.empty();
        bodies = view.redial.values;
    } else {
        const auto stored = view.stored.find(std::stoi(special.substr(2)));
        if (stored == view.stored.end() || stored->second.unknown) {
            dial.provable = false;
        } else {
            for (const auto& number : stored->second.values) {
                const bool plain = number.find_first_of(";!>LlSs\"") == std::string::npos;
                if (!plain || NormaliseNumber(number).empty()) {
                    dial.provable = false;
                }
                bodies.push_back(NormaliseNumber(number));
            }
        }
    }
    if (view.prefixes.unknown) {
        dial.provable = false;
    }
    for (const auto& prefix : view.prefixes.values) {
        for (const auto& body : bodies) {
            dial.numbers.push_back(prefix + body);
        }
    }
    dial.own = bodies;
    const std::string prefix = view.prefixes.values.empty() ? "" : view.prefixes.values.front();
    if (!special.empty() && !dial.provable) {
        dial.reported = prefix + special;
    } else {
        dial.reported = dial.numbers.empty() ? prefix + digits : dial.numbers.front();
    }
    if (dial.reported.empty()) {
        dial.reported = NormaliseNumber(value).empty() ? value : NormaliseNumber(value);
    }
    return dial;
}

// Edits one byte into a line as the modem would; says whether the byte ends the line.
// MaybeRepeat: "A/" where the modem may have swallowed the line's start, so it may or may not
// repeat its last line now.
enum class End { None, Line, Repeat, MaybeRepeat };

End Feed(const Framing& framing, HeldLine& working, char c) {
    if (framing.lost) {
        return c == framing.terminator || c == '/' ? End::Line : End::None;
    }
    if (c == framing.terminator) {
        return End::Line;
    }
    if (c == framing.backspace) {
        if (!working.line.empty()) {
            working.line.pop_back();
        }
        return End::None;
    }
    if (working.line.empty() && (c == '\n' || c == '\0')) {
        return End::None;  // the rest of a CR LF pair, or line noise
    }
    if (working.line.size() >= DialFilter::kMaxLine) {
        working.over = true;
        return End::None;
    }
    working.line.push_back(c);
    if (c == '/' && !working.over && FindRepeat(working.line) != std::string::npos) {
        return End::Repeat;
    }
    if (c == '/' && framing.startUnsure && working.line.size() >= 2 &&
        (working.line[working.line.size() - 2] | 0x20) == 'a') {
        return End::MaybeRepeat;
    }
    return End::None;
}

enum class ResultKind { Info, Ring, Ok, Error, Connect, NoCarrier, Failed };

// `numeric`: digits ended by CR alone, where ATV0 may be in effect.
ResultKind Classify(const std::string& text, bool numeric) {
    if (numeric) {
        switch (std::stoi(text)) {
            case 0:
                return ResultKind::Ok;
            case 2:
                return ResultKind::Ring;
            case 3:
                return ResultKind::NoCarrier;
            case 4:
                return ResultKind::Error;
            case 6:
            case 7:
            case 8:
                return ResultKind::Failed;
            default:
                return ResultKind::Connect;  // 1, 5 and 9 on: CONNECT at some speed
        }
    }
    if (text == "OK") {
        return ResultKind::Ok;
    }
    if (text == "ERROR" || text.rfind("+CME ERROR", 0) == 0 || text.rfind("+CMS ERROR", 0) == 0) {
        return ResultKind::Error;
    }
    if (text.rfind("CONNECT", 0) == 0) {
        return ResultKind::Connect;
    }
    if (text == "NO CARRIER") {
        return ResultKind::NoCarrier;
    }
    if (text == "BUSY" || text == "NO DIALTONE" || text == "NO DIAL TONE" || text == "NO ANSWER") {
        return ResultKind::Failed;
    }
    if (text == "RING") {
        return ResultKind::Ring;
    }
    return ResultKind::Info;
}

}  // namespace

// What a line does, read both ways, to a view in which the modem frames it one way.
struct DialFilter::LineOutcome {
    bool refused = false;  // a dial, message or code in it is not allowed
    std::string reported;
    Answer answer = Answer::NoCarrier;  // how the refusal is answered
    bool swallow = false;               // the refused command is followed by a message's text
    bool error = false;                 // answered ERROR here, never forwarded
    bool executes = false;              // the modem runs it, so it answers
    bool dials = false;                 // CONNECT may follow
    bool extended = false;              // it may print text from elsewhere before its answer
    Message message = Message::None;    // the modem prompts for a message
    int pduLength = 0;
    std::optional<ModemView> full;     // if the modem ran all of it
    std::optional<ModemView> partial;  // whatever part of it the modem ran

    void Take(const LineOutcome& other) {
        if (other.refused && !refused) {
            refused = true;
            reported = other.reported;
            answer = other.answer;
            swallow = other.swallow;
        }
        error = error || other.error;
        executes = executes || other.executes;
        dials = dials || other.dials;
        extended = extended || other.extended;
        if (other.message > message) {
            message = other.message;
            pduLength = other.pduLength;
        }
    }
    void Refuse(std::string number, Answer how) {
        refused = true;
        reported = std::move(number);
        answer = how;
    }
};

namespace {

// A service code (*100#): on a mobile network it reaches a service, not a line, and is allowed
// only as written.
bool IsServiceCode(const std::string& number) {
    return number.size() >= 2 && (number.front() == '*' || number.front() == '#') &&
           number.back() == '#';
}

// Whether every number the dial may reach is allowed; if not, says so in `outcome`. A dial
// ended with ';' continues the call on a Hayes modem, so it has to lead to an allowed number;
// on a mobile modem it is a voice call of its own, so there it has to be allowed itself.
bool Allowed(const Dial& dial, const AllowList& allowed, bool continued, const ModemView& view,
             DialFilter::LineOutcome& outcome) {
    bool ok = dial.provable && !dial.numbers.empty();
    std::string reported = dial.reported;
    for (const auto& number : dial.numbers) {
        const bool exact = !continued || view.gsm.Contains(true) || IsServiceCode(number);
        if (ok && !(exact ? allowed.Allows(number) : allowed.LeadsToAllowed(number))) {
            ok = false;
            reported = number;
        }
        if (IsServiceCode(number)) {
            outcome.extended = true;  // the network answers it with text of its own
        }
    }
    if (!ok) {
        outcome.Refuse(reported, DialFilter::Answer::NoCarrier);
    }
    return ok;
}

// An extended command taken apart: "CMGS="0123",145" is CMGS with two arguments.
struct Extended {
    std::string name;  // upper case
    bool assign = false;
    std::vector<std::string> args;  // without quotes
    std::vector<bool> quoted;
};

Extended Split(const AtCommand& command) {
    Extended ext;
    const std::string& text = command.value;
    std::size_t i = 0;
    while (i < text.size() && text[i] != '=' && text[i] != '?') {
        ext.name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
        ++i;
    }
    if (i >= text.size() || text[i] != '=') {
        return ext;
    }
    ext.assign = true;
    std::string arg;
    bool quoted = false, wasQuoted = false;
    for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            quoted = !quoted;
            wasQuoted = true;
        } else if (c == ',' && !quoted) {
            ext.args.push_back(std::exchange(arg, {}));
            ext.quoted.push_back(std::exchange(wasQuoted, false));
        } else {
            arg.push_back(c);
        }
    }
    ext.args.push_back(arg);
    ext.quoted.push_back(wasQuoted);
    return ext;
}

bool OneOf(const std::string& name, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return name == n; });
}

// Commands whose output is the modem's own state only: their answer can be told apart.
bool OwnStateOnly(const AtCommand& command, const Extended& ext) {
    return command.prefix == '+' &&
           OneOf(ext.name,
                 {"CMGF", "CMEE", "CSCS", "CSCA", "CPMS", "CGDCONT", "CREG", "CGREG", "CEREG",
                  "CMGD", "CSQ",  "CGMI", "CGMM", "CGMR", "CGSN",    "CIMI", "CPIN",  "CFUN",
                  "IPR",  "IFC",  "ICF",  "GMI",  "GMM",  "GMR",     "GSN"});
}

// Commands after which the modem may print others' text at any time (messages as they come,
// network replies, callers' names), and makers' own commands, which may do anything.
bool BringsOthersText(const AtCommand& command, const Extended& ext) {
    return command.prefix != '+' ||
           OneOf(ext.name, {"CNMI", "CUSD", "CSCB", "CMER", "CLIP", "COLP", "CCWA", "CNAP"});
}

// What the mobile commands of the line do: messages and service codes go only to what is allowed.
bool RunExtended(const AtCommand& command, ModemView& view, const AllowList& allowed,
                 DialFilter::LineOutcome& outcome) {
    using Answer = DialFilter::Answer;
    const Extended ext = Split(command);
    if (command.prefix == '+' && !ext.name.empty() && ext.name[0] == 'C') {
        view.gsm = Possible<bool>::Of(true);
    }
    if (!OwnStateOnly(command, ext)) {
        outcome.extended = true;
    }
    if (BringsOthersText(command, ext)) {
        view.chatty = true;
    }
    if (command.prefix != '+' || !ext.assign) {
        return true;
    }
    auto number = [&](std::size_t i) { return i < ext.args.size() ? ext.args[i] : std::string(); };
    auto allows = [&](const std::string& n) { return allowed.Allows(NormaliseNumber(n)); };
    const int first = AllDigits(number(0)) && number(0).size() < 7 ? std::stoi(number(0)) : -1;
    if (ext.name == "CMGF" && first >= 0) {
        view.smsMode = Possible<int>::Of(first);
    } else if (ext.name == "CMEE" && first >= 0) {
        view.cmee = Possible<int>::Of(first);
    } else if (ext.name == "CMGS") {
        // Text mode names the destination; PDU mode gives a length and the destination comes
        // in the PDU. Where the modem may be in text mode, the argument is a destination.
        const bool named = !ext.quoted.empty() && ext.quoted[0];
        if ((named || view.smsMode.Contains(1)) && !allows(number(0))) {
            outcome.Refuse(NormaliseNumber(number(0)), Answer::MessageError);
            outcome.swallow = true;
            return false;
        }
        outcome.message = named || !view.smsMode.Contains(0) ? DialFilter::Message::Pass
                                                             : DialFilter::Message::Hold;
        outcome.pduLength = std::max(first, 0);
    } else if (ext.name == "CMSS") {
        // A stored message's own destination cannot be checked: only one named here can.
        if (ext.args.size() < 2 || !allows(number(1))) {
            outcome.Refuse(NormaliseNumber(number(1)), Answer::MessageError);
            return false;
        }
    } else if (ext.name == "CMGW" || ext.name == "CMGC") {
        outcome.message = DialFilter::Message::Pass;  // stored or a command: its text may pass
    } else if (ext.name == "CUSD" && ext.args.size() >= 2) {
        if (!allows(number(1))) {
            outcome.Refuse(NormaliseNumber(number(1)), Answer::EquipmentError);
            return false;
        }
    }
    return true;
}

// Runs one reading of a line on `view` (one framing, nothing held); false when the blocker
// answers it itself (`outcome` says why). `ends` collects the views in which the modem may
// have stopped without an error: the end of the line, or a command after which a modem may
// ignore the rest (Z, A, O).
bool Run(const std::vector<AtCommand>& commands, ModemView& view, const AllowList& allowed,
         DialFilter::LineOutcome& outcome, ModemView& partial, std::vector<ModemView>& ends) {
    for (const auto& command : commands) {
        bool endsHere = false;
        switch (command.kind) {
            case AtCommand::Kind::Dial: {
                const Dial dial = ResolveDial(command.value, view);
                if (!Allowed(dial, allowed, command.continued, view, outcome)) {
                    return false;
                }
                if (command.continued) {
                    view.prefixes = {dial.numbers, false};
                    view.redial.Add({dial.numbers, false});  // some modems redial a part too
                    view.redial.Add({dial.own, false});
                } else {
                    view.redial = {dial.numbers, false};
                    view.redial.Add({dial.own, false});
                    view.prefixes = Possible<std::string>::Of("");
                    outcome.dials = true;
                }
                break;
            }
            case AtCommand::Kind::Register:
                if (command.number > 255) {
                    outcome.error = true;  // a modem might take it modulo 256
                    return false;
                }
                if (command.assign) {
                    const int value = std::stoi(command.value);
                    // Values that some modem would refuse, cut or clamp never reach one.
                    if ((command.number == 3 || command.number == 5) && value > 127) {
                        outcome.error = true;
                        return false;
                    }
                    if (command.number == 2 && value > 255) {
                        outcome.error = true;
                        return false;
                    }
                    for (auto& framing : view.framings) {
                        if (command.number == 3) {
                            framing.terminator = static_cast<char>(value);
                        } else if (command.number == 5) {
                            framing.backspace = static_cast<char>(value);
                        }
                    }
                    if (command.number == 2) {
                        view.escapes = Possible<int>::Of(value);
                    } else if (command.number == 0) {
                        view.autoAnswer = Possible<bool>::Of(value != 0);
                    }
                }
                break;
            case AtCommand::Kind::StoreNumber:
                view.stored[std::max(command.number, 0)] = Possible<std::string>::Of(command.value);
                break;
            case AtCommand::Kind::Prefixed:
                if (command.prefix == '&' && command.letter == 'F') {
                    view.MayRestore(kFactory);
                } else if (command.prefix == '&' && command.letter == 'W') {
                    view.restorable.Add(view.Current());
                }
                break;
            case AtCommand::Kind::Basic:
                switch (command.letter) {
                    case 'E':
                        view.echo = Possible<bool>::Of(command.number > 0);
                        break;
                    case 'V':
                        view.verbose = Possible<bool>::Of(command.number > 0);
                        break;
                    case 'Q':
                        view.quiet = Possible<bool>::Of(command.number > 0);
                        break;
                    case 'H':
                        view.prefixes = Possible<std::string>::Of("");
                        break;
                    case 'Z':
                        view.MayRestore(view.restorable);
                        view.prefixes = Possible<std::string>::Of("");
                        endsHere = true;
                        break;
                    case 'A':
                    case 'O':
                        outcome.dials = true;
                        endsHere = true;
                        break;
                    default:
                        break;
                }
                break;
            case AtCommand::Kind::Extended: {
                if (!RunExtended(command, view, allowed, outcome)) {
                    return false;
                }
                // +CDV is a dial by another name (voice dial on mobile modems).
                const auto& name = command.value;
                if (command.prefix == '+' && name.size() >= 3 && (name[0] | 0x20) == 'c' &&
                    (name[1] | 0x20) == 'd' && (name[2] | 0x20) == 'v') {
                    const Dial dial = ResolveDial(name.substr(3), view);
                    if (!Allowed(dial, allowed, false, view, outcome)) {
                        return false;
                    }
                    view.redial = {dial.numbers, false};
                    view.prefixes = Possible<std::string>::Of("");
                    outcome.dials = true;
                }
                break;
            }
        }
        // Framings may have become equal.
        std::vector<Framing> unique;
        for (const auto& framing : view.framings) {
            if (std::find(unique.begin(), unique.end(), framing) == unique.end()) {
                unique.push_back(framing);
            }
        }
        view.framings = std::move(unique);
        partial.Merge(view);
        if (endsHere) {
            ends.push_back(view);
        }
    }
    ends.push_back(view);
    return true;
}

}  // namespace

namespace {

// A dial that comes before anything that could change what it dials can be judged on the
// picture as it is, without working out the line's effects: the common case of a refused dial
// costs no copies. True when this reading of the line is refused so.
bool RefusedAtOnce(const std::vector<AtCommand>& commands, const ModemView& view,
                   const AllowList& allowed, DialFilter::LineOutcome& outcome) {
    for (const auto& command : commands) {
        switch (command.kind) {
            case AtCommand::Kind::Dial: {
                DialFilter::LineOutcome probe;
                const Dial dial = ResolveDial(command.value, view);
                if (!Allowed(dial, allowed, command.continued, view, probe)) {
                    outcome.Take(probe);
                    return true;
                }
                return false;
            }
            case AtCommand::Kind::Register:
                if (command.number > 5 && command.number <= 255) {
                    continue;
                }
                return false;
            case AtCommand::Kind::Prefixed:
                continue;
            case AtCommand::Kind::Basic:
                if (command.letter == 'H' || command.letter == 'Z') {
                    return false;
                }
                continue;
            default:
                return false;
        }
    }
    return false;
}

}  // namespace

DialFilter::LineOutcome DialFilter::Check(const Framing& framing, const std::string& line,
                                          bool repeat) const {
    LineOutcome outcome;
    std::vector<std::string> lines;
    if (!repeat && framing.startUnsure) {
        for (std::size_t at = 0; at + 1 < line.size(); ++at) {
            if ((line[at] | 0x20) == 'a' && (line[at + 1] | 0x20) == 't') {
                lines.push_back(line.substr(at));  // the modem may begin reading here
            }
        }
    } else if (!repeat) {
        lines.push_back(line);
    } else if (view_.repeat.unknown || view_.repeat.values.empty()) {
        outcome.refused = true;  // it may repeat a line from before this port was attached
        outcome.reported = "A/";
        return outcome;
    } else {
        lines = view_.repeat.values;
    }
    // Each line the modem may run, read both ways.
    struct Reading2 {
        const std::string* text;
        AtLine parsed;
    };
    std::vector<Reading2> readings;
    for (const auto& text : lines) {
        const auto at = FindAtPrefix(text);
        if (at == std::string::npos) {
            continue;  // no command in it: the modem ignores the line
        }
        outcome.executes = true;
        for (const Reading reading : {Reading::Strict, Reading::Lenient}) {
            AtLine parsed = ParseAtCommands(std::string_view(text).substr(at), reading);
            if (!parsed.complete && parsed.rest.find('=') != std::string::npos) {
                // An old modem writes "=v" to the register last named: which one, only it knows.
                outcome.error = true;
                return outcome;
            }
            if (RefusedAtOnce(parsed.commands, view_, allowed_, outcome)) {
                return outcome;
            }
            readings.push_back({&text, std::move(parsed)});
        }
    }
    ModemView start = view_;
    start.framings = {Framing{framing.terminator, framing.backspace, {}, false}};
    outcome.full = start;
    outcome.partial = start;
    bool first = true;
    for (const auto& [text, parsed] : readings) {
        ModemView view = start;
        view.repeat = Possible<std::string>::Of(*text);  // what A/ runs next time
        ModemView partial = start;
        partial.Merge(view);
        std::vector<ModemView> ends;
        LineOutcome run;
        if (!Run(parsed.commands, view, allowed_, run, partial, ends)) {
            run.executes = true;
            outcome.Take(run);
            return outcome;
        }
        outcome.Take(run);
        if (first) {
            outcome.full = ends.front();
            outcome.partial = partial;
            first = false;
        }
        for (const auto& end : ends) {
            outcome.full->Merge(end);
        }
        outcome.partial->Merge(partial);
    }
    return outcome;
}

std::string DialFilter::Reply(const char* verbose, char numeric) const {
    if (wording_.quiet) {
        return {};
    }
    const std::string end{wording_.cr, '\n'};
    return wording_.verbose ? end + verbose + end : std::string{numeric, wording_.cr};
}

std::string DialFilter::Answering(Answer how, int code) const {
    if (how == Answer::NoCarrier) {
        return Reply("NO CARRIER", '3');
    }
    if (wording_.cmee == 0 || wording_.quiet) {
        return Reply("ERROR", '4');
    }
    const char* kind = how == Answer::MessageError ? "+CMS ERROR: " : "+CME ERROR: ";
    std::string text = kind;
    if (wording_.cmee == 2) {
        text += code == 304 ? "invalid PDU mode parameter" : "operation not allowed";
    } else {
        text += std::to_string(how == Answer::MessageError ? code : 3);
    }
    const std::string end{wording_.cr, '\n'};
    return wording_.verbose ? end + text + end : text + wording_.cr;
}

void DialFilter::Refuse(const std::string& echo, const std::string& number, Answer how, int code,
                        std::vector<Action>& actions) {
    if (wording_.echo && !echo.empty()) {
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
    if (auto reply = Answering(how, code); !reply.empty()) {
        actions.push_back({Action::Kind::ToProgram, std::move(reply)});
    }
}

void DialFilter::Error(std::vector<Action>& actions) {
    if (wording_.echo && !raw_.empty()) {
        actions.push_back({Action::Kind::ToProgram, raw_});
    }
    if (auto reply = Reply("ERROR", '4'); !reply.empty()) {
        actions.push_back({Action::Kind::ToProgram, std::move(reply)});
    }
}

void DialFilter::Forward(std::string bytes, std::vector<Action>& actions) {
    // Whatever answer was awaited, it may now be mixed with answers to this; and digits still
    // waiting to be told a result or text stay untold.
    expected_.reset();
    numeric_.reset();
    if (!dataMode_) {
        if (view_.echo.Contains(true)) {
            echoPending_ += bytes;  // everything forwarded comes back, in order
        }
        sent_ += bytes;
        if (sent_.size() > kSentKept) {
            sent_.erase(0, sent_.size() - kSentKept);
        }
    }
    echoDone_ = false;
    if (!actions.empty() && actions.back().kind == Action::Kind::ToModem) {
        actions.back().bytes += bytes;
    } else {
        actions.push_back({Action::Kind::ToModem, std::move(bytes)});
    }
}

void DialFilter::DropHeld() {
    raw_.clear();
    overlong_ = false;
    Rework();
}

void DialFilter::Rework() {
    working_.clear();
    for (const auto& framing : view_.framings) {
        HeldLine working{framing.held, false};
        for (const char c : raw_) {
            Feed(framing, working, c);
        }
        working_.push_back(std::move(working));
    }
}

void DialFilter::EndOfChunk(const std::vector<int>& ends, bool messageEnds,
                            std::vector<Action>& actions) {
    std::vector<LineOutcome> outcomes(view_.framings.size());
    LineOutcome all;
    for (std::size_t i = 0; i < view_.framings.size(); ++i) {
        if (ends[i] == 0) {
            continue;
        }
        if (view_.framings[i].lost || working_[i].over || overlong_) {
            all.error = true;  // too long to check whole: never let the modem run it
            continue;
        }
        outcomes[i] = Check(view_.framings[i], working_[i].line, ends[i] >= 2);
        all.Take(outcomes[i]);
    }
    if (all.refused) {
        Refuse(raw_, all.reported, all.answer, 302, actions);
        swallow_ = all.swallow;
        DropHeld();
        if (messageEnds) {
            Forward(std::string(1, kEscape), actions);  // the message goes nowhere
            EndMessage();
        }
        return;
    }
    if (all.error) {
        Error(actions);
        DropHeld();
        return;
    }
    ModemView next = view_;
    next.framings.clear();
    for (std::size_t i = 0; i < view_.framings.size(); ++i) {
        if (ends[i] == 0 || ends[i] == 3) {  // the modem may still hold the line
            Framing kept = view_.framings[i];
            kept.held = working_[i].line;
            kept.lost = kept.lost || working_[i].over;
            if (std::find(next.framings.begin(), next.framings.end(), kept) ==
                next.framings.end()) {
                next.framings.push_back(std::move(kept));
            }
        }
    }
    const ModemView before = view_;
    for (std::size_t i = 0; i < view_.framings.size(); ++i) {
        if (ends[i] != 0) {
            next.Merge(*outcomes[i].partial);
        }
    }
    if (next.framings.size() > kMaxFramings) {
        Error(actions);
        DropHeld();
        return;
    }
    Forward(raw_, actions);
    if (all.executes) {
        // The answer can be told for this line only when nothing else may answer meanwhile.
        const bool alone = before.framings.size() == 1 && !before.quiet.Contains(true) &&
                           !CallMayBeUp() && !before.chatty && !all.extended &&
                           std::find(ends.begin(), ends.end(), 3) == ends.end();
        const bool echoOn = before.echo == Possible<bool>::Of(true);
        if (alone && (echoOn || inStep_)) {
            for (std::size_t i = 0; i < outcomes.size(); ++i) {
                if (ends[i] != 0) {
                    expected_ = Expected{*outcomes[i].full, all.dials, echoOn, wording_};
                }
            }
        }
        inStep_ = false;
        // The settings the modem most likely has now, for the blocker's own replies.
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            if (ends[i] != 0 && outcomes[i].executes) {
                const auto& full = *outcomes[i].full;
                wording_ = {full.echo.values.back(), full.verbose.values.back(),
                            full.quiet.values.back(), full.framings.back().terminator,
                            full.cmee.values.back()};
                break;
            }
        }
    }
    awaitingConnect_ = all.dials;
    mayAbort_ = all.dials;
    callMayBeUp_ = callMayBeUp_ || all.dials;
    awaitingPrompt_ = all.message;
    pduLength_ = all.pduLength;
    messageMayBe_ = messageMayBe_ || all.message != Message::None;
    view_ = std::move(next);
    DropHeld();
    if (messageEnds) {
        EndMessage();
    }
}

void DialFilter::MayStartAfresh() {
    const std::vector<Framing> before = view_.framings;
    for (auto framing : before) {
        framing.held.clear();
        framing.lost = false;
        framing.startUnsure = false;
        if (std::find(view_.framings.begin(), view_.framings.end(), framing) ==
            view_.framings.end()) {
            view_.framings.push_back(framing);
        }
    }
}

void DialFilter::EndMessage() {
    message_ = Message::None;
    messageMayBe_ = false;
    pdu_.clear();
    pduOverflow_ = false;
    MayStartAfresh();
    Rework();
}

void DialFilter::SendPdu(std::vector<Action>& actions) {
    std::string hex;
    for (const char c : pdu_) {
        if (c != '\r' && c != '\n' && c != ' ') {
            hex.push_back(c);
        }
    }
    const auto destinations =
        pduOverflow_ ? std::vector<std::string>{} : SubmitDestinations(hex, pduLength_);
    std::string refused;
    for (const auto& destination : destinations) {
        if (refused.empty() && !allowed_.Allows(NormaliseNumber(destination))) {
            refused = destination;
        }
    }
    if (!destinations.empty() && refused.empty()) {
        Forward(pdu_ + kCtrlZ, actions);
    } else {
        Forward(std::string(1, kEscape), actions);  // the modem drops the message
        Refuse({}, NormaliseNumber(refused), Answer::MessageError, destinations.empty() ? 304 : 302,
               actions);
    }
    EndMessage();
}

bool DialFilter::PassesUnseen(std::string_view bytes) {
    if (!dataMode_) {
        return false;
    }
    for (const int escape : view_.escapes.values) {
        if (escape < 128 && bytes.find(static_cast<char>(escape)) != std::string_view::npos) {
            return false;
        }
    }
    if (!bytes.empty()) {
        std::fill(pluses_.begin(), pluses_.end(), 0);
        echoPending_.clear();
    }
    return true;
}

void DialFilter::FromProgram(std::string_view input, std::vector<Action>& actions) {
    std::string joined;
    std::string_view bytes = input;
    if (!refeed_.empty()) {
        joined = std::exchange(refeed_, {}) + std::string(input);
        bytes = joined;
    }
    if (working_.size() != view_.framings.size()) {
        DropHeld();
    }
    std::vector<int> ends(view_.framings.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (swallow_) {
            swallow_ = bytes[i] != kCtrlZ && bytes[i] != kEscape;
            continue;
        }
        if (message_ == Message::Hold) {
            const char c = bytes[i];
            if (c == kEscape) {
                Forward(std::string(1, c), actions);
                EndMessage();
            } else if (c == kCtrlZ) {
                SendPdu(actions);
            } else if (pdu_.size() < kMaxPdu) {
                pdu_.push_back(c);
            } else {
                pduOverflow_ = true;
            }
            ends.assign(view_.framings.size(), 0);
            continue;
        }
        if (dataMode_) {
            // Data passes at once; an escape sequence hands the stream back to the checks.
            const std::size_t start = i;
            bool escaped = false;
            for (; i < bytes.size() && !escaped; ++i) {
                for (std::size_t e = 0; e < view_.escapes.values.size(); ++e) {
                    const int escape = view_.escapes.values[e];
                    if (escape < 128 && bytes[i] == static_cast<char>(escape)) {
                        escaped = escaped || ++pluses_[e] == 3;
                    } else {
                        pluses_[e] = 0;
                    }
                }
            }
            Forward(std::string(bytes.substr(start, i - start)), actions);
            echoPending_.clear();
            --i;
            if (escaped) {
                LeaveDataMode();
                DropHeld();
                ends.assign(view_.framings.size(), 0);
            }
            continue;
        }
        const char c = bytes[i];
        if (mayAbort_) {
            // A dial in progress ends at any key, and the key is gone: the modem's next line
            // may start anywhere in what follows.
            mayAbort_ = false;
            for (auto& framing : view_.framings) {
                framing.startUnsure = true;
            }
        }
        if (messageMayBe_ && message_ == Message::None && (c == kCtrlZ || c == kEscape)) {
            // The modem may be reading a message this side lost track of: this ends it, and the
            // modem's next line begins after it.
            for (auto& framing : view_.framings) {
                framing.startUnsure = true;
            }
        }
        if (raw_.size() < 4 * kMaxLine) {
            raw_.push_back(c);
        } else {
            overlong_ = true;
        }
        bool any = false;
        // Ctrl-Z sends a message and Escape drops it: either ends the text at once.
        const bool messageEnds = message_ == Message::Pass && (c == kCtrlZ || c == kEscape);
        for (std::size_t f = 0; f < view_.framings.size(); ++f) {
            const End end = messageEnds ? End::Line : Feed(view_.framings[f], working_[f], c);
            ends[f] = static_cast<int>(end);
            any = any || end != End::None;
        }
        if (any) {
            EndOfChunk(ends, messageEnds, actions);
            ends.assign(view_.framings.size(), 0);
            continue;
        }
        // An escape sequence on its own waits for no terminator: a modem that is still online
        // needs it now, and one in command mode takes it as the start of a line (kept above).
        if (raw_.size() == 3 && raw_[0] == raw_[1] && raw_[1] == raw_[2] &&
            view_.escapes.Contains(static_cast<unsigned char>(raw_[0]))) {
            const bool mayAnswer = CallMayBeUp();
            std::vector<Framing> held = view_.framings;
            for (std::size_t f = 0; f < held.size(); ++f) {
                held[f].held = working_[f].line;
                held[f].lost = held[f].lost || working_[f].over;
            }
            Forward(raw_, actions);
            view_.framings = std::move(held);
            if (mayAnswer) {
                inStep_ = false;  // an escape from data mode is answered OK
            }
            DropHeld();
        }
    }
}

void DialFilter::EnterDataMode() {
    dataMode_ = true;
    mayAbort_ = false;
    awaitingConnect_ = false;
    pluses_.assign(view_.escapes.values.size(), 0);
    tail_.clear();
}

void DialFilter::LeaveDataMode() {
    // The modem may still be online (an escape without guard time, a far end that sent the
    // words): the call stays possible.
    dataMode_ = false;
    awaitingConnect_ = false;
    tail_.clear();
    response_.clear();
    numeric_.reset();
    echoPending_.clear();
}

void DialFilter::Result(const std::string& text, bool numeric) {
    const ResultKind kind = Classify(text, numeric);
    if (kind == ResultKind::Ring) {
        return;  // unsolicited, and no text of anyone else's
    }
    if (awaitingConnect_) {
        // The first line after a dial's echo is its answer; anything else is not.
        awaitingConnect_ = false;
        if (kind == ResultKind::Connect) {
            EnterDataMode();
        }
    }
    if (kind == ResultKind::Info) {
        return;
    }

    if (message_ != Message::None && (kind == ResultKind::Ok || kind == ResultKind::Error)) {
        // The modem gave up reading the message: what was held of it is command input after all.
        if (message_ == Message::Hold) {
            refeed_ = pdu_;
        }
        EndMessage();
    }
    if (!expected_) {
        return;
    }
    const Expected expected = *expected_;
    expected_.reset();
    if (expected.waitEcho && !echoDone_) {
        return;  // something came before the echo ended: this may answer anything
    }
    inStep_ = true;
    if (expected.dial) {
        // Only an answer that is provably the last dial's ends it: a key that aborted an earlier
        // dial in the same write brings that dial's NO CARRIER first, while the last one goes on.
        mayAbort_ = false;
        if (kind == ResultKind::Connect) {
            view_ = expected.full;
        } else {
            callMayBeUp_ = false;  // the dial ended without a call
        }
    } else if (kind == ResultKind::Ok) {
        view_ = expected.full;
    } else if (kind == ResultKind::Error) {
        wording_ = expected.wording;  // most likely the line changed nothing
    } else {
        inStep_ = false;  // no answer a line of this kind gives
    }
    Rework();
}

bool DialFilter::MayBeEcho(const std::string& text) const {
    std::size_t start = 0;
    while (start <= sent_.size()) {
        auto end = sent_.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = sent_.size();
        }
        std::string_view line(sent_.data() + start, end - start);
        const auto first = line.find_first_not_of(' ');
        if (first != std::string_view::npos && line.substr(first) == text) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

void DialFilter::ModemLine(const std::string& line, bool endedByCr) {
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
        return;
    }
    const std::string text = line.substr(first);
    if (MayBeEcho(text)) {
        return;  // what the program sent may come back as it was: it answers nothing
    }
    awaitingPrompt_ = Message::None;  // an answer instead of a prompt
    if (view_.verbose.Contains(false) && AllDigits(text) && text.size() <= 3 && endedByCr) {
        numeric_ = text;  // a numeric result is digits and CR; information text adds LF
        return;
    }
    Result(text, false);
}

void DialFilter::FromModem(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (numeric_) {
            const std::string digits = std::move(*numeric_);
            numeric_.reset();
            if (bytes[i] == '\n') {
                continue;  // information text
            }
            Result(digits, true);
        }
        if (dataMode_) {
            // A lost carrier puts the modem back in command mode: so must the checks. The text may
            // straddle two reads, hence the kept tail; numeric NO CARRIER follows the last data
            // byte directly, so any "3<CR>" counts where numeric results may be in effect.
            const std::string_view rest = bytes.substr(i);
            const std::string edge = tail_ + std::string(rest.substr(0, kTail));
            auto seen = [&](std::string_view text) {
                return edge.find(text) != std::string::npos ||
                       rest.find(text) != std::string_view::npos;
            };
            if (seen("NO CARRIER") || (view_.verbose.Contains(false) && seen("3\r"))) {
                LeaveDataMode();
            } else {
                const std::string_view last = rest.size() >= kTail ? rest : std::string_view(edge);
                tail_ = std::string(last.substr(last.size() - std::min(last.size(), kTail)));
            }
            return;
        }
        const char c = bytes[i];
        // The modem's echo of what was just forwarded is not an answer.
        if (!echoPending_.empty()) {
            if (c == echoPending_.front()) {
                echoPending_.erase(0, 1);
                echoDone_ = echoPending_.empty();
                continue;
            }
            echoPending_.clear();
        }
        if (c == '\r' || c == '\n') {
            if (!response_.empty()) {
                const std::string line = std::move(response_);
                response_.clear();
                ModemLine(line, c == '\r');
            }
        } else if (response_.size() < 80) {
            response_.push_back(c);
            if (awaitingPrompt_ != Message::None && response_ == "> " &&
                sent_.find("> ") == std::string::npos) {
                // The modem reads a message now: its first output after the command's echo.
                message_ = std::exchange(awaitingPrompt_, Message::None);
                response_.clear();
            }
        }
    }
}

void DialFilter::HangUp(bool idle) {
    LeaveDataMode();
    if (message_ != Message::None) {
        EndMessage();
    }
    awaitingPrompt_ = Message::None;
    swallow_ = false;
    refeed_.clear();
    mayAbort_ = false;
    messageMayBe_ = messageMayBe_ && !idle;
    expected_.reset();
    response_.clear();
    if (idle) {
        // On-hook, settings kept, line buffer emptied, nothing more to say.
        callMayBeUp_ = false;
        inStep_ = true;
        view_.chatty = false;
        view_.prefixes = Possible<std::string>::Of("");
        for (auto& framing : view_.framings) {
            framing.held.clear();
            framing.lost = false;
            framing.startUnsure = false;
        }
    } else {
        // A real modem may ignore DTR, hang up, reset on it (&D3), or empty its line buffer;
        // and it may still answer something.
        inStep_ = false;
        view_.prefixes.Add("");
        view_.MayRestore(view_.restorable);
        view_.MayRestore(kFactory);
        MayStartAfresh();
    }
    DropHeld();
}

}  // namespace kestrine::driver
