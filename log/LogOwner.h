#pragma once
// The main window's log: the log component Logfile1, the path learned at start-up, and the two
// operations through which everything in the application writes a line. User-interface thread
// only.
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>

#include "log/LogFormat.h"
#include "log/Logfile.h"

namespace kestrine::log {

class LogOwner {
public:
    using Pause = std::function<void(unsigned milliseconds)>;

    // The log lies in `programDirectory` as "qdlog.log". `pause` is the retry's sleep (tests
    // observe it instead of really waiting).
    explicit LogOwner(std::filesystem::path programDirectory, Pause pause = DefaultPause,
                      TLogfile::Clock clock = TLogfile::SystemClock,
                      const std::string& localeName = "");
    LogOwner();

    TLogfile Logfile1;
    // The log file's full path as the start-up open returned it; empty when that open failed,
    // until a line lands.
    std::string LogPath;

    // Start-up: opens the log once (creating the file) to learn its path, and closes it again.
    void PrepareLog();
    // Shutdown: closes the log if it is open.
    void CloseLog();

    // Writes one line; on failure waits 0..199 ms (the process's random generator) and tries once
    // more; a second failure is dropped. After a dropped line the retry does not wait, until a
    // line lands again. The first line that lands after a failed start-up open sets LogPath.
    // Never throws.
    void LogLine(const std::string& text);
    void LogFormat(std::string_view format, std::initializer_list<FormatArg> args);
    // Whether the last line was dropped (both tries failed).
    bool LastLineLost() const { return failing_; }

    static void DefaultPause(unsigned milliseconds);

private:
    bool TryLine(const std::string& text);

    Pause pause_;
    bool failing_ = false;  // the last line was dropped
};

}  // namespace kestrine::log
