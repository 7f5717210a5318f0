#pragma once
// kestrine-setup, the installation step: prepares a system root for the application's first
// start. Each step says what it did; a failed step raises SetupError with a message for the user.
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>

#include "driver/PortMap.h"
#include "platform/Registry.h"

namespace kestrine::setup {

class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SetupOptions {
    bool help = false;
    std::optional<std::string> ports;   // --ports COM1=modem,COM2=/dev/ttyUSB0
    std::optional<std::string> driver;  // --driver PATH: the built driver image to install
    bool anyTty = false;                // --any-tty: the map's devices may be any terminal
};

// The options of `args` (without the program name), or nothing with `error` set.
std::optional<SetupOptions> ParseArguments(std::span<const std::string> args, std::string& error);
std::string UsageText();

// Creates the system root when it is missing.
void EnsureSystemRoot(const std::filesystem::path& root, std::ostream& out);

enum class MarkerOutcome { Written, KeptMarker, KeptPin };

// Puts the initial parental-control marker in place unless a marker or a PIN is stored already:
// a re-install must never unlock a protected machine.
MarkerOutcome SeedParentalMarker(const platform::Registry& registry, std::ostream& out);

// Where the built driver image is looked for when --driver is not given: beside this program,
// then in the installed libexec folder, then where a build tree keeps it (../driver/qddriver).
// No path of the machine it was built on is compiled in.
std::filesystem::path DefaultDriverImage();

// Puts the driver image in place as QDDRIVER.sys in the system directory of `root` (replacing
// an older one in one step). Never creates the driver's service entry: the application does that
// on its first start.
void InstallDriverImage(const std::filesystem::path& image, const std::filesystem::path& root,
                        std::ostream& out);

// Replaces the driver's port map (driver::PortMapFilePath(root), see driver/PortMap.h) with
// `ports` ("COM1=modem,COM3=/dev/ttyS0"; an empty text clears it) and returns it. A device that
// is there and is not a serial port is refused unless `anyTty` marks every device of the map as
// allowed to be any terminal; a device that is not there yet is accepted (the driver checks it
// when it opens it). Throws SetupError for a malformed or refused map, naming the part that is
// wrong; the stored map is then unchanged.
driver::PortMap WritePortMap(const std::filesystem::path& root, const std::string& ports,
                             bool anyTty, std::ostream& out);

// The whole installation step for the system root `root`; returns the exit status (0 done,
// 1 a step failed, 2 a wrong command line). Run as root on the installed root, it also applies
// the group model and writes the udev rules of the port map (InstalledLayout.h).
int RunSetup(std::span<const std::string> args, const std::filesystem::path& root,
             std::ostream& out, std::ostream& err);

}  // namespace kestrine::setup
