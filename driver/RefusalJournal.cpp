#include "driver/RefusalJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/Hex.h"

namespace kestrine::driver {

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
    std::unique_ptr<RefusalJournal> journal(new RefusalJournal(std::move(fd), path));
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        std::uint64_t sequence = 0;
        std::string hex;
        std::string number;
        std::int64_t time = 0;
        int com = 0;
        fields >> kind >> sequence;
        if (kind == "R" && (fields >> hex) && platform::FromHex(hex, number)) {
            if (!(fields >> time)) {
                time = 0;
            } else if (!(fields >> com) || com < 0) {
                com = 0;
            }
            journal->open_[sequence] = {number, time, com};
        } else if (kind == "D") {
            journal->open_.erase(sequence);
        }
        // Anything else (a line cut short by a crash) is passed over.
    }
    // What is left undone is written anew (the newest kMaxKept), so the file holds only that.
    std::map<std::uint64_t, Entry> undone;
    undone.swap(journal->open_);
    while (undone.size() > kMaxKept) {
        undone.erase(undone.begin());
    }
    for (const auto& [sequence, entry] : undone) {
        journal->open_[journal->next_++] = entry;
    }
    if (!journal->Rewrite()) {
        error = "cannot rewrite " + path.string() + ": " + std::strerror(errno);
        return nullptr;
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

namespace {
std::string RefusalLine(std::uint64_t sequence, std::string_view number, std::int64_t time,
                        int com) {
    return "R " + std::to_string(sequence) + ' ' + platform::ToHex(number) + ' ' +
           std::to_string(time) + ' ' + std::to_string(com) + '\n';
}
}  // namespace

bool RefusalJournal::Rewrite() {
    // Beside the file, made anew (never through a link), then renamed over it: a crash leaves
    // either file whole.
    const std::filesystem::path temporary = path_.string() + ".new";
    ::unlink(temporary.c_str());
    UniqueFd fresh(::open(temporary.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fresh.Valid()) {
        return false;
    }
    std::swap(fd_, fresh);
    std::string text;
    for (const auto& [sequence, entry] : open_) {
        text += RefusalLine(sequence, entry.number, entry.time, entry.com);
    }
    if (!Append(text) || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        std::swap(fd_, fresh);
        ::unlink(temporary.c_str());
        return false;
    }
    lines_ = open_.size();
    return true;
}

std::uint64_t RefusalJournal::Refused(std::string_view number, std::int64_t time, int com) {
    if (time == 0) {
        time = static_cast<std::int64_t>(std::time(nullptr));
    }
    const std::uint64_t sequence = next_++;
    if (!Append(RefusalLine(sequence, number, time, com))) {
        return 0;
    }
    ++lines_;
    open_[sequence] = {std::string(number), time, com};
    queued_.insert(sequence);
    // The newest kMaxKept are kept; the service's journal has the older ones.
    while (open_.size() > kMaxKept) {
        queued_.erase(open_.begin()->first);
        open_.erase(open_.begin());
    }
    if (lines_ > 4 * kMaxKept) {
        Rewrite();
    }
    return sequence;
}

void RefusalJournal::Done(std::uint64_t sequence) {
    if (open_.erase(sequence) == 0) {
        return;
    }
    queued_.erase(sequence);
    // The usual case, everything refused has been read, empties the file.
    if (open_.empty() && ::ftruncate(fd_.Get(), 0) == 0) {
        lines_ = 0;
    } else if (Append("D " + std::to_string(sequence) + '\n') && ++lines_ > 4 * kMaxKept) {
        Rewrite();
    }
}

void RefusalJournal::Unread(std::uint64_t sequence) {
    queued_.erase(sequence);
}

std::vector<RefusalJournal::Refusal> RefusalJournal::TakeUndone(
    int com, const std::function<bool(int)>& served) {
    std::vector<Refusal> undone;
    for (const auto& [sequence, entry] : open_) {
        if (!queued_.contains(sequence) &&
            (entry.com == com || entry.com == 0 || !served(entry.com))) {
            undone.push_back({sequence, entry.number, entry.time, entry.com});
            queued_.insert(sequence);
        }
    }
    return undone;
}

std::vector<RefusalJournal::Refusal> RefusalJournal::Unlogged() const {
    std::vector<Refusal> unlogged;
    for (const auto& [sequence, entry] : open_) {
        unlogged.push_back({sequence, entry.number, entry.time, entry.com});
    }
    return unlogged;
}

}  // namespace kestrine::driver
