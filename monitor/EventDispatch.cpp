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
            log.LogFormat("READ: %s", {event->data});
            break;
        case PortWrite:
            log.LogFormat("WRITE: %s", {event->data});
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
            log.LogFormat("%s blocked", {event->data});
            log.LogLine(DialledByLine(event->dialFacts));
            alert.ShowBlockedAlert(event->data, DialledBySummary(event->dialFacts));
            break;
        default:
            break;
    }
}

}  // namespace kestrine::monitor
