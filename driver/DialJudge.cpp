#include "driver/DialJudge.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "driver/SmsPdu.h"

namespace kestrine::driver {

namespace {

using at::IsDigit;
using at::IsLetter;
using at::Upper;

bool IsNameChar(char c) {
    c = Upper(c);
    return (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '!' || c == '%' || c == '-' || c == '.' ||
           c == '/' || c == ':' || c == '_';
}
// What an unquoted argument may hold: numbers, hexadecimal, names and ranges. Anything else
// (another command's letters glued to a value are letters too, but a modem reads an extended
// command up to ';' or the line's end, and our lines end after each command) is refused.
// No D: a modem that reads a value only as far as it understands it and goes on with the rest
// as commands ("+CUSD=1TD10" places a call at a modem nobody here wrote) must never find one.
bool IsBareArgumentChar(char c) {
    return (std::isalnum(static_cast<unsigned char>(c)) != 0 && c != 'D' && c != 'd') ||
           c == '.' || c == '+' || c == '-' || c == ':' || c == '/' || c == '*' || c == '#' ||
           c == '(' || c == ')';
}

// A name with a D in it is sent only when it is a standard one (below): a modem that finds
// commands by their first letters reads "+GCAPD0907" as +GCAP, then a dial, and even "+CMGSD"
// as +CMGS, then a dial of nothing that takes the line. No standard name begins with another
// that a D follows.
bool NameMayHoldD(const std::string& name) {
    static const char* const kStandard[] = {
        "CGDCONT", "CGDSCONT", "CGDATA",  "CGDEL",     "CGCMOD",     "CGCONTRDP", "CGSCONTRDP",
        "CGTFTRDP", "CGEQOSRDP", "CMGD",   "CUSD",      "CDU",        "CDV",       "CDIP",
        "CDIS",     "CSDH",      "CSDF",   "CRTDCP",    "CSODCP",     "CIND",      "CHLD",
        "CMOD",     "CVMOD",     "CEDRXS", "CEDRXRDP",  "CUAD",       "CDEFMP",    "CNMPSD",
        "CIREPD",   "CCID",      "VTD",    "DR",        "DS",         "DS44",      "CGPADDR",
        "CEMODE",   "CPWD",      "CALD",
        // Makers' own under '+', as modem managers send them (u-blox, Quectel, Intel, ZTE).
        "UCGDFLT", "UDCONF", "QIDEACT", "QNETDEVCTL", "XDATACHANNEL", "ZCDRUN"};
    for (const char* known : kStandard) {
        if (name == known) {
            return true;
        }
    }
    return name.find('D') == std::string::npos;
}

int SmallNumber(std::string_view text) {
    if (text.empty() || text.size() > 6) {
        return -1;
    }
    int value = 0;
    for (const char c : text) {
        if (!IsDigit(c)) {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

Verdict Forward(std::string canonical, Effect effect = Effect::None) {
    Verdict v;
    v.kind = Verdict::Kind::Forward;
    v.effect = effect;
    v.canonical = std::move(canonical);
    return v;
}
Verdict LocalCommand() {
    Verdict v;
    v.kind = Verdict::Kind::Local;
    v.effect = Effect::Local;
    return v;
}
Verdict Error() {
    return Verdict{};
}
// Every refusal is reported, with no number where the command names none.
Verdict Refuse(Verdict::Answer answer, int code, std::string number) {
    Verdict v;
    v.kind = Verdict::Kind::Refuse;
    v.answer = answer;
    v.code = code;
    v.number = std::move(number);
    return v;
}

std::string Arguments(const ExtendedArgs& args) {
    std::string out;
    for (std::size_t i = 0; i < args.values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += args.quoted[i] ? "\"" + args.values[i] + "\"" : args.values[i];
    }
    return out;
}

std::string CanonicalExtended(char prefix, const ExtendedArgs& args) {
    std::string out(1, prefix);
    out += args.name;
    if (args.assign && args.query) {
        out += "=?";
    } else if (args.query) {
        out += '?';
    } else if (args.assign) {
        out += '=' + Arguments(args);
    }
    return out;
}

// A text in the modem's character set, as digits a number is made of; nullopt where it cannot
// be read (a set whose bytes this side does not decode).
std::optional<std::string> Decode(const std::string& text, const std::string& charset) {
    if (charset.empty() || charset == "GSM" || charset == "IRA" || charset == "8859-1" ||
        charset == "UTF-8" || charset == "PCCP437") {
        return text;
    }
    if (charset == "UCS2") {
        if (text.size() % 4 != 0) {
            return std::nullopt;
        }
        std::string out;
        for (std::size_t i = 0; i < text.size(); i += 4) {
            unsigned value = 0;
            for (std::size_t j = i; j < i + 4; ++j) {
                const char c = Upper(text[j]);
                if (!std::isxdigit(static_cast<unsigned char>(c))) {
                    return std::nullopt;
                }
                value = value * 16 + static_cast<unsigned>(IsDigit(c) ? c - '0' : c - 'A' + 10);
            }
            if (value >= 0x80) {
                return std::nullopt;
            }
            out.push_back(static_cast<char>(value));
        }
        return out;
    }
    return std::nullopt;
}

// A number given to a network command: allowed only as it stands.
bool NumberAllowed(const std::string& text, const ModemRecord& modem, const AllowList& allowed) {
    const auto decoded = Decode(text, modem.charset);
    return decoded && allowed.Allows(NormaliseNumber(*decoded));
}

// A refused number as the report names it: its dial digits where it can be read.
std::string Reported(const std::string& text, const ModemRecord& modem) {
    const auto decoded = Decode(text, modem.charset);
    const auto digits = decoded ? NormaliseNumber(*decoded) : std::string();
    return digits.empty() ? text : digits;
}

Verdict JudgeDial(const AtCommand& command, const ModemRecord& modem, const AllowList& allowed,
                  bool pulse) {
    const DialString dial = ReadDialString(command.value);
    if (dial.refuse) {
        return Refuse(Verdict::Answer::NoCarrier, 0, dial.refused);
    }
    if (modem.heldDial.size() + dial.canonical.size() > kMaxDialString) {
        return Error();  // longer than a modem's dial buffer may be
    }
    std::string canonical = dial.canonical;
    std::string digits = dial.digits;
    if (dial.redial) {
        if (modem.lastNumber.empty()) {
            return Refuse(Verdict::Answer::NoCarrier, 0, "L");
        }
        canonical = modem.lastNumber;
        digits = NormaliseNumber(canonical);
    } else if (dial.stored >= 0) {
        const auto it = modem.stored.find(dial.stored);
        if (it == modem.stored.end()) {
            return Refuse(Verdict::Answer::NoCarrier, 0, "S=" + std::to_string(dial.stored));
        }
        canonical = it->second;
        digits = NormaliseNumber(canonical);
    }
    if (digits.empty()) {
        return Refuse(Verdict::Answer::NoCarrier, 0, "ATD");
    }
    canonical = modem.heldDial + canonical;
    digits = NormaliseNumber(canonical);
    // Packet data is a mobile modem's: elsewhere *99# is a number like any other.
    if (modem.mobile && !command.continued && !modem.callPrefixed && IsPacketDataCall(digits)) {
        // Sent as its digits alone: a pause or a wait inside a packet-data dial means nothing,
        // and a modem may end the dial string at it.
        Verdict v = Forward("D" + digits, Effect::DataCall);
        v.number = digits;
        return v;
    }
    // Where the modem holds a call already, the dial must be allowed both as its continuation
    // and as a call of its own (modems differ in what a dial after ';' does).
    const std::string whole = (modem.callPrefixed ? modem.callPrefix : std::string()) + digits;
    const bool wholeAllowed = allowed.Allows(whole) && (!modem.callPrefixed || allowed.Allows(digits));
    if (!wholeAllowed && command.continued && !modem.mobile && !modem.callPrefixed &&
        allowed.LeadsToAllowed(whole) && DialsAsWritten(canonical, pulse)) {
        Verdict v = LocalCommand();
        v.effect = Effect::Dial;
        v.text = canonical;  // held until the dial that completes it
        v.number = whole;
        return v;
    }
    if (!wholeAllowed || !DialsAsWritten(canonical, pulse)) {
        return Refuse(Verdict::Answer::NoCarrier, 0, whole);
    }
    // Every dial says how it is dialled: the modem's own default never matters.
    const bool modeGiven = !canonical.empty() && (canonical[0] == 'T' || canonical[0] == 'P');
    const std::string mode = modeGiven ? "" : (pulse ? "P" : "T");
    Verdict v = Forward("D" + mode + canonical + (command.continued ? ";" : ""), Effect::Dial);
    v.number = whole;
    v.continued = command.continued;
    v.text = canonical;
    return v;
}

// +CGDATA, the one extended command whose CONNECT starts a call's data, goes in the form 27.007
// gives it and no other: the layer-2 protocol a quoted string of letters, digits, '-' and '_'
// ("M-RAW_IP"), each context a number. A modem that reads arguments its own way then finds no
// command in them: the independent modem reads "+CGDATA=O" as +CGDATA and O, answers the O with
// CONNECT and stays in command mode, where the blocker would have taken the program's bytes for
// the call's data.
Verdict PacketDataCall(const ExtendedArgs& args) {
    if (!args.assign) {
        return Forward("+CGDATA", Effect::DataCall);
    }
    const auto& v = args.values;
    std::string out = "+CGDATA=";
    for (const char c : v[0]) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            return Error();
        }
    }
    if (!v[0].empty()) {
        out += '"' + v[0] + '"';
    }
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i].empty() || v[i].size() > 3 || args.quoted[i] ||
            !std::all_of(v[i].begin(), v[i].end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return Error();
        }
        out += ',' + v[i];
    }
    return Forward(out == "+CGDATA=" ? "+CGDATA" : out, Effect::DataCall);
}

Verdict JudgeExtended(const AtCommand& command, const ModemRecord& modem,
                      const AllowList& allowed) {
    const ExtendedArgs args = SplitExtended(command.value);
    // A name begins with a letter (V.250): anything else is no command a modem could read
    // alike, and a modem that skips what it does not know might find one further on.
    if (!args.wellFormed || args.name.empty() || args.name[0] < 'A' || args.name[0] > 'Z') {
        return Error();
    }
    const std::string canonical = CanonicalExtended(command.prefix, args);
    if (command.prefix != '+') {
        // "^D0900": a modem that does not know the prefix and skips it would dial. The makers'
        // names that begin with D go on with a letter (^DHCP, ^DTMF, #DIALMODE).
        if (args.name[0] == 'D' && (args.name.size() < 2 || !IsLetter(args.name[1]))) {
            return Error();
        }
        return Forward(canonical, Effect::Unknown);
    }
    const auto& v = args.values;
    const auto& name = args.name;
    if (name.rfind("CDV", 0) != 0 && !NameMayHoldD(name)) {
        return Error();
    }
    const bool set = args.assign && !args.query;
    if (name == "CMEE") {
        return LocalCommand();
    }
    if (name == "CMGF" && set) {
        Verdict out = Forward(canonical, Effect::MessageFormat);
        out.value = v.empty() || v[0].empty() ? 0 : SmallNumber(v[0]);
        if (out.value < 0 || out.value > 1) {
            return Error();
        }
        return out;
    }
    if (name == "CSCS" && set) {
        Verdict out = Forward(canonical, Effect::Charset);
        for (const char c : v.empty() ? std::string() : v[0]) {
            out.text.push_back(Upper(c));
        }
        return out;
    }
    if (name == "CFUN" && set) {
        return Forward(canonical, Effect::Reset);
    }
    if (name == "CGDATA" && !args.query) {
        return PacketDataCall(args);
    }
    if (name == "CHUP") {
        // 27.007's hang-up, as 27.007 writes it (no '=', no '?'), on a modem that showed it
        // follows 27.007 (it answered AT+CMGF?). Any other form, or any other modem, may be
        // answered OK and keep the call: there it is a command like any other, and in online
        // command state ERROR, as such a modem says.
        const bool hangUp = modem.mobile && !args.assign && !args.query;
        return Forward(canonical, hangUp ? Effect::HangUp : Effect::None);
    }
    if ((name == "CMGS" || name == "CMGW" || name == "CMGC") && set) {
        Verdict out = Forward(canonical, Effect::Message);
        out.message = name == "CMGS"   ? MessageKind::Send
                      : name == "CMGW" ? MessageKind::Write
                                       : MessageKind::Command;
        return out;
    }
    if (name == "CMSS" && set) {
        // A stored message goes where it was written to, which this side cannot read: only an
        // explicit destination can be checked.
        if (v.size() < 2 || v[1].empty()) {
            return Refuse(Verdict::Answer::MessageError, 302, "");
        }
        if (!NumberAllowed(v[1], modem, allowed)) {
            return Refuse(Verdict::Answer::MessageError, 302, Reported(v[1], modem));
        }
        return Forward(canonical);
    }
    if (name == "CUSD" && set && v.size() > 1) {
        if (!NumberAllowed(v[1], modem, allowed)) {
            return Refuse(Verdict::Answer::EquipmentError, 3, Reported(v[1], modem));
        }
        return Forward(canonical);
    }
    if ((name == "CTFR" && set) || (name == "CCFC" && set && v.size() > 2 && !v[2].empty())) {
        const auto& number = name == "CTFR" ? (v.empty() ? std::string() : v[0]) : v[2];
        if (!NumberAllowed(number, modem, allowed)) {
            return Refuse(Verdict::Answer::EquipmentError, 3, Reported(number, modem));
        }
        return Forward(canonical);
    }
    if (name == "CDU" && set) {
        const std::string uri = v.empty() ? std::string() : v[0];
        if (uri.size() < 4 || Upper(uri[0]) != 'T' || Upper(uri[1]) != 'E' ||
            Upper(uri[2]) != 'L' || uri[3] != ':' || !NumberAllowed(uri.substr(4), modem, allowed)) {
            return Refuse(Verdict::Answer::NoCarrier, 0, uri);
        }
        // A call's CONNECT starts data mode, so the modem gets it as 27.007 writes it: the URI
        // quoted, the other arguments numbers. A bare letter after it ("...,O") is ERROR, as
        // +CGDATA's are.
        std::string out = "+CDU=\"" + uri + '"';
        for (std::size_t i = 1; i < v.size(); ++i) {
            if (v[i].size() > 3 || args.quoted[i] ||
                !std::all_of(v[i].begin(), v[i].end(), [](char c) { return IsDigit(c); })) {
                return Error();
            }
            out += ',' + v[i];
        }
        return Forward(out, Effect::Dial);
    }
    if (name.rfind("CDV", 0) == 0) {
        // Voice dial: AT+CDV<number> (the number glued to the name) or AT+CDV=<number>. Sent as
        // 27.007 writes it, the dial digits judged glued to the name, and nothing of the
        // program's letters: a modem that reads "+CDVO=..." as +CDV and O answers the O with
        // CONNECT and stays in command mode (the independent one does).
        std::string number = name.substr(3);
        if (!v.empty()) {
            number += v[0];
        }
        const std::string digits = NormaliseNumber(number);
        if (!allowed.Allows(digits)) {
            return Refuse(Verdict::Answer::NoCarrier, 0, digits);
        }
        if (digits.find_first_of("ABCD") != std::string::npos) {
            return Error();
        }
        return Forward("+CDV" + digits, Effect::Dial);
    }
    const char family = name[0];
    if (family == 'C' || family == 'G' || family == 'F' || family == 'V' || family == 'I' ||
        family == 'M' || family == 'W') {
        return Forward(canonical);
    }
    return Forward(canonical, Effect::Unknown);
}

}  // namespace

ExtendedArgs SplitExtended(std::string_view value) {
    ExtendedArgs args;
    std::size_t i = 0;
    while (i < value.size() && IsNameChar(value[i])) {
        args.name.push_back(Upper(value[i]));
        ++i;
    }
    if (i < value.size() && value[i] == '?') {
        args.query = true;
        ++i;
    } else if (i < value.size() && value[i] == '=') {
        args.assign = true;
        ++i;
        if (i < value.size() && value[i] == '?') {
            args.query = true;
            ++i;
        } else {
            std::string current;
            bool quoted = false;
            bool wasQuoted = false;
            for (; i < value.size(); ++i) {
                const char c = value[i];
                if (c == '"') {
                    if (!quoted && (wasQuoted || !current.empty())) {
                        args.wellFormed = false;  // text glued to a quoted string
                    }
                    quoted = !quoted;
                    wasQuoted = true;
                    continue;
                }
                if (!quoted && c == ',') {
                    args.values.push_back(std::move(current));
                    args.quoted.push_back(wasQuoted);
                    current.clear();
                    wasQuoted = false;
                    continue;
                }
                if (!quoted && (wasQuoted || !IsBareArgumentChar(c))) {
                    args.wellFormed = false;
                }
                if (quoted && static_cast<unsigned char>(c) < 0x20) {
                    args.wellFormed = false;
                }
                current.push_back(c);
            }
            if (quoted) {
                args.wellFormed = false;
            }
            args.values.push_back(std::move(current));
            args.quoted.push_back(wasQuoted);
            return args;
        }
    }
    if (i != value.size()) {
        args.wellFormed = false;
    }
    return args;
}

DialString ReadDialString(std::string_view value) {
    DialString dial;
    std::size_t i = 0;
    // Modifiers may come first: "ATDTL", "ATDPS=2".
    while (i < value.size() && (Upper(value[i]) == 'T' || Upper(value[i]) == 'P')) {
        ++i;
    }
    if (i < value.size() && Upper(value[i]) == 'L') {
        dial.redial = true;
        return dial;
    }
    if (i < value.size() && Upper(value[i]) == 'S') {
        std::size_t j = i + 1;
        if (j < value.size() && value[j] == '=') {
            ++j;
        }
        dial.stored = SmallNumber(value.substr(j));
        if (dial.stored < 0) {
            dial.stored = 0;
        }
        return dial;
    }
    for (i = 0; i < value.size(); ++i) {
        const char c = Upper(value[i]);
        if (c == '>' || c == '!' || c == '"') {
            dial.refuse = true;
        } else if (IsDigit(c) || c == '*' || c == '#' || c == '+' || (c >= 'A' && c <= 'D') ||
                   c == 'T' || c == 'P' || c == 'W' || c == ',' || c == '@' || c == 'I' ||
                   c == 'G') {
            dial.canonical.push_back(c);
        }
        // Everything else is what modems ignore in a dial string: it never reaches the modem.
    }
    dial.digits = NormaliseNumber(dial.canonical);
    if (dial.refuse) {
        dial.refused = dial.digits;
        for (const char c : value) {
            if (c == '>' && dial.refused.empty()) {
                dial.refused = ">";
            }
        }
    }
    return dial;
}

bool IsPacketDataCall(std::string_view digits) {
    if (digits.size() < 4 || digits[0] != '*' || digits[1] != '9' ||
        (digits[2] != '9' && digits[2] != '8') || digits.back() != '#') {
        return false;
    }
    for (std::size_t i = 3; i + 1 < digits.size(); ++i) {
        if (!IsDigit(digits[i]) && digits[i] != '*') {
            return false;
        }
    }
    return digits[3] == '*' || digits[3] == '#';
}

bool DialsAsWritten(std::string_view canonical, bool pulse) {
    for (const char c : canonical) {
        if (c == 'T' || c == 'P') {
            pulse = c == 'P';
        } else if (pulse && (c == '*' || c == '#' || c == '+' || (c >= 'A' && c <= 'D'))) {
            return false;
        }
    }
    return true;
}

Verdict Judge(const AtCommand& command, const ModemRecord& modem, const AllowList& allowed,
              bool pulse) {
    switch (command.kind) {
        case AtCommand::Kind::Dial:
            return JudgeDial(command, modem, allowed, pulse);
        case AtCommand::Kind::Extended:
            return JudgeExtended(command, modem, allowed);
        case AtCommand::Kind::StoreNumber: {
            const DialString dial = ReadDialString(command.value);
            if (command.number < 0 || command.number > 99 || dial.refuse || dial.redial ||
                dial.stored >= 0) {
                return Error();
            }
            Verdict v = Forward("&Z" + std::to_string(command.number) + "=" + dial.canonical,
                                Effect::Store);
            v.storeIndex = command.number;
            v.text = dial.canonical;
            return v;
        }
        case AtCommand::Kind::Register: {
            if (command.number > 255 || (command.assign && SmallNumber(command.value) > 255)) {
                return Error();
            }
            const int n = command.number;
            if (n == 2 || n == 3 || n == 4 || n == 5 || n == 12) {
                return LocalCommand();
            }
            std::string out = "S" + std::to_string(n);
            if (command.query) {
                out += '?';
            } else if (command.assign) {
                out += '=' + command.value;
            }
            return Forward(out);
        }
        case AtCommand::Kind::Prefixed: {
            std::string out{command.prefix, command.letter};
            if (command.number >= 0) {
                out += std::to_string(command.number);
            }
            if (command.query) {
                out += '?';
            } else if (command.assign) {
                out += '=' + command.value;
            }
            if (command.prefix != '&') {
                // "\D0900": a modem that does not know the prefix and skips it would dial.
                return command.letter == 'D' ? Error() : Forward(out, Effect::Unknown);
            }
            if (command.letter == 'D') {
                return LocalCommand();
            }
            return Forward(out, command.letter == 'F' ? Effect::Reset : Effect::None);
        }
        case AtCommand::Kind::Basic: {
            const char c = command.letter;
            if (c == 'E' || c == 'V' || c == 'Q' || c == 'T' || c == 'P') {
                return LocalCommand();
            }
            std::string out(1, c);
            if (command.number >= 0) {
                out += std::to_string(command.number);
            }
            if (command.query) {
                out += '?';
            }
            switch (c) {
                case 'A':
                    return Forward("A", Effect::Answer);
                case 'O': {
                    // The modem is never left in online command state (its escape is off, the
                    // program's is the blocker's): O has no call to return to.
                    Verdict v = LocalCommand();
                    v.effect = Effect::Online;
                    return v;
                }
                case 'H':
                    return Forward(out, command.number <= 0 ? Effect::HangUp : Effect::None);
                case 'Z':
                    return Forward(out, Effect::Reset);
                default:
                    return Forward(out);
            }
        }
    }
    return Error();
}

Verdict JudgeMessage(MessageKind kind, const ExtendedArgs& args, const ModemRecord& modem,
                     std::string_view content, const AllowList& allowed) {
    const std::string canonical = CanonicalExtended('+', args);
    const auto& v = args.values;
    if (kind == MessageKind::Write) {
        return Forward(canonical, Effect::Message);  // stored, not sent
    }
    if (modem.messageFormat == 1) {
        const std::size_t at = kind == MessageKind::Send ? 0 : 4;
        if (v.size() <= at || v[at].empty()) {
            return Refuse(Verdict::Answer::MessageError, 302, "");
        }
        if (!NumberAllowed(v[at], modem, allowed)) {
            return Refuse(Verdict::Answer::MessageError, 302, Reported(v[at], modem));
        }
        return Forward(canonical, Effect::Message);
    }
    if (kind != MessageKind::Send) {
        return Refuse(Verdict::Answer::MessageError, 304, "");
    }
    const int length = v.empty() ? -1 : SmallNumber(v[0]);
    for (const char c : content) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return Refuse(Verdict::Answer::MessageError, 304, "");
        }
    }
    const auto destinations = length < 0 ? std::vector<std::string>{}
                                         : SubmitDestinations(content, length);
    if (destinations.empty()) {
        return Refuse(Verdict::Answer::MessageError, 304, "");
    }
    for (const auto& destination : destinations) {
        if (!allowed.Allows(NormaliseNumber(destination))) {
            return Refuse(Verdict::Answer::MessageError, 302, destination);
        }
    }
    return Forward(canonical, Effect::Message);
}

}  // namespace kestrine::driver
