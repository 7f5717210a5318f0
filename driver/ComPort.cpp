#include "driver/ComPort.h"

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "driver/DeviceHold.h"
#include "driver/SerialDevice.h"
#include "driver/VirtualModem.h"
#include "monitor/MonitorContract.h"
#include "platform/SystemRoot.h"

namespace kestrine::driver {

using namespace kestrine::monitor;
using platform::Win32Error;

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
// Beyond this many bytes waiting for a slow side, the other side is no longer read.
constexpr std::size_t kHighWater = 64 * 1024;
// Reads per readiness report, so that one busy port cannot starve the others.
constexpr int kReadsPerWake = 8;

std::vector<char>& ReadBuffer() {
    static std::vector<char> buffer(kReadSize + 1);
    return buffer;
}

}  // namespace

// The far side of a port.
class Backend {
public:
    using Sink = std::function<void(std::string_view)>;
    virtual ~Backend() = default;
    virtual void Write(std::string_view bytes) = 0;
    virtual bool Congested() const { return false; }
    virtual void Apply(const LineSettings&) {}
    virtual void Flush(bool /*input*/, bool /*output*/) {}
    // The program hung up (B0) or closed the port.
    virtual void HangUp(bool programListens) = 0;
    // The program is not taking what the backend sends: stop reading the backend meanwhile.
    virtual void HoldOutput(bool /*hold*/) {}
};

namespace {

class ModemBackend final : public Backend {
public:
    ModemBackend(EventLoop& loop, Sink sink) : loop_(loop), sink_(std::move(sink)) {
        timer_ = loop_.AddTimer([this] { return modem_.NextDeadline(); },
                                [this] { Emit(modem_.Tick(VirtualModem::Clock::now())); });
    }
    ~ModemBackend() override { loop_.RemoveTimer(timer_); }
    void Write(std::string_view bytes) override {
        Emit(modem_.Input(bytes, VirtualModem::Clock::now()));
    }
    void HangUp(bool programListens) override { Emit(modem_.HangUp(programListens)); }

private:
    void Emit(const std::string& bytes) {
        if (!bytes.empty()) {
            sink_(bytes);
        }
    }
    EventLoop& loop_;
    Sink sink_;
    VirtualModem modem_;
    std::uint64_t timer_;
};

class DeviceBackend final : public Backend {
public:
    DeviceBackend(EventLoop& loop, const PortBackend& backend, Sink sink,
                  std::function<void()> drained)
        : loop_(loop), sink_(std::move(sink)), drained_(std::move(drained)) {
        // The device is the driver's alone while the port is attached (DeviceHold.h): a program
        // that opens it directly would dial past the blocker. One that holds it already (its
        // lock is live) keeps it, and the attach fails. Only a serial port, or a terminal root
        // marked, is opened at all, and every earlier opening is revoked (SerialDevice.h).
        const std::string& path = backend.device;
        Win32Error error = platform::ERROR_SUCCESS;
        pid_t holder = 0;
        lock_ = UucpLock::Acquire(path, platform::kUucpLockDirectory, error, &holder);
        if (!lock_ && error == platform::ERROR_BUSY) {
            std::fprintf(
                stderr, "qddriver: %s is locked by %s\n", path.c_str(),
                holder > 0 ? UucpLock::DescribeProcess(holder).c_str() : "another process");
            throw PortError{error};
        }
        if (!lock_) {
            std::fprintf(stderr, "qddriver: no lock file for %s in %s (%u); holding it anyway\n",
                         path.c_str(), platform::kUucpLockDirectory, error);
        }
        auto opened = OpenHeldDevice(backend);
        if (!opened.fd.Valid()) {
            std::fprintf(stderr, "qddriver: %s\n", opened.reason.c_str());
            throw PortError{opened.error};
        }
        fd_ = std::move(opened.fd);
        if (!PrepareDevice(fd_.Get())) {
            throw PortError{platform::ERROR_GEN_FAILURE};
        }
        token_ = loop_.Add(fd_.Get(), EPOLLIN, [this](std::uint32_t events) { OnReady(events); });
        timer_ = loop_.AddTimer([this] { return raiseDtrAt_; },
                                [this] {
                                    raiseDtrAt_.reset();
                                    if (fd_.Valid()) {
                                        ApplyToDevice(fd_.Get(), settings_);
                                    }
                                });
    }
    ~DeviceBackend() override {
        loop_.RemoveTimer(timer_);
        if (token_ != 0) {
            loop_.Remove(token_);
        }
        if (fd_.Valid()) {
            ReleaseExclusive(fd_.Get());
        }
    }
    void Write(std::string_view bytes) override {
        if (!fd_.Valid()) {
            return;  // the device went away: nothing reaches it any more
        }
        if (pending_.empty()) {
            // Nothing queued before: write from the caller's bytes, keep only what is left over.
            while (!bytes.empty()) {
                const auto n = ::write(fd_.Get(), bytes.data(), bytes.size());
                if (n < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    if (errno != EAGAIN) {
                        return Lost();
                    }
                    break;
                }
                bytes.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        pending_.append(bytes);
        FlushPending();
    }
    bool Congested() const override { return pending_.size() > kHighWater; }
    void Apply(const LineSettings& settings) override {
        settings_ = settings;
        if (fd_.Valid()) {
            ApplyToDevice(fd_.Get(), settings);
        }
    }
    void Flush(bool input, bool output) override {
        if (output) {
            pending_.clear();
        }
        if (fd_.Valid()) {
            FlushDevice(fd_.Get(), input, output);
        }
    }
    void HangUp(bool /*programListens*/) override {
        // As a serial port does on close: drop DTR for a moment so the modem hangs up.
        if (fd_.Valid() && settings_.baud != 0) {
            LineSettings down = settings_;
            down.baud = 0;
            ApplyToDevice(fd_.Get(), down);
            raiseDtrAt_ = EventLoop::Clock::now() + std::chrono::milliseconds(100);
        }
    }

private:
    void FlushPending() {
        while (!pending_.empty()) {
            const auto n = ::write(fd_.Get(), pending_.data(), pending_.size());
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN) {
                    Lost();
                }
                break;
            }
            pending_.erase(0, static_cast<std::size_t>(n));
        }
        Watch();
    }
    void HoldOutput(bool hold) override {
        if (hold != held_) {
            held_ = hold;
            Watch();
        }
    }
    void Watch() {
        if (token_ != 0) {
            loop_.Modify(token_,
                         (held_ ? 0u : static_cast<std::uint32_t>(EPOLLIN)) |
                             (pending_.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT)));
        }
    }
    void OnReady(std::uint32_t events) {
        if ((events & EPOLLOUT) != 0) {
            const bool was = Congested();
            FlushPending();
            if (was && !Congested()) {
                drained_();
            }
        }
        if (!fd_.Valid()) {
            return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
            auto& buffer = ReadBuffer();
            for (int i = 0; i < kReadsPerWake; ++i) {
                if (held_ && (events & (EPOLLHUP | EPOLLERR)) == 0) {
                    break;
                }
                const auto n = ::read(fd_.Get(), buffer.data(), kReadSize);
                if (n > 0) {
                    sink_({buffer.data(), static_cast<std::size_t>(n)});
                    continue;
                }
                if (n < 0 && (errno == EINTR)) {
                    continue;
                }
                if (n == 0 || errno != EAGAIN) {
                    Lost();
                }
                break;
            }
        }
    }
    void Lost() {
        if (token_ != 0) {
            loop_.Remove(token_);
            token_ = 0;
        }
        fd_.Reset();
        pending_.clear();
    }

    EventLoop& loop_;
    Sink sink_;
    std::function<void()> drained_;
    std::optional<UucpLock> lock_;  // released after the device is closed
    UniqueFd fd_;
    std::uint64_t token_ = 0;
    std::string pending_;
    LineSettings settings_;
    std::uint64_t timer_ = 0;
    std::optional<EventLoop::Clock::time_point> raiseDtrAt_;
    bool held_ = false;
};

}  // namespace

ComPort::ComPort(EventLoop& loop, const PortBackend& backend, const AllowList& allowed,
                 LookBudget& looks, std::filesystem::path published, std::function<void()> onEvents)
    : loop_(loop),
      looks_(looks),
      published_(std::move(published)),
      onEvents_(std::move(onEvents)),
      // A real modem is left alone for a moment after DTR drops; the virtual one hangs up at once.
      filter_(allowed, backend.kind == PortBackend::Kind::Modem ? DialFilter::Clock::duration{}
                                                                : std::chrono::milliseconds(500)) {
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master_.Valid() || ::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) {
        throw PortError{platform::ERROR_GEN_FAILURE};
    }
    char name[PATH_MAX];
    if (::ptsname_r(master_.Get(), name, sizeof name) != 0 || !PreparePtyMaster(master_.Get())) {
        throw PortError{platform::ERROR_GEN_FAILURE};
    }
    slavePath_ = name;
    terminal_ = IdentifyTerminal(slavePath_);
    settings_ = ReadLineSettings(master_.Get()).value_or(LineSettings{});

    // Usable by the user's dialling programs, as serial ports are (see the header): group
    // dialout may use it where the driver can give it that group, nobody else but its owner.
    mode_t mode = 0600;
    if (const group* dialout = ::getgrnam("dialout")) {
        if (::chown(slavePath_.c_str(), ::geteuid(), dialout->gr_gid) == 0) {
            mode = 0660;
        }
    }
    ::chmod(slavePath_.c_str(), mode);

    // The backend first: a device that cannot be opened refuses the attach before anything of
    // the port is registered with the loop.
    auto toProgram = [this](std::string_view bytes) { FromBackend(bytes); };
    if (backend.kind == PortBackend::Kind::Modem) {
        backend_ = std::make_unique<ModemBackend>(loop_, toProgram);
    } else {
        backend_ =
            std::make_unique<DeviceBackend>(loop_, backend, toProgram, [this] { UpdateWatch(); });
        backend_->Apply(settings_);
    }

    inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.Valid() || ::inotify_add_watch(inotify_.Get(), slavePath_.c_str(),
                                                 IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        throw PortError{platform::ERROR_GEN_FAILURE};
    }
    inotifyToken_ = loop_.Add(inotify_.Get(), EPOLLIN, [this](std::uint32_t) {
        DrainOpens();
        Notify();
    });
    reports_ = std::make_unique<PortReports>(slavePath_);
    if (reports_->Available()) {
        reportsToken_ = loop_.Add(reports_->Fd(), EPOLLIN,
                                  [this](std::uint32_t) { reports_->Read(emptyEpoch_); });
    }

    filterTimer_ = loop_.AddTimer([this] { return filter_.NextDeadline(); },
                                  [this] {
                                      std::vector<DialFilter::Action> actions;
                                      filter_.Tick(DialFilter::Clock::now(), actions);
                                      Carry(actions);
                                      Notify();
                                  });
    {
        // Whatever the modem was doing, the blocker configures it before anything else.
        std::vector<DialFilter::Action> actions;
        filter_.Attach(DialFilter::Clock::now(), actions);
        Carry(actions);
    }

    try {
        Publish();
    } catch (...) {
        loop_.Remove(inotifyToken_);
        if (reportsToken_ != 0) {
            loop_.Remove(reportsToken_);
        }
        loop_.RemoveTimer(filterTimer_);
        throw;
    }
}

ComPort::~ComPort() {
    Unpublish();
    loop_.Remove(inotifyToken_);
    if (reportsToken_ != 0) {
        loop_.Remove(reportsToken_);
    }
    if (masterToken_ != 0) {
        loop_.Remove(masterToken_);
    }
    loop_.RemoveTimer(filterTimer_);
    backend_.reset();
    // Closing the master hangs up whoever still has the port open.
}

void ComPort::Publish() {
    std::error_code ec;
    if (!platform::MakeOwnFolder(published_.parent_path(), 0755)) {
        throw PortError{platform::ERROR_PATH_NOT_FOUND};
    }
    // Replace a stale link atomically; never anything that is not a link.
    const auto temporary = published_.string() + ".new";
    std::filesystem::remove(temporary, ec);
    if (std::filesystem::exists(std::filesystem::symlink_status(published_)) &&
        !std::filesystem::is_symlink(std::filesystem::symlink_status(published_))) {
        throw PortError{platform::ERROR_ALREADY_EXISTS};
    }
    struct stat made {};
    if (::symlink(slavePath_.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), published_.c_str()) != 0 ||
        ::lstat(published_.c_str(), &made) != 0) {
        std::filesystem::remove(temporary, ec);
        throw PortError{platform::ERROR_PATH_NOT_FOUND};
    }
    // The link itself, not its text: a pseudo-terminal's number is reused at once, so another
    // driver's link may read the same.
    publishedLink_ = {made.st_dev, made.st_ino, made.st_ctim.tv_sec, made.st_ctim.tv_nsec};
    isPublished_ = true;
}

void ComPort::Unpublish() {
    if (!isPublished_) {
        return;
    }
    struct stat now {};
    if (::lstat(published_.c_str(), &now) == 0 && S_ISLNK(now.st_mode) &&
        LinkId{now.st_dev, now.st_ino, now.st_ctim.tv_sec, now.st_ctim.tv_nsec} == publishedLink_) {
        ::unlink(published_.c_str());
    }
    isPublished_ = false;
}

void ComPort::Notify() {
    if (onEvents_) {
        onEvents_();
    }
}

namespace {

// Appends the masks of the inotify events waiting on `fd`.
void ReadWatchEvents(int fd, std::vector<std::uint32_t>& masks) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            masks.push_back(event->mask);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace

void ComPort::DrainOpens() {
    // Ending an old session below reads what its program wrote, and a refusal in it makes a look
    // that reads the watch's events meanwhile: those are counted too before this returns.
    do {
        std::vector<std::uint32_t> masks = std::move(watchEvents_);
        watchEvents_.clear();
        ReadWatchEvents(inotify_.Get(), masks);
        CountOpens(masks);
    } while (!watchEvents_.empty());
}

void ComPort::CountOpens(const std::vector<std::uint32_t>& masks) {
    for (const std::uint32_t mask : masks) {
        if ((mask & IN_OPEN) != 0) {
            if (openers_ == 0 && opened_ && closedSinceOpen_) {
                // Closed and opened again before the hang-up was seen: end the old session.
                ReadProgram(true);
                if (opened_) {
                    Closed();
                }
            }
            ++openers_;
            if (!opened_) {
                Opened();
            }
        }
        if ((mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) {
            ++closes_;
            if (openers_ > 0 && --openers_ == 0) {
                closedSinceOpen_ = true;
                // Every recorded opening is closed now. What they wrote before closing is read
                // at once, so that the port is found empty after their closes: a line that
                // begins later cannot be theirs.
                reports_->AllClosed(emptyEpoch_);
                ReadProgram(false);
            }
        }
    }
}

void ComPort::Opened() {
    opened_ = true;
    closedSinceOpen_ = false;
    // Closes of earlier sessions say nothing about who writes in this one.
    closesWhenEmpty_ = closes_;
    queue_.PushSimple(PortOpened);
    // A program that cleared EXTPROC last time would hide its settings from us.
    if (const auto now = ReadLineSettings(master_.Get()); now && !now->extproc) {
        ArmExtproc(master_.Get());
    }
    UpdateWatch();
}

void ComPort::Closed() {
    opened_ = false;
    toProgram_.clear();  // nobody is left to hear it
    std::vector<DialFilter::Action> actions;
    filter_.HangUp(DialFilter::Clock::now(), actions);
    Carry(actions);
    queue_.PushSimple(PortClosed);
    UpdateWatch();
}

void ComPort::UpdateWatch() {
    // While nobody has the slave open the master reports a hang-up on every wait: unwatched then.
    std::uint32_t wanted = 0;
    if (opened_) {
        const bool paused =
            backend_->Congested() || queue_.BlockedIsFull() || toProgram_.size() > kHighWater;
        wanted = (paused ? 0u : static_cast<std::uint32_t>(EPOLLIN)) |
                 (toProgram_.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT));
    }
    if (wanted == 0) {
        if (masterToken_ != 0) {
            loop_.Remove(masterToken_);
            masterToken_ = 0;
        }
    } else if (masterToken_ == 0) {
        masterToken_ =
            loop_.Add(master_.Get(), wanted, [this](std::uint32_t events) { OnMaster(events); });
    } else {
        loop_.Modify(masterToken_, wanted);
    }
    watched_ = wanted;
}

void ComPort::EventsConsumed() {
    if (opened_ && (watched_ & EPOLLIN) == 0) {
        UpdateWatch();
    }
}

void ComPort::OnMaster(std::uint32_t events) {
    DrainOpens();  // an open or close is always reported before the data around it
    if ((events & EPOLLOUT) != 0) {
        FlushToProgram();
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        ReadProgram((events & EPOLLIN) == 0);
    }
    if (!watchEvents_.empty()) {
        DrainOpens();  // what a look for a dialler read meanwhile
    }
    UpdateWatch();
    Notify();
}

void ComPort::ReadProgram(bool ignorePause) {
    auto& buffer = ReadBuffer();
    for (int i = 0; i < kReadsPerWake; ++i) {
        if (!ignorePause && (backend_->Congested() || queue_.BlockedIsFull())) {
            return;
        }
        const auto n = ::read(master_.Get(), buffer.data(), kReadSize + 1);
        if (n > 0) {
            if (buffer[0] == 0) {
                FromProgram({buffer.data() + 1, static_cast<std::size_t>(n - 1)});
            } else {
                Status(static_cast<std::uint8_t>(buffer[0]));
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            closesWhenEmpty_ = closes_;
            ++emptyEpoch_;
        }
        if (n < 0 && errno == EIO) {
            // The last opener is gone and everything it wrote has been read: every opening
            // recorded so far is closed, whenever its close is reported, and the port is empty.
            reports_->AllClosed(emptyEpoch_);
            ++emptyEpoch_;
            if (opened_) {
                Closed();
            }
        }
        return;
    }
}

void ComPort::Status(std::uint8_t status) {
    if ((status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0) {
        queue_.PushSimple(PortFlushed);
        backend_->Flush((status & TIOCPKT_FLUSHREAD) != 0, (status & TIOCPKT_FLUSHWRITE) != 0);
    }
    if ((status & TIOCPKT_IOCTL) == 0) {
        return;
    }
    const auto now = ReadLineSettings(master_.Get());
    if (!now) {
        return;
    }
    if (!now->extproc) {
        ArmExtproc(master_.Get());  // its own notification is absorbed by the comparison below
    }
    const LineSettings before = settings_;
    settings_ = *now;
    if (now->baud != before.baud) {
        queue_.PushBaudRate(now->baud);
    }
    if (!now->SameLine(before)) {
        queue_.PushLineControl(now->stopBits, now->parity, now->wordLength);
    }
    if (now->baud != before.baud || !now->SameLine(before) ||
        now->hardwareFlow != before.hardwareFlow) {
        backend_->Apply(*now);
    }
    if (now->baud == 0 && before.baud != 0) {
        std::vector<DialFilter::Action> actions;
        filter_.HangUp(DialFilter::Clock::now(), actions);
        Carry(actions);
    }
}

void ComPort::FromProgram(std::string_view bytes) {
    queue_.PushData(PortWrite, bytes);
    const auto now = DialFilter::Clock::now();
    if (filter_.PassesUnseen(bytes, now)) {
        backend_->Write(bytes);  // the bulk of a data call: straight through
        return;
    }
    if (filter_.Held() == 0) {
        // A line begins in these bytes, which were written after the master was last empty.
        closesAtLineStart_ = closesWhenEmpty_;
        lineEpoch_ = emptyEpoch_;
    }
    std::vector<DialFilter::Action> actions;
    filter_.FromProgram(bytes, now, actions);
    Carry(actions);
}

void ComPort::Carry(std::vector<DialFilter::Action>& actions) {
    // What the blocker answers the program in one turn (an echo and NO CARRIER) goes out in one
    // write, so that the program wakes once for it. A refusal is queued before its answer. A
    // modem that answers at once (the virtual one) is heard after the turn, in this loop, not in
    // a call inside it: a line of many commands never nests one call per answer.
    if (carrying_) {
        deferred_.insert(deferred_.end(), std::make_move_iterator(actions.begin()),
                         std::make_move_iterator(actions.end()));
        return;
    }
    carrying_ = true;
    bool answered = false;
    bool refused = false;
    std::vector<DialFilter::Action> work = std::move(actions);
    while (!work.empty()) {
        for (auto& action : work) {
            switch (action.kind) {
                case DialFilter::Action::Kind::ToModem:
                    backend_->Write(action.bytes);
                    break;
                case DialFilter::Action::Kind::ToProgram:
                    QueueToProgram(action.bytes);
                    answered = true;
                    break;
                case DialFilter::Action::Kind::Blocked:
                    queue_.PushPendingBlocked(action.bytes);
                    refused = true;
                    break;
                case DialFilter::Action::Kind::HangUpModem:
                    backend_->HangUp(opened_);
                    break;
                case DialFilter::Action::Kind::Notice:
                    std::fprintf(stderr, "qddriver: %s: %s\n", published_.filename().c_str(),
                                 action.bytes.c_str());
                    break;
            }
        }
        work = std::move(deferred_);
        deferred_.clear();
        if (!modemInbox_.empty()) {
            const std::string heard = std::exchange(modemInbox_, {});
            filter_.FromModem(heard, DialFilter::Clock::now(), work);
        }
    }
    carrying_ = false;
    if (refused) {
        // Look before answering: the program that dialled waits for the modem's answer, so it
        // is alive and holds the port now; one that ends as soon as it hears NO CARRIER may be
        // gone a moment later. The look is bounded (LookBudget).
        monitor::DialFacts facts;
        try {
            facts = LookWhoDialled();
        } catch (const std::exception&) {
            facts.verdict = monitor::DialVerdict::CutShort;  // the refusal must not stay held
        }
        queue_.CompleteBlocked(facts);
    }
    if (answered) {
        FlushToProgram();
    }
}

monitor::DialFacts ComPort::LookWhoDialled() {
    const auto start = LookBudget::Clock::now();
    if (!terminal_ || !looks_.MayLook(start)) {
        return {};  // not looked for
    }
    if (!reports_->Available()) {
        return LookByHolders(start);
    }
    // Every opening reported so far is recorded, and every opening and close the count has not
    // taken in yet is counted here: the look should find as many openings.
    reports_->Read(emptyEpoch_);
    if (!reports_->WroteSince(lineEpoch_)) {
        reports_->Await(PortReports::kWriteReportWait, emptyEpoch_);
    }
    ReadWatchEvents(inotify_.Get(), watchEvents_);
    long expected = openers_;
    for (const std::uint32_t mask : watchEvents_) {
        expected += (mask & IN_OPEN) != 0 ? 1 : 0;
        expected -= (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0 ? 1 : 0;
    }
    bool changed = std::any_of(watchEvents_.begin(), watchEvents_.end(),
                               [](std::uint32_t mask) { return (mask & IN_Q_OVERFLOW) != 0; });
    auto look = LookForHolders(*terminal_, slavePath_);
    // Openings and closes during the look leave the count of openings uncertain.
    const std::size_t before = watchEvents_.size();
    ReadWatchEvents(inotify_.Get(), watchEvents_);
    changed = changed || watchEvents_.size() != before;
    const auto window = reports_->Window(lineEpoch_);
    auto facts = JudgeDialler(std::move(look), static_cast<std::size_t>(std::max(expected, 0L)),
                              changed, &window);
    looks_.Spent(start, LookBudget::Clock::now());
    return facts;
}

monitor::DialFacts ComPort::LookByHolders(LookBudget::Clock::time_point start) {
    // Openings and closes not yet counted happened at some time since the line began.
    int waiting = 0;
    bool changed = closes_ != closesAtLineStart_ || !watchEvents_.empty() ||
                   ::ioctl(inotify_.Get(), FIONREAD, &waiting) != 0 || waiting > 0;
    auto look = LookForHolders(*terminal_, slavePath_);
    // Those that came during the look are kept for DrainOpens. A close then is accounted for by
    // the look (a holder it saw ended, or an opening it did not find); an opening is not.
    const std::size_t before = watchEvents_.size();
    ReadWatchEvents(inotify_.Get(), watchEvents_);
    for (std::size_t i = before; i < watchEvents_.size(); ++i) {
        changed = changed || (watchEvents_[i] & (IN_OPEN | IN_Q_OVERFLOW)) != 0;
    }
    auto facts = JudgeDialler(std::move(look), static_cast<std::size_t>(openers_), changed);
    looks_.Spent(start, LookBudget::Clock::now());
    return facts;
}

void ComPort::FromBackend(std::string_view bytes) {
    if (carrying_) {
        modemInbox_.append(bytes);  // heard when the turn under way has been carried out
        return;
    }
    std::vector<DialFilter::Action> actions;
    filter_.FromModem(bytes, DialFilter::Clock::now(), actions);
    Carry(actions);
    Notify();
}

void ComPort::QueueToProgram(std::string_view bytes) {
    if (!opened_) {
        return;  // what the modem says while nobody holds the port is dropped, as a serial port drops it
    }
    queue_.PushData(PortRead, bytes);
    toProgram_.append(bytes);
}

void ComPort::FlushToProgram() {
    std::size_t done = 0;
    while (done < toProgram_.size()) {
        const auto n = ::write(master_.Get(), toProgram_.data() + done, toProgram_.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN || !opened_) {
                done = toProgram_.size();  // nobody to hear it
            }
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    toProgram_.erase(0, done);
    backend_->HoldOutput(toProgram_.size() > kHighWater);
    if (toProgram_.empty() && toProgram_.capacity() > 2 * kReadSize) {
        std::string().swap(toProgram_);  // a burst is over: give its memory back
    }
    if (toProgram_.empty() != ((watched_ & EPOLLOUT) == 0)) {
        UpdateWatch();
    }
}

}  // namespace kestrine::driver
