#include "setup/Setup.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "driver/PortMap.h"
#include "monitor/AllowListPush.h"
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
    return monitor::SystemErrorText(code) + ".";
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
    return options;
}

std::string UsageText() {
    return std::string(
               "Usage: kestrine-setup [--ports COMn=BACKEND,...] [--driver PATH] [--help]\n"
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
           "                stored map is kept. COM1 to COM16 only.\n"
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
          std::filesystem::path(KESTRINE_BUILT_DRIVER)}) {
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

driver::PortMap WritePortMap(const platform::Registry& registry, const std::string& ports,
                             std::ostream& out) {
    driver::PortMap map;
    std::string text = ports;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string assignment = text.substr(start, comma - start);
        std::string error;
        if (!assignment.empty() && !driver::AddPortAssignment(assignment, map, error)) {
            throw SetupError("wrong port map entry '" + assignment + "': " + error);
        }
        start = comma + 1;
    }
    const std::string where = registry.DatabasePath().string();
    platform::RegTransaction transaction(registry);
    platform::RegKey key;
    auto error =
        registry.CreateKey(driver::kPortMapKey, platform::KEY_READ | platform::KEY_WRITE, key);
    if (error != ERROR_SUCCESS) {
        throw SetupError("cannot write the registry " + where + ": " + ErrorText(error));
    }
    // The whole map is replaced: the old values go, the new ones are written, in one step.
    std::vector<std::string> old;
    std::string name;
    for (std::uint32_t i = 0; key.EnumValue(i, name) == ERROR_SUCCESS; ++i) {
        old.push_back(name);
    }
    for (const auto& value : old) {
        if ((error = key.DeleteValue(value)) != ERROR_SUCCESS) {
            throw SetupError("cannot write the registry " + where + ": " + ErrorText(error));
        }
    }
    std::string summary;
    for (const auto& [com, backend] : map) {
        const std::string value =
            backend.kind == driver::PortBackend::Kind::Modem ? "modem" : backend.device;
        if ((error = key.SetString("COM" + std::to_string(com), value)) != ERROR_SUCCESS) {
            throw SetupError("cannot write the registry " + where + ": " + ErrorText(error));
        }
        summary += (summary.empty() ? "" : ", ") + ("COM" + std::to_string(com) + "=" + value);
    }
    if ((error = transaction.Commit()) != ERROR_SUCCESS) {
        throw SetupError("cannot write the registry " + where + ": " + ErrorText(error));
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
        const platform::Registry registry(platform::RegistryDatabasePath(root));
        std::optional<driver::PortMap> map;
        if (options->ports) {
            map = WritePortMap(registry, *options->ports, out);
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
