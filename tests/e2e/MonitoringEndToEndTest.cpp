// The whole monitoring path with real processes: a root prepared by kestrine-setup, the start-up
// sequence installing and starting the driver as a service, and a real dialling program.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "app/MainFormCore.h"
#include "monitor/DriverUtil.h"
#include "platform/ServiceControl.h"
#include "platform/SystemRoot.h"
#include "tests/support/LogFixture.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/RunProgram.h"
#include "tests/support/ScriptedPrompts.h"

using namespace kestrine;
using namespace std::chrono_literals;

namespace {

struct RecordingAlert : monitor::BlockedAlert {
    std::vector<std::string> numbers;
    std::vector<std::string> dialledBy;
    int late = 0;
    void ShowBlockedAlert(const std::string& number, const std::string& dialler) override {
        numbers.push_back(number);
        dialledBy.push_back(dialler);
    }
    void NoteRefusedWhileAway() override { ++late; }
};

struct NoControls : numbers::ParentalControls, numbers::AllowedListView, app::LogMemo {
    bool checked = false;
    bool ParentalChecked() const override { return checked; }
    void SetParentalChecked(bool value) override { checked = value; }
    void SetSetPinEnabled(bool) override {}
    std::string FieldText() const override { return {}; }
    void SetFieldText(const std::string&) override {}
    void FocusField() override {}
    std::vector<std::string> Items() const override { return {}; }
    void SetItems(const std::vector<std::string>&) override {}
    void AppendItem(const std::string&) override {}
    void DeleteItem(int) override {}
    int SelectedIndex() const override { return -1; }
    void Select(int) override {}
    void FocusList() override {}
    void SetRemoveEnabled(bool) override {}
    bool SetLogText(const std::string&) override { return true; }
};

class MonitoringEndToEnd : public ::testing::Test {
protected:
    test::PrivateRoot root;
    test::LogFixture log;  // the program folder, for the log file
    test::ScriptedPrompts prompts;
    RecordingAlert alert;
    NoControls controls;
    monitor::HandOverQueue handOver;
    monitor::DriverUtil driver = monitor::DriverUtil::System();
    std::unique_ptr<app::MainFormCore> core;
    std::atomic<bool> lookAsked{false};  // what the window's queued look would be

    void SetUp() override {
        for (const char* program : {"chat"}) {
            if (!test::HaveProgram(program)) {
                GTEST_SKIP() << program << " (package ppp) is needed: run scripts/install-deps";
            }
        }
        const auto setup = test::RunProgram({KESTRINE_SETUP_BINARY, "--ports", "COM1=modem"});
        ASSERT_EQ(setup.exitCode, 0) << setup.output;
        core = std::make_unique<app::MainFormCore>(app::MainFormEnvironment{
            log.dir.Path(), platform::Registry::System(), driver, handOver, alert, prompts,
            controls, controls, controls, [] {}, [](unsigned) {}, [this] { lookAsked = true; }});
    }

    // Dials through COM1 with ppp's chat while this thread serves the hand-overs; returns chat's
    // exit code (0 on CONNECT, 4 on NO CARRIER).
    int Dial(const std::string& number, const std::string& expectLine) {
        auto chat = std::async(std::launch::async, [number] {
            return test::RunProgram({"chat", "-v", "-s", "-t", "5", "ABORT", "NO CARRIER", "",
                                     "ATZ", "OK", "ATDT" + number, "CONNECT", ""},
                                    platform::PublishedPortPath(1), 20s);
        });
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        auto lines = [&] { return log.Content().find(expectLine) != std::string::npos; };
        while ((chat.wait_for(0s) != std::future_status::ready || !lines()) &&
               std::chrono::steady_clock::now() < deadline) {
            handOver.WaitAndServe(20ms);
        }
        const auto run = chat.get();
        EXPECT_TRUE(lines()) << "log:\n" << log.Content() << "\nchat:\n" << run.output;
        return run.exitCode;
    }
};

}  // namespace

TEST_F(MonitoringEndToEnd, ARefusedNumberIsRefusedAndLoggedAnAllowedOneConnects) {
    core->CreateStore();
    core->NumberList->SaveNumbers(std::vector<std::string>{"0123456789"});
    core->StartMonitoring();
    ASSERT_NE(core->Link.DeviceHandle, nullptr) << log.Content();
    EXPECT_TRUE(core->Link.PortAttached[1]);
    EXPECT_FALSE(core->Link.PortAttached[2]) << "only COM1 is served";

    EXPECT_EQ(Dial("0900123456", "0900123456 blocked"), 4) << "NO CARRIER";
    // The log has the port's opening, the program's dial as it wrote it, then the refusal.
    const std::string content = log.Content();
    const auto opened = content.find(": Port Opened\r\n");
    const auto blocked = content.find(": 0900123456 blocked\r\n");
    ASSERT_NE(opened, std::string::npos) << content;
    ASSERT_NE(blocked, std::string::npos) << content;
    EXPECT_LT(opened, blocked);
    // chat writes a byte at a time, and each write is an event of its own.
    std::string written;
    for (auto at = content.find(": WRITE: ", opened); at < blocked;
         at = content.find(": WRITE: ", at + 1)) {
        const auto begin = at + 9;
        written += content.substr(begin, content.find("\r\n", begin) - begin);
    }
    EXPECT_NE(written.find("ATDT0900123456"), std::string::npos) << written;
    EXPECT_EQ(alert.numbers, std::vector<std::string>{"0900123456"});
    // Our own line follows, on the program that dialled (chat, "probably" where it runs since the
    // port was opened for it, or unknown where it ended on hearing NO CARRIER before the driver
    // looked), and the alert has its short form.
    const auto next = content.find("\r\n", blocked + 2) + 2;
    const std::string following = content.substr(next, content.find("\r\n", next) - next);
    EXPECT_NE(following.find("dialled by "), std::string::npos) << following;
    ASSERT_EQ(alert.dialledBy.size(), 1u);
    EXPECT_NE(alert.dialledBy[0].find("dialled by "), std::string::npos) << alert.dialledBy[0];

    EXPECT_EQ(Dial("0123456789", "CONNECT"), 0) << "an allowed number connects";

    core->StopMonitoring();
    EXPECT_FALSE(core->Link.PortAttached[1]);
    // The application never stops the driver: it is still there for the next start.
    platform::ServiceManager services = platform::ServiceManager::System();
    platform::ScHandle scm;
    platform::ScHandle service;
    ASSERT_EQ(services.OpenSCManager(platform::kServicesActive, platform::SC_MANAGER_CONNECT, scm),
              0u);
    ASSERT_EQ(services.OpenService(scm, "QDDRIVER", platform::SERVICE_START, service), 0u);
    EXPECT_EQ(services.StartService(service), platform::ERROR_SERVICE_ALREADY_RUNNING);
}

TEST_F(MonitoringEndToEnd, AnEmptyNumberInTheStoreSpoilsNoListTheDriverGets) {
    // What allowing a bare dial left in a store: an empty number, shown as a blank row.
    core->CreateStore();
    core->NumberList->SaveNumbers(std::vector<std::string>{""});
    core->StartMonitoring();
    ASSERT_NE(core->Link.DeviceHandle, nullptr) << log.Content();
    core->Editing->AllowNumber("0123456789");
    EXPECT_EQ(log.Content().find("Cannot set the allowlist"), std::string::npos) << log.Content();
    EXPECT_EQ(Dial("0123456789", "CONNECT"), 0) << "the number allowed after it connects";
    core->StopMonitoring();
}

// The driver killed outright, or stopped in order (as a restart of its service does): its
// published port goes with it, the loss is noticed without anything asked of the driver (a look
// only when a monitor thread asks for one, or on the timer while protection is not whole, as the
// window does), and within seconds the application has started it again through the service
// layer, attached the port and pushed the stored list, without a restart of its own.
TEST_F(MonitoringEndToEnd, AKilledOrStoppedDriverIsNoticedStartedAgainAndProtects) {
    core->CreateStore();
    core->NumberList->SaveNumbers(std::vector<std::string>{"0123456789"});
    core->StartMonitoring();
    for (const int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(signal == SIGKILL ? "killed" : "stopped in order");
        ASSERT_TRUE(core->Link.PortAttached[1]) << log.Content();
        const auto pidFile = platform::ServiceRunDirectory() / "QDDRIVER.pid";
        const pid_t first = std::stoi(test::ReadFile(pidFile));
        const auto lostBefore = log.Content().size();
        ASSERT_EQ(::kill(first, signal), 0);

        // The loss and the return are both told, however quickly the one follows the other.
        const auto told = [&](const std::string& line) {
            return log.Content().find(line, lostBefore) != std::string::npos;
        };
        const auto back = [&] { return told(": Kestrine is protecting again\r\n"); };
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!(back() && core->Status.Protecting()) &&
               std::chrono::steady_clock::now() < deadline) {
            handOver.WaitAndServe(20ms);
            if (lookAsked.exchange(false) || !core->Status.Protecting()) {
                core->CheckProtection();
            }
        }
        ASSERT_TRUE(back() && core->Status.Protecting()) << core->Status.Reason() << "\n"
                                                         << log.Content();
        EXPECT_NE(std::stoi(test::ReadFile(pidFile)), first) << "a driver of its own again";
        EXPECT_TRUE(told(": Kestrine is not protecting: the monitoring driver has stopped"))
            << log.Content();
        EXPECT_EQ(Dial("0900123456", "0900123456 blocked"), 4) << "refused again";
        EXPECT_EQ(Dial("0123456789", "CONNECT"), 0) << "the stored list reached the new driver";
    }
    core->StopMonitoring();
}

// A driver that hangs while nothing is asked of it (SIGSTOP) is found by the looks alone, told,
// and once it runs again protection is back without anything restarted.
TEST_F(MonitoringEndToEnd, ADriverThatHangsWhileIdleIsToldAndComesBack) {
    core->CreateStore();
    core->NumberList->SaveNumbers(std::vector<std::string>{"0123456789"});
    core->StartMonitoring();
    ASSERT_TRUE(core->Link.PortAttached[1]) << log.Content();
    const pid_t driverPid =
        std::stoi(test::ReadFile(platform::ServiceRunDirectory() / "QDDRIVER.pid"));
    ASSERT_EQ(::kill(driverPid, SIGSTOP), 0);
    const auto lookUntil = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            handOver.WaitAndServe(20ms);
            core->CheckProtection();  // the window's timer
        }
        return done();
    };
    const bool told =
        lookUntil([&] { return core->Status.Reason() == "the monitoring driver does not answer"; });
    ::kill(driverPid, SIGCONT);
    ASSERT_TRUE(told) << core->Status.Reason() << "\n" << log.Content();
    ASSERT_TRUE(lookUntil([&] { return core->Status.Protecting(); }))
        << core->Status.Reason() << "\n"
        << log.Content();
    EXPECT_EQ(std::stoi(test::ReadFile(platform::ServiceRunDirectory() / "QDDRIVER.pid")),
              driverPid)
        << "waited for, not replaced";
    EXPECT_EQ(Dial("0900123456", "0900123456 blocked"), 4) << "refused";
    core->StopMonitoring();
}

// A refusal answered NO CARRIER whose record nobody read before the driver was killed is not
// lost: the next driver hands it over at the first attach, and it is logged.
TEST_F(MonitoringEndToEnd, ARefusalTheKilledDriverCouldNotHandOverIsLoggedAfterItsReturn) {
    core->CreateStore();
    core->NumberList->SaveNumbers(std::vector<std::string>{"0123456789"});
    core->StartMonitoring();
    ASSERT_TRUE(core->Link.PortAttached[1]) << log.Content();
    // COM1 attached again with nobody reading its events.
    ASSERT_TRUE(core->Link.StopPort(1));
    std::array<std::uint8_t, 4> id{};
    ASSERT_TRUE(core->Link.DeviceHandle
                    ->Control(monitor::IOCTL_MONITOR_ATTACH_PORT, monitor::PortNameBuffer(1), id)
                    .Succeeded());
    const auto chat = test::RunProgram({"chat", "-v", "-s", "-t", "5", "ABORT", "NO CARRIER", "",
                                        "ATZ", "OK", "ATDT0900123456", "CONNECT", ""},
                                       platform::PublishedPortPath(1), 20s);
    ASSERT_EQ(chat.exitCode, 4) << "NO CARRIER\n" << chat.output;
    ASSERT_EQ(log.Content().find("0900123456 blocked"), std::string::npos) << "not read yet";
    const pid_t first = std::stoi(test::ReadFile(platform::ServiceRunDirectory() / "QDDRIVER.pid"));
    ASSERT_EQ(::kill(first, SIGKILL), 0);

    const auto deadline = std::chrono::steady_clock::now() + 20s;
    // Handed over late: logged with the time it was refused, counted for the one notice.
    const auto logged = [&] {
        return log.Content().find(": 0900123456 was refused on ") != std::string::npos;
    };
    while (!(logged() && core->Status.Protecting()) &&
           std::chrono::steady_clock::now() < deadline) {
        handOver.WaitAndServe(20ms);
        core->CheckProtection();
    }
    EXPECT_TRUE(logged()) << log.Content();
    EXPECT_TRUE(alert.numbers.empty());
    EXPECT_EQ(alert.late, 1);
    core->StopMonitoring();
}
