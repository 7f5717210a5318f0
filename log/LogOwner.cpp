#include "log/LogOwner.h"

#include "platform/Process.h"

namespace kestrine::log {

namespace {
constexpr const char* kLogBaseName = "qdlog";
constexpr int kRetryPauseRangeMs = 200;
}  // namespace

LogOwner::LogOwner(std::filesystem::path programDirectory, Pause pause, TLogfile::Clock clock,
                   const std::string& localeName)
    : Logfile1(std::move(programDirectory), std::move(clock), localeName),
      pause_(std::move(pause)) {
    Logfile1.LogFile = kLogBaseName;
    Logfile1.EmptyFirst = false;
    Logfile1.EnableLogging = true;
}

LogOwner::LogOwner() : LogOwner(platform::ExecutableDirectory()) {}

void LogOwner::DefaultPause(unsigned milliseconds) {
    platform::SleepMs(milliseconds);
}

void LogOwner::PrepareLog() {
    LogPath = Logfile1.Open();
    Logfile1.Close();
}

void LogOwner::CloseLog() {
    Logfile1.Close();
}

bool LogOwner::TryLine(const std::string& text) {
    try {
        Logfile1.WriteLine(text);
    } catch (const std::exception&) {
        return false;
    }
    failing_ = false;
    if (LogPath.empty() && Logfile1.EnableLogging) {
        // The start-up open failed; now that the file takes lines, the Log tab can show it.
        LogPath = Logfile1.LogFile;
    }
    return true;
}

void LogOwner::LogLine(const std::string& text) {
    if (TryLine(text)) {
        return;
    }
    // The pause gives a reader holding the file time to let go. A log that failed both times
    // before is not waited for again, or every line would stall the user-interface thread.
    if (!failing_) {
        pause_(static_cast<unsigned>(platform::Random(kRetryPauseRangeMs)));
    }
    if (!TryLine(text)) {
        // Log failures are never shown; the line is lost.
        failing_ = true;
    }
}

void LogOwner::LogFormat(std::string_view format, std::initializer_list<FormatArg> args) {
    LogLine(FormatText(format, args));
}

}  // namespace kestrine::log
