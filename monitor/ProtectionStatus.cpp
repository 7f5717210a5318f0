#include "monitor/ProtectionStatus.h"

#include "log/LogOwner.h"

namespace kestrine::monitor {

ProtectionStatus::ProtectionStatus(log::LogOwner& log) : log_(log) {}

void ProtectionStatus::Report(Fault fault, const std::string& reason) {
    faults_[fault] = reason;
    Changed();
}

void ProtectionStatus::Clear(Fault fault) {
    if (faults_.erase(fault) > 0) {
        Changed();
    }
}

std::string ProtectionStatus::Reason() const {
    std::string reason;
    for (const auto& [fault, text] : faults_) {
        if (!reason.empty()) {
            reason += "; ";
        }
        reason += text;
    }
    return reason;
}

void ProtectionStatus::Changed() {
    const std::string reason = Reason();
    if (reason == announced_) {
        return;
    }
    if (reason.empty()) {
        log_.LogLine(kProtectingAgain);
    } else {
        log_.LogFormat(kNotProtecting, {reason});
    }
    announced_ = reason;
    if (listener_) {
        listener_(reason.empty(), reason);
    }
}

}  // namespace kestrine::monitor
