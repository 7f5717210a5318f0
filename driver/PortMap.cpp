#include "driver/PortMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/SystemRoot.h"

namespace kestrine::driver {

namespace {
std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return out;
}
}  // namespace

std::optional<PortBackend> ParseBackend(std::string_view text) {
    if (Lower(text) == "modem") {
        return PortBackend{PortBackend::Kind::Modem, {}, false};
    }
    if (text.size() > 1 && text.front() == '/' && text.find('\0') == std::string_view::npos) {
        return PortBackend{PortBackend::Kind::Device, std::string(text), false};
    }
    return std::nullopt;
}

std::optional<int> ParseComName(std::string_view name) {
    const std::string lower = Lower(name);
    if (lower.size() < 4 || lower.size() > 5 || lower.compare(0, 3, "com") != 0 ||
        lower[3] == '0') {
        return std::nullopt;
    }
    int n = 0;
    for (std::size_t i = 3; i < lower.size(); ++i) {
        if (lower[i] < '0' || lower[i] > '9') {
            return std::nullopt;
        }
        n = n * 10 + (lower[i] - '0');
    }
    if (n < 1 || n > kMaxComPort) {
        return std::nullopt;
    }
    return n;
}

bool AddPortAssignment(std::string_view assignment, PortMap& map, std::string& error) {
    const auto equals = assignment.find('=');
    if (equals == std::string_view::npos) {
        error = "expected COMn=modem or COMn=/dev/...: " + std::string(assignment);
        return false;
    }
    const auto com = ParseComName(assignment.substr(0, equals));
    if (!com) {
        error = "not a port from COM1 to COM16: " + std::string(assignment.substr(0, equals));
        return false;
    }
    const auto backend = ParseBackend(assignment.substr(equals + 1));
    if (!backend) {
        error =
            "not 'modem' or an absolute device path: " + std::string(assignment.substr(equals + 1));
        return false;
    }
    map[*com] = *backend;
    return true;
}

std::filesystem::path PortMapFilePath(const std::filesystem::path& root) {
    return platform::SystemDirectory(root) / kPortMapFileName;
}

std::string PortMapText(const PortMap& map) {
    std::string text =
        "# Written by kestrine-setup --ports: the COM ports the Kestrine driver serves.\n";
    for (const auto& [com, backend] : map) {
        text += "COM" + std::to_string(com);
        if (backend.kind == PortBackend::Kind::Modem) {
            text += " modem\n";
        } else {
            text += (backend.anyTty ? " any-tty " : " serial ") + backend.device + "\n";
        }
    }
    return text;
}

PortMap ParsePortMapText(std::string_view text) {
    PortMap map;
    while (!text.empty()) {
        const auto end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        const auto space = line.find(' ');
        if (line.empty() || line.front() == '#' || space == std::string_view::npos) {
            continue;
        }
        const auto com = ParseComName(line.substr(0, space));
        const std::string_view rest = line.substr(space + 1);
        const auto kindEnd = std::min(rest.find(' '), rest.size());
        const std::string_view kind = rest.substr(0, kindEnd);
        const std::string_view device =
            kindEnd < rest.size() ? rest.substr(kindEnd + 1) : std::string_view();
        if (!com) {
            continue;
        }
        if (kind == "modem" && device.empty()) {
            map[*com] = PortBackend{PortBackend::Kind::Modem, {}, false};
        } else if (kind == "serial" || kind == "any-tty") {
            auto backend = ParseBackend(device);
            if (backend && backend->kind == PortBackend::Kind::Device) {
                backend->anyTty = kind == "any-tty";
                map[*com] = *backend;
            }
        }
    }
    return map;
}

namespace {

// Written by root or by the driver's own user, and by nobody else.
bool TrustedOwner(const struct stat& st) {
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

PortMap ReadPortMapFile(const std::filesystem::path& path, std::string& problem) {
    problem.clear();
    struct stat st {};
    const int folder =
        ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return {};  // no system directory yet: no map
    }
    const bool folderTrusted = ::fstat(folder, &st) == 0 && TrustedOwner(st);
    const int fd =
        ::openat(folder, path.filename().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    ::close(folder);
    if (fd < 0) {
        if (openError != ENOENT) {
            problem = path.string() + ": " + std::strerror(openError);
        }
        return {};
    }
    std::string text;
    if (!folderTrusted) {
        problem = path.parent_path().string() + " may be written by others than root";
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = path.string() + " is not a plain file";
    } else if (!TrustedOwner(st)) {
        problem = path.string() + " may be written by others than root";
    } else {
        char buffer[4096];
        ssize_t n = 0;
        while (text.size() < 64 * 1024 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        if (n < 0) {
            problem = path.string() + ": " + std::strerror(errno);
        }
    }
    ::close(fd);
    return problem.empty() ? ParsePortMapText(text) : PortMap{};
}

PortMap StoredPortMap::Read() {
    std::string problem;
    auto map = ReadPortMapFile(PortMapFilePath(), problem);
    if (!problem.empty() && problem != lastProblem_) {
        std::fprintf(stderr, "qddriver: the port map is not used: %s\n", problem.c_str());
    }
    lastProblem_ = problem;
    return map;
}

}  // namespace kestrine::driver
