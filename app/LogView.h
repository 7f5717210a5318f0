#pragma once
// The Log tab: showing the log file and clearing it. It sits above the log and parental control
// (its Clear Log passes the PIN gate), beside the window that owns it.
#include <cstddef>
#include <optional>
#include <string>

#include "numbers/ParentalControl.h"
#include "numbers/Prompts.h"

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::app {

// At most this much of the log is shown: of a longer file, its newest lines, after a line of our
// own that says where the earlier ones are.
inline constexpr std::size_t kLogViewLimit = 1024 * 1024;

// The file at `path` as the memo shows it: every lone CR and lone LF made CR LF. The file is read
// under a shared lock, so the writer stays out for the moment of the read. Nothing when it cannot
// be read (missing, locked by a writer, `path` empty).
std::optional<std::string> ReadLogForView(const std::string& path);

// The read-only memo of the Log tab.
class LogMemo {
public:
    virtual ~LogMemo() = default;
    // Replaces the memo's text and shows its beginning. False when the memo refuses the text.
    virtual bool SetLogText(const std::string& text) = 0;
};

class LogView {
public:
    LogView(log::LogOwner& log, numbers::ParentalControl& parental, Prompts& prompts,
            LogMemo& memo);

    // The tab came on screen: load the memo; any failure leaves it as it was.
    void TabSheet2Show();
    // Clear Log: confirmation, the PIN gate, the file emptied past the writer, "Log file cleared"
    // logged, the memo reloaded; "Unable to empty log file" when emptying or reloading fails.
    void btnClearClick();

private:
    bool LoadMemo();

    log::LogOwner& log_;
    numbers::ParentalControl& parental_;
    Prompts& prompts_;
    LogMemo& memo_;
};

}  // namespace kestrine::app
