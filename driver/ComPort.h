#pragma once
// One attached COM port: a pseudo-terminal whose slave is published at $KESTRINE_ROOT/dev/COMn,
// relayed to the port's backend through the dial blocker, with its events queued.
//
// What the program does on the published port becomes events:
//   - PortOpened / PortClosed: first opener and last closer (inotify on the slave counts opens);
//   - PortWrite / PortRead: bytes from the program, and bytes delivered to it (the backend's,
//     and the driver's own answers to refused dials), as they pass;
//   - PortFlushed: tcflush of either queue;
//   - BaudRateSet / LineControlSet: tcsetattr that changes the speed, or the stop bits or parity
//     as the terminal reports them (packet mode with EXTPROC).
// A pseudo-terminal cannot carry everything a serial port can: the kernel forces 8 data bits
// and no parity on it (word length always reads 8, parity enable cannot be seen), it has no
// modem-control lines (TIOCMGET/TIOCMSET fail with ENOTTY for the program, so DTR, RTS, CD, RI
// are neither seen nor mirrored), 1.5 stop bits do not exist, and breaks are not reported.
// B0 (hang-up) is seen and hangs up the backend.
//
// A real device is held for the driver alone while its port is attached (UUCP lock file and
// TIOCEXCL, see DeviceHold.h): a device another program holds refuses the attach (ERROR_BUSY).
//
// Between the program and the backend sits the dial blocker (DialFilter.h), which owns their
// dialogue: everything either side says goes through it, and it configures the modem itself at
// attach and after each hang-up (B0, the last close). What the modem says while no program
// holds the port is dropped, as a serial port drops it.
//
// When a dial is refused, the driver looks which processes hold the port open and, where it can
// be told, which one dialled (PortHolders.h), before the program gets its reply: the dialler is
// waiting for that reply, so it is alive and holds the port. Where it may (root), it also keeps a
// record of who opened the port at each opening (PortReports.h), so that a dialler that wrote
// and ended is still named, as ended. The refusal's record carries those facts, so the
// application learns them with the number. Paths that refuse nothing never look.
//
// The slave belongs to the driver's user with mode 0660 and group dialout, as serial ports do,
// where that group exists and the driver may give it (root, or a member of dialout); otherwise
// mode 0600, so that no other user's process (nor the tty group) can open it. The published
// name is a symbolic link to it. The driver never keeps the slave open itself (that would hide
// the last close).
#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/EventLoop.h"
#include "driver/EventQueue.h"
#include "driver/PortReports.h"
#include "driver/PortHolders.h"
#include "driver/PortMap.h"
#include "driver/TtySettings.h"
#include "driver/UniqueFd.h"
#include "platform/Win32Error.h"

namespace kestrine::driver {

// An attach that cannot be done, with the error for the application.
struct PortError {
    platform::Win32Error error;
};

class Backend;

class ComPort {
public:
    // Throws PortError.
    ComPort(EventLoop& loop, const PortBackend& backend, const AllowList& allowed,
            LookBudget& looks, std::filesystem::path published, std::function<void()> onEvents);
    ~ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    EventQueue& Queue() { return queue_; }
    // The application has read events: a port held back by a full queue may go on.
    void EventsConsumed();
    const std::string& SlavePath() const { return slavePath_; }

private:
    void OnMaster(std::uint32_t events);
    void DrainOpens();
    void CountOpens(const std::vector<std::uint32_t>& masks);
    void ReadProgram(bool ignorePause);
    void Status(std::uint8_t status);
    void FromProgram(std::string_view bytes);
    void FromBackend(std::string_view bytes);
    // Carries out what the dial blocker decided, in order.
    void Carry(std::vector<DialFilter::Action>& actions);
    // Queues bytes for the program (and their event) without writing yet: FlushToProgram does.
    void QueueToProgram(std::string_view bytes);
    void FlushToProgram();
    void Opened();
    void Closed();
    void UpdateWatch();
    void Publish();
    void Unpublish();
    void Notify();
    monitor::DialFacts LookWhoDialled();
    monitor::DialFacts LookByHolders(LookBudget::Clock::time_point start);

    EventLoop& loop_;
    LookBudget& looks_;
    std::filesystem::path published_;
    std::function<void()> onEvents_;
    EventQueue queue_;
    DialFilter filter_;
    std::uint64_t filterTimer_ = 0;
    bool carrying_ = false;
    std::vector<DialFilter::Action> deferred_;  // decided while a turn was carried out
    std::string modemInbox_;                    // what the modem said meanwhile
    UniqueFd master_;
    std::string slavePath_;
    std::optional<TerminalId> terminal_;
    std::uint64_t masterToken_ = 0;
    std::uint32_t watched_ = 0;
    UniqueFd inotify_;
    std::uint64_t inotifyToken_ = 0;
    int openers_ = 0;
    // Closes of the slave seen so far, their count when the master was last found empty, and
    // that count from before the command line now being checked began: a close since then may
    // have taken the process that wrote the line.
    std::uint64_t closes_ = 0;
    std::uint64_t closesWhenEmpty_ = 0;
    std::uint64_t closesAtLineStart_ = 0;
    std::vector<std::uint32_t> watchEvents_;  // read during a look, not yet counted
    // Who opened the port (where the driver may know), and the epochs its records are kept in:
    // the times the program's side was found empty, and that count when the line now being
    // checked began.
    std::unique_ptr<PortReports> reports_;
    std::uint64_t reportsToken_ = 0;
    std::uint64_t emptyEpoch_ = 0;
    std::uint64_t lineEpoch_ = 0;
    bool opened_ = false;
    bool closedSinceOpen_ = false;
    LineSettings settings_;
    std::string toProgram_;
    std::unique_ptr<Backend> backend_;
    bool isPublished_ = false;
    // The published link as made (device, inode, change time): only it is ever removed.
    struct LinkId {
        dev_t device = 0;
        ino_t inode = 0;
        time_t changed = 0;
        long changedNs = 0;
        bool operator==(const LinkId&) const = default;
    };
    LinkId publishedLink_;
};

}  // namespace kestrine::driver
