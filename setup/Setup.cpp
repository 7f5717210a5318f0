#include "setup/Setup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "driver/PortMap.h"
#include "driver/SerialDevice.h"
#include "monitor/AllowListPush.h"
#include "monitor/DialFacts.h"
#include "numbers/NumberListClass.h"
#include "numbers/Scramble.h"
#include "platform/Process.h"
#include "platform/SystemRoot.h"
#include "setup/InstalledLayout.h"

namespace kestrine::setup {

namespace {

using numbers::TNumberList;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_SUCCESS;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string ErrorText(platform::Win32Error code) {
    std::string text = monitor::SystemErrorText(code) + ".";
    if (code == platform::ERROR_REGISTRY_CORRUPT || code == platform::ERROR_BADDB) {
        // Someone else's database, or a damaged one: never written over.
        text +=
            " It is not a Kestrine store, or it is damaged, and is left as it is: move it "
            "away and run kestrine-setup again to start a new one.";
    }
    return text;
}

// Whether the settings key holds `name`; errors other than "not there" stop the setup.
bool HasSetting(const platform::RegKey& settings, std::string_view name, const std::string& where) {
    if (!settings.IsOpen()) {
        return false;
    }
    platform::RegValue value;
    const auto error = settings.QueryValue(numbers::Scramble(name, TNumberList::kStoreKey), value);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        throw SetupError("cannot read the registry " + where + ": " + ErrorText(error));
    }
    return error == ERROR_SUCCESS;
}

// The stored marker in words, read past the store so that a read-only store is described too.
std::string DescribeState(const platform::RegKey& settings) {
    platform::RegValue value;
    settings.QueryValue(numbers::Scramble(TNumberList::kMarkerValue, TNumberList::kStoreKey),
                        value);
    const std::string marker = value.type == platform::REG_SZ
                                   ? numbers::Unscramble(value.data, TNumberList::kStoreKey)
                                   : std::string();
    if (marker == TNumberList::kMarkerInitial) {
        return "initial state, no PIN set yet";
    }
    return marker == TNumberList::kMarkerOff ? "parental control off" : "parental control on";
}

// An older version kept the port map in the store, which members of the group write; it is not
// carried over (anyone in the group could have put a device there), but root is told to map the
// ports again.
void NoteOldPortMap(const platform::Registry& registry, const std::filesystem::path& root,
                    std::ostream& err) {
    std::error_code ec;
    if (std::filesystem::exists(driver::PortMapFilePath(root), ec) ||
        !std::filesystem::exists(registry.DatabasePath(), ec)) {
        return;
    }
    platform::RegKey key;
    if (registry.OpenKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)",
                         platform::KEY_READ, key) != ERROR_SUCCESS) {
        return;
    }
    std::string old;
    std::string name;
    for (std::uint32_t i = 0; key.EnumValue(i, name) == ERROR_SUCCESS; ++i) {
        platform::RegValue value;
        if (key.QueryValue(name, value) == ERROR_SUCCESS && value.type == platform::REG_SZ) {
            old += (old.empty() ? "" : ",") + name + "=" + value.data;
        }
    }
    if (!old.empty()) {
        // Anyone in the group may have written it: shown made printable.
        err << "kestrine-setup: the port map is no longer read from the registry ("
            << monitor::PrintableText(old, 1024)
            << "), and no port is mapped now: check it and map the ports again as root with "
               "kestrine-setup --ports.\n";
    }
}

}  // namespace

std::optional<SetupOptions> ParseArguments(std::span<const std::string> args, std::string& error) {
    SetupOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& arg = args[i];
        // "--name value" or "--name=value"
        auto value = [&](const std::string& name, std::optional<std::string>& into) {
            if (arg == name) {
                if (i + 1 >= args.size()) {
                    error = "option '" + name + "' needs a value";
                    return false;
                }
                into = args[++i];
                return true;
            }
            into = arg.substr(name.size() + 1);
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--ports" || arg.starts_with("--ports=")) {
            if (!value("--ports", options.ports)) {
                return std::nullopt;
            }
        } else if (arg == "--any-tty") {
            options.anyTty = true;
        } else if (arg == "--driver" || arg.starts_with("--driver=")) {
            if (!value("--driver", options.driver)) {
                return std::nullopt;
            }
        } else {
            error = arg.starts_with("-") ? "unknown option '" + arg + "'"
                                         : "unexpected argument '" + arg + "'";
            return std::nullopt;
        }
    }
    if (options.anyTty && !options.ports) {
        error = "option '--any-tty' goes with '--ports'";
        return std::nullopt;
    }
    return options;
}

std::string UsageText() {
    return std::string(
               "Usage: kestrine-setup [--ports COMn=BACKEND,... [--any-tty]] [--driver PATH] "
               "[--help]\n"
               "\n"
               "Prepares a Kestrine system root for the first start of the application:\n"
               "  - creates the system root folder when it is missing;\n"
               "  - puts the monitoring driver in place as drivers/QDDRIVER.sys;\n"
               "  - with --ports, writes which COM ports the driver serves, and by what;\n"
               "  - writes the initial parental-control state into its registry (registry.db),\n"
               "    so that the first PIN can be set in the application.\n"
               "A parental-control state or a PIN that is already stored is never reset: running\n"
               "the setup again does not unlock a protected machine.\n"
               "\n"
               "The system root is $") +
           platform::kSystemRootVariable + ", or " + platform::kDefaultSystemRoot +
           " when that is not set.\n"
           "\n"
           "Options:\n"
           "  --ports MAP   the COM ports the driver serves, e.g. COM1=modem,COM2=/dev/ttyUSB0:\n"
           "                'modem' is the built-in virtual modem, a path a real serial device.\n"
           "                Replaces the stored map; an empty MAP clears it. Without --ports the\n"
           "                stored map is kept. COM1 to COM16 only. A device must be a serial\n"
           "                port (ttyS, ttyUSB, ttyACM...).\n"
           "  --any-tty     with --ports: the map's devices may be any terminal, such as a\n"
           "                pseudo-terminal of a modem bridged over the network\n"
           "  --driver PATH the driver image to install (default: the qddriver built or\n"
           "                installed with this program)\n"
           "  -h, --help    show this help and exit\n"
           "\n"
           "The service entry of the driver is not created here: Kestrine creates it, and\n"
           "starts the driver, when it starts for the first time.\n"
           "\n"
           "Run as root on the installed root (" +
           platform::kDefaultSystemRoot + "), it also gives the store and the log\nto group " +
           platform::kAccessGroupName + ", and --ports writes " + platform::kUdevRulesPath +
           "\nso that each real device is root's alone and ModemManager leaves it be. Restart\n"
           "the driver's service after changing the ports.\n"
           "\n"
           "Exit status: 0 when done, 1 when a step failed, 2 for a wrong command line.\n";
}

void EnsureSystemRoot(const std::filesystem::path& root, std::ostream& out) {
    std::error_code ec;
    if (std::filesystem::is_directory(root, ec)) {
        out << "System root " << root.string() << " is in place.\n";
        return;
    }
    if (std::filesystem::exists(root, ec)) {
        throw SetupError("the system root " + root.string() + " exists but is not a folder");
    }
    std::filesystem::create_directories(root, ec);
    if (ec) {
        throw SetupError("cannot create the system root " + root.string() + ": " + ec.message());
    }
    out << "Created the system root " << root.string() << ".\n";
}

MarkerOutcome SeedParentalMarker(const platform::Registry& registry, std::ostream& out) {
    const std::string where = registry.DatabasePath().string();
    // One transaction, so that nothing can store a marker or PIN between the look and the write.
    platform::RegTransaction transaction(registry);
    TNumberList store(registry);
    platform::RegKey settings;
    const auto error = registry.OpenKey(store.SettingsKeyPath(), platform::KEY_READ, settings);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        throw SetupError("cannot read the registry " + where + ": " + ErrorText(error));
    }
    if (HasSetting(settings, TNumberList::kMarkerValue, where)) {
        out << "Kept the parental-control state already stored (" << DescribeState(settings)
            << ").\n";
        return MarkerOutcome::KeptMarker;
    }
    if (HasSetting(settings, TNumberList::kPinValue, where)) {
        out << "A PIN is stored without a parental-control state; left as it is (parental "
               "control stays on).\n";
        return MarkerOutcome::KeptPin;
    }
    if (transaction.Status() != ERROR_SUCCESS) {
        throw SetupError("cannot write the registry " + where + ": " +
                         ErrorText(transaction.Status()));
    }
    try {
        store.WriteParentalMarker(false, true);
    } catch (const std::exception& failure) {
        throw SetupError("cannot write the registry " + where + ": " + failure.what());
    }
    // The store skips a settings key it cannot open without a word; make sure it is there.
    platform::RegKey written;
    if (registry.OpenKey(store.SettingsKeyPath(), platform::KEY_READ, written) != ERROR_SUCCESS ||
        !HasSetting(written, TNumberList::kMarkerValue, where)) {
        throw SetupError("cannot write the registry " + where);
    }
    if (const auto commit = transaction.Commit(); commit != ERROR_SUCCESS) {
        throw SetupError("cannot write the registry " + where + ": " + ErrorText(commit));
    }
    out << "Wrote the initial parental-control state to " << where
        << ": the first PIN can be set in Kestrine.\n";
    return MarkerOutcome::Written;
}

std::filesystem::path DefaultDriverImage() {
    const auto here = platform::ExecutableDirectory();
    for (const auto& candidate :
         {here / "qddriver", here.parent_path() / "libexec" / "kestrine" / "qddriver",
          here.parent_path() / "driver" / "qddriver"}) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return here / "qddriver";
}

void InstallDriverImage(const std::filesystem::path& image, const std::filesystem::path& root,
                        std::ostream& out) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_regular_file(image, ec)) {
        throw SetupError("the driver image " + image.string() +
                         " is missing (build it, or name it with --driver)");
    }
    const fs::path directory = platform::SystemDirectory(root);
    const fs::path target = directory / "QDDRIVER.sys";
    fs::create_directories(directory, ec);
    if (ec) {
        throw SetupError("cannot create the system directory " + directory.string() + ": " +
                         ec.message());
    }
    if (fs::exists(target, ec) && fs::file_size(target, ec) == fs::file_size(image, ec)) {
        std::ifstream a(image, std::ios::binary);
        std::ifstream b(target, std::ios::binary);
        if (std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b))) {
            out << "The driver " << target.string() << " is in place.\n";
            return;
        }
    }
    // Copy beside it and rename over it: a running driver keeps its image, the next start takes
    // the new one, and nobody ever sees half a file.
    const fs::path partial = directory / "QDDRIVER.sys.new";
    fs::copy_file(image, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
        fs::permissions(partial,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        ec);
    }
    if (!ec) {
        fs::rename(partial, target, ec);
    }
    if (ec) {
        fs::remove(partial, ec);
        throw SetupError("cannot put the driver in place as " + target.string() + ": " +
                         ec.message());
    }
    out << "Put the driver in place: " << target.string() << ".\n";
}

driver::PortMap WritePortMap(const std::filesystem::path& root, const std::string& ports,
                             bool anyTty, std::ostream& out) {
    driver::PortMap map;
    std::size_t start = 0;
    while (start < ports.size()) {
        const std::size_t comma = std::min(ports.find(',', start), ports.size());
        const std::string assignment = ports.substr(start, comma - start);
        std::string error;
        if (!assignment.empty() && !driver::AddPortAssignment(assignment, map, error)) {
            throw SetupError("wrong port map entry '" + assignment + "': " + error);
        }
        start = comma + 1;
    }
    std::string summary;
    for (auto& [com, backend] : map) {
        const std::string name = "COM" + std::to_string(com);
        if (backend.kind == driver::PortBackend::Kind::Modem) {
            summary += (summary.empty() ? "" : ", ") + name + "=modem";
            continue;
        }
        backend.anyTty = anyTty;
        std::string problem;
        switch (driver::ClassifyDevicePath(backend.device, problem)) {
            case driver::DeviceClass::Missing:
                out << name << ": " << backend.device
                    << " is not there now; the driver serves it once it is (if it is a serial "
                       "port).\n";
                break;
            case driver::DeviceClass::SerialPort:
                break;
            case driver::DeviceClass::OtherTerminal:
                if (!anyTty) {
                    throw SetupError(name + "=" + backend.device +
                                     ": not a serial port. To serve another terminal (a "
                                     "pseudo-terminal, a modem bridged over the network), add "
                                     "--any-tty");
                }
                break;
            case driver::DeviceClass::NotATerminal:
                throw SetupError(name + "=" + backend.device + ": " + problem);
        }
        summary += (summary.empty() ? "" : ", ") + name + "=" + backend.device +
                   (backend.anyTty ? " (any terminal)" : "");
    }

    // Written whole beside it and renamed into place, through descriptors that follow no link.
    // The driver trusts the map only in a folder nobody else may write.
    const auto path = driver::PortMapFilePath(root);
    if (const int folder =
            ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        folder >= 0) {
        struct stat st {};
        if (::fstat(folder, &st) == 0 && st.st_uid == ::geteuid()) {
            ::fchmod(folder, st.st_mode & 07755);
        }
        ::close(folder);
    }
    const auto partial = path.string() + ".new";
    ::unlink(partial.c_str());
    const int fd =
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    const std::string text = driver::PortMapText(map);
    bool written = fd >= 0 && ::fchmod(fd, 0644) == 0 &&
                   ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) {
        written = ::close(fd) == 0 && written;
    }
    if (!written || ::rename(partial.c_str(), path.c_str()) != 0) {
        const int failure = written ? errno : error;
        ::unlink(partial.c_str());
        throw SetupError("cannot write the port map " + path.string() + ": " +
                         std::strerror(failure));
    }
    out << (map.empty() ? std::string("Cleared the driver's port map.")
                        : "Wrote the driver's port map: " + summary + ".")
        << "\n";
    return map;
}

int RunSetup(std::span<const std::string> args, const std::filesystem::path& root,
             std::ostream& out, std::ostream& err) {
    std::string error;
    const auto options = ParseArguments(args, error);
    if (!options) {
        err << "kestrine-setup: " << error << "\nTry 'kestrine-setup --help'.\n";
        return kExitUsage;
    }
    if (options->help) {
        out << UsageText();
        return 0;
    }
    try {
        EnsureSystemRoot(root, out);
        InstallDriverImage(
            options->driver ? std::filesystem::path(*options->driver) : DefaultDriverImage(), root,
            out);
        std::optional<driver::PortMap> map;
        if (options->ports) {
            map = WritePortMap(root, *options->ports, options->anyTty, out);
        }
        const platform::Registry registry(platform::RegistryDatabasePath(root));
        if (!options->ports) {
            NoteOldPortMap(registry, root, err);
        }
        SeedParentalMarker(registry, out);
        // The installed root is shared with group kestrine, and its modems are kept from others.
        const auto group = platform::AccessGroup(root);
        if (group && ::geteuid() == 0) {
            ApplyGroupModel(root, platform::InstalledLogFile(), *group, out);
            if (map) {
                WriteUdevRules(*map, platform::kUdevRulesPath, out);
            }
        }
    } catch (const std::exception& failure) {
        err << "kestrine-setup: " << failure.what() << "\n";
        return kExitFailed;
    }
    return 0;
}

}  // namespace kestrine::setup
