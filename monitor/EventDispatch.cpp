#include "monitor/EventDispatch.h"

#include "log/LogOwner.h"
#include "monitor/MonitorContract.h"

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

std::string MarkLineBreaks(std::string_view data) {
    std::string marked;
    marked.reserve(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        marked += c;
        std::size_t breakEnd = 0;  // one past the line break that ends here, if one does
        if (c == '\r') {
            if (i + 1 < data.size() && data[i + 1] == '\n') {
                marked += data[++i];
            }
            breakEnd = i + 1;
        } else if (c == '\n' || c == '\v' || c == '\f') {
            breakEnd = i + 1;
        } else if (data.substr(i, 2) == "\xC2\x85") {
            marked += data[++i];
            breakEnd = i + 1;
        } else if (data.substr(i, 3) == "\xE2\x80\xA8" || data.substr(i, 3) == "\xE2\x80\xA9") {
            marked += data.substr(i + 1, 2);
            i += 2;
            breakEnd = i + 1;
        }
        if (breakEnd != 0) {
            marked += '\t';
        }
    }
    return marked;
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
