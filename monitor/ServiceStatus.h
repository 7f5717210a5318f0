#pragma once
// What the monitoring service says of itself when asked (kestrine-ctl status and log): a control
// code of our own beside the driver contract's five, answered from the driver's own state, so
// that a shell user is told what the service does rather than what files suggest.
//
//   IOCTL_KESTRINE_SERVICE_STATUS   nothing -> the record below, encoded; an output buffer too
//                                   small for it fails with ERROR_INSUFFICIENT_BUFFER.
//
// Record: text lines, fields split by one space, every text field hex-encoded ("-" when empty),
// so that no number or path can break a line:
//   kestrine-status 1
//   allowed <count>
//   port <com> <served 0|1> <device|-> <why not served|-> <time> <number|-> <dialled by|->
//   kept <com> <time> <number>
// Times are seconds since 1970 (0: none, or unknown); com 0 is an unknown port. Lines of a kind
// a reader does not know are passed over, so later services may say more.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/MonitorContract.h"

namespace kestrine::monitor {

inline constexpr std::uint32_t IOCTL_KESTRINE_SERVICE_STATUS =
    CtlCode(kMonitorDeviceType, 0x8a0, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct ServiceStatus {
    // Numbers on the list the service judges dials by.
    std::size_t allowed = 0;

    struct Port {
        int com = 0;
        bool served = false;
        std::string device;  // empty: the virtual modem
        std::string why;     // not served: why
        // The last number refused on it since the service started (time 0: none).
        std::int64_t lastRefusedAt = 0;
        std::string lastRefused;
        std::string lastDialledBy;  // the journal's wording of who dialled it
    };
    std::vector<Port> ports;  // every port mapped or served, by COM number

    // Refusals no application has logged yet, which the service keeps for the next one.
    struct Kept {
        int com = 0;
        std::int64_t time = 0;
        std::string number;
    };
    std::vector<Kept> kept;  // oldest first
};

std::string EncodeServiceStatus(const ServiceStatus& status);
// nullopt: not a status record (a field missing or not hex, an unknown version).
std::optional<ServiceStatus> DecodeServiceStatus(std::string_view bytes);

}  // namespace kestrine::monitor
