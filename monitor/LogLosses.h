#pragma once
// Lines the log could not take are a fault like any other: an event whose line was lost (a refused
// number above all) is counted, the loss is reported (ProtectionStatus: tooltip and notice), and
// once the log takes lines again one line of our own says how many events it missed. The count is
// offered to the log again at every look (Retry), so a log mended while nothing happens is found
// too.
//
// User-interface thread only.
#include <cstddef>
#include <string>

#include "monitor/ProtectionStatus.h"

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::monitor {

class LogLosses {
public:
    LogLosses(log::LogOwner& log, ProtectionStatus& status);

    // After an event's lines went to the log.
    void EventLogged();
    // Tries to write the count of lost events; clears the fault when it lands.
    void Retry();
    std::size_t Lost() const { return lost_; }

    static std::string LostLine(std::size_t events);
    static constexpr const char* kReason = "the log cannot be written";

private:
    log::LogOwner& log_;
    ProtectionStatus& status_;
    std::size_t lost_ = 0;
};

}  // namespace kestrine::monitor
