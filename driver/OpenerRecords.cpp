#include "driver/OpenerRecords.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrine::driver {

OpenerRecords::OpenerRecords(const std::string& path) {
    UniqueFd fd(::fanotify_init(FAN_CLOEXEC | FAN_NONBLOCK | FAN_CLASS_NOTIF | FAN_REPORT_FID,
                                O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return;  // not root, or a kernel without it: no records
    }
    if (::fanotify_mark(fd.Get(), FAN_MARK_ADD, FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE,
                        AT_FDCWD, path.c_str()) != 0) {
        return;
    }
    fd_ = std::move(fd);
}

void OpenerRecords::Read(std::uint64_t epoch) {
    if (!fd_.Valid()) {
        return;
    }
    alignas(fanotify_event_metadata) char buffer[4096];
    const pid_t self = ::getpid();
    for (;;) {
        const auto n = ::read(fd_.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        auto left = n;
        for (auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
             FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
            if (event->fd >= 0) {
                ::close(event->fd);  // not in this mode; never kept if it comes
            }
            const pid_t pid = event->pid;
            if (pid <= 0 || pid == self) {
                continue;
            }
            if ((event->mask & FAN_Q_OVERFLOW) != 0) {
                AllClosed(epoch);  // what was lost cannot be matched: nothing is left open
                continue;
            }
            // Merged reports of one process: its opening came before its close.
            if ((event->mask & FAN_OPEN) != 0) {
                Opened(pid);
            }
            if ((event->mask & (FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE)) != 0) {
                ClosedBy(pid, epoch);
            }
        }
    }
}

void OpenerRecords::Opened(pid_t pid) {
    Entry entry;
    const auto now = std::chrono::steady_clock::now();
    std::optional<SeenProcess> seen;
    if (now >= nextLook_) {
        seen = LookAtProcess(pid);
        nextLook_ = std::chrono::steady_clock::now() + kMinLookSpacing;
    }
    if (seen) {
        entry.record.opener = std::move(seen->holder);
        entry.record.startTime = seen->startTime;
    } else {
        entry.record.opener.process.pid = static_cast<std::uint32_t>(pid);
    }
    if (entries_.size() == kMaxRecords) {
        // The oldest closed record goes first, else the oldest.
        const auto closed = std::find_if(entries_.begin(), entries_.end(),
                                         [](const Entry& e) { return e.closedAt.has_value(); });
        entries_.erase(closed != entries_.end() ? closed : entries_.begin());
    }
    entries_.push_back(std::move(entry));
}

void OpenerRecords::ClosedBy(pid_t pid, std::uint64_t epoch) {
    for (auto& entry : entries_) {
        if (!entry.closedAt && entry.record.opener.process.pid == static_cast<std::uint32_t>(pid)) {
            entry.closedAt = epoch;
            return;
        }
    }
}

void OpenerRecords::AllClosed(std::uint64_t epoch) {
    for (auto& entry : entries_) {
        if (!entry.closedAt) {
            entry.closedAt = epoch;
        }
    }
}

std::vector<OpeningRecord> OpenerRecords::Window(std::uint64_t lineEpoch) const {
    std::vector<OpeningRecord> records;
    for (const auto& entry : entries_) {
        if (entry.closedAt && *entry.closedAt < lineEpoch) {
            continue;
        }
        OpeningRecord record = entry.record;
        record.ended = !StillRunning(static_cast<pid_t>(record.opener.process.pid), record.startTime);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace kestrine::driver
