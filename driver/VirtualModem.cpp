#include "driver/VirtualModem.h"

#include <cstdio>
#include <cstring>

#include "driver/AtCommand.h"

namespace kestrine::driver {

namespace {
constexpr const char* kConnect = "CONNECT 33600";
constexpr std::size_t kMaxLine = 255;
}  // namespace

void VirtualModem::Reset() {
    std::memset(registers_, 0, sizeof registers_);
    registers_[2] = '+';
    registers_[3] = '\r';
    registers_[4] = '\n';
    registers_[5] = '\b';
    registers_[6] = 2;
    registers_[7] = 50;
    registers_[8] = 2;
    registers_[10] = 14;
    registers_[12] = 50;
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
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

std::string VirtualModem::Execute(const std::string& line) {
    const auto at = FindAtPrefix(line);
    if (at == std::string::npos) {
        return {};
    }
    lastLine_ = line;
    const AtLine parsed = ParseAtCommands(std::string_view(line).substr(at));
    if (!parsed.complete) {
        return Result("ERROR", 4);
    }
    std::string text;  // information text before the final result
    const char cr = static_cast<char>(registers_[3]);
    const char lf = static_cast<char>(registers_[4]);
    for (const auto& command : parsed.commands) {
        switch (command.kind) {
            case AtCommand::Kind::Dial:
                if (command.continued) {
                    callUp_ = true;  // off-hook, still in command mode
                    break;
                }
                callUp_ = true;
                online_ = true;
                return text + Result(kConnect, 1);
            case AtCommand::Kind::Register:
                if (command.number > 255) {
                    return Result("ERROR", 4);
                }
                if (command.query) {
                    char value[8];
                    std::snprintf(value, sizeof value, "%03u", registers_[command.number]);
                    text += std::string{cr, lf} + value + std::string{cr, lf};
                } else if (command.assign) {
                    const int value = std::stoi(command.value);
                    if (value > 255) {
                        return Result("ERROR", 4);
                    }
                    registers_[command.number] = static_cast<unsigned char>(value);
                }
                break;
            case AtCommand::Kind::StoreNumber:
            case AtCommand::Kind::Extended:
                break;
            case AtCommand::Kind::Prefixed:
                if (command.prefix == '&' && command.letter == 'F') {
                    Reset();
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
                        Reset();
                        callUp_ = false;
                        break;
                    case 'H':
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
                        return Result("ERROR", 4);
                }
                break;
            }
        }
    }
    return text + Result("OK", 0);
}

std::string VirtualModem::Input(std::string_view bytes, Clock::time_point now) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
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
            out += Execute(line);
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
        if (line_.size() < kMaxLine) {
            line_.push_back(c);
        }
        if (c == '/' && FindRepeat(line_) != std::string::npos) {
            line_.clear();
            out += Execute(lastLine_);
        }
    }
    return out;
}

std::string VirtualModem::Tick(Clock::time_point now) {
    if (!escapeAt_ || now < *escapeAt_) {
        return {};
    }
    escapeAt_.reset();
    pluses_ = 0;
    online_ = false;
    return Result("OK", 0);
}

std::string VirtualModem::HangUp(bool report) {
    const bool wasUp = callUp_;
    callUp_ = false;
    online_ = false;
    pluses_ = 0;
    escapeAt_.reset();
    line_.clear();
    return wasUp && report ? Result("NO CARRIER", 3) : std::string();
}

}  // namespace kestrine::driver
