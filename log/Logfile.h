#pragma once
// TLogfile: appends time-stamped lines to one log file beside the program.
//
// The writer keeps the file closed between lines: each line opens the file, appends, flushes and
// closes it again, so the file on disk is complete after every line and others may read, empty
// or delete it in between. While the writer has the file open it holds an exclusive advisory
// lock (flock), so a reader that takes a shared lock keeps writers out for the moment of its read
// and the writer fails (and the caller retries) instead of writing under it.
#include <cstdint>
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

// Opening the log without being led elsewhere. The rule: whoever runs the application (root's
// included) reads, appends to, empties or rotates only a plain file owned by root or by itself,
// reached without following any link but the one beside the program, and creates one only in a
// folder of its own that nobody else may write.
//   - `path` itself may be a symbolic link (the installed program folder's qdlog.log leads to
//     /var/log/kestrine): it is followed once, and only when root or this user made it, since
//     nobody else can put one in the program's folder. What it names is opened within its folder
//     with O_NOFOLLOW, so a link planted in its place (the log folder is the group's) is refused,
//     not followed; and with O_NONBLOCK, so a FIFO there cannot hold the application up.
//   - The opened file is checked, not its name: a plain file with a single name, owned by root
//     or this user. A file a member of the group made (and could swap at will) is refused.
//   - A missing file is created (O_CREAT | O_EXCL, no link followed) only in a folder owned by
//     this user that neither group nor others may write. In the installed layout the package
//     makes the log (root:kestrine 0660); a missing one stays missing until kestrine-setup runs.
// Limits: the folders above the log's own folder are trusted as they are (/var/log is root's).
// Returns the descriptor (close-on-exec) or -1 with errno set (ELOOP for a link or a file that
// is not plain, EPERM for a file of someone else's, EACCES for a missing one it may not create).
// `created` says whether this call made it.
// `target`, when given, gets the path of the file itself (the link's target).
int OpenLogFile(const std::filesystem::path& path, int access, bool mayCreate, bool& created,
                std::filesystem::path* target = nullptr);
// Empties the log at `path` through OpenLogFile; false when it cannot.
bool EmptyLogFile(const std::filesystem::path& path);

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
    // The log is kept bounded: once it holds this much, the next line first moves its lines to
    // "<log>.1" beside it (replacing the older file there) and starts it afresh with a line that
    // says where they went. The file itself stays (emptied in place, not renamed), so its owner
    // and mode, which the package gave it, stay too.
    std::uint64_t RotateSize = kDefaultRotateSize;
    static constexpr std::uint64_t kDefaultRotateSize = 10 * 1024 * 1024;
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
    void RotateIfFull();
    void WriteRaw(const std::string& line);  // the line and CRLF; throws on failure
    void CloseFile();

    std::filesystem::path programDirectory_;
    Clock clock_;
    std::unique_ptr<platform::LocaleTime> locale_;
    std::string resolvedPath_;
    std::filesystem::path target_;  // the file itself, where the older lines go beside it
    bool openCloseMsg_ = false;
    int fd_ = -1;
};

}  // namespace kestrine::log
