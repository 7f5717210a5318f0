#pragma once
// Whether Kestrine protects the machine right now, and if not, why. Each kind of fault is reported
// where it is noticed (the settings store, the driver link, the monitor threads) and cleared when
// its cause has gone. Every change of the whole is written to the log once, with a line of our
// own, and handed to the user interface, which shows it on the tray icon: losing protection is
// never silent, and neither is getting it back.
//
// User-interface thread only.
#include <functional>
#include <map>
#include <string>

namespace kestrine::log {
class LogOwner;
}

namespace kestrine::monitor {

class ProtectionStatus {
public:
    // In the order their reasons are told.
    enum class Fault { Store, Driver, Ports, Log };
    // Called after every change: whether Kestrine protects, and the reason when it does not.
    using Listener = std::function<void(bool protecting, const std::string& reason)>;

    explicit ProtectionStatus(log::LogOwner& log);

    // Sets (or replaces) the reason of one fault.
    void Report(Fault fault, const std::string& reason);
    void Clear(Fault fault);
    bool Has(Fault fault) const { return faults_.contains(fault); }

    bool Protecting() const { return faults_.empty(); }
    // Every fault's reason, in the order of Fault, joined by "; "; empty while protecting.
    std::string Reason() const;
    void SetListener(Listener listener) { listener_ = std::move(listener); }

    static constexpr const char* kNotProtecting = "Kestrine is not protecting: %s";
    static constexpr const char* kProtectingAgain = "Kestrine is protecting again";

private:
    void Changed();

    log::LogOwner& log_;
    std::map<Fault, std::string> faults_;
    std::string announced_;  // the reason last logged; empty while protecting
    Listener listener_;
};

}  // namespace kestrine::monitor
