#include "driver/PortReports.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrine::driver {

PortReports::PortReports(const std::string& path) {
    UniqueFd fd(::fanotify_init(FAN_CLOEXEC | FAN_NONBLOCK | FAN_CLASS_NOTIF | FAN_REPORT_FID,
                                O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return;  // not root, or a kernel without it: no records
    }
    if (::fanotify_mark(fd.Get(), FAN_MARK_ADD,
                        FAN_OPEN | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE | FAN_MODIFY, AT_FDCWD,
                        path.c_str()) != 0) {
        return;
    }
    fd_ = std::move(fd);
}

void PortReports::Read(std::uint64_t epoch) {
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
            if ((event->mask & FAN_Q_OVERFLOW) != 0) {
                lostAt_ = epoch;  // reports were lost: the writes of lines begun so far are unknown
                continue;
            }
            const pid_t pid = event->pid;
            if (pid <= 0 || pid == self) {
                continue;
            }
            // Merged reports of one process: its opening came before its writes and its close.
            if ((event->mask & FAN_OPEN) != 0) {
                Opened(pid);
            }
            if ((event->mask & FAN_MODIFY) != 0) {
                Wrote(pid, epoch);
            }
            if ((event->mask & (FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE)) != 0) {
                ClosedBy(pid, epoch);
            }
        }
    }
}

void PortReports::Opened(pid_t pid) {
    Entry entry;
    const auto now = std::chrono::steady_clock::now();
    std::optional<SeenProcess> seen;
    if (now >= nextLook_) {
        seen = LookAtProcess(pid);
        // As the looks at refusals: at most one part in LookBudget::kShare of the time.
        const auto end = std::chrono::steady_clock::now();
        nextLook_ = end + std::max<std::chrono::steady_clock::duration>(
                              (end - now) * (LookBudget::kShare - 1), kMinLookSpacing);
    }
    if (seen) {
        entry.record.opener = std::move(seen->holder);
        entry.record.startTime = seen->startTime;
    } else {
        // Who it is costs one small read; a process that opens the port again (a shell opening
        // it for input and for output) keeps the facts of its first opening.
        entry.record.opener.process.pid = static_cast<std::uint32_t>(pid);
        entry.record.startTime = StartTime(pid).value_or(0);
        for (const auto& earlier : entries_) {
            if (earlier.record.opener.process.pid == entry.record.opener.process.pid &&
                earlier.record.startTime == entry.record.startTime && entry.record.startTime != 0) {
                entry.record.opener = earlier.record.opener;
            }
        }
        // What it runs now, which may not be what it ran at its first opening.
        entry.record.opener.process.executable = ExecutableOf(pid);
    }
    if (entries_.size() == kMaxRecords) {
        // The oldest closed record goes first, else the oldest.
        const auto closed = std::find_if(entries_.begin(), entries_.end(),
                                         [](const Entry& e) { return e.closedAt.has_value(); });
        entries_.erase(closed != entries_.end() ? closed : entries_.begin());
    }
    entries_.push_back(std::move(entry));
}

void PortReports::ClosedBy(pid_t pid, std::uint64_t epoch) {
    for (auto& entry : entries_) {
        if (!entry.closedAt && entry.record.opener.process.pid == static_cast<std::uint32_t>(pid)) {
            entry.closedAt = epoch;
            return;
        }
    }
}

void PortReports::Wrote(pid_t pid, std::uint64_t epoch) {
    if (!writes_.empty() && writes_.back().pid == pid) {
        writes_.back().epoch = epoch;  // one process writing on: one note
        return;
    }
    if (writes_.size() == kMaxWrites) {
        writes_.pop_front();
    }
    // What it runs as it writes: one that runs another program later is then named "probably".
    const auto start = StartTime(pid).value_or(0);
    writes_.push_back({pid, start, epoch, start != 0 ? ExecutableOf(pid) : std::string()});
}

bool PortReports::WroteSince(std::uint64_t lineEpoch) const {
    if (lostAt_ && lineEpoch <= *lostAt_) {
        return false;
    }
    return std::any_of(writes_.begin(), writes_.end(),
                       [&](const Write& write) { return write.epoch >= lineEpoch; });
}

void PortReports::Await(std::chrono::milliseconds limit, std::uint64_t epoch) {
    if (!fd_.Valid()) {
        return;
    }
    pollfd ready{fd_.Get(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) == 1) {
        Read(epoch);
    }
}

void PortReports::AllClosed(std::uint64_t epoch) {
    for (auto& entry : entries_) {
        if (!entry.closedAt) {
            entry.closedAt = epoch;
        }
    }
}

PortWindow PortReports::Window(std::uint64_t lineEpoch) const {
    PortWindow window;
    for (const auto& entry : entries_) {
        if (entry.closedAt && *entry.closedAt < lineEpoch) {
            continue;
        }
        OpeningRecord record = entry.record;
        record.ended = !StillRunning(static_cast<pid_t>(record.opener.process.pid), record.startTime);
        window.openings.push_back(std::move(record));
    }
    for (const auto& write : writes_) {
        if (write.epoch < lineEpoch || (lostAt_ && lineEpoch <= *lostAt_)) {
            continue;
        }
        const bool seen = std::any_of(window.writers.begin(), window.writers.end(),
                                      [&](const WriterId& w) {
                                          return w.pid == write.pid && w.startTime == write.startTime;
                                      });
        if (seen) {
            continue;
        }
        WriterId writer{write.pid, write.startTime, std::nullopt, false, write.executable};
        const bool recorded = std::any_of(
            window.openings.begin(), window.openings.end(), [&](const OpeningRecord& r) {
                return r.opener.process.pid == static_cast<std::uint32_t>(write.pid) &&
                       r.startTime == write.startTime;
            });
        if (!recorded && write.startTime != 0) {
            if (auto now = LookAtProcess(write.pid); now && now->startTime == write.startTime) {
                writer.seen = std::move(now->holder);
                writer.ended = now->ended;
            } else {
                writer.ended = true;
            }
        }
        window.writers.push_back(std::move(writer));
    }
    return window;
}

}  // namespace kestrine::driver
