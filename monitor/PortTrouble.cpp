#include "monitor/PortTrouble.h"

#include <cctype>
#include <fstream>
#include <optional>

#include "monitor/AllowListPush.h"

namespace kestrine::monitor {

namespace {

constexpr const char* kPortMapKey = R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)";

// The process named in a UUCP lock file (ASCII or, from old programs, a binary int).
std::optional<long> LockHolder(const std::filesystem::path& lockFile) {
    std::ifstream in(lockFile, std::ios::binary);
    std::string content(64, '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(in.gcount()));
    std::size_t i = 0;
    while (i < content.size() && content[i] == ' ') {
        ++i;
    }
    long pid = 0;
    std::size_t digits = 0;
    for (;
         i < content.size() && std::isdigit(static_cast<unsigned char>(content[i])) && digits < 10;
         ++i, ++digits) {
        pid = pid * 10 + (content[i] - '0');
    }
    if (digits == 0 || pid <= 0) {
        return std::nullopt;
    }
    return pid;
}

std::string ProcessName(const std::filesystem::path& proc, long pid) {
    std::ifstream in(proc / std::to_string(pid) / "comm");
    std::string name;
    std::getline(in, name);
    // A process names itself: shown as plain text, with nothing that is no printable ASCII.
    std::string shown;
    for (const char c : name) {
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    return shown;
}

}  // namespace

std::string PortBackendText(const platform::Registry& registry, int com) {
    platform::RegKey key;
    platform::RegValue value;
    if (registry.OpenKey(kPortMapKey, platform::KEY_READ, key) != platform::ERROR_SUCCESS ||
        key.QueryValue("COM" + std::to_string(com), value) != platform::ERROR_SUCCESS ||
        value.type != platform::REG_SZ) {
        return {};
    }
    return value.data;
}

std::string DescribeAttachFailure(int com, platform::Win32Error error, const std::string& backend,
                                  const std::filesystem::path& lockDirectory,
                                  const std::filesystem::path& proc) {
    const std::string port = "COM" + std::to_string(com) + ": ";
    const std::string what = backend.empty() ? std::string("the port") : backend;
    if (error == platform::ERROR_BUSY && !backend.empty() && backend.front() == '/') {
        // The lock is named after the device itself, whatever link the map names.
        std::error_code ec;
        const auto device = std::filesystem::weakly_canonical(backend, ec);
        const auto name = (ec ? std::filesystem::path(backend) : device).filename().string();
        if (const auto pid = LockHolder(lockDirectory / ("LCK.." + name))) {
            const std::string holder = ProcessName(proc, *pid);
            return port + backend + " is locked by process " + std::to_string(*pid) +
                   (holder.empty() ? std::string() : " (" + holder + ")");
        }
    }
    return port + what + " cannot be attached: " + SystemErrorText(error);
}

}  // namespace kestrine::monitor
