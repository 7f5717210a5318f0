#pragma once
// TLogfile: appends time-stamped lines to one log file beside the program.
//
// The writer keeps the file closed between lines: each line opens the file, appends, flushes and
// closes it again, so the file on disk is complete after every line and others may read, empty
// or delete it in between. While the writer has the file open it holds an exclusive advisory
// lock (flock), so a reader that takes a shared lock keeps writers out for the moment of its read
// and the writer fails (and the caller retries) instead of writing under it.
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/LocaleTime.h"

namespace kestrine::log {

class LogfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LocalTimestamp {
    std::tm tm{};
    int millisecond = 0;
};

// A log file made in a folder shared by a group (setgid, as the installed log folder is) gets
// that group's write access too, whatever the umask; elsewhere it stays as created (0644).
void ShareWithFolderGroup(int fd, const std::filesystem::path& file);

class TLogfile {
public:
    using Clock = std::function<LocalTimestamp()>;

    // `programDirectory` is where the file lies (the running executable's directory unless a
    // test says otherwise); `clock` gives the local time; `localeName` picks the locale whose
    // date and time formats and names are used ("" = the user's).
    explicit TLogfile(std::filesystem::path programDirectory, Clock clock = SystemClock,
                      const std::string& localeName = "");
    TLogfile();
    ~TLogfile();
    TLogfile(const TLogfile&) = delete;
    TLogfile& operator=(const TLogfile&) = delete;

    // Properties. LogFile is the base name until the first Open, the full path from then on.
    std::string LogFile;
    bool EmptyFirst = false;
    bool EnableLogging = true;
    bool OpenCloseMsg() const { return openCloseMsg_; }
    void SetOpenCloseMsg(bool value) { openCloseMsg_ = value; }

    // Returns the full path, or "" when the file cannot be opened.
    std::string Open();
    // Throws LogfileError when the line cannot be written.
    void WriteLine(const std::string& message);
    void Close();

    bool IsOpen() const { return fd_ >= 0; }

    // The local time as the system clock gives it.
    static LocalTimestamp SystemClock();
    // "<short date>[ <long time>]", the time left out during the first second after midnight.
    std::string DateTimeText(const LocalTimestamp& now) const;
    // The start or end line: "<prefix><weekday>, <dd> <month> <yyyy> - <hh><sep><mm>".
    std::string BannerLine(const char* prefix, const LocalTimestamp& now) const;

private:
    bool OpenFile();
    void WriteRaw(const std::string& line);  // the line and CRLF; throws on failure
    void CloseFile();

    std::filesystem::path programDirectory_;
    Clock clock_;
    std::unique_ptr<platform::LocaleTime> locale_;
    std::string resolvedPath_;
    bool openCloseMsg_ = false;
    int fd_ = -1;
};

}  // namespace kestrine::log
