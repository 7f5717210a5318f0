#include "log/Logfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/Process.h"

namespace kestrine::log {

namespace {

constexpr const char* kStartPrefix = "Logging started: ";
constexpr const char* kEndPrefix = "Logging ended: ";

std::string TwoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

}  // namespace

int OpenLogFile(const std::filesystem::path& path, int access, bool mayCreate, bool& created,
                std::filesystem::path* resolved) {
    created = false;
    std::filesystem::path target = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
            errno = ELOOP;
            return -1;
        }
        char to[4096];
        const ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
        if (n <= 0) {
            errno = ELOOP;
            return -1;
        }
        const std::filesystem::path link(std::string(to, static_cast<std::size_t>(n)));
        target = link.is_absolute() ? link : path.parent_path() / link;
    }
    const std::filesystem::path folderPath =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return -1;
    }
    if (resolved != nullptr) {
        *resolved = target;
    }
    const std::string name = target.filename().string();
    const int flags = access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::openat(folder, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && mayCreate) {
        struct stat dir {};
        if (::fstat(folder, &dir) == 0 && dir.st_uid == ::geteuid() &&
            (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
            fd = ::openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, 0644);
            created = fd >= 0;
        } else {
            errno = EACCES;  // a shared folder: the log there is the package's to make
        }
    }
    const int openError = errno;
    ::close(folder);
    if (fd < 0) {
        errno = openError == ELOOP || openError == ENXIO ? ELOOP : openError;
        return -1;
    }
    struct stat file {};
    if (::fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_nlink != 1) {
        ::close(fd);
        errno = ELOOP;
        return -1;
    }
    if (file.st_uid != 0 && file.st_uid != ::geteuid()) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

bool EmptyLogFile(const std::filesystem::path& path) {
    bool created = false;
    const int fd = OpenLogFile(path, O_WRONLY, true, created);
    if (fd < 0) {
        return false;
    }
    const bool emptied = ::ftruncate(fd, 0) == 0;
    ::close(fd);
    return emptied;
}

TLogfile::TLogfile(std::filesystem::path programDirectory, Clock clock,
                   const std::string& localeName)
    : programDirectory_(std::move(programDirectory)),
      clock_(std::move(clock)),
      locale_(std::make_unique<platform::LocaleTime>(localeName)) {}

TLogfile::TLogfile() : TLogfile(platform::ExecutableDirectory()) {}

// Like the component it models, the writer does not close its file when it is destroyed; but a
// descriptor must not leak, so it is released without the end lines.
TLogfile::~TLogfile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

LocalTimestamp TLogfile::SystemClock() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    LocalTimestamp stamp;
    ::localtime_r(&seconds, &stamp.tm);
    stamp.millisecond = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    return stamp;
}

std::string TLogfile::DateTimeText(const LocalTimestamp& now) const {
    std::string text = locale_->ShortDate(now.tm);
    if (now.tm.tm_hour != 0 || now.tm.tm_min != 0 || now.tm.tm_sec != 0) {
        text += ' ';
        text += locale_->LongTime(now.tm);
    }
    return text;
}

std::string TLogfile::BannerLine(const char* prefix, const LocalTimestamp& now) const {
    std::string line = prefix;
    line += locale_->DayName(now.tm);
    line += ", " + TwoDigits(now.tm.tm_mday) + ' ' + locale_->MonthName(now.tm) + ' ';
    line += std::to_string(now.tm.tm_year + 1900);
    line += " - " + TwoDigits(now.tm.tm_hour) + locale_->TimeSeparator() + TwoDigits(now.tm.tm_min);
    return line;
}

std::string TLogfile::Open() {
    if (resolvedPath_.empty()) {
        std::string directory = programDirectory_.string();
        if (directory.empty() || directory.back() != '/') {
            directory += '/';
        }
        resolvedPath_ = directory + LogFile + ".log";
    }
    LogFile = resolvedPath_;
    if (fd_ >= 0) {
        // Opening an open writer starts over on the same file, as a fresh open would.
        CloseFile();
    }
    if (!OpenFile()) {
        CloseFile();
        return "";
    }
    return resolvedPath_;
}

bool TLogfile::OpenFile() {
    bool created = false;
    fd_ = OpenLogFile(resolvedPath_, O_WRONLY | O_APPEND, true, created, &target_);
    if (fd_ < 0) {
        return false;
    }
    const bool exists = !created;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    try {
        if (exists && !EmptyFirst) {
            RotateIfFull();
        }
        if (exists && EmptyFirst) {
            if (::ftruncate(fd_, 0) != 0) {
                return false;
            }
        } else if (!exists && !openCloseMsg_) {
            WriteRaw(BannerLine(kStartPrefix, clock_()));
        }
        if (openCloseMsg_) {
            WriteRaw(BannerLine(kStartPrefix, clock_()));
        }
    } catch (const LogfileError&) {
        return false;
    }
    return true;
}

void TLogfile::RotateIfFull() {
    struct stat log {};
    if (::fstat(fd_, &log) != 0 || static_cast<std::uint64_t>(log.st_size) < RotateSize) {
        return;
    }
    // The older file: made afresh where we may (no link followed, nothing else replaced), else
    // the one there when it passes the log's own checks (a member's application cannot remove
    // root's older file from the sticky log folder, but may write it as it writes the log).
    const std::filesystem::path olderPath = target_.string() + ".1";
    ::unlink(olderPath.c_str());
    int older = ::open(olderPath.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (older >= 0) {
        ::fchmod(older, log.st_mode & 0666);
    } else {
        bool created = false;
        older = OpenLogFile(olderPath, O_WRONLY, false, created);
        if (older >= 0 && ::ftruncate(older, 0) != 0) {
            ::close(older);
            older = -1;
        }
    }
    bool kept = false;
    if (older >= 0) {
        bool created = false;
        const int reader = OpenLogFile(target_, O_RDONLY, false, created);
        struct stat same {};
        if (reader >= 0 && ::fstat(reader, &same) == 0 && same.st_ino == log.st_ino &&
            same.st_dev == log.st_dev) {
            kept = true;
            char buffer[65536];
            ssize_t n = 0;
            while ((n = ::read(reader, buffer, sizeof buffer)) > 0 && kept) {
                kept = ::write(older, buffer, static_cast<std::size_t>(n)) == n;
            }
            kept = kept && n == 0;
        }
        if (reader >= 0) {
            ::close(reader);
        }
        kept = ::close(older) == 0 && kept;
    }
    if (::ftruncate(fd_, 0) != 0) {
        throw LogfileError("cannot write log file " + resolvedPath_);
    }
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::string size = RotateSize % kMiB == 0 ? std::to_string(RotateSize / kMiB) + " MiB"
                                                    : std::to_string(RotateSize) + " bytes";
    WriteRaw(
        DateTimeText(clock_()) + ": " +
        (kept ? "The log reached " + size + ": its earlier lines are in " + olderPath.string() + "."
              : "The log reached " + size + ": its earlier lines could not be kept in " +
                    olderPath.string() + "."));
}

void TLogfile::WriteLine(const std::string& message) {
    if (!EnableLogging) {
        return;
    }
    const bool openedHere = fd_ < 0;
    if (openedHere) {
        Open();
    }
    try {
        if (fd_ < 0) {
            throw LogfileError("cannot open log file " + resolvedPath_);
        }
        WriteRaw(DateTimeText(clock_()) + ": " + message);
    } catch (...) {
        if (openedHere) {
            Close();
        }
        throw;
    }
    if (openedHere) {
        Close();
    }
}

void TLogfile::Close() {
    if (fd_ < 0) {
        return;
    }
    if (openCloseMsg_) {
        try {
            WriteRaw(BannerLine(kEndPrefix, clock_()));
            WriteRaw(" ");
        } catch (const LogfileError&) {
            // Errors while closing are ignored.
        }
    }
    CloseFile();
    LogFile = resolvedPath_;
}

void TLogfile::WriteRaw(const std::string& line) {
    const std::string bytes = line + "\r\n";
    // A line lands whole or not at all: what a full disk let through of it is cut off again, so
    // that the next line does not run on from half of this one. The writer's lock keeps others
    // from appending meanwhile.
    const off_t start = ::lseek(fd_, 0, SEEK_END);
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (written > 0 && start >= 0) {
                [[maybe_unused]] const int cut = ::ftruncate(fd_, start);
            }
            throw LogfileError("cannot write log file " + resolvedPath_);
        }
        written += static_cast<std::size_t>(n);
    }
}

void TLogfile::CloseFile() {
    if (fd_ >= 0) {
        ::close(fd_);  // also drops the lock
        fd_ = -1;
    }
}

}  // namespace kestrine::log
