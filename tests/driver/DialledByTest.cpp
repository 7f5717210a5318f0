// Which program dialled a refused number: real programs dialling through a published port of a
// real qddriver, and the driver's look through /proc and its rule on their own.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

#include "driver/PortHolders.h"
#include "tests/driver/DriverHarness.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::test;

namespace {

std::string Canonical(const std::string& path) {
    std::error_code ec;
    return std::filesystem::canonical(path, ec).string();
}

std::string UserName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "";
}

// A program started with the port as its standard input (and output, unless the port is opened
// read-only); killed and reaped when it goes.
class Started {
public:
    explicit Started(std::vector<std::string> args, const std::filesystem::path& port = {},
                     int flags = O_RDWR) {
        args[0] = FindProgram(args[0]);
        executable_ = Canonical(args[0]);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            const int fd = port.empty() ? null : ::open(port.c_str(), flags | O_NOCTTY);
            ::dup2(fd, 0);
            ::dup2((flags & O_ACCMODE) == O_RDONLY ? null : fd, 1);
            ::dup2(null, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Started() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    pid_t Pid() const { return pid_; }
    const std::string& Executable() const { return executable_; }
    // Waits until it runs its program, so its port is open. The kernel names the new executable
    // a moment before it has laid out the new command line: both are waited for.
    bool Running() const {
        const auto proc = "/proc/" + std::to_string(pid_);
        for (int i = 0; i < 1000; ++i) {
            std::error_code ec;
            std::ifstream cmdline(proc + "/cmdline");
            if (std::filesystem::read_symlink(proc + "/exe", ec).string() == executable_ &&
                cmdline.peek() != std::ifstream::traits_type::eof()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Its exit code, or -1 when it does not end within 10 s.
    int Wait() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    std::string executable_;
};

std::vector<std::uint32_t> Pids(const DialFacts& facts) {
    std::vector<std::uint32_t> pids;
    for (const auto& holder : facts.holders) {
        pids.push_back(holder.process.pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

class Dialling : public AttachedDriverTest {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
        if (!HaveProgram("picocom") || !HaveProgram("sleep") || !HaveProgram("sh")) {
            GTEST_SKIP() << "picocom is needed: run scripts/install-deps";
        }
        StartAttached({"0123456"});
    }

    std::filesystem::path Port() const { return driver_->Port(1); }

    // picocom dials `number` and stays on the port for three seconds after.
    std::unique_ptr<Started> Picocom(const std::string& number) {
        return std::make_unique<Started>(std::vector<std::string>{"picocom", "-q", "-b", "9600",
                                                                  "-t", "ATDT" + number + "\r",
                                                                  "-x", "3000", Port().string()});
    }

    // The record of the refusal of `number`, and its facts.
    DialFacts Refused(const std::string& number) {
        for (;;) {
            auto record = NextEvent(*device_, id_);
            if (!record) {
                ADD_FAILURE() << "no refusal of " << number;
                return {};
            }
            const auto event = DecodeMonitorEvent(*record);
            if (event && event->type == NumberBlocked && event->data == number) {
                record_ = *record;
                EXPECT_TRUE(event->dialFacts) << "the refusal of " << number << " has no facts";
                return event->dialFacts.value_or(DialFacts{});
            }
        }
    }

    std::vector<std::uint8_t> record_;
};

}  // namespace

TEST_F(Dialling, PicocomIsNamedWithItsProcessUserCommandLineAndParent) {
    const auto picocom = Picocom("0900123");
    const DialFacts facts = Refused("0900123");
    // Plainly named where the driver keeps a record of who opened the port (as root).
    ASSERT_EQ(facts.verdict, ::geteuid() == 0 ? DialVerdict::Dialled : DialVerdict::Probably)
        << DialledByLine(facts);
    const PortHolder& dialler = facts.holders.at(facts.dialler);
    EXPECT_EQ(dialler.process.pid, static_cast<std::uint32_t>(picocom->Pid()));
    EXPECT_EQ(dialler.process.executable, picocom->Executable());
    EXPECT_EQ(dialler.process.uid, ::getuid());
    EXPECT_EQ(dialler.process.user, UserName(::getuid()));
    EXPECT_EQ(
        dialler.process.commandLine,
        FindProgram("picocom") + " -q -b 9600 -t ATDT0900123\\x0D -x 3000 " + Port().string());
    EXPECT_TRUE(dialler.writes);
    ASSERT_FALSE(dialler.parents.empty());
    EXPECT_EQ(dialler.parents[0].pid, static_cast<std::uint32_t>(::getpid())) << "this test";
    EXPECT_EQ(dialler.parents[0].executable, Canonical("/proc/self/exe"));

    // An application that knows only the driver contract reads exactly the number.
    ASSERT_GE(record_.size(), 24u);
    EXPECT_EQ(record_[20], NumberBlocked);
    const auto text = record_.begin() + 24;
    EXPECT_EQ(std::string(text, std::find(text, record_.end(), std::uint8_t{0})), "0900123");
}

TEST_F(Dialling, AProgramThatOnlyReadsThePortDoesNotHideTheDialler) {
    Started reader({"sleep", "30"}, Port(), O_RDONLY);
    ASSERT_TRUE(reader.Running());
    const auto picocom = Picocom("0900124");
    const DialFacts facts = Refused("0900124");
    ASSERT_EQ(facts.verdict, ::geteuid() == 0 ? DialVerdict::Dialled : DialVerdict::Probably)
        << DialledByLine(facts);
    EXPECT_EQ(facts.holders.at(facts.dialler).process.pid,
              static_cast<std::uint32_t>(picocom->Pid()));
    EXPECT_EQ(Pids(facts), (std::vector<std::uint32_t>{static_cast<std::uint32_t>(reader.Pid()),
                                                       static_cast<std::uint32_t>(picocom->Pid())}))
        << DialledByLine(facts);
}

// The pid of the dialler the facts name, plainly or "probably"; 0 when they name none.
std::uint32_t Named(const DialFacts& facts) {
    const bool names = facts.verdict == DialVerdict::Dialled || facts.verdict == DialVerdict::Probably;
    return names ? facts.holders.at(facts.dialler).process.pid : 0;
}

// As root the kernel says who wrote; as a user, two holders that may write leave it unknown.
TEST_F(Dialling, OfTwoProgramsThatMayWriteTheOneThatWroteIsNamed) {
    Started other({"sleep", "30"}, Port(), O_RDWR);
    ASSERT_TRUE(other.Running());
    const auto picocom = Picocom("0900125");
    const DialFacts facts = Refused("0900125");
    EXPECT_EQ(Pids(facts), (std::vector<std::uint32_t>{static_cast<std::uint32_t>(other.Pid()),
                                                       static_cast<std::uint32_t>(picocom->Pid())}));
    if (::geteuid() != 0) {
        EXPECT_EQ(facts.verdict, DialVerdict::SeveralWriters) << DialledByLine(facts);
        EXPECT_EQ(DialledBySummary(facts), "dialled by an unknown program");
        return;
    }
    EXPECT_EQ(facts.verdict, DialVerdict::Dialled) << DialledByLine(facts);
    EXPECT_EQ(Named(facts), static_cast<std::uint32_t>(picocom->Pid())) << DialledByLine(facts);
}

// A writer that ended before the driver read its line, with another program left on the port:
// the writer is named, as ended (as a user: unknown, a program closed the port meanwhile).
TEST_F(Dialling, AWriterThatEndedBeforeTheRefusalIsNamedNotTheOneLeft) {
    Started holder({"sleep", "30"}, Port(), O_RDWR);
    ASSERT_TRUE(holder.Running());
    ASSERT_EQ(::kill(driver_->Pid(), SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{driver_->Pid()};
    Started writer({"sh", "-c", "printf 'ATDT0900126\\r'"}, Port(), O_RDWR);
    const auto writerPid = static_cast<std::uint32_t>(writer.Pid());
    ASSERT_EQ(writer.Wait(), 0);
    ::kill(driver_->Pid(), SIGCONT);

    const DialFacts facts = Refused("0900126");
    if (::geteuid() != 0) {
        EXPECT_EQ(facts.verdict, DialVerdict::PortClosed) << DialledByLine(facts);
        return;
    }
    EXPECT_EQ(facts.verdict, DialVerdict::Probably) << DialledByLine(facts);
    EXPECT_EQ(Named(facts), writerPid) << DialledByLine(facts);
    EXPECT_TRUE(facts.holders.at(facts.dialler).ended) << DialledByLine(facts);
    EXPECT_NE(DialledBySummary(facts).find(", ended)"), std::string::npos) << DialledBySummary(facts);
}

// A script that opens the port, writes the dial and ends at once is named (from the record of
// its opening where it ended before it was looked at); one that leaves a child holding the port
// is named, never the child. (Each refusal on a driver of its own: looks come at most every
// tenth of a second.)
TEST_F(Dialling, AScriptThatWritesAndEndsIsNamed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the kernel reports openings and writes to root only";
    }
    const std::string port = Port().string();
    Started script({"sh", "-c", "printf 'ATDT0900127\\r' > " + port});
    const auto scriptPid = static_cast<std::uint32_t>(script.Pid());
    ASSERT_EQ(script.Wait(), 0);
    const DialFacts facts = Refused("0900127");
    EXPECT_EQ(Named(facts), scriptPid) << DialledByLine(facts);
}

TEST_F(Dialling, AScriptThatEndsLeavingAChildOnThePortIsNamedNotTheChild) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the kernel reports openings and writes to root only";
    }
    const std::string port = Port().string();
    Started parent({"sh", "-c", "exec 3<>" + port + "; sleep 30 <&3 & printf 'ATDT0900128\\r' >&3"});
    const auto parentPid = static_cast<std::uint32_t>(parent.Pid());
    const DialFacts facts = Refused("0900128");
    EXPECT_EQ(Named(facts), parentPid) << DialledByLine(facts);
    for (const auto& holder : facts.holders) {
        if (holder.process.pid != parentPid) {
            ::kill(static_cast<pid_t>(holder.process.pid), SIGKILL);  // the sleep it left
        }
    }
}

// A program in a mount namespace of its own may show any path as its executable (one bound over
// /usr/bin/picocom, say): it is named, "probably", and said to be there.
TEST_F(Dialling, ADiallerInAnotherMountNamespaceIsSaidToBeThere) {
    if (::geteuid() != 0 || !HaveProgram("unshare")) {
        GTEST_SKIP() << "needs root and unshare, to run picocom in a mount namespace of its own";
    }
    Started picocom({"unshare", "--mount", FindProgram("picocom"), "-q", "-b", "9600", "-t",
                     "ATDT0900129\r", "-x", "3000", Port().string()});
    const DialFacts facts = Refused("0900129");
    ASSERT_EQ(Named(facts), static_cast<std::uint32_t>(picocom.Pid())) << DialledByLine(facts);
    EXPECT_EQ(facts.verdict, DialVerdict::Probably) << DialledByLine(facts);
    EXPECT_TRUE(facts.holders.at(facts.dialler).otherNamespace);
    EXPECT_NE(DialledBySummary(facts).find("in another mount namespace"), std::string::npos)
        << DialledBySummary(facts);
}

TEST(DiallerRule, WithoutRecordsNamesOnlyTheOneProcessThatCanHaveWrittenAndOnlyProbably) {
    auto holder = [](std::uint32_t pid, bool writes) {
        return PortHolder{{pid, 0, "root", "/bin/x", "x"}, writes, {}};
    };
    struct Case {
        std::string name;
        std::vector<PortHolder> holders;
        std::optional<std::size_t> openings;
        bool complete;
        std::size_t counted;
        bool changed;
        DialVerdict verdict;
        std::uint32_t dialler;  // its pid, for Probably
        std::uint32_t unaccounted;
    };
    const std::vector<Case> cases{
        {"one writer", {holder(5, true)}, 1, true, 1, false, DialVerdict::Probably, 5, 0},
        {"a writer among readers",
         {holder(5, false), holder(6, true), holder(7, false)},
         3,
         true,
         3,
         false,
         DialVerdict::Probably,
         6,
         0},
        {"two writers",
         {holder(5, true), holder(6, true)},
         1,
         true,
         1,
         false,
         DialVerdict::SeveralWriters,
         0,
         0},
        {"readers only", {holder(5, false)}, 1, true, 1, false, DialVerdict::NoWriter, 0, 0},
        {"a close since the line began",
         {holder(5, true)},
         1,
         true,
         1,
         true,
         DialVerdict::PortClosed,
         0,
         0},
        {"cut short", {holder(5, true)}, 1, false, 1, false, DialVerdict::CutShort, 0, 0},
        {"an opening of someone not inspected",
         {holder(5, true)},
         1,
         true,
         2,
         false,
         DialVerdict::Unaccounted,
         0,
         1},
        {"openings not told apart",
         {holder(5, true)},
         std::nullopt,
         true,
         1,
         false,
         DialVerdict::Unaccounted,
         0,
         0},
        {"nobody left", {}, 0, true, 1, false, DialVerdict::Unaccounted, 0, 1},
    };
    for (const auto& c : cases) {
        const auto facts =
            driver::JudgeDialler({c.holders, c.openings, c.complete, {}}, c.counted, c.changed);
        EXPECT_EQ(facts.verdict, c.verdict) << c.name;
        EXPECT_EQ(facts.holders.size(), c.holders.size()) << c.name << ": every holder is listed";
        EXPECT_EQ(facts.unaccountedOpens, c.unaccounted) << c.name;
        if (c.verdict == DialVerdict::Probably) {
            EXPECT_EQ(facts.holders.at(facts.dialler).process.pid, c.dialler) << c.name;
        }
    }
}

// With the kernel's reports: the processes reported writing are the candidates; without a
// reported write, the holders that may write and the openers gone since the line began. Plainly
// named is only one that opened the port itself, still holds it and runs what it ran then.
TEST(DiallerRule, WithTheKernelsReportsNamesPlainlyOnlyWhatCannotBeOtherwise) {
    // Process N started at tick N * 10; its executable is /bin/<exe>.
    auto holder = [](std::uint32_t pid, bool writes, std::string exe = "x",
                     std::vector<std::uint32_t> parents = {}) {
        PortHolder h{{pid, 0, "root", "/bin/" + exe, exe}, writes, {}};
        for (const auto parent : parents) {
            h.parents.push_back({parent, 0, "root", "/bin/sh", "sh"});
        }
        return h;
    };
    auto record = [&](std::uint32_t pid, bool ended = false, std::string exe = "x") {
        return driver::OpeningRecord{holder(pid, true, exe), pid * 10u, ended};
    };
    struct Case {
        std::string name;
        std::vector<PortHolder> holders;
        std::vector<driver::OpeningRecord> records;
        std::size_t counted;
        bool changed;
        DialVerdict verdict;
        std::vector<std::uint32_t> named;  // the dialler, or the candidates of OneOf
        std::vector<driver::WriterId> writers = {};  // reported writing
    };
    auto wrote = [](std::uint32_t pid) {
        return driver::WriterId{static_cast<pid_t>(pid), pid * 10u, std::nullopt, false, {}};
    };
    const std::vector<Case> cases{
        {"a writer that opened the port itself", {holder(5, true)}, {record(5)}, 1, false,
         DialVerdict::Dialled, {5}},
        {"beside a reader", {holder(4, false), holder(5, true)}, {record(4), record(5)}, 2, false,
         DialVerdict::Dialled, {5}},
        {"a writer that received its descriptor", {holder(5, true)}, {}, 1, false,
         DialVerdict::Probably, {5}},
        {"a writer whose opener has ended", {holder(5, true)}, {record(4, true)}, 1, false,
         DialVerdict::OneOf, {5, 4}},
        {"an opener that wrote and ended", {}, {record(7, true)}, 0, false, DialVerdict::Probably,
         {7}},
        {"a shell and the one program it started that opened the port",
         {holder(6, true, "chat", {5}), holder(5, true, "sh")}, {record(5, false, "sh"), record(6)},
         2, false, DialVerdict::Probably, {6}},
        {"a shell and two such programs",
         {holder(7, true, "x", {5}), holder(6, true, "x", {5}), holder(5, true, "sh")},
         {record(5, false, "sh"), record(6), record(7)}, 3, false, DialVerdict::OneOf, {7, 6, 5}},
        {"a program run since the opening", {holder(5, true, "chat")}, {record(5, false, "sh")},
         1, false, DialVerdict::Probably, {5}},
        {"two writers", {holder(5, true), holder(6, true)}, {record(5), record(6)}, 2, false,
         DialVerdict::OneOf, {5, 6}},
        {"an opening during the look", {holder(5, true)}, {record(5)}, 1, true,
         DialVerdict::Probably, {5}},
        {"an opening found in no process", {holder(5, true)}, {record(5)}, 2, false,
         DialVerdict::Probably, {5}},
        {"readers only", {holder(5, false)}, {record(5)}, 1, false, DialVerdict::NoWriter, {}},
        // The kernel reported who wrote: only they are candidates.
        {"the one reported writer of two", {holder(5, true), holder(6, true)},
         {record(5), record(6)}, 2, false, DialVerdict::Dialled, {6}, {wrote(6)}},
        {"a reported writer that ended", {holder(6, true)}, {record(6), record(7, true)}, 1, true,
         DialVerdict::Probably, {7}, {wrote(7)}},
        {"a reported writer with no record that ended", {holder(6, true)}, {record(6)}, 1, false,
         DialVerdict::Probably, {8}, {{8, 0, std::nullopt, true, {}}}},
        {"a reported writer that ran another program since", {holder(5, true, "chat")},
         {record(5, false, "sh")}, 1, false, DialVerdict::Probably, {5}, {wrote(5)}},
        {"a reported writer that runs another program than as it wrote", {holder(5, true)},
         {record(5)}, 1, false, DialVerdict::Probably, {5},
         {{5, 50, std::nullopt, false, "/bin/sh"}}},
        {"two reported writers", {holder(5, true), holder(6, true), holder(7, true)},
         {record(5), record(6), record(7)}, 3, false, DialVerdict::OneOf, {5, 6}, {wrote(5), wrote(6)}},
    };
    for (const auto& c : cases) {
        driver::HolderLook look{c.holders, c.holders.size(), true, {}};
        for (const auto& h : c.holders) {
            look.startTimes.push_back(h.process.pid * 10u);
        }
        const driver::PortWindow window{c.records, c.writers};
        const auto facts = driver::JudgeDialler(look, c.counted, c.changed, &window);
        EXPECT_EQ(facts.verdict, c.verdict) << c.name << ": " << DialledByLine(facts);
        std::vector<std::uint32_t> named;
        for (std::size_t i = 0; i < facts.holders.size(); ++i) {
            const bool dialler = (facts.verdict == DialVerdict::Dialled ||
                                  facts.verdict == DialVerdict::Probably) &&
                                 i == facts.dialler;
            if (dialler || facts.holders[i].candidate) {
                named.push_back(facts.holders[i].process.pid);
            }
        }
        EXPECT_EQ(named, c.named) << c.name << ": " << DialledByLine(facts);
    }
}

TEST(LookBudget, KeepsLooksToATwentiethOfTheTimeAndTenASecond) {
    using namespace std::chrono;
    driver::LookBudget budget;
    const driver::LookBudget::Clock::time_point t0{};
    EXPECT_TRUE(budget.MayLook(t0));
    budget.Spent(t0, t0 + 10ms);  // a slow look: 19 times its length before the next
    EXPECT_FALSE(budget.MayLook(t0 + 199ms));
    EXPECT_TRUE(budget.MayLook(t0 + 200ms));
    budget.Spent(t0 + 200ms, t0 + 201ms);  // a quick one: still a tenth of a second
    EXPECT_FALSE(budget.MayLook(t0 + 300ms));
    EXPECT_TRUE(budget.MayLook(t0 + 301ms));
}

class Look : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
        slave_ = ::ptsname(master_);
        terminal_ = driver::IdentifyTerminal(slave_);
        ASSERT_TRUE(terminal_);
    }
    void TearDown() override {
        if (master_ >= 0) {
            ::close(master_);
        }
    }

    int master_ = -1;
    std::string slave_;
    std::optional<driver::TerminalId> terminal_;
};

TEST_F(Look, FindsEveryHolderWithWhetherItMayWrite) {
    Started writer({"sleep", "30"}, slave_, O_RDWR);
    Started reader({"sleep", "31"}, slave_, O_RDONLY);
    ASSERT_TRUE(writer.Running() && reader.Running());
    const auto look = driver::LookForHolders(*terminal_, slave_);
    EXPECT_TRUE(look.complete);
    EXPECT_EQ(look.openings, 2u) << "standard input and output of the writer share one opening";
    ASSERT_EQ(look.holders.size(), 2u);
    for (const auto& holder : look.holders) {
        const bool isWriter = holder.process.pid == static_cast<std::uint32_t>(writer.Pid());
        EXPECT_EQ(holder.writes, isWriter);
        EXPECT_EQ(holder.process.executable, writer.Executable());
        EXPECT_EQ(holder.process.commandLine, FindProgram("sleep") + (isWriter ? " 30" : " 31"));
        ASSERT_FALSE(holder.parents.empty());
        EXPECT_EQ(holder.parents[0].pid, static_cast<std::uint32_t>(::getpid()));
    }
    EXPECT_FALSE(driver::LookForHolders(*terminal_, slave_, std::chrono::seconds(0)).complete);
}

TEST_F(Look, AsAUserItSeesThatUsersProcessesAndCountsTheRestAsUnknown) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to look as another user (nobody)";
    }
    Started rootsOwn({"sleep", "30"}, slave_, O_RDWR);
    ASSERT_TRUE(rootsOwn.Running());
    ASSERT_EQ(::chmod(slave_.c_str(), 0666), 0);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t looker = ::fork();
    if (looker == 0) {
        // As nobody, with a holder of its own; what it finds goes back as wire-form facts.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0 ||
            // as after an exec: a process whose user changed may be inspected by nobody else
            ::prctl(PR_SET_DUMPABLE, 1) != 0) {
            ::_exit(2);
        }
        int ready[2];
        if (::pipe(ready) != 0) {
            ::_exit(3);
        }
        const pid_t own = ::fork();
        if (own == 0) {
            const int fd = ::open(slave_.c_str(), O_RDWR | O_NOCTTY);
            (void)!::write(ready[1], &fd, 1);
            ::pause();
            ::_exit(0);
        }
        char byte;
        (void)!::read(ready[0], &byte, 1);
        const auto facts =
            driver::JudgeDialler(driver::LookForHolders(*terminal_, slave_), 2, false);
        std::vector<std::uint8_t> wire;
        AppendDialFacts(wire, facts);
        (void)!::write(report[1], wire.data(), wire.size());
        ::kill(own, SIGKILL);
        ::waitpid(own, nullptr, 0);
        ::_exit(0);
    }
    ::close(report[1]);
    std::vector<std::uint8_t> wire;
    std::uint8_t buffer[4096];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        wire.insert(wire.end(), buffer, buffer + n);
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(looker, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto facts = ParseDialFacts(wire);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->verdict, DialVerdict::Unaccounted) << DialledByLine(facts);
    EXPECT_EQ(facts->unaccountedOpens, 1u) << "root's opening";
    ASSERT_EQ(facts->holders.size(), 1u) << "nobody's own holder only";
    EXPECT_EQ(facts->holders[0].process.uid, 65534u);
    EXPECT_NE(facts->holders[0].process.pid, static_cast<std::uint32_t>(rootsOwn.Pid()));
}
