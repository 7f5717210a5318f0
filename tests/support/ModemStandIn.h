#pragma once
// The far end of a device port played by a test or a benchmark: it answers the dial blocker's
// configuration of the modem (no echo, verbose results, escape off, ...) as a modem without the
// mobile command set would, so that the port can be used afterwards.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kestrine::test {

// Answers the dial blocker's configuration lines read from `fd` as AnswerModemConfiguration
// does, and returns true when a line holding `wanted` comes (it is not answered); false when it
// did not come within `timeout`.
inline bool AnswerModemUntil(int fd, const std::string& wanted,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Reads the blocker's configuration lines from `fd` and answers each; true once the last one is
// answered, false when it did not come within `timeout`.
inline bool AnswerModemConfiguration(int fd,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return AnswerModemUntil(fd, {}, timeout);
}

inline bool AnswerModemUntil(int fd, const std::string& wanted,
                             std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, POLLIN, 0};
        char c = 0;
        if (::poll(&pfd, 1, 100) <= 0 || ::read(fd, &c, 1) != 1) {
            continue;
        }
        if (c != '\r') {
            line.push_back(c);
            continue;
        }
        if (!wanted.empty() && line.find(wanted) != std::string::npos) {
            return true;
        }
        // The message format query is the last line a modem without it is asked.
        const bool last = wanted.empty() && line.find("AT+CMGF?") != std::string::npos;
        const bool noMessages = line.find("AT+CMGF?") != std::string::npos;
        const std::string answer = noMessages ? "\r\nERROR\r\n"
                                   : line.find("ATS2?") != std::string::npos
                                       ? "\r\n128\r\n\r\nOK\r\n"
                                       : "\r\nOK\r\n";
        if (::write(fd, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
            return false;
        }
        if (last) {
            return true;
        }
        line.clear();
    }
    return false;
}

}  // namespace kestrine::test
