#include "driver/VirtualModem.h"

#include "driver/DialJudge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "driver/AllowList.h"
#include "driver/AtCommand.h"
#include "driver/DialJudge.h"
#include "driver/SmsPdu.h"

namespace kestrine::driver {

namespace {
constexpr const char* kConnect = "CONNECT 33600";
constexpr std::size_t kMaxLine = 255;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
constexpr char kCtrlZ = '\x1A';
constexpr char kEscape = '\x1B';
constexpr const char* kNetworkReply = "+CUSD: 0,\"Kestrine virtual network: no offers today\",15";

bool IsServiceCode(const std::string& number) {
    return number.size() >= 2 && (number.front() == '*' || number.front() == '#') &&
           number.back() == '#';
}

// "CMGS="0123",145" as its name and its arguments, without quotes; `quoted` for the first.
struct Arguments {
    std::string name;
    bool assign = false;
    bool query = false;
    std::vector<std::string> values;
    bool quoted = false;
};

Arguments Split(const std::string& text) {
    Arguments args;
    std::size_t i = 0;
    while (i < text.size() && text[i] != '=' && text[i] != '?') {
        args.name.push_back(Upper(text[i++]));
    }
    args.query = i < text.size() && text[i] == '?';
    if (i >= text.size() || text[i] != '=') {
        return args;
    }
    args.assign = true;
    std::string value;
    bool inQuotes = false;
    for (++i; i < text.size(); ++i) {
        if (text[i] == '"') {
            inQuotes = !inQuotes;
            args.quoted = args.quoted || args.values.empty();
        } else if (text[i] == ',' && !inQuotes) {
            args.values.push_back(std::exchange(value, {}));
        } else {
            value.push_back(text[i]);
        }
    }
    args.values.push_back(value);
    return args;
}

bool IsNumber(const std::string& text) {
    return !text.empty() && text.size() < 7 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}
}  // namespace

VirtualModem::VirtualModem(Options options) : options_(options) {
    std::memset(factory_.registers, 0, sizeof factory_.registers);
    factory_.registers[2] = '+';
    factory_.registers[3] = '\r';
    factory_.registers[4] = '\n';
    factory_.registers[5] = '\b';
    factory_.registers[6] = 2;
    factory_.registers[7] = 50;
    factory_.registers[8] = 2;
    factory_.registers[10] = 14;
    factory_.registers[12] = 50;
    factory_.echo = true;
    factory_.verbose = true;
    factory_.quiet = false;
    std::memcpy(registers_, factory_.registers, sizeof registers_);
}

VirtualModem::Profile VirtualModem::Current() const {
    Profile profile;
    std::memcpy(profile.registers, registers_, sizeof registers_);
    profile.echo = echo_;
    profile.verbose = verbose_;
    profile.quiet = quiet_;
    return profile;
}

void VirtualModem::Restore(const Profile& profile) {
    const unsigned char kept[] = {registers_[2], registers_[3], registers_[5]};
    std::memcpy(registers_, profile.registers, sizeof registers_);
    if (options_.resetsKeepFraming) {
        registers_[2] = kept[0];
        registers_[3] = kept[1];
        registers_[5] = kept[2];
    }
    echo_ = profile.echo;
    verbose_ = profile.verbose;
    quiet_ = profile.quiet;
}

std::optional<VirtualModem::Clock::time_point> VirtualModem::NextDeadline() const {
    if (escapeAt_ && dialEnd_) {
        return std::min(*escapeAt_, *dialEnd_);
    }
    return escapeAt_ ? escapeAt_ : dialEnd_;
}

std::string VirtualModem::Result(const char* verbose, int numeric) const {
    if (quiet_) {
        return {};
    }
    const char cr = static_cast<char>(registers_[3]);
    const char lf = static_cast<char>(registers_[4]);
    if (verbose_) {
        return std::string{cr, lf} + verbose + std::string{cr, lf};
    }
    return std::to_string(numeric) + cr;
}

std::string VirtualModem::Info(const std::string& text) const {
    const std::string end{static_cast<char>(registers_[3]), static_cast<char>(registers_[4])};
    return end + text + end;
}

std::string VirtualModem::Prompt() const {
    return std::string{static_cast<char>(registers_[3]), static_cast<char>(registers_[4])} + "> ";
}

std::optional<std::string> VirtualModem::Mobile(const std::string& command) {
    if (options_.landline) {
        return Result("ERROR", 4);
    }
    const Arguments args = Split(command);
    const auto& v = args.values;
    const auto error = [&] {
        return cmee_ == 0 ? Result("ERROR", 4) : Info("+CMS ERROR: " + std::string("500"));
    };
    if (args.name == "CMGF" || args.name == "CMEE") {
        int& setting = args.name == "CMGF" ? cmgf_ : cmee_;
        if (args.query) {
            return Info("+" + args.name + ": " + std::to_string(setting)) + Result("OK", 0);
        }
        const int limit = args.name == "CMGF" ? 1 : 2;
        if (args.assign && (!IsNumber(v[0]) || std::stoi(v[0]) > limit)) {
            return Result("ERROR", 4);
        }
        if (args.assign) {
            setting = std::stoi(v[0]);
        }
    } else if (args.name == "CSCA") {
        if (args.query) {
            return Info("+CSCA: \"" + centre_ + "\",145") + Result("OK", 0);
        }
        if (args.assign) {
            centre_ = v[0];
        }
    } else if ((args.name == "CMGS" || args.name == "CMGW") && args.assign) {
        // Text mode names the destination (quoted; a lenient modem takes it bare too), PDU
        // mode gives the message's length. Either way the text follows the "> " prompt.
        message_ = {};
        message_.pdu = cmgf_ == 0;
        if (message_.pdu) {
            if (!IsNumber(v[0]) || args.quoted) {
                return error();
            }
            message_.length = std::stoi(v[0]);
        } else {
            if (!args.quoted && !options_.lenient && args.name == "CMGS") {
                return error();
            }
            message_.to = v[0];
        }
        taking_ = args.name == "CMGS" ? Taking::Send : Taking::Write;
        return Prompt();
    } else if (args.name == "CMSS" && args.assign) {
        const auto stored =
            IsNumber(v[0]) ? storedMessages_.find(std::stoi(v[0])) : storedMessages_.end();
        if (stored == storedMessages_.end()) {
            return cmee_ == 0 ? Result("ERROR", 4) : Info("+CMS ERROR: 321");
        }
        calls_.push_back({v.size() > 1 ? v[1] : stored->second.to, false, Dialled::Kind::Message});
        return Info("+CMSS: " + std::to_string(++reference_ % 256)) + Result("OK", 0);
    } else if (args.name == "CHUP" && !args.assign && !args.query) {
        // 27.007's hang-up of a voice call, or one held after ';'.
        prefix_.clear();
        callUp_ = false;
    } else if (args.name == "CUSD" && args.assign && v.size() > 1) {
        calls_.push_back({v[1], false, Dialled::Kind::Code});
        return Result("OK", 0) + Info(kNetworkReply);
    }
    return std::nullopt;
}

std::string VirtualModem::MessageInput(char c) {
    std::string out;
    if (echo_ && c != kCtrlZ && c != kEscape) {
        out.push_back(c);
    }
    if (c == kEscape) {
        taking_ = Taking::None;
        return out + Result("OK", 0);
    }
    if (c == '\r') {
        message_.text.push_back('\n');
        return out + Prompt();
    }
    if (c != kCtrlZ) {
        if (message_.text.size() < 2048) {
            message_.text.push_back(c);
        }
        return out;
    }
    const Taking taking = std::exchange(taking_, Taking::None);
    if (message_.pdu) {
        const auto destinations = SubmitDestinations(message_.text, message_.length);
        if (destinations.empty()) {
            return out + (cmee_ == 0 ? Result("ERROR", 4) : Info("+CMS ERROR: 304"));
        }
        message_.to = destinations.front();
    }
    if (taking == Taking::Write) {
        const int index = storedMessages_.empty() ? 1 : storedMessages_.rbegin()->first + 1;
        storedMessages_[index] = message_;
        return out + Info("+CMGW: " + std::to_string(index)) + Result("OK", 0);
    }
    calls_.push_back({message_.to, false, Dialled::Kind::Message});
    return out + Info("+CMGS: " + std::to_string(++reference_ % 256)) + Result("OK", 0);
}

std::optional<std::string> VirtualModem::Dial(const std::string& value, bool continued,
                                              Clock::time_point now) {
    std::string digits;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = Upper(value[i]);
        if (c == 'L') {
            digits += lastNumber_;
        } else if (c == 'S') {
            std::size_t j = i + 1;
            if (j < value.size() && value[j] == '=') {
                ++j;
            }
            const std::size_t start = j;
            while (j < value.size() && value[j] >= '0' && value[j] <= '9' && j - start < 3) {
                ++j;
            }
            const int slot = j > start ? std::stoi(value.substr(start, j - start)) : 0;
            const auto stored = numbers_.find(slot);
            if (stored == numbers_.end()) {
                return Result("ERROR", 4);
            }
            digits += NormaliseNumber(stored->second);
            i = j - 1;
        } else if (c == '>') {
            return Result("ERROR", 4);  // no phonebook here
        } else {
            digits += NormaliseNumber(std::string_view(&c, 1));
        }
    }
    if (IsServiceCode(digits) && !(IsPacketDataCall(digits) && !continued && prefix_.empty())) {
        calls_.push_back({digits, false, Dialled::Kind::Code});  // to the network, not a line
        return Result("OK", 0) + Info(kNetworkReply);
    }
    const std::string number = prefix_ + digits;
    calls_.push_back({number, continued});
    callUp_ = true;
    if (continued) {
        prefix_ = number;
        return std::nullopt;
    }
    lastNumber_ = options_.redialsLastDialOnly ? digits : number;
    prefix_.clear();
    if (options_.dialTime > Clock::duration::zero()) {
        dialEnd_ = now + options_.dialTime;
        return std::string();
    }
    dialEnd_ = now;
    return Tick(now);
}

std::string VirtualModem::Execute(const std::string& line, Clock::time_point now) {
    const auto at = FindAtPrefix(line);
    if (at == std::string::npos) {
        return {};
    }
    lastLine_ = line;
    const AtLine parsed = ParseAtCommands(std::string_view(line).substr(at),
                                          options_.lenient ? Reading::Lenient : Reading::Strict);
    if (!parsed.complete) {
        return Result("ERROR", 4);
    }
    std::string text;  // information text before the final result
    const char cr = static_cast<char>(registers_[3]);
    const char lf = static_cast<char>(registers_[4]);
    for (const auto& command : parsed.commands) {
        bool failed = false;
        switch (command.kind) {
            case AtCommand::Kind::Dial:
                if (auto answer = Dial(command.value, command.continued, now)) {
                    return text + *answer;
                }
                break;
            case AtCommand::Kind::Register:
                if (command.number > 255) {
                    failed = true;
                } else if (command.query) {
                    char value[8];
                    std::snprintf(value, sizeof value, "%03u", registers_[command.number]);
                    text += std::string{cr, lf} + value + std::string{cr, lf};
                } else if (command.assign) {
                    const int value = std::stoi(command.value);
                    if (value > 255) {
                        failed = true;
                    } else {
                        registers_[command.number] = static_cast<unsigned char>(value);
                    }
                }
                break;
            case AtCommand::Kind::StoreNumber:
                numbers_[std::max(command.number, 0)] = command.value;
                break;
            case AtCommand::Kind::Extended:
                if (command.prefix == '+') {
                    if (auto answer = Mobile(command.value)) {
                        return text + *answer;
                    }
                }
                break;
            case AtCommand::Kind::Prefixed:
                if (command.prefix == '&' && command.letter == 'F') {
                    Restore(factory_);
                } else if (command.prefix == '&' && command.letter == 'W') {
                    stored_ = Current();
                }
                break;
            case AtCommand::Kind::Basic: {
                const bool on = command.number > 0;
                switch (command.letter) {
                    case 'E':
                        echo_ = on;
                        break;
                    case 'V':
                        verbose_ = on;
                        break;
                    case 'Q':
                        quiet_ = on;
                        break;
                    case 'Z':
                        Restore(stored_ ? *stored_ : factory_);
                        callUp_ = false;
                        prefix_.clear();
                        break;
                    case 'H':
                        prefix_.clear();
                        if (callUp_) {
                            callUp_ = false;
                            return text + Result("NO CARRIER", 3);
                        }
                        break;
                    case 'I':
                        text +=
                            std::string{cr, lf} + "Kestrine virtual modem" + std::string{cr, lf};
                        break;
                    case 'O':
                        if (!callUp_) {
                            return text + Result("NO CARRIER", 3);
                        }
                        online_ = true;
                        return text + Result(kConnect, 1);
                    case 'A':
                        return text + Result("NO CARRIER", 3);  // nobody is calling
                    case 'B':
                    case 'C':
                    case 'L':
                    case 'M':
                    case 'N':
                    case 'P':
                    case 'T':
                    case 'W':
                    case 'X':
                    case 'Y':
                    case 'F':
                    case 'K':
                    case 'R':
                        break;
                    default:
                        failed = true;
                        break;
                }
                break;
            }
        }
        if (failed && !options_.lenient) {
            return text + Result("ERROR", 4);
        }
    }
    return text + Result("OK", 0);
}

std::string VirtualModem::Input(std::string_view bytes, Clock::time_point now) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        // Commands are read in 7 bits (the 8th may be a parity bit); a call's data in 8.
        const char c = online_ ? bytes[i] : static_cast<char>(bytes[i] & 0x7f);
        if (taking_ != Taking::None) {
            out += MessageInput(c);
            continue;
        }
        if (dialEnd_) {
            // Any key ends a dial in progress; the key itself is gone.
            dialEnd_.reset();
            callUp_ = false;
            out += Result("NO CARRIER", 3);
            continue;
        }
        if (online_) {
            out.push_back(c);  // the far end echoes
            if (c == static_cast<char>(registers_[2]) && registers_[2] < 128 &&
                (pluses_ > 0 || now - lastByte_ >= Guard())) {
                if (++pluses_ == 3) {
                    escapeAt_ = now + Guard();
                }
            } else {
                pluses_ = 0;
                escapeAt_.reset();
            }
            lastByte_ = now;
            continue;
        }
        if (echo_) {
            out.push_back(c);
        }
        if (c == static_cast<char>(registers_[3])) {
            const std::string line = std::move(line_);
            line_.clear();
            if (std::exchange(overflow_, false)) {
                out += Result("ERROR", 4);  // too long to run, and never run cut short
            } else {
                out += Execute(line, now);
            }
            continue;
        }
        if (c == static_cast<char>(registers_[5])) {
            if (!line_.empty()) {
                line_.pop_back();
            }
            continue;
        }
        if (line_.empty() && (c == '\n' || c == '\0')) {
            continue;
        }
        if (line_.size() >= kMaxLine) {
            overflow_ = true;
            continue;
        }
        line_.push_back(c);
        if (c == '/' && !overflow_ && FindRepeat(line_) != std::string::npos) {
            line_.clear();
            out += Execute(lastLine_, now);
        }
    }
    return out;
}

std::string VirtualModem::Tick(Clock::time_point now) {
    std::string out;
    if (dialEnd_ && now >= *dialEnd_) {
        dialEnd_.reset();
        if (options_.busy) {
            callUp_ = false;
            out += Result("BUSY", 7);
        } else {
            online_ = true;
            out += Result(kConnect, 1);
        }
    }
    if (escapeAt_ && now >= *escapeAt_) {
        escapeAt_.reset();
        pluses_ = 0;
        online_ = false;
        out += Result("OK", 0);
    }
    return out;
}

std::string VirtualModem::HangUp(bool report) {
    const bool wasUp = callUp_;
    callUp_ = false;
    online_ = false;
    pluses_ = 0;
    escapeAt_.reset();
    dialEnd_.reset();
    prefix_.clear();
    line_.clear();
    overflow_ = false;
    taking_ = Taking::None;
    return wasUp && report ? Result("NO CARRIER", 3) : std::string();
}

}  // namespace kestrine::driver
