#include "driver/RefusalJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace kestrine::driver {

namespace {

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool Unhex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto digit = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

}  // namespace

std::unique_ptr<RefusalJournal> RefusalJournal::Open(const std::filesystem::path& path,
                                                     std::string& error) {
    UniqueFd fd(::open(path.c_str(),
                       O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid()) {
        error =
            "cannot use " + path.string() +
            (fd.Valid() ? ": not a file of this user's" : ": " + std::string(std::strerror(errno)));
        return nullptr;
    }
    std::string content;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::pread(fd.Get(), buffer, sizeof buffer, static_cast<off_t>(content.size()))) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    std::unique_ptr<RefusalJournal> journal(new RefusalJournal(std::move(fd)));
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        std::uint64_t sequence = 0;
        std::string hex;
        std::string number;
        fields >> kind >> sequence;
        if (kind == "R" && (fields >> hex) && Unhex(hex, number)) {
            journal->open_[sequence] = number;
        } else if (kind == "D") {
            journal->open_.erase(sequence);
        }
        // Anything else (a line cut short by a crash) is passed over.
    }
    // What is left undone is written anew, so the file holds only that.
    if (::ftruncate(journal->fd_.Get(), 0) != 0) {
        error = "cannot rewrite " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    std::map<std::uint64_t, std::string> undone;
    undone.swap(journal->open_);
    for (const auto& [sequence, number] : undone) {
        const auto renumbered = journal->Refused(number);
        journal->queued_.erase(renumbered);
    }
    return journal;
}

bool RefusalJournal::Append(const std::string& line) {
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd_.Get(), line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t RefusalJournal::Refused(std::string_view number) {
    const std::uint64_t sequence = next_++;
    if (!Append("R " + std::to_string(sequence) + ' ' + Hex(number) + '\n')) {
        return 0;
    }
    open_[sequence] = std::string(number);
    queued_.insert(sequence);
    return sequence;
}

void RefusalJournal::Done(std::uint64_t sequence) {
    if (open_.erase(sequence) == 0) {
        return;
    }
    queued_.erase(sequence);
    // The usual case, everything refused has been read, empties the file.
    if (!open_.empty() || ::ftruncate(fd_.Get(), 0) != 0) {
        Append("D " + std::to_string(sequence) + '\n');
    }
}

void RefusalJournal::Unread(std::uint64_t sequence) {
    queued_.erase(sequence);
}

std::vector<RefusalJournal::Refusal> RefusalJournal::TakeUndone() {
    std::vector<Refusal> undone;
    for (const auto& [sequence, number] : open_) {
        if (!queued_.contains(sequence)) {
            undone.push_back({sequence, number});
            queued_.insert(sequence);
        }
    }
    return undone;
}

}  // namespace kestrine::driver
