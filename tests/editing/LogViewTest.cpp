#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/LogView.h"
#include "numbers/NumberListClass.h"
#include "tests/support/LogFixture.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

using namespace kestrine;

namespace {

struct Memo : app::LogMemo, numbers::ParentalControls {
    std::string text = "earlier view";
    int loads = 0;
    bool SetLogText(const std::string& shown) override {
        text = shown;
        ++loads;
        return true;
    }
    bool ParentalChecked() const override { return false; }
    void SetParentalChecked(bool) override {}
    void SetSetPinEnabled(bool) override {}
};

class LogViewTest : public ::testing::Test {
protected:
    test::TempDir root;
    numbers::TNumberList store{platform::Registry(root / "registry.db")};
    test::ScriptedPrompts prompts;
    test::LogFixture log;
    Memo memo;
    numbers::ParentalControl parental{store, prompts, log.owner, memo};
    app::LogView view{log.owner, parental, prompts, memo};

    void SetUp() override {
        store.SetPIN("1234");
        store.SetParentalControl(false);
        log.owner.PrepareLog();
    }
};

constexpr const char* kCleared = "12/10/26 05:03:09: Log file cleared\r\n";

}  // namespace

TEST(ReadLogForView, MakesEveryLineEndCrLfAndKeepsEveryByte) {
    test::TempDir dir;
    test::WriteFile(dir / "log", std::string("a\rb\nc\r\nd\n\re\0f", 13));
    EXPECT_EQ(app::ReadLogForView((dir / "log").string()),
              std::string("a\r\nb\r\nc\r\nd\r\n\r\ne\0f", 17));
    EXPECT_FALSE(app::ReadLogForView((dir / "missing").string()));
    EXPECT_FALSE(app::ReadLogForView(""));
}

TEST_F(LogViewTest, ShowingTheTabLoadsTheFileAndIgnoresFailures) {
    log.owner.LogLine("one");
    view.TabSheet2Show();
    EXPECT_EQ(memo.text, log.Content());
    log.owner.LogLine("two");
    EXPECT_EQ(memo.text.find("two"), std::string::npos) << "only the next load shows new lines";

    std::filesystem::remove(log.Path());
    view.TabSheet2Show();
    EXPECT_NE(memo.text.find("one"), std::string::npos)
        << "a missing file leaves the memo as it was";
}

// A log far beyond what the memo shows: its newest whole lines, after a line that says where the
// rest is; the read stays within the limit however large the file.
TEST_F(LogViewTest, ALargeLogShowsItsNewestLinesAndSaysWhereTheRestIs) {
    {
        std::ofstream file(log.Path(), std::ios::binary | std::ios::trunc);
        const std::string line(99, 'x');
        for (std::size_t written = 0; written < 3 * app::kLogViewLimit; written += 101) {
            file << line << "\r\n";
        }
        file << "newest\r\n";
    }
    const auto shown = app::ReadLogForView(log.owner.LogPath);
    ASSERT_TRUE(shown);
    const std::string note =
        "(The log is long: only its newest lines are shown here. Earlier lines are in " +
        log.Path().string() + ".)\r\n";
    EXPECT_EQ(shown->substr(0, note.size()), note);
    EXPECT_LE(shown->size(), note.size() + app::kLogViewLimit);
    EXPECT_EQ(shown->substr(note.size(), 101), std::string(99, 'x') + "\r\n") << "a whole line";
    EXPECT_TRUE(shown->ends_with("xx\r\nnewest\r\n"));
}

TEST_F(LogViewTest, AWriterHoldingTheFileKeepsTheReaderOut) {
    const int writer = ::open(log.Path().c_str(), O_WRONLY);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    EXPECT_FALSE(app::ReadLogForView(log.owner.LogPath));
    ::close(writer);
    EXPECT_TRUE(app::ReadLogForView(log.owner.LogPath));
}

TEST_F(LogViewTest, ClearLeavesExactlyTheClearedLine) {
    log.owner.LogLine("dial 0900");
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true);
    view.btnClearClick();
    EXPECT_EQ(log.Content(), kCleared) << "no start line in the emptied file";
    EXPECT_EQ(memo.text, kCleared);

    std::filesystem::remove(log.Path());
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true);
    view.btnClearClick();
    EXPECT_EQ(log.Content(), kCleared) << "a missing file is created empty first";
}

TEST_F(LogViewTest, NoOrACancelledPinChangesNothing) {
    log.owner.LogLine("kept");
    const std::string before = log.Content();
    prompts.ExpectConfirm("Are you sure you want to clear the log?", false);
    view.btnClearClick();
    store.SetParentalControl(true);
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true)
        .ExpectAskPIN("", false, "1234");
    view.btnClearClick();
    EXPECT_EQ(log.Content(), before);
    EXPECT_EQ(memo.loads, 0);
}

TEST_F(LogViewTest, WithoutALogPathClearingFails) {
    log.owner.LogPath.clear();  // the start-up open failed
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true)
        .ExpectError("Unable to empty log file");
    view.btnClearClick();
    EXPECT_EQ(memo.loads, 0);
    EXPECT_NE(log.Content().find("Logging started"), std::string::npos)
        << "the file was not touched";
}

TEST_F(LogViewTest, EveryLogOperationWorksThroughTheInstalledLinkAndKeepsIt) {
    // Installed, qdlog.log beside the program is a link into the log folder, which group kestrine
    // shares (setgid); the package makes the file there, the application never does.
    test::TempDir logs;
    ASSERT_EQ(::chmod(logs.Path().c_str(), 02770), 0);
    const auto target = logs / "qdlog.log";
    std::filesystem::remove(log.Path());
    std::filesystem::create_symlink(target, log.Path());

    log.owner.LogLine("not kept");
    EXPECT_FALSE(std::filesystem::exists(target)) << "not made in a folder others may write";
    test::WriteFile(target, "");
    ASSERT_EQ(::chmod(target.c_str(), 0660), 0);

    log.owner.PrepareLog();
    EXPECT_EQ(log.owner.LogPath, log.Path().string()) << "the log stays beside the program";
    log.owner.LogLine("0900123 blocked");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"0900123 blocked"});

    view.TabSheet2Show();
    EXPECT_NE(memo.text.find("0900123 blocked"), std::string::npos);
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true);
    view.btnClearClick();
    EXPECT_EQ(test::ReadFile(target), kCleared);
    log.owner.Logfile1.SetOpenCloseMsg(true);
    log.owner.LogLine("after");
    log.owner.CloseLog();
    EXPECT_NE(test::ReadFile(target).find("Logging ended"), std::string::npos);

    EXPECT_TRUE(std::filesystem::is_symlink(log.Path())) << "nothing replaced the link";
    EXPECT_EQ(std::filesystem::read_symlink(log.Path()), target);
}

// Someone who may write the log folder replaces the log with a link to a file of the user's (or
// of root's, for root's application): nothing is written to it, shown from it, or emptied.
TEST_F(LogViewTest, ALinkOrFIFOPlantedInPlaceOfTheLogIsNeitherFollowedNorWaitedOn) {
    test::TempDir logs;
    ASSERT_EQ(::chmod(logs.Path().c_str(), 02770), 0);
    const auto target = logs / "qdlog.log";
    std::filesystem::remove(log.Path());
    std::filesystem::create_symlink(target, log.Path());
    test::WriteFile(logs / "profile.sh", "keep\n");
    log.owner.LogPath = log.Path().string();

    std::filesystem::create_symlink(logs / "profile.sh", target);
    log.owner.LogLine("ATDT0900123");
    view.TabSheet2Show();
    EXPECT_EQ(memo.text, "earlier view") << "nothing shown from the link's target";
    prompts.ExpectConfirm("Are you sure you want to clear the log?", true);
    prompts.ExpectError("Unable to empty log file");
    view.btnClearClick();
    EXPECT_EQ(test::ReadFile(logs / "profile.sh"), "keep\n");

    std::filesystem::remove(target);
    ASSERT_EQ(::mkfifo(target.c_str(), 0660), 0);
    log.owner.LogLine("ATDT0900123");  // would block for ever on a FIFO without a reader
    EXPECT_TRUE(std::filesystem::is_fifo(target));

    // A second name of the file (a hard link made elsewhere) is refused too.
    std::filesystem::remove(target);
    std::filesystem::create_hard_link(logs / "profile.sh", target);
    log.owner.LogLine("ATDT0900123");
    EXPECT_EQ(test::ReadFile(logs / "profile.sh"), "keep\n");
}
