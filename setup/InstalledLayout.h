#pragma once
// What kestrine-setup does only for the installed root, as root (see platform/SystemRoot.h): the
// permissions of the group model, and the udev rule that keeps a real modem of the port map
// root-only and away from ModemManager.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/PortMap.h"

namespace kestrine::setup {

// Gives the system root and the log to `group` (keeping their owner): the root folder 3771
// (setgid: what members create stays the group's; sticky: nobody but its owner replaces what root
// put there; others may only pass through to dev/), its folders drivers/ device/ dev/ log/ run/
// created 0755, registry.db and its journal files 0660, the log's folder 3770 and the log file
// 0660 (created empty when missing). Symbolic links are never followed: one found where a file
// or folder of the layout belongs is refused. Throws SetupError.
void ApplyGroupModel(const std::filesystem::path& root, const std::filesystem::path& logFile,
                     gid_t group, std::ostream& out);

// A real device of the port map, as a udev rule matches it.
struct UdevMatch {
    std::string port;    // COMn
    std::string device;  // as the map names it
    std::string byId;    // its /dev/serial/by-id name, when it has one
    std::string kernel;  // its kernel name (ttyS0), when udev manages it and it has no by-id name
};

// The stable identity of `device`: its name in `byIdDirectory` (a link there that leads to the
// same device, or the device path itself when it lies there), else its kernel name when
// `sysClassTty` knows it, else neither (a pseudo-terminal, a missing device).
UdevMatch IdentifyDevice(const std::string& port, const std::string& device,
                         const std::filesystem::path& byIdDirectory = "/dev/serial/by-id",
                         const std::filesystem::path& sysClassTty = "/sys/class/tty");
// The rules file for `devices`; those without an identity get a comment instead of a rule.
std::string UdevRulesText(const std::vector<UdevMatch>& devices);
// Writes the rules for the real devices of `map` to `rulesPath` (removing the file when there
// are none) and asks udev to apply them; says what it did. Throws SetupError when the file
// cannot be written; a udev that is not installed or does not run is only reported.
void WriteUdevRules(const driver::PortMap& map, const std::filesystem::path& rulesPath,
                    std::ostream& out);

}  // namespace kestrine::setup
