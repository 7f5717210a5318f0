#include "setup/Setup.h"

#include <system_error>

#include "monitor/AllowListPush.h"
#include "numbers/NumberListClass.h"
#include "numbers/Scramble.h"
#include "platform/SystemRoot.h"

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
    for (const auto& arg : args) {
        if (arg == "-h" || arg == "--help") {
            options.help = true;
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
               "Usage: kestrine-setup [--help]\n"
               "\n"
               "Prepares a Kestrine system root for the first start of the application:\n"
               "  - creates the system root folder when it is missing;\n"
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
           "  -h, --help   show this help and exit\n"
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
        SeedParentalMarker(platform::Registry(platform::RegistryDatabasePath(root)), out);
    } catch (const std::exception& failure) {
        err << "kestrine-setup: " << failure.what() << "\n";
        return kExitFailed;
    }
    return 0;
}

}  // namespace kestrine::setup
