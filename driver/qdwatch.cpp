// qdwatch: attaches COM ports of the running driver, hands it an allowed list and prints every
// event as it comes (a refused number with what the driver found out about the program that
// dialled it), until interrupted. For trying the driver out without the application.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/PortMap.h"
#include "monitor/MonitorContract.h"
#include "platform/SocketDevice.h"
#include "platform/SystemMessage.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::platform;

namespace {

std::string Visible(const std::string& data) {
    std::string out;
    for (const unsigned char c : data) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string Text(const MonitorEventView& event) {
    switch (event.type) {
        case PortOpened:
            return "opened";
        case PortClosed:
            return "closed";
        case PortFlushed:
            return "flushed";
        case PortRead:
            return "read  \"" + Visible(event.data) + "\"";
        case PortWrite:
            return "write \"" + Visible(event.data) + "\"";
        case BaudRateSet:
            return "baud rate " + std::to_string(event.baudRate);
        case LineControlSet:
            return "line control: stop bits code " + std::to_string(event.stopBits) +
                   ", parity code " + std::to_string(event.parity) + ", " +
                   std::to_string(event.wordLength) + " bits";
        case NumberBlocked:
            return "BLOCKED " + event.data;
        default:
            return "event type " + std::to_string(event.type);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        std::printf(
            "usage: qdwatch [--allow NUMBER]... COMn...\n"
            "       qdwatch --help | --version\n"
            "\n"
            "Attaches the COM ports of the running driver ($KESTRINE_ROOT), gives it the allowed\n"
            "numbers and prints every event of those ports until interrupted.\n"
            "  --allow NUMBER  a number the driver lets through; repeatable\n");
        return 0;
    }
    if (first == "--version") {
        std::printf("qdwatch %s\n", KESTRINE_VERSION);
        return 0;
    }
    std::vector<std::string> allowed;
    std::vector<int> ports;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--allow" && i + 1 < argc) {
            allowed.push_back(argv[++i]);
        } else if (const auto com = driver::ParseComName(arg)) {
            ports.push_back(*com);
        } else {
            std::fprintf(stderr, "usage: qdwatch [--allow NUMBER]... COMn...\n");
            return 2;
        }
    }
    if (ports.empty()) {
        std::fprintf(stderr, "usage: qdwatch [--allow NUMBER]... COMn...\n");
        return 2;
    }
    auto opened = OpenDevice(kDevicePath);
    if (!opened.device) {
        std::fprintf(stderr, "qdwatch: cannot open %s: %s", kDevicePath,
                     SystemMessageText(opened.error).c_str());
        return 1;
    }
    Device& device = *opened.device;
    struct Watched {
        int com;
        std::vector<std::uint8_t> id;
        Overlapped overlapped{Event::CreateManualReset()};
        std::vector<std::uint8_t> size = std::vector<std::uint8_t>(4);
    };
    std::vector<Watched> watched;
    for (const int com : ports) {
        std::vector<std::uint8_t> id(4);
        const auto result = device.Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(com), id);
        if (!result.Succeeded()) {
            std::fprintf(stderr, "qdwatch: COM%d not attached: %s", com,
                         SystemMessageText(result.error).c_str());
            continue;
        }
        watched.push_back({com, id});
    }
    if (watched.empty()) {
        return 1;
    }
    const auto list = BuildAllowListBuffer(allowed);
    if (!device.Control(IOCTL_MONITOR_SET_ALLOWLIST, list, {}).Succeeded()) {
        std::fprintf(stderr, "qdwatch: the allowed list was refused\n");
    }
    std::vector<Event> events;
    for (auto& w : watched) {
        std::printf("COM%d attached\n", w.com);
        events.push_back(w.overlapped.GetEvent());
        device.ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, w.id, w.size, w.overlapped);
    }
    std::fflush(stdout);
    for (;;) {
        const auto which = WaitForAny(events);
        if (which >= events.size()) {
            return 1;
        }
        Watched& w = watched[which];
        if (!device.GetOverlappedResult(w.overlapped, w.size).Succeeded()) {
            std::fprintf(stderr, "qdwatch: the driver went away\n");
            return 1;
        }
        std::vector<std::uint8_t> record(GetU32(w.size, 0));
        if (device.Control(IOCTL_MONITOR_READ_EVENT, w.id, record).Succeeded()) {
            if (const auto event = DecodeMonitorEvent(record)) {
                std::printf("COM%d %s\n", w.com, Text(*event).c_str());
                if (event->type == NumberBlocked) {
                    std::printf("COM%d   %s\n", w.com, DialledByLine(event->dialFacts).c_str());
                }
                std::fflush(stdout);
            }
        }
        device.ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, w.id, w.size, w.overlapped);
    }
}
