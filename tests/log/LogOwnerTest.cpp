#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "log/LogOwner.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using kestrine::test::LogFixture;
using kestrine::test::ReadFile;
using kestrine::test::WriteFile;

TEST(LogOwner, PrepareLogCreatesTheFileAndKeepsItsPath) {
    LogFixture log;
    log.owner.PrepareLog();
    EXPECT_EQ(log.owner.LogPath, log.Path().string());
    EXPECT_EQ(log.Content(), "Logging started: Thursday, 10 December 2026 - 05:03\r\n");
    EXPECT_FALSE(log.owner.Logfile1.IsOpen());
    log.owner.CloseLog();
    log.owner.CloseLog();
    EXPECT_EQ(log.Content(), "Logging started: Thursday, 10 December 2026 - 05:03\r\n");
}

TEST(LogOwner, PrepareLogLeavesThePathEmptyWhenTheFileCannotBeOpened) {
    LogFixture log;
    std::filesystem::create_directory(log.Path());  // a folder where the file should be
    log.owner.PrepareLog();
    EXPECT_EQ(log.owner.LogPath, "");
}

TEST(LogOwner, RetriesOnceAfterAPauseUnder200ms) {
    LogFixture log;
    WriteFile(log.Path(), "");
    int reader = ::open(log.Path().c_str(), O_RDONLY);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    // The first write meets the reader's lock; the reader lets go during the pause.
    log.pauses.clear();
    log::LogOwner owner(
        log.dir.Path(),
        [&](unsigned ms) {
            log.pauses.push_back(ms);
            ::close(reader);
        },
        [] { return test::FixedTime(); }, "C");
    owner.LogLine("kept");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"kept"});
    ASSERT_EQ(log.pauses.size(), 1u);
    EXPECT_LT(log.pauses[0], 200u);
}

TEST(LogOwner, ASecondFailureIsSwallowed) {
    LogFixture log;
    std::filesystem::create_directory(log.Path());
    EXPECT_NO_THROW(log.owner.LogLine("lost"));
    EXPECT_EQ(log.pauses.size(), 1u);
}

// A log that keeps failing costs the user-interface thread no more pauses, and once it takes lines
// again the Log tab finds it, even when it could not be opened at start-up.
TEST(LogOwner, ALogThatKeepsFailingIsNotWaitedForAndIsFoundAgain) {
    LogFixture log;
    std::filesystem::create_directory(log.Path());
    log.owner.PrepareLog();
    for (int i = 0; i < 5; ++i) {
        log.owner.LogLine("lost");
    }
    EXPECT_EQ(log.pauses.size(), 1u);
    EXPECT_EQ(log.owner.LogPath, "");

    std::filesystem::remove(log.Path());
    log.owner.LogLine("kept");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"kept"});
    EXPECT_EQ(log.owner.LogPath, log.Path().string());

    std::filesystem::remove(log.Path());
    std::filesystem::create_directory(log.Path());
    log.owner.LogLine("lost again");
    EXPECT_EQ(log.pauses.size(), 2u) << "a new failure is waited for once more";
}

TEST(LogOwner, LogFormatFillsTextsAndSignedDecimals) {
    LogFixture log;
    log.owner.LogFormat("%s added to allow list.", {"0800 1234"});
    log.owner.LogFormat("Baud rate set to %d", {std::int64_t{-5}});
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"0800 1234 added to allow list.", "Baud rate set to -5"}));
}

TEST(FormatText, HandlesPlaceholdersSafely) {
    using log::FormatText;
    EXPECT_EQ(FormatText("100%% %s", {"sure"}), "100% sure");
    EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and %s") << "a missing argument is not read";
    EXPECT_EQ(FormatText("%d", {"text"}), "%d") << "a mismatched argument is not converted";
    EXPECT_EQ(FormatText("%x%", {}), "%x%");
    EXPECT_EQ(FormatText("%s", {std::string_view("a\0b", 3)}), std::string("a\0b", 3));
}
