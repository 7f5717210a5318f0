#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "log/Logfile.h"
#include "platform/Process.h"
#include "tests/support/LogFixture.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using kestrine::log::TLogfile;
using kestrine::test::FixedTime;
using kestrine::test::ReadFile;
using kestrine::test::TempDir;
using kestrine::test::WriteFile;

namespace {

constexpr const char* kStart = "Logging started: Thursday, 10 December 2026 - 05:03\r\n";
constexpr const char* kEnd = "Logging ended: Thursday, 10 December 2026 - 05:03\r\n";

class LogfileTest : public ::testing::Test {
protected:
    TempDir dir;
    log::LocalTimestamp now = FixedTime();
    TLogfile logfile{dir.Path(), [this] { return now; }, "C"};
    std::filesystem::path path = dir / "qdlog.log";

    void SetUp() override { logfile.LogFile = "qdlog"; }
};

}  // namespace

TEST_F(LogfileTest, FirstLineCreatesTheFileWithTheStartLine) {
    logfile.WriteLine("hello");
    EXPECT_EQ(ReadFile(path), std::string(kStart) + "12/10/26 05:03:09: hello\r\n");
    EXPECT_FALSE(logfile.IsOpen());
}

TEST_F(LogfileTest, ExistingFileIsAppendedWithoutAStartLine) {
    WriteFile(path, "earlier\r\n");
    logfile.WriteLine("later");
    EXPECT_EQ(ReadFile(path), "earlier\r\n12/10/26 05:03:09: later\r\n");
}

TEST_F(LogfileTest, MessageBytesPassUnchanged) {
    const std::string bytes("A\r\nB\0C\x7f\xff", 9);
    logfile.WriteLine(bytes);
    EXPECT_EQ(ReadFile(path), kStart + ("12/10/26 05:03:09: " + bytes + "\r\n"));
}

TEST_F(LogfileTest, TimeIsLeftOutOnlyDuringTheFirstSecondAfterMidnight) {
    const std::vector<std::pair<log::LocalTimestamp, std::string>> cases{
        {FixedTime(0, 0, 0, 0), "12/10/26: m\r\n"},
        {FixedTime(0, 0, 0, 999), "12/10/26: m\r\n"},
        {FixedTime(0, 0, 1, 0), "12/10/26 00:00:01: m\r\n"},
        {FixedTime(0, 1, 0, 0), "12/10/26 00:01:00: m\r\n"},
        {FixedTime(23, 59, 59, 0), "12/10/26 23:59:59: m\r\n"},
    };
    for (const auto& [stamp, line] : cases) {
        WriteFile(path, "");
        now = stamp;
        logfile.WriteLine("m");
        EXPECT_EQ(ReadFile(path), line);
    }
}

TEST_F(LogfileTest, DisabledLoggingTouchesNothing) {
    logfile.EnableLogging = false;
    logfile.WriteLine("x");
    EXPECT_FALSE(std::filesystem::exists(path));
    WriteFile(path, "kept\r\n");
    logfile.WriteLine("x");
    EXPECT_EQ(ReadFile(path), "kept\r\n");
}

TEST_F(LogfileTest, OpenThenCloseOnAMissingFileLeavesOnlyTheStartLine) {
    EXPECT_EQ(logfile.Open(), path.string());
    EXPECT_TRUE(logfile.IsOpen());
    logfile.Close();
    EXPECT_EQ(ReadFile(path), kStart);
}

TEST_F(LogfileTest, OpenCloseMessagesFrameEveryLine) {
    logfile.SetOpenCloseMsg(true);
    logfile.WriteLine("event");
    EXPECT_EQ(ReadFile(path),
              std::string(kStart) + "12/10/26 05:03:09: event\r\n" + kEnd + " \r\n");
    logfile.WriteLine("again");
    EXPECT_EQ(ReadFile(path), std::string(kStart) + "12/10/26 05:03:09: event\r\n" + kEnd +
                                  " \r\n" + kStart + "12/10/26 05:03:09: again\r\n" + kEnd +
                                  " \r\n");
}

TEST_F(LogfileTest, EmptyFirstKeepsOnlyTheLatestLine) {
    logfile.EmptyFirst = true;
    logfile.WriteLine("one");
    EXPECT_EQ(ReadFile(path), std::string(kStart) + "12/10/26 05:03:09: one\r\n");
    logfile.WriteLine("two");
    EXPECT_EQ(ReadFile(path), "12/10/26 05:03:09: two\r\n");
}

TEST_F(LogfileTest, LogFileReadsBackTheFullPathAndLaterValuesAreDiscarded) {
    logfile.Close();
    EXPECT_EQ(logfile.LogFile, "qdlog") << "closing a closed writer changes nothing";
    logfile.Open();
    EXPECT_EQ(logfile.LogFile, path.string());
    logfile.Close();
    logfile.LogFile = "other";
    logfile.WriteLine("x");
    EXPECT_EQ(logfile.LogFile, path.string());
    EXPECT_FALSE(std::filesystem::exists(dir / "other.log"));
}

TEST_F(LogfileTest, EmptyBaseNameGivesDotLog) {
    logfile.LogFile = "";
    EXPECT_EQ(logfile.Open(), (dir / ".log").string());
    logfile.Close();
    EXPECT_TRUE(std::filesystem::exists(dir / ".log"));
}

TEST_F(LogfileTest, UnwritableFolderFailsOpenAndWriteLine) {
    if (::geteuid() == 0) {
        // root ignores directory permissions; a path below a regular file fails for everyone
        TLogfile blocked{dir / "not-a-dir", [this] { return now; }, "C"};
        WriteFile(dir / "not-a-dir", "");
        blocked.LogFile = "qdlog";
        EXPECT_EQ(blocked.Open(), "");
        EXPECT_FALSE(blocked.IsOpen());
        EXPECT_THROW(blocked.WriteLine("x"), log::LogfileError);
        EXPECT_EQ(blocked.LogFile, (dir / "not-a-dir" / "qdlog.log").string());
        return;
    }
    std::filesystem::permissions(
        dir.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(logfile.Open(), "");
    EXPECT_THROW(logfile.WriteLine("x"), log::LogfileError);
}

TEST_F(LogfileTest, AReaderHoldingTheFileKeepsTheWriterOut) {
    WriteFile(path, "");
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_SH | LOCK_NB), 0);
    EXPECT_THROW(logfile.WriteLine("x"), log::LogfileError);
    ::close(reader);
    logfile.WriteLine("x");
    EXPECT_EQ(ReadFile(path), "12/10/26 05:03:09: x\r\n");
}

// A disk that fills up in the middle of a line: the part that got through is taken back, and the
// next line starts on a line of its own.
TEST_F(LogfileTest, ALineLandsWholeOrNotAtAll) {
    logfile.WriteLine("first");
    const std::string before = ReadFile(path);

    // The file size limit stands in for a full disk: a write stops short at the limit.
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit limit = oldLimit;
    limit.rlim_cur = before.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_THROW(logfile.WriteLine("a line longer than the room left on the disk"),
                 log::LogfileError);
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(ReadFile(path), before);

    logfile.WriteLine("third");
    EXPECT_EQ(ReadFile(path), before + "12/10/26 05:03:09: third\r\n");
}

TEST(LogfilePath, DefaultsToTheExecutablesDirectory) {
    TLogfile logfile;
    const std::string base = "kestrine-path-probe-" + std::to_string(::getpid());
    logfile.LogFile = base;
    const std::filesystem::path opened = logfile.Open();
    logfile.Close();
    std::filesystem::remove(opened);
    EXPECT_EQ(opened, platform::ExecutableDirectory() / (base + ".log"));
}

// A file another user made in the log's folder (and may swap for a link at will), or a link beside
// the program that someone else made, is never written.
TEST_F(LogfileTest, AFileOrLinkOfAnotherUsersIsNotWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to make files of another user's";
    }
    constexpr uid_t kNobody = 65534;
    WriteFile(path, "theirs\r\n");
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    EXPECT_THROW(logfile.WriteLine("mine"), log::LogfileError);
    EXPECT_EQ(ReadFile(path), "theirs\r\n");

    std::filesystem::remove(path);
    WriteFile(dir / "elsewhere.log", "");
    std::filesystem::create_symlink(dir / "elsewhere.log", path);
    ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0);
    EXPECT_THROW(logfile.WriteLine("mine"), log::LogfileError);
    EXPECT_EQ(ReadFile(dir / "elsewhere.log"), "");

    ASSERT_EQ(::lchown(path.c_str(), 0, 0), 0);
    logfile.WriteLine("mine");
    EXPECT_EQ(ReadFile(dir / "elsewhere.log"), "12/10/26 05:03:09: mine\r\n")
        << "a link of root's own beside the program is the installed layout's";
}

// A dialler refusing in a loop must not fill the disk: the log stays bounded, one older file kept
// beside it, and the new log says where the earlier lines went.
TEST_F(LogfileTest, AFullLogMovesItsLinesBesideItAndStartsAfresh) {
    logfile.RotateSize = 300;
    const auto older = dir / "qdlog.log.1";
    WriteFile(path, std::string(299, 'a') + "\n");
    logfile.WriteLine("first");
    const std::string note =
        "12/10/26 05:03:09: The log reached 300 bytes: its earlier lines are in " + older.string() +
        ".\r\n";
    EXPECT_EQ(ReadFile(older), std::string(299, 'a') + "\n");
    EXPECT_EQ(ReadFile(path), note + "12/10/26 05:03:09: first\r\n");

    // The next rotation replaces the older file; a link planted there is replaced, not followed.
    WriteFile(dir / "victim", "keep");
    std::filesystem::remove(older);
    std::filesystem::create_symlink(dir / "victim", older);
    logfile.WriteLine(std::string(200, 'b'));
    logfile.WriteLine("second");
    EXPECT_EQ(ReadFile(dir / "victim"), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(older));
    EXPECT_EQ(ReadFile(older), note + "12/10/26 05:03:09: first\r\n12/10/26 05:03:09: " +
                                   std::string(200, 'b') + "\r\n");
    EXPECT_EQ(ReadFile(path), note + "12/10/26 05:03:09: second\r\n");
}
