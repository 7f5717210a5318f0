#include "driver/ProgramSide.h"

#include <cstdio>
#include <utility>

namespace kestrine::driver {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

int NumericCode(const std::string& word) {
    if (word == "OK") {
        return 0;
    }
    if (word.compare(0, 7, "CONNECT") == 0) {
        return 1;
    }
    if (word == "RING") {
        return 2;
    }
    if (word == "NO CARRIER") {
        return 3;
    }
    if (word == "NO DIALTONE" || word == "NO DIAL TONE") {
        return 6;
    }
    if (word == "BUSY") {
        return 7;
    }
    if (word == "NO ANSWER") {
        return 8;
    }
    return 4;
}

}  // namespace

ProgramSide::Got ProgramSide::Feed(char byte, std::string& echo, std::string& line) {
    const auto c = static_cast<unsigned char>(static_cast<unsigned char>(byte) & 0x7f);
    const bool ends = c == settings.s3;
    const bool edits = c == settings.s5;
    if (settings.echo && (!IsControl(c) || ends || edits)) {
        echo.push_back(static_cast<char>(c));
    }
    const bool isA = c == 'A' || c == 'a';
    switch (state_) {
        case State::Idle:
            if (isA) {
                state_ = State::SawA;
            }
            return Got::None;
        case State::SawA:
            if (c == 'T' || c == 't') {
                state_ = State::InLine;
                line_.clear();
                overflow_ = false;
            } else if (c == '/') {
                state_ = State::Idle;
                return Got::Repeat;
            } else if (!isA && !IsControl(c)) {
                state_ = State::Idle;  // control characters are ignored even here
            }
            return Got::None;
        case State::InLine:
            if (ends) {
                state_ = State::Idle;
                line = std::move(line_);
                line_.clear();
                return std::exchange(overflow_, false) ? Got::Overflow : Got::Line;
            }
            if (edits) {
                if (!line_.empty()) {
                    line_.pop_back();
                }
                return Got::None;
            }
            if (IsControl(c)) {
                return Got::None;  // a modem ignores them inside a line
            }
            if (line_.size() >= kMaxLine) {
                overflow_ = true;
            } else {
                line_.push_back(static_cast<char>(c));
            }
            return Got::None;
    }
    return Got::None;
}

void ProgramSide::Clear() {
    state_ = State::Idle;
    line_.clear();
    overflow_ = false;
}

bool ProgramSide::ApplyLocal(const AtCommand& command, std::string& info) {
    auto& s = settings;
    if (command.kind == AtCommand::Kind::Basic &&
        (command.letter == 'T' || command.letter == 'P')) {
        if (command.number >= 0 || command.query) {
            return false;
        }
        s.pulse = command.letter == 'P';
        return true;
    }
    if (command.kind == AtCommand::Kind::Basic) {
        const int n = command.number < 0 ? 0 : command.number;
        if (n > 1) {
            return false;
        }
        (command.letter == 'E' ? s.echo : command.letter == 'V' ? s.verbose : s.quiet) = n == 1;
        return true;
    }
    if (command.kind == AtCommand::Kind::Prefixed) {  // &D
        const int n = command.number < 0 ? 0 : command.number;
        if (n > 3) {
            return false;
        }
        s.dtr = n;
        return true;
    }
    if (command.kind == AtCommand::Kind::Extended) {  // +CMEE
        const std::string& v = command.value;
        if (v == "CMEE?") {
            info += Info("+CMEE: " + std::to_string(s.cmee));
            return true;
        }
        if (v == "CMEE=?") {
            info += Info("+CMEE: (0-2)");
            return true;
        }
        if (v.size() == 5 && v.compare(0, 5, "CMEE=") == 0) {
            s.cmee = 0;
            return true;
        }
        if (v.size() == 6 && v.compare(0, 5, "CMEE=") == 0 && v[5] >= '0' && v[5] <= '2') {
            s.cmee = v[5] - '0';
            return true;
        }
        return false;
    }
    // S2 S3 S4 S5 S12
    unsigned char* reg = command.number == 2    ? &s.s2
                         : command.number == 3  ? &s.s3
                         : command.number == 4  ? &s.s4
                         : command.number == 5  ? &s.s5
                                                : &s.s12;
    if (command.query) {
        char text[8];
        std::snprintf(text, sizeof text, "%03u", static_cast<unsigned>(*reg));
        info += Info(text);
        return true;
    }
    if (command.assign) {
        const int value = std::stoi(command.value);
        const int limit = command.number == 2 || command.number == 12 ? 255 : 127;
        if (value > limit) {
            return false;
        }
        *reg = static_cast<unsigned char>(value);
    }
    return true;
}

std::string ProgramSide::Final(const std::string& modemWord) const {
    std::string word = modemWord;
    const bool extended =
        word.compare(0, 10, "+CME ERROR") == 0 || word.compare(0, 10, "+CMS ERROR") == 0;
    if (extended && settings.cmee == 0) {
        word = "ERROR";
    }
    if (settings.quiet) {
        return {};
    }
    const std::string cr(1, static_cast<char>(settings.s3));
    const std::string lf(1, static_cast<char>(settings.s4));
    if (settings.verbose) {
        return cr + lf + word + cr + lf;
    }
    if (extended && settings.cmee != 0) {
        return word + cr;
    }
    return std::to_string(NumericCode(word)) + cr;
}

std::string ProgramSide::Info(const std::string& text) const {
    const std::string cr(1, static_cast<char>(settings.s3));
    const std::string lf(1, static_cast<char>(settings.s4));
    return settings.verbose ? cr + lf + text + cr + lf : text + cr + lf;
}

std::string ProgramSide::Prompt() const {
    return std::string{static_cast<char>(settings.s3), static_cast<char>(settings.s4)} + "> ";
}

}  // namespace kestrine::driver
