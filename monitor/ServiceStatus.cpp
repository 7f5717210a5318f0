#include "monitor/ServiceStatus.h"

#include <charconv>
#include <sstream>

namespace kestrine::monitor {

namespace {

std::string Field(std::string_view text) {
    if (text.empty()) {
        return "-";
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(text.size() * 2);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool Unfield(const std::string& field, std::string& text) {
    text.clear();
    if (field == "-") {
        return true;
    }
    if (field.empty() || field.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < field.size(); i += 2) {
        unsigned byte = 0;
        const auto [end, error] = std::from_chars(field.data() + i, field.data() + i + 2, byte, 16);
        if (error != std::errc() || end != field.data() + i + 2) {
            return false;
        }
        text += static_cast<char>(byte);
    }
    return true;
}

}  // namespace

std::string EncodeServiceStatus(const ServiceStatus& status) {
    std::ostringstream out;
    out << "kestrine-status 1\n" << "allowed " << status.allowed << "\n";
    for (const auto& port : status.ports) {
        out << "port " << port.com << ' ' << (port.served ? 1 : 0) << ' ' << Field(port.device)
            << ' ' << Field(port.why) << ' ' << port.lastRefusedAt << ' '
            << Field(port.lastRefused) << ' ' << Field(port.lastDialledBy) << "\n";
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
