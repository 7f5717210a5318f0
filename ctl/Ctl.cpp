#include "ctl/Ctl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>

#include "driver/AllowList.h"
#include "driver/PortMap.h"
#include "driver/ServiceLog.h"
#include "log/LogOwner.h"
#include "monitor/MonitorContract.h"
#include "monitor/ServiceStatus.h"
#include "numbers/AllowedListEditing.h"
#include "numbers/NumberListClass.h"
#include "numbers/ParentalControl.h"
#include "platform/DeviceProtocol.h"
#include "platform/LocaleTime.h"
#include "platform/Registry.h"
#include "platform/SocketDevice.h"
#include "platform/SystemMessage.h"
#include "platform/SystemRoot.h"
#include "platform/UserError.h"

#ifndef KESTRINE_VERSION
#define KESTRINE_VERSION "unknown"
#endif

namespace kestrine::ctl {

namespace {

using platform::Win32Error;

// The list box and the field of the Settings tab, as the shared editing code sees them.
class ListView final : public numbers::AllowedListView {
public:
    std::string FieldText() const override { return field; }
    void SetFieldText(const std::string& text) override { field = text; }
    void FocusField() override {}
    std::vector<std::string> Items() const override { return items; }
    void SetItems(const std::vector<std::string>& list) override { items = list; }
    void AppendItem(const std::string& item) override { items.push_back(item); }
    void DeleteItem(int index) override {
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    }
    int SelectedIndex() const override { return selected; }
    void Select(int index) override { selected = index; }
    void FocusList() override {}
    void SetRemoveEnabled(bool) override {}

    std::string field;
    std::vector<std::string> items;
    int selected = -1;
};

// `allow -y`: the question whether a short number is a number is answered Yes; everything else,
// the PIN above all, is asked as always.
class YesPrompts final : public Prompts {
public:
    explicit YesPrompts(Prompts& inner) : inner_(inner) {}
    bool Confirm(const std::string&) override { return true; }
    void Error(const std::string& text) override { inner_.Error(text); }
    void Warning(const std::string& text) override { inner_.Warning(text); }
    void Information(const std::string& text) override { inner_.Information(text); }
    void CommonError(const std::string& text) override { inner_.CommonError(text); }
    PinAnswer AskPIN(const std::string& prompt) override { return inner_.AskPIN(prompt); }
    PinAnswer AskNewPIN() override { return inner_.AskNewPIN(); }
    PinAnswer AskChangedPIN(const std::string& pin) override { return inner_.AskChangedPIN(pin); }

private:
    Prompts& inner_;
};

class NoCheckBox final : public numbers::ParentalControls {
public:
    bool ParentalChecked() const override { return checked_; }
    void SetParentalChecked(bool checked) override { checked_ = checked; }
    void SetSetPinEnabled(bool) override {}

private:
    bool checked_ = false;
};

std::string Message(Win32Error error) {
    return platform::SystemMessageText(error);
}

int NoAccess(CtlEnvironment& env, const std::string& what) {
    env.err << "kestrine-ctl: " << what
            << ": permission denied (only root and members of group kestrine may use Kestrine)\n";
    return kExitNoAccess;
}

bool Contains(const std::vector<std::string>& list, const std::string& number) {
    return std::find(list.begin(), list.end(), number) != list.end();
}

// The text after a log line's time stamp ("12/10/26 15:33:08: text").
std::string AfterStamp(const std::string& line) {
    const auto at = line.find(": ");
    return at == std::string::npos ? std::string() : line.substr(at + 2);
}

bool IsRefusalLine(const std::string& line) {
    const std::string text = AfterStamp(line);
    return (text.size() > 8 && text.ends_with(" blocked")) ||
           text.find(" while Kestrine was not running") != std::string::npos;
}

// The refusals of the log, each with the line naming its dialler, oldest first.
std::vector<std::string> LogRefusals(const std::string& content) {
    std::vector<std::string> entries;
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (IsRefusalLine(line)) {
            entries.push_back(line);
        } else if (!entries.empty() && AfterStamp(line).starts_with("dialled by") &&
                   entries.back().find('\n') == std::string::npos) {
            entries.back() += "\n  " + AfterStamp(line);
        }
    }
    return entries;
}

std::string ReadAll(const std::filesystem::path& path, bool& readable) {
    std::ifstream file(path, std::ios::binary);
    readable = static_cast<bool>(file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A time of the service's as the log writes its own ("12/11/26 10:01:02").
std::string When(std::int64_t time) {
    if (time <= 0) {
        return "at an unknown time";
    }
    const auto seconds = static_cast<std::time_t>(time);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) {
        return "at an unknown time";
    }
    const platform::LocaleTime locale;
    return locale.ShortDate(local) + " " + locale.LongTime(local);
}

std::string Refusals(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " refusal" : " refusals");
}

std::string PortName(int com) {
    return com > 0 ? "COM" + std::to_string(com) : "a port not known";
}

// What the service says of itself; nullopt with `problem` set when it cannot be asked or does
// not answer (`problem` empty: it is not running).
std::optional<monitor::ServiceStatus> AskService(Win32Error& opening, std::string& problem) {
    auto opened = platform::OpenDevice(monitor::kDevicePath);
    opening = opened.error;
    if (!opened.device) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> output(platform::protocol::kMaxPayload);
    const auto answer = opened.device->Control(monitor::IOCTL_KESTRINE_SERVICE_STATUS, {}, output);
    if (!answer.Succeeded()) {
        problem = answer.error == platform::ERROR_TIMEOUT
                      ? "does not answer"
                      : "cannot tell its state (" + Message(answer.error) + ")";
        return std::nullopt;
    }
    auto status = monitor::DecodeServiceStatus(
        std::string_view(reinterpret_cast<const char*>(output.data()), answer.bytesReturned));
    if (!status) {
        problem = "gave an answer that cannot be read";
    }
    return status;
}

int Status(CtlEnvironment& env) {
    std::vector<std::string> why;
    std::ostringstream details;

    Win32Error opening = platform::ERROR_SUCCESS;
    std::string problem;
    const auto service = AskService(opening, problem);
    if (opening == platform::ERROR_ACCESS_DENIED) {
        return NoAccess(env, "the monitoring driver");
    }
    if (opening != platform::ERROR_SUCCESS) {
        why.push_back("the monitoring driver is not running (" + Message(opening) + ")");
        details << "driver:         not running\n";
    } else if (!service) {
        why.push_back("the monitoring driver " + problem);
        details << "driver:         running, but " << problem << "\n";
    } else {
        details << "driver:         running (" << monitor::kDevicePath
                << " answers), judging dials by " << service->allowed << " allowed numbers\n";
    }

    numbers::TNumberList store(platform::Registry::System());
    const auto numbers = store.LoadNumbers();
    if (store.LoadError() == platform::ERROR_ACCESS_DENIED) {
        return NoAccess(env, "the settings store");
    }
    if (store.LoadError() != platform::ERROR_SUCCESS) {
        why.push_back(store.LoadErrorText());
        details << "allowed list:   cannot be read (" << store.LoadErrorText() << ")\n";
    } else {
        details << "allowed list:   " << numbers.size() << " numbers";
        driver::AllowList asJudged;  // as the driver counts them: normalised, each once
        asJudged.Replace(numbers);
        if (service && service->allowed != asJudged.Size()) {
            details << " (the driver has not read the last change yet)";
        }
        details << "\n";
        bool on = false;
        try {
            on = store.IsParentalControlOn();
        } catch (const UserError&) {
        }
        details << "parental control: " << (on ? "on (changes ask for the PIN)" : "off") << "\n";
    }

    // The ports as the service serves them; without it, as the map asks for them.
    std::vector<monitor::ServiceStatus::Port> ports;
    std::string mapProblem;
    const auto map = driver::ReadPortMapFile(driver::PortMapFilePath(), mapProblem);
    if (service) {
        ports = service->ports;
    } else {
        for (const auto& [com, backend] : map) {
            if (com >= 1 && com <= driver::kMaxComPort) {
                monitor::ServiceStatus::Port port;
                port.com = com;
                port.device =
                    backend.kind == driver::PortBackend::Kind::Device ? backend.device : "";
                port.why = "the driver is not running";
                ports.push_back(std::move(port));
            }
        }
    }
    int served = 0;
    for (const auto& port : ports) {
        const std::string device = port.device.empty() ? "the virtual modem" : port.device;
        details << "COM" << port.com << ":" << std::string(port.com < 10 ? 11 : 10, ' ');
        if (port.served) {
            ++served;
            details << "served at " << platform::PublishedPortPath(port.com).string() << " by "
                    << device << (port.device.empty() ? "" : ", held by the driver");
        } else {
            details << "NOT served (" << device << ": " << port.why << ")";
            why.push_back("COM" + std::to_string(port.com) + " is mapped but not served");
        }
        details << "\n" << std::string(16, ' ') << "last refusal: ";
        if (port.lastRefusedAt == 0) {
            details << (service ? "none since the service started" : "not known") << "\n";
        } else {
            details << driver::Printable(port.lastRefused) << " on " << When(port.lastRefusedAt)
                    << " (" << driver::Printable(port.lastDialledBy) << ")\n";
        }
    }
    if (!mapProblem.empty()) {
        details << "port map:       " << mapProblem << "\n";
    }
    if (served == 0) {
        why.push_back("no port is served");
    }
    if (service && !service->kept.empty()) {
        details << "not yet logged: " << Refusals(service->kept.size())
                << " the service keeps for the next application (kestrine-ctl log)\n";
    }

    bool readable = false;
    const auto logPath = env.programDirectory / "qdlog.log";
    const auto refusals = LogRefusals(ReadAll(logPath, readable));
    details << "last refusal in the log: "
            << (!readable && ::access(logPath.c_str(), F_OK) != 0 ? "none (no log yet)"
                : !readable                                       ? "(the log cannot be read)"
                : refusals.empty()                                ? "none"
                                                                  : refusals.back())
            << "\n";

    if (why.empty()) {
        env.out << "Kestrine is protecting\n";
    } else {
        env.out << "Kestrine is not protecting: ";
        for (std::size_t i = 0; i < why.size(); ++i) {
            env.out << (i > 0 ? "; " : "") << why[i];
        }
        env.out << "\n";
    }
    env.out << details.str();
    return why.empty() ? kExitDone : kExitNotProtecting;
}

std::string KeptLine(const monitor::ServiceStatus::Kept& refusal) {
    return "  " + When(refusal.time) + ": " + driver::Printable(refusal.number) + " refused on " +
           PortName(refusal.com);
}

// The refusals of the log, then those the service keeps because no application has logged them
// yet (newest last either way: an application logs the kept ones before anything newer).
int Log(CtlEnvironment& env, std::size_t count, bool follow) {
    const auto path = env.programDirectory / "qdlog.log";
    bool readable = false;
    std::string content = ReadAll(path, readable);
    const bool exists = ::access(path.c_str(), F_OK) == 0;
    if (!readable && exists) {
        return NoAccess(env, path.string());
    }
    Win32Error opening = platform::ERROR_SUCCESS;
    std::string problem;
    auto service = AskService(opening, problem);
    if (opening == platform::ERROR_ACCESS_DENIED) {
        return NoAccess(env, "the monitoring driver");
    }
    if (!exists && !service) {
        env.err << "kestrine-ctl: there is no log at " << path.string()
                << ", and the monitoring driver "
                << (opening != platform::ERROR_SUCCESS ? "is not running" : problem) << "\n";
        return kExitFailed;
    }
    if (opening == platform::ERROR_SUCCESS && !service) {
        env.err << "kestrine-ctl: the monitoring driver " << problem
                << ": refusals it keeps are not shown\n";
    }

    const auto entries = LogRefusals(content);
    const std::vector<monitor::ServiceStatus::Kept> none;
    const auto& kept = service ? service->kept : none;
    const std::size_t keptShown = std::min(kept.size(), count);
    const std::size_t logShown = std::min(entries.size(), count - keptShown);
    for (std::size_t i = entries.size() - logShown; i < entries.size(); ++i) {
        env.out << entries[i] << "\n";
    }
    if (!kept.empty()) {
        env.out << Refusals(kept.size())
                << " not yet logged by an application (the service keeps them for the next "
                   "one):\n";
        for (std::size_t i = kept.size() - keptShown; i < kept.size(); ++i) {
            env.out << KeptLine(kept[i]) << "\n";
        }
    }
    env.out.flush();

    std::size_t seen = content.size();
    std::size_t keptSeen = kept.size();
    while (follow && env.keepFollowing()) {
        content = ReadAll(path, readable);
        if (content.size() < seen) {
            seen = 0;  // the log started afresh
        }
        for (const auto& entry : LogRefusals(content.substr(seen))) {
            env.out << entry << "\n";
        }
        seen = content.size();
        // Refused with no application there: kept by the service (an application that comes
        // takes them all, and logs them, so the count only grows while none is there).
        service = AskService(opening, problem);
        const std::size_t keptNow = service ? service->kept.size() : 0;
        for (std::size_t i = std::min(keptSeen, keptNow); i < keptNow; ++i) {
            env.out << KeptLine(service->kept[i]) << "\n";
        }
        keptSeen = keptNow;
        env.out.flush();
    }
    return kExitDone;
}

int Allowed(CtlEnvironment& env) {
    numbers::TNumberList store(platform::Registry::System());
    const auto numbers = store.LoadNumbers();
    if (store.LoadError() == platform::ERROR_ACCESS_DENIED) {
        return NoAccess(env, "the settings store");
    }
    if (store.LoadError() != platform::ERROR_SUCCESS) {
        env.err << "kestrine-ctl: " << store.LoadErrorText() << "\n";
        return kExitFailed;
    }
    for (const auto& number : numbers) {
        env.out << number << "\n";
    }
    return kExitDone;
}

// Allow or remove through the window's own editing code.
int Edit(CtlEnvironment& env, bool add, const std::string& number, bool yes) {
    numbers::TNumberList store(platform::Registry::System());
    store.LoadNumbers();
    if (store.LoadError() == platform::ERROR_ACCESS_DENIED) {
        return NoAccess(env, "the settings store");
    }
    if (store.LoadError() != platform::ERROR_SUCCESS) {
        env.err << "kestrine-ctl: " << store.LoadErrorText() << "\n";
        return kExitFailed;
    }
    log::LogOwner log(env.programDirectory);
    NoCheckBox checkBox;
    ListView view;
    YesPrompts answerYes(env.prompts);
    Prompts& prompts = yes ? answerYes : env.prompts;
    numbers::ParentalControl parental(store, prompts, log, checkBox);
    // The service reads the store whenever it changes: nothing to push.
    numbers::AllowedListEditing editing(store, parental, prompts, log, view,
                                        [](std::span<const std::string>) {});
    const auto before = editing.LoadListBox();
    if (!add) {
        const auto it = std::find(before.begin(), before.end(), number);
        if (it == before.end()) {
            env.err << "kestrine-ctl: " << number << " is not on the allowed list\n";
            return kExitFailed;
        }
        view.selected = static_cast<int>(it - before.begin());
    } else {
        view.field = number;
    }
    RunUserAction(prompts, [&] { add ? editing.btnAddClick() : editing.btnRemoveClick(); });
    const auto after = store.LoadNumbers();
    if (add && Contains(after, number)) {
        if (!Contains(before, number)) {
            env.out << number << " added to the allowed list\n";
        }
        return kExitDone;
    }
    if (!add && !Contains(after, number)) {
        env.out << number << " removed from the allowed list\n";
        return kExitDone;
    }
    env.err << "kestrine-ctl: the allowed list was not changed\n";
    return kExitFailed;
}

}  // namespace

std::string UsageText() {
    return "usage: kestrine-ctl [--log-dir DIR] COMMAND\n"
           "\n"
           "Shows and changes what Kestrine does. For root and members of group kestrine.\n"
           "\n"
           "commands:\n"
           "  status            whether the machine is protected, and each port\n"
           "  log [-n N] [-f]   the last N refusals (default 20), newest last; -f: follow\n"
           "  allowed           the allowed numbers\n"
           "  allow [-y] NUMBER allow a number (asks for the PIN while parental control is on;\n"
           "                    -y: a number shorter than usual is meant as it is)\n"
           "  remove NUMBER     remove a number (the same PIN)\n"
           "\n"
           "options:\n"
           "  --log-dir DIR     the folder of qdlog.log (default: " +
           std::string(platform::kInstalledProgramDirectory) +
           ")\n"
           "  -h, --help        show this help\n"
           "      --version     show the version\n"
           "\n"
           "exit status: 0 done (status: protecting), 1 refused or failed, 2 wrong usage,\n"
           "3 not protecting, 4 permission denied\n";
}

int RunCtl(const std::vector<std::string>& args, CtlEnvironment& env) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help" || arg == "help") {
            env.out << UsageText();
            return kExitDone;
        }
        if (arg == "--version") {
            env.out << "kestrine-ctl " << KESTRINE_VERSION << "\n";
            return kExitDone;
        }
        if (arg == "--log-dir") {
            if (i + 1 >= args.size()) {
                env.err << "kestrine-ctl: --log-dir needs a folder\n";
                return kExitUsage;
            }
            env.programDirectory = args[++i];
            continue;
        }
        rest.push_back(arg);
    }
    const auto usage = [&](const std::string& why) {
        env.err << "kestrine-ctl: " << why << "\n"
                << "Try 'kestrine-ctl --help'.\n";
        return kExitUsage;
    };
    if (rest.empty()) {
        return usage("a command is needed");
    }
    const std::string command = rest[0];
    if (command == "status" && rest.size() == 1) {
        return Status(env);
    }
    if (command == "allowed" && rest.size() == 1) {
        return Allowed(env);
    }
    if (command == "allow" && rest.size() == 3 && rest[1] == "-y") {
        return Edit(env, true, rest[2], true);
    }
    if ((command == "allow" || command == "remove") && rest.size() == 2) {
        return Edit(env, command == "allow", rest[1], false);
    }
    if (command == "log") {
        std::size_t count = 20;
        bool follow = false;
        for (std::size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] == "-f") {
                follow = true;
            } else if (rest[i] == "-n" && i + 1 < rest.size()) {
                const std::string& text = rest[++i];
                if (text.empty() || !std::all_of(text.begin(), text.end(), ::isdigit) ||
                    text.size() > 9) {
                    return usage("-n needs a number: " + text);
                }
                count = std::stoul(text);
            } else {
                return usage("log: unknown option " + rest[i]);
            }
        }
        return Log(env, count, follow);
    }
    if (command == "status" || command == "allowed" || command == "allow" || command == "remove") {
        return usage(command + ": wrong number of arguments");
    }
    return usage("unknown command: " + command);
}

}  // namespace kestrine::ctl
