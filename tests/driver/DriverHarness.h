#pragma once
// A real qddriver in a private system root, and the client-side helpers the driver tests share.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/MonitorContract.h"
#include "platform/Device.h"
#include "platform/SystemRoot.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

namespace kestrine::test {

using namespace std::chrono_literals;

class DriverProcess {
public:
    // Starts qddriver with a private root and the given --port assignments (and options such
    // as "--any-tty", passed as they are) and waits until it is ready. The test fails (fatally)
    // when it does not come up. `prepare`, when given, runs on the root before the driver starts.
    // The driver's standard error (its journal lines) goes to JournalPath().
    explicit DriverProcess(
        std::vector<std::string> ports = {"COM1=modem"},
        const std::function<void(const std::filesystem::path& root)>& prepare = {});
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    const std::filesystem::path& Root() const { return root_.Path(); }
    std::filesystem::path Port(int com) const { return platform::PublishedPortPath(com, Root()); }
    std::filesystem::path Socket() const { return platform::DeviceSocketPath("QDDRIVER", Root()); }
    bool Ready() const { return pid_ > 0; }
    std::filesystem::path JournalPath() const { return Root() / "log" / "QDDRIVER.log"; }
    // Waits until a line of the journal contains `text`; the journal's text, or nothing.
    std::optional<std::string> AwaitJournal(const std::string& text,
                                            std::chrono::milliseconds timeout = 10s) const;
    pid_t Pid() const { return pid_; }

    // Sends `signal` and waits for the process to end; its exit status, or -1 on timeout.
    int Stop(int signal);

private:
    PrivateRoot root_;
    pid_t pid_ = -1;
};

std::filesystem::path DriverExecutable();

// Opens \\.\QDDRIVER; fails the test when it cannot.
std::shared_ptr<platform::Device> OpenDriver();
monitor::PortId Attach(platform::Device& device, int com);
bool Detach(platform::Device& device, monitor::PortId id);
void SetAllowList(platform::Device& device, const std::vector<std::string>& numbers);

// The next event record of a port (wait, then read), or nothing within `timeout`.
std::optional<std::vector<std::uint8_t>> NextEvent(platform::Device& device, monitor::PortId id,
                                                   std::chrono::milliseconds timeout = 10s);
// Events decoded to short texts ("opened", "write:AT\r", "baud:9600", "line:2,0,8",
// "blocked:0900", ...), read until `last` has come (or the timeout passes). Data events of one
// direction that follow each other are joined, since the driver may cut a burst anywhere.
std::vector<std::string> EventsUntil(platform::Device& device, monitor::PortId id,
                                     const std::string& last,
                                     std::chrono::milliseconds timeout = 10s);
std::string Describe(const std::vector<std::uint8_t>& record);

// A fixture's real driver with its COM1 attached.
class AttachedDriverTest : public ::testing::Test {
protected:
    // Starts the driver, attaches COM1 and allows `allowed`; fails the test (fatally) when any
    // step does.
    void StartAttached(const std::vector<std::string>& allowed);

    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<platform::Device> device_;
    monitor::PortId id_ = 0;
};

// True when this machine can make pseudo-terminals.
bool HavePtys();
// An open published port in raw mode; closed when it goes.
class OpenPort {
public:
    explicit OpenPort(const std::filesystem::path& path);
    ~OpenPort();
    OpenPort(const OpenPort&) = delete;
    OpenPort& operator=(const OpenPort&) = delete;
    int Fd() const { return fd_; }
    void Write(const std::string& bytes);
    // Reads until `expected` has arrived (returns everything read) or the timeout passes.
    std::string ReadUntil(const std::string& expected, std::chrono::milliseconds timeout = 10s);
    // Reads until nothing more has come for `quiet` (returns everything read).
    std::string ReadUntilQuiet(std::chrono::milliseconds quiet);

private:
    int fd_ = -1;
};

}  // namespace kestrine::test
