#include "driver/VirtualModem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "driver/AllowList.h"
#include "driver/AtCommand.h"

namespace kestrine::driver {

namespace {
constexpr const char* kConnect = "CONNECT 33600";
constexpr std::size_t kMaxLine = 255;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
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
        const char c = bytes[i];
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
    return wasUp && report ? Result("NO CARRIER", 3) : std::string();
}

}  // namespace kestrine::driver
