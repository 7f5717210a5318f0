#include "driver/ModemLink.h"

#include <cstdlib>
#include <utility>

namespace kestrine::driver {

namespace {

using namespace std::chrono_literals;

constexpr auto kStepTime = 3s;      // a configuration line's answer
constexpr auto kCommandTime = 180s;  // the program's command (a network search takes minutes)
constexpr auto kRetryTime = 5s;     // a modem that did not answer is tried again
constexpr std::size_t kMaxModemLine = 1024;

struct Step {
    const char* line;
    bool required;
};
// Step 0 starts with Escape: a message prompt left open takes it as "send nothing".
constexpr Step kSteps[] = {
    {"\x1b" "ATE0V1Q0S3=13S4=10S5=8\r", true},
    {"AT&D2\r", false},
    {"ATS2=128\r", false},
    {"ATS2?\r", false},
    {"AT+CMEE=1\r", false},
    {"AT+CMGF?\r", false},
    {"AT+CSCS?\r", false},
};
constexpr std::size_t kStepCount = sizeof kSteps / sizeof kSteps[0];
constexpr std::size_t kS2Query = 3;
constexpr std::size_t kFormatQuery = 5;
constexpr std::size_t kCharsetQuery = 6;

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsEcho(const std::string& line) {
    return line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') &&
           (line[1] == 'T' || line[1] == 't' || line[1] == '/');
}

std::string Unquoted(std::string text) {
    std::string out;
    for (const char c : text) {
        if (c != '"' && c != ' ') {
            out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        }
    }
    return out;
}


}  // namespace

bool ModemLink::IsFinal(const std::string& line) {
    static const char* const kWords[] = {"OK",          "NO CARRIER", "ERROR",      "BUSY",
                                         "NO DIALTONE", "NO DIAL TONE", "NO ANSWER", "DELAYED",
                                         "BLACKLISTED"};
    for (const char* word : kWords) {
        if (line == word) {
            return true;
        }
    }
    return StartsWith(line, "CONNECT") || StartsWith(line, "+CME ERROR") ||
           StartsWith(line, "+CMS ERROR");
}

void ModemLink::Restart(Clock::time_point now, std::vector<Op>& ops, bool hangUp) {
    if (hangUp) {
        ops.push_back({Op::Kind::HangUp, {}});
        record_.callPrefix.clear();
        record_.callPrefixed = false;
        record_.heldDial.clear();
    }
    state_ = State::Settling;
    effect_ = Effect::None;
    partial_.clear();
    tail_.clear();
    lineFeedDue_ = false;
    bodyNext_ = false;
    suspect_ = false;
    deadline_ = now + settle_;
    if (!hangUp || settle_ == Clock::duration::zero()) {
        step_ = 0;
        ConfigStep(now, ops);
    }
}

void ModemLink::ConfigStep(Clock::time_point now, std::vector<Op>& ops) {
    if (step_ == 0) {
        fresh_ = record_;
        fresh_.mobile = false;
        fresh_.messageFormat = 0;
        fresh_.charset.clear();
        liveEscape_ = '+';
    }
    if (step_ == kCharsetQuery && !fresh_.mobile) {
        ++step_;
    }
    if (step_ >= kStepCount) {
        record_ = fresh_;
        state_ = State::Ready;
        deadline_.reset();
        return;
    }
    state_ = State::Configuring;
    partial_.clear();
    deadline_ = now + kStepTime;
    ops.push_back({Op::Kind::Write, kSteps[step_].line});
}

void ModemLink::Send(const std::string& command, Effect effect, Clock::time_point now,
                     std::vector<Op>& ops) {
    if (state_ != State::Ready) {
        std::abort();  // one command at a time, and only to a configured modem
    }
    state_ = effect == Effect::Message ? State::Prompt : State::Busy;
    effect_ = effect;
    partial_.clear();
    deadline_ = now + kCommandTime;
    ops.push_back({Op::Kind::Write, "AT" + command + "\r"});
}

void ModemLink::SendContent(const std::string& content, Clock::time_point now,
                            std::vector<Op>& ops) {
    state_ = State::Busy;
    partial_.clear();
    deadline_ = now + kCommandTime;
    ops.push_back({Op::Kind::Write, content + "\x1a"});
}

void ModemLink::AbortCall(std::vector<Op>& ops) {
    ops.push_back({Op::Kind::Write, "\r"});
}

void ModemLink::SendData(std::string_view bytes, std::vector<Op>& ops) {
    if (bytes.empty() || state_ != State::Data) {
        return;  // the call is over: its data goes nowhere
    }
    if (!ops.empty() && ops.back().kind == Op::Kind::Write && ops.back().data) {
        ops.back().bytes.append(bytes);
    } else {
        ops.push_back({Op::Kind::Write, std::string(bytes), true});
    }
}

void ModemLink::FromModem(std::string_view bytes, Clock::time_point now, std::vector<Op>& ops,
                          std::vector<Event>& events) {
    if (state_ == State::Settling || state_ == State::NotAnswering) {
        return;  // what a modem says before it is configured is nobody's
    }
    if (state_ == State::Data) {
        if (std::exchange(lineFeedDue_, false) && !bytes.empty() && bytes[0] == '\n') {
            bytes.remove_prefix(1);  // the end of the CONNECT line, not the call's
            if (bytes.empty()) {
                return;
            }
        }
        events.push_back({Event::Kind::Data, std::string(bytes)});
        tail_.append(bytes);
        if (tail_.find("NO CARRIER") != std::string::npos) {
            state_ = State::Ready;
            tail_.clear();
            events.push_back({Event::Kind::DataEnded, {}});
        } else if (tail_.size() > 16) {
            tail_.erase(0, tail_.size() - 16);
        }
        return;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        const char c = bytes[at];
        if (state_ == State::Data) {
            // A CONNECT ended the lines: the rest of this read is the call's.
            FromModem(bytes.substr(at), now, ops, events);
            return;
        }
        if (c == '\r' || c == '\n') {
            if (!partial_.empty()) {
                Line(std::exchange(partial_, {}), now, ops, events);
                lineFeedDue_ = c == '\r';
            }
            continue;
        }
        partial_.push_back(c);
        if (state_ == State::Prompt && (partial_ == "> " || partial_ == ">")) {
            // The prompt has no line end; a modem may send the blank after it later.
            partial_.clear();
            state_ = State::Busy;
            events.push_back({Event::Kind::Prompt, {}});
        } else if (partial_.size() >= kMaxModemLine) {
            Line(std::exchange(partial_, {}), now, ops, events);
        }
    }
}

void ModemLink::Line(const std::string& line, Clock::time_point now, std::vector<Op>& ops,
                     std::vector<Event>& events) {
    if (state_ == State::Configuring) {
        ConfigLine(line, IsFinal(line), now, ops, events);
        return;
    }
    if (IsEcho(line)) {
        suspect_ = true;  // the modem echoes: it is not as configured
        return;
    }
    if (line.find_first_not_of("> ") == std::string::npos) {
        return;  // a message's further prompts, the blank behind one
    }
    const bool body = std::exchange(bodyNext_, false);
    if (!body && (StartsWith(line, "+CMT:") || StartsWith(line, "+CBM:") ||
                  StartsWith(line, "+CDS:"))) {
        bodyNext_ = true;
    }
    const bool outstanding = state_ == State::Busy || state_ == State::Prompt;
    if (!outstanding || body || bodyNext_ || line == "RING" || StartsWith(line, "+CRING")) {
        events.push_back({Event::Kind::Unsolicited, line});
        return;
    }
    if (!IsFinal(line)) {
        events.push_back({Event::Kind::Info, line});
        return;
    }
    if (StartsWith(line, "CONNECT") && PlacesCall(effect_)) {
        state_ = State::Data;
        tail_.clear();
    } else if (StartsWith(line, "CONNECT")) {
        // CONNECT to something that is no call: the modem is not what it seems.
        suspect_ = true;
        state_ = State::Ready;
    } else {
        state_ = State::Ready;
    }
    deadline_.reset();
    events.push_back({Event::Kind::Final, line});
}

void ModemLink::ConfigLine(const std::string& line, bool final, Clock::time_point now,
                           std::vector<Op>& ops, std::vector<Event>& events) {
    if (!final) {
        if (step_ == kS2Query && !line.empty() && line.find_first_not_of("0123456789") ==
                                                      std::string::npos && line.size() <= 3) {
            const int value = std::stoi(line);
            if (value > 127) {
                liveEscape_.reset();
            } else {
                liveEscape_ = static_cast<char>(value);
            }
        } else if (step_ == kFormatQuery && StartsWith(line, "+CMGF:")) {
            const std::string value = Unquoted(line.substr(6));
            fresh_.mobile = true;
            fresh_.messageFormat = value == "1" ? 1 : 0;
        } else if (step_ == kCharsetQuery && StartsWith(line, "+CSCS:")) {
            fresh_.charset = Unquoted(line.substr(6));
        }
        return;
    }
    const bool ok = line == "OK";
    if (step_ == 0 && !ok) {
        // What a hang-up or an earlier command left (NO CARRIER, ERROR) is no answer to the
        // first line: only its OK counts, and without one in time the modem is not answering.
        return;
    }
    if (step_ == kFormatQuery && !ok) {
        fresh_.mobile = false;
    }
    ++step_;
    ConfigStep(now, ops);
    if (state_ == State::Ready) {
        events.push_back({Event::Kind::Ready, {}});
    }
}

void ModemLink::Tick(Clock::time_point now, std::vector<Op>& ops, std::vector<Event>& events) {
    if (!deadline_ || now < *deadline_) {
        return;
    }
    switch (state_) {
        case State::Settling:
            step_ = 0;
            ConfigStep(now, ops);
            if (state_ == State::Ready) {
                events.push_back({Event::Kind::Ready, {}});
            }
            break;
        case State::Configuring:
            if (kSteps[step_].required) {
                state_ = State::NotAnswering;
                deadline_ = now + kRetryTime;
                events.push_back({Event::Kind::NotAnswering, {}});
            } else {
                ++step_;  // an optional line the modem does not answer: as if refused
                ConfigStep(now, ops);
                if (state_ == State::Ready) {
                    events.push_back({Event::Kind::Ready, {}});
                }
            }
            break;
        case State::NotAnswering:
            Restart(now, ops);
            break;
        case State::Busy:
        case State::Prompt:
            // Given up: the command's answer never came.
            events.push_back({Event::Kind::Final, "ERROR"});
            Restart(now, ops);
            break;
        default:
            deadline_.reset();
            break;
    }
}

}  // namespace kestrine::driver
