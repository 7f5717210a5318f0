#pragma once
// What one driver event becomes on the user-interface thread: a log line and, for a refused
// number, the blocked-number alert.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::monitor {

// The blocked-number alert, implemented by the user interface. `dialledBy` is our own line under
// the number, naming the program that dialled or saying that it is unknown.
class BlockedAlert {
public:
    virtual ~BlockedAlert() = default;
    virtual void ShowBlockedAlert(const std::string& number, const std::string& dialledBy) = 0;
    // A number refused while no application was there, handed over late: logged with its time,
    // and told once for the whole batch (RefusedWhileAwayNotice), never one alert per number.
    virtual void NoteRefusedWhileAway() {}
};

// The one notice for `count` numbers refused while Kestrine was not running.
std::string RefusedWhileAwayNotice(std::size_t count);
// The log line of our own for a number refused while Kestrine was not running, with the time of
// the refusal (seconds since 1970, in the user's short date and long time; 0: unknown).
std::string RefusedWhileAwayLine(std::string_view number, std::int64_t time);

std::string StopBitsName(std::uint8_t code);
std::string ParityName(std::uint8_t code);

// Port data as it goes into the log: every line break in it (CR, LF, a CR LF pair, VT, FF, and
// the UTF-8 forms of NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR) is followed by a tab. Every
// line of the log's own starts with its date, so a line that starts with a tab continues the data
// of the line above, and no data can pass for a line of the log's own. Every other control
// character (C0 but tab, DEL, and the C1 controls, as UTF-8 or as a byte of their own) is written
// as \xNN, so that no data can move a terminal's cursor, erase or recolour what `cat` or
// `tail -f` shows of the log. Everything else (text, UTF-8 characters, other bytes) passes as it
// came; a backslash is not escaped, so "\x1B" in the log may also be those four characters sent.
std::string MarkLineBreaks(std::string_view data);

// Logs the record's text (and raises the alert for a refused number, after its line and a line of
// our own on the program that dialled; a refusal handed over late gets RefusedWhileAwayLine and
// NoteRefusedWhileAway instead). Records that are too short, and types without a text,
// have no effect.
void DispatchMonitorEvent(std::span<const std::uint8_t> record, log::LogOwner& log,
                          BlockedAlert& alert);

}  // namespace kestrine::monitor
