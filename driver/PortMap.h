#pragma once
// Which COM port is served by what: the built-in virtual modem, or a real serial device.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SystemRoot.h"

namespace kestrine::driver {

inline constexpr int kMaxComPort = 16;

struct PortBackend {
    enum class Kind { Modem, Device };
    Kind kind = Kind::Modem;
    std::string device;  // Device: an absolute path such as /dev/ttyUSB0
    // Root marked it to be served though it is not a serial port (a pseudo-terminal, a modem
    // bridged over the network): see SerialDevice.h.
    bool anyTty = false;
};

using PortMap = std::map<int, PortBackend>;

// Where the driver's port map lives: a file in the system directory, beside the driver image,
// written only by kestrine-setup. It is root's alone in the installed layout (members of group
// kestrine write the store, so the map is never kept there), and the driver reads it only when
// it is a plain file that neither it nor its folder can be written by anyone but root or the
// driver's own user. One line per served port:
//   COM1 modem
//   COM2 serial /dev/serial/by-id/usb-Maker_Modem-if00-port0
//   COM3 any-tty /dev/pts/7
// "#" starts a comment; a line that is none of these is ignored.
// Why only root chooses what the root driver opens: the file is read through a descriptor opened
// without following a link, in a folder opened the same way, and used only when both belong to
// root (or the driver's own user, in a private root) and neither may be written by group or
// others; so whoever could have written it could have changed the driver itself. The registry's
// old Parameters values are never read. Limit: the folders above drivers/ are trusted as they
// are (the system root is root's and sticky). Even a map root wrote opens only what
// SerialDevice.h allows.
inline constexpr const char* kPortMapFileName = "QDDRIVER.ports";
std::filesystem::path PortMapFilePath(const std::filesystem::path& root = platform::SystemRoot());

// "modem" (any case) or an absolute device path.
std::optional<PortBackend> ParseBackend(std::string_view text);
// "COMn" with n from 1 to 16 (any case).
std::optional<int> ParseComName(std::string_view name);
// One "COMn=backend" assignment into `map`; false with a reason when it is not one.
bool AddPortAssignment(std::string_view assignment, PortMap& map, std::string& error);

// The file's text for `map`, and the map of such a text.
std::string PortMapText(const PortMap& map);
PortMap ParsePortMapText(std::string_view text);
// The port map stored at `path`: empty when there is none, and empty with `problem` set when the
// file is not one the driver may trust (see above) or cannot be read.
PortMap ReadPortMapFile(const std::filesystem::path& path, std::string& problem);

// Reads the current system root's port map afresh at each attach, saying on standard error
// (the service's journal) when a stored map is refused.
class StoredPortMap {
public:
    PortMap Read();

private:
    std::string lastProblem_;
};

}  // namespace kestrine::driver
