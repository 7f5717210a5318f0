#include "app/LogView.h"

#include <fcntl.h>
#include <sys/file.h>
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
    const Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0 || ::flock(file.fd, LOCK_SH | LOCK_NB) != 0) {
        return std::nullopt;
    }
    std::string text;
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
    bool emptied = false;
    if (!log_.LogPath.empty()) {
        const Fd file{::open(log_.LogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        emptied = file.fd >= 0;
        if (emptied) {
            log::ShareWithFolderGroup(file.fd, log_.LogPath);
        }
    }
    if (!emptied) {
        prompts_.Error("Unable to empty log file");
        return;
    }
    log_.LogLine("Log file cleared");
    if (!LoadMemo()) {
        prompts_.Error("Unable to empty log file");
    }
}

}  // namespace kestrine::app
