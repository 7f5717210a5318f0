#include "app/LogView.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "log/LogOwner.h"
#include "log/Logfile.h"

namespace kestrine::app {

namespace {

// Closes the descriptor (and with it the lock) on every path.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::string WithCrLf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> ReadLogForView(const std::string& path) {
    if (path.empty()) {
        return std::nullopt;
    }
    bool created = false;
    const Fd file{log::OpenLogFile(path, O_RDONLY, false, created)};
    if (file.fd < 0 || ::flock(file.fd, LOCK_SH | LOCK_NB) != 0) {
        return std::nullopt;
    }
    // A large log is shown from its newest part on, starting at a whole line, so that showing it
    // takes bounded time and memory.
    std::string text;
    struct stat st {};
    if (::fstat(file.fd, &st) == 0 && st.st_size > static_cast<off_t>(kLogViewLimit)) {
        std::string tail(kLogViewLimit, '\0');
        const ssize_t n = ::pread(file.fd, tail.data(), tail.size(),
                                  st.st_size - static_cast<off_t>(tail.size()));
        if (n < 0) {
            return std::nullopt;
        }
        tail.resize(static_cast<std::size_t>(n));
        const auto lineStart = tail.find_first_of("\r\n");
        tail.erase(0, lineStart == std::string::npos ? 0 : lineStart + 1);
        if (!tail.empty() && tail.front() == '\n') {
            tail.erase(0, 1);
        }
        return "(The log is long: only its newest lines are shown here. Earlier lines are in " +
               path + ".)\r\n" + WithCrLf(tail);
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return WithCrLf(text);
}

LogView::LogView(log::LogOwner& log, numbers::ParentalControl& parental, Prompts& prompts,
                 LogMemo& memo)
    : log_(log), parental_(parental), prompts_(prompts), memo_(memo) {}

bool LogView::LoadMemo() {
    const auto text = ReadLogForView(log_.LogPath);
    return text && memo_.SetLogText(*text);
}

void LogView::TabSheet2Show() {
    LoadMemo();
}

void LogView::btnClearClick() {
    if (!prompts_.Confirm("Are you sure you want to clear the log?")) {
        return;
    }
    if (!parental_.PassPinGate(numbers::GatedAction::ClearLog)) {
        return;
    }
    // Emptied past the writer, which keeps the file closed between lines.
    // Never through a link or into a file someone else planted (Logfile.h).
    if (log_.LogPath.empty() || !log::EmptyLogFile(log_.LogPath)) {
        prompts_.Error("Unable to empty log file");
        return;
    }
    log_.LogLine("Log file cleared");
    if (!LoadMemo()) {
        prompts_.Error("Unable to empty log file");
    }
}

}  // namespace kestrine::app
