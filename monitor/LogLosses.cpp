#include "monitor/LogLosses.h"

#include "log/LogOwner.h"

namespace kestrine::monitor {

LogLosses::LogLosses(log::LogOwner& log, ProtectionStatus& status) : log_(log), status_(status) {}

std::string LogLosses::LostLine(std::size_t events) {
    return std::to_string(events) + (events == 1 ? " event" : " events") + " could not be logged";
}

void LogLosses::EventLogged() {
    if (log_.LastLineLost()) {
        ++lost_;
        status_.Report(ProtectionStatus::Fault::Log, kReason);
        return;
    }
    Retry();
}

void LogLosses::Retry() {
    if (lost_ == 0) {
        return;
    }
    log_.LogLine(LostLine(lost_));
    if (!log_.LastLineLost()) {
        lost_ = 0;
        status_.Clear(ProtectionStatus::Fault::Log);
    }
}

}  // namespace kestrine::monitor
