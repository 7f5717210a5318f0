#include "monitor/EventDispatch.h"

#include <cstdio>
#include <ctime>

#include "log/LogOwner.h"
#include "monitor/MonitorContract.h"
#include "numbers/TextEncoding.h"
#include "platform/LocaleTime.h"

namespace kestrine::monitor {

std::string StopBitsName(std::uint8_t code) {
    switch (code) {
        case 0:
            return "1 stop bit";
        case 1:
            return "1.5 Stop bits";
        case 2:
            return "2 stop bits";
        default:
            return "Unknown stop bit(s)";
    }
}

std::string ParityName(std::uint8_t code) {
    switch (code) {
        case 0:
            return "No";
        case 1:
            return "Odd";
        case 2:
            return "Even";
        case 3:
            return "Mark";
        case 4:
            return "Space";
        default:
            return "Undefined";
    }
}

namespace {

void Escape(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        out += hex;
    }
}

}  // namespace

std::string MarkLineBreaks(std::string_view data) {
    std::string marked;
    marked.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        const auto u = static_cast<unsigned char>(c);
        bool lineBreak = false;
        if (c == '\r') {
            marked += c;
            if (i + 1 < data.size() && data[i + 1] == '\n') {
                marked += data[++i];
            }
            lineBreak = true;
        } else if (c == '\n' || c == '\v' || c == '\f') {
            marked += c;
            lineBreak = true;
        } else if (data.substr(i, 2) == "\xC2\x85" || data.substr(i, 3) == "\xE2\x80\xA8" ||
                   data.substr(i, 3) == "\xE2\x80\xA9") {
            const std::size_t length = data[i] == '\xC2' ? 2 : 3;
            marked += data.substr(i, length);
            i += length - 1;
            lineBreak = true;
        } else if ((u < 0x20 && c != '\t') || u == 0x7F) {
            Escape(marked, data.substr(i, 1));  // ESC, FS, GS, RS, NUL, ...
        } else if (u >= 0x80) {
            // Whole UTF-8 characters pass, but not the C1 controls (U+0080..U+009F), nor a
            // C1 byte of its own, which a terminal may take for a control.
            const std::size_t length = numbers::Utf8SequenceLength(data.substr(i));
            const bool c1 =
                length == 2 && u == 0xC2 && static_cast<unsigned char>(data[i + 1]) <= 0x9F;
            if (length == 0 && u <= 0x9F) {
                Escape(marked, data.substr(i, 1));
            } else if (c1) {
                Escape(marked, data.substr(i, 2));
                ++i;
            } else if (length == 0) {
                marked += c;
            } else {
                marked += data.substr(i, length);
                i += length - 1;
            }
        } else {
            marked += c;
        }
        if (lineBreak) {
            marked += '\t';
        }
    }
    return marked;
}

std::string RefusedWhileAwayNotice(std::size_t count) {
    return count == 1 ? "1 number was refused while Kestrine was not running; see the log"
                      : std::to_string(count) +
                            " numbers were refused while Kestrine was not running; see the log";
}

std::string RefusedWhileAwayLine(std::string_view number, std::int64_t time) {
    std::string when = "at an unknown time";
    if (time > 0) {
        const auto seconds = static_cast<std::time_t>(time);
        std::tm local{};
        if (::localtime_r(&seconds, &local) != nullptr) {
            const platform::LocaleTime locale;
            when = "on " + locale.ShortDate(local) + " at " + locale.LongTime(local);
        }
    }
    return MarkLineBreaks(number) + " was refused " + when +
           " while Kestrine was not running (the driver kept it)";
}

void DispatchMonitorEvent(std::span<const std::uint8_t> record, log::LogOwner& log,
                          BlockedAlert& alert) {
    const auto event = DecodeMonitorEvent(record);
    if (!event) {
        return;
    }
    switch (event->type) {
        case PortOpened:
            log.LogLine("Port Opened");
            break;
        case PortRead:
            log.LogFormat("READ: %s", {MarkLineBreaks(event->data)});
            break;
        case PortWrite:
            log.LogFormat("WRITE: %s", {MarkLineBreaks(event->data)});
            break;
        case PortClosed:
            log.LogLine("Port Closed");
            break;
        case PortFlushed:
            log.LogLine("Port Flushed");
            break;
        case BaudRateSet:
            log.LogFormat("Baud rate set to %d", {std::int64_t{event->baudRate}});
            break;
        case LineControlSet:
            log.LogFormat("StopBits: %s, Parity: %s parity, WordLength: %d",
                          {StopBitsName(event->stopBits), ParityName(event->parity),
                           std::int64_t{event->wordLength}});
            break;
        case NumberBlocked:
            if (event->refusedAt) {
                log.LogLine(RefusedWhileAwayLine(event->data, *event->refusedAt));
                alert.NoteRefusedWhileAway();
                break;
            }
            log.LogFormat("%s blocked", {MarkLineBreaks(event->data)});
            log.LogLine(DialledByLine(event->dialFacts));
            alert.ShowBlockedAlert(event->data, DialledBySummary(event->dialFacts));
            break;
        case EventsDropped:
            log.LogLine(std::to_string(event->dropped) +
                        " port events were not recorded: the driver's queue was full");
            break;
        default:
            break;
    }
}

}  // namespace kestrine::monitor
