#include "ctl/TerminalPrompts.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace kestrine::ctl {

namespace {

// Messages of the shared code use the window's CR LF line breaks.
std::string Plain(std::string text) {
    for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) {
        text.replace(at, 2, "\n");
    }
    return text;
}

void Say(const std::string& text) {
    std::fprintf(stderr, "kestrine-ctl: %s\n", Plain(text).c_str());
}

// Asks `prompt` on the controlling terminal and reads one line; echo off when `hidden`.
bool AskTerminal(const std::string& prompt, bool hidden, std::string& answer) {
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    termios before{};
    const bool terminal = ::tcgetattr(tty, &before) == 0;
    if (terminal && hidden) {
        termios quiet = before;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        quiet.c_lflag |= ICANON;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    const std::string shown = Plain(prompt);
    [[maybe_unused]] auto written = ::write(tty, shown.data(), shown.size());
    answer.clear();
    char c = 0;
    bool read = false;
    while (::read(tty, &c, 1) == 1) {
        read = true;
        if (c == '\n') {
            break;
        }
        answer += c;
    }
    if (terminal && hidden) {
        ::tcsetattr(tty, TCSAFLUSH, &before);
        written = ::write(tty, "\n", 1);
    }
    ::close(tty);
    return terminal && read;
}

}  // namespace

bool TerminalPrompts::Confirm(const std::string& text) {
    std::string answer;
    if (!AskTerminal(text + " [y/N] ", false, answer)) {
        noTerminal_ = true;
        Say(text + " (no terminal to answer on: taken as No)");
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes";
}

void TerminalPrompts::Error(const std::string& text) {
    Say(text);
}
void TerminalPrompts::Warning(const std::string& text) {
    Say(text);
}
void TerminalPrompts::Information(const std::string& text) {
    Say(text);
}
void TerminalPrompts::CommonError(const std::string& text) {
    Say(text);
}

PinAnswer TerminalPrompts::AskPIN(const std::string& prompt) {
    std::string pin;
    const std::string shown = prompt.find_first_not_of(' ') == std::string::npos ? "PIN" : prompt;
    if (!AskTerminal(shown + ": ", true, pin)) {
        noTerminal_ = true;
        Say("parental control is on: the PIN is asked on a terminal, and there is none");
        return {};
    }
    return {true, pin};
}

}  // namespace kestrine::ctl
