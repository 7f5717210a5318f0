#pragma once
// Which COM port is served by what: the built-in virtual modem, or a real serial device.
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestrine::driver {

inline constexpr int kMaxComPort = 16;

struct PortBackend {
    enum class Kind { Modem, Device };
    Kind kind = Kind::Modem;
    std::string device;  // Device: an absolute path such as /dev/ttyUSB0
};

using PortMap = std::map<int, PortBackend>;

// "modem" (any case) or an absolute device path.
std::optional<PortBackend> ParseBackend(std::string_view text);
// "COMn" with n from 1 to 16 (any case).
std::optional<int> ParseComName(std::string_view name);
// One "COMn=backend" assignment into `map`; false with a reason when it is not one.
bool AddPortAssignment(std::string_view assignment, PortMap& map, std::string& error);

}  // namespace kestrine::driver
