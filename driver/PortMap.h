#pragma once
// Which COM port is served by what: the built-in virtual modem, or a real serial device.
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Registry.h"

namespace kestrine::driver {

inline constexpr int kMaxComPort = 16;

struct PortBackend {
    enum class Kind { Modem, Device };
    Kind kind = Kind::Modem;
    std::string device;  // Device: an absolute path such as /dev/ttyUSB0
};

using PortMap = std::map<int, PortBackend>;

// Where the driver's own configuration lives: one REG_SZ value per served port under
// HKEY_LOCAL_MACHINE, "COM1"="modem", "COM2"="/dev/ttyUSB0". Values that are no port from COM1
// to COM16 or name no backend are ignored.
inline constexpr const char* kPortMapKey =
    R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)";

// "modem" (any case) or an absolute device path.
std::optional<PortBackend> ParseBackend(std::string_view text);
// "COMn" with n from 1 to 16 (any case).
std::optional<int> ParseComName(std::string_view name);
// One "COMn=backend" assignment into `map`; false with a reason when it is not one.
bool AddPortAssignment(std::string_view assignment, PortMap& map, std::string& error);
// The port map of the registry of the current system root; empty when it has none.
PortMap ReadPortMapFromRegistry();
PortMap ReadPortMapFromRegistry(const platform::Registry& registry);

// Reads the port map afresh each time, as ReadPortMapFromRegistry does, on a connection to the
// store kept open between reads: opening the store costs a millisecond, and the application
// attaches sixteen ports one after another when it starts. Each read sees every change committed
// before it; a store replaced by a new file (another inode) is opened anew.
class RegistryPortMap {
public:
    PortMap Read();

private:
    std::optional<platform::Registry> registry_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace kestrine::driver
