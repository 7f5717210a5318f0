#include "monitor/ServiceStatus.h"

#include <sstream>

#include "platform/Hex.h"

namespace kestrine::monitor {

namespace {

std::string Field(std::string_view text) {
    return text.empty() ? "-" : platform::ToHex(text);
}

bool Unfield(const std::string& field, std::string& text) {
    text.clear();
    return field == "-" || (!field.empty() && platform::FromHex(field, text));
}

}  // namespace

std::string EncodeServiceStatus(const ServiceStatus& status) {
    std::ostringstream out;
    out << "kestrine-status 1\n"
        << "allowed " << status.allowed << "\n";
    for (const auto& port : status.ports) {
        out << "port " << port.com << ' ' << (port.served ? 1 : 0) << ' ' << Field(port.device)
            << ' ' << Field(port.why) << ' ' << port.lastRefusedAt << ' ' << Field(port.lastRefused)
            << ' ' << Field(port.lastDialledBy) << "\n";
    }
    for (const auto& kept : status.kept) {
        out << "kept " << kept.com << ' ' << kept.time << ' ' << Field(kept.number) << "\n";
    }
    return out.str();
}

std::optional<ServiceStatus> DecodeServiceStatus(std::string_view bytes) {
    std::istringstream lines{std::string(bytes)};
    std::string line;
    if (!std::getline(lines, line) || line != "kestrine-status 1") {
        return std::nullopt;
    }
    ServiceStatus status;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        bool ok = true;
        if (kind == "allowed") {
            ok = static_cast<bool>(fields >> status.allowed);
        } else if (kind == "port") {
            ServiceStatus::Port port;
            int served = 0;
            std::string device, why, number, dialledBy;
            ok = (fields >> port.com >> served >> device >> why >> port.lastRefusedAt >> number >>
                  dialledBy) &&
                 (served == 0 || served == 1) && Unfield(device, port.device) &&
                 Unfield(why, port.why) && Unfield(number, port.lastRefused) &&
                 Unfield(dialledBy, port.lastDialledBy);
            port.served = served == 1;
            status.ports.push_back(std::move(port));
        } else if (kind == "kept") {
            ServiceStatus::Kept kept;
            std::string number;
            ok = (fields >> kept.com >> kept.time >> number) && Unfield(number, kept.number);
            status.kept.push_back(std::move(kept));
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return status;
}

}  // namespace kestrine::monitor
