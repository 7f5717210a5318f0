#include "driver/RefusalJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "driver/EventQueue.h"
#include "monitor/MonitorContract.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::driver;

namespace {

// The journal the queues of this test write to, for its scope.
struct Using {
    explicit Using(RefusalJournal* journal) { RefusalJournal::SetCurrent(journal); }
    ~Using() { RefusalJournal::SetCurrent(nullptr); }
};

std::string BlockedNumber(const std::vector<std::uint8_t>& record) {
    EXPECT_EQ(record[monitor::kEventTypeOffset], monitor::NumberBlocked);
    std::string number(record.begin() + monitor::kPayloadOffset,
                       record.begin() + monitor::kPayloadOffset +
                           monitor::GetU32(record, monitor::kDataLengthOffset));
    return number.substr(0, number.find('\0'));  // up to its terminator
}

// Every refusal, whatever its port: as taken when no port is served.
std::vector<RefusalJournal::Refusal> TakeAll(RefusalJournal& journal) {
    return journal.TakeUndone(1, [](int) { return false; });
}

}  // namespace

// A refusal is in the journal from the moment it is queued. What a killed driver's application
// never read comes back at the next start, what it read does not; one whose port went unread is
// handed out again; once all is read the file is empty.
TEST(RefusalJournal, WhatNoApplicationReadComesBackAndNothingElse) {
    test::TempDir dir;
    const auto path = dir / "QDDRIVER.refusals";
    std::string error;
    {
        auto journal = RefusalJournal::Open(path, error);
        ASSERT_TRUE(journal) << error;
        Using current(journal.get());
        EventQueue queue;
        queue.PushPendingBlocked("0900111");
        queue.CompleteBlocked({});
        queue.PushNumberBlocked("0900\r222");
        EXPECT_NE(test::ReadFile(path).find("R "), std::string::npos) << "written as queued";
        queue.AnnounceHead();
        queue.PopHead();  // the application read the first
        // Killed now: nothing of an orderly end reaches the journal.
        RefusalJournal::SetCurrent(nullptr);
    }

    auto next = RefusalJournal::Open(path, error);
    ASSERT_TRUE(next) << error;
    Using current(next.get());
    auto undone = TakeAll(*next);
    ASSERT_EQ(undone.size(), 1u);
    EXPECT_EQ(undone[0].number, "0900\r222");
    EXPECT_TRUE(TakeAll(*next).empty()) << "handed out once";
    {
        EventQueue port;  // detached before its application read it
        port.PushReplayedBlocked(undone[0].number, undone[0].sequence);
    }
    undone = TakeAll(*next);
    ASSERT_EQ(undone.size(), 1u) << "handed out again";
    {
        EventQueue port;
        port.PushReplayedBlocked(undone[0].number, undone[0].sequence);
        EXPECT_EQ(BlockedNumber(port.Head()), "0900\r222");
        port.AnnounceHead();
        port.PopHead();
    }
    EXPECT_TRUE(TakeAll(*next).empty());
    EXPECT_EQ(test::ReadFile(path), "");
}

TEST(RefusalJournal, ALinkOrAFolderInItsPlaceIsRefused) {
    test::TempDir dir;
    const auto target = dir / "target";
    test::WriteFile(target, "someone else's");
    std::filesystem::create_symlink(target, dir / "linked");
    std::filesystem::create_directory(dir / "folder");
    std::string error;
    EXPECT_FALSE(RefusalJournal::Open(dir / "linked", error));
    EXPECT_FALSE(RefusalJournal::Open(dir / "folder", error));
    EXPECT_EQ(test::ReadFile(target), "someone else's");
}

// Refusals nobody reads are kept, the newest kMaxKept of them with the time each was made, in a
// file that stays small however many come; an older file's lines without a time still count.
TEST(RefusalJournal, KeepsTheNewestThousandWithTheirTimesInASmallFile) {
    test::TempDir dir;
    const auto path = dir / "QDDRIVER.refusals";
    test::WriteFile(path, "R 7 30393030 \nR 8 3039\nD 8\n");  // an older driver's lines
    std::string error;
    const std::size_t many = 3 * RefusalJournal::kMaxKept + 1;
    {
        auto journal = RefusalJournal::Open(path, error);
        ASSERT_TRUE(journal) << error;
        for (std::size_t i = 0; i < many; ++i) {
            const auto sequence =
                journal->Refused("0900" + std::to_string(i), static_cast<std::int64_t>(1000 + i));
            ASSERT_NE(sequence, 0u);
            if (i % 2 == 0) {
                journal->Done(sequence);  // read by an application
            } else {
                journal->Unread(sequence);  // refused while nobody was subscribed
            }
        }
        const auto size = std::filesystem::file_size(path);
        EXPECT_LT(size, 200u * 1024) << "written anew as it grows";
    }
    auto next = RefusalJournal::Open(path, error);
    ASSERT_TRUE(next) << error;
    const auto kept = TakeAll(*next);
    ASSERT_EQ(kept.size(), RefusalJournal::kMaxKept);
    const std::size_t oldest = many - 2 * RefusalJournal::kMaxKept;  // odd ones only were kept
    EXPECT_EQ(kept.front().number, "0900" + std::to_string(oldest));
    EXPECT_EQ(kept.front().time, static_cast<std::int64_t>(1000 + oldest));
    EXPECT_EQ(kept.back().number, "0900" + std::to_string(many - 2));
    EXPECT_FALSE(std::filesystem::exists(dir / "QDDRIVER.refusals.new"));

    // The older driver's line without a time is read as a refusal of unknown time.
    test::WriteFile(path, "R 7 30393030\n");
    auto old = RefusalJournal::Open(path, error);
    ASSERT_TRUE(old) << error;
    const auto undone = TakeAll(*old);
    ASSERT_EQ(undone.size(), 1u);
    EXPECT_EQ(undone[0].number, "0900");
    EXPECT_EQ(undone[0].time, 0);
}

// A kept refusal goes to the next subscription to its own port, across a restart; one of a port
// not served (or of an older driver's line, which names none) goes to the first subscription made.
TEST(RefusalJournal, AKeptRefusalGoesToItsOwnPort) {
    test::TempDir dir;
    const auto path = dir / "QDDRIVER.refusals";
    test::WriteFile(path, "R 1 30393030 5\n");  // an older driver's line: no port
    std::string error;
    {
        auto journal = RefusalJournal::Open(path, error);
        ASSERT_TRUE(journal) << error;
        Using current(journal.get());
        for (const int com : {1, 3, 5}) {
            EventQueue queue;
            queue.SetPort(com);
            queue.PushNumberBlocked("090" + std::to_string(com));
        }
        EXPECT_EQ(journal->Unlogged().size(), 4u);
        RefusalJournal::SetCurrent(nullptr);
    }
    auto next = RefusalJournal::Open(path, error);
    ASSERT_TRUE(next) << error;
    const auto served = [](int com) { return com == 1 || com == 3; };
    const auto numbers = [](const std::vector<RefusalJournal::Refusal>& refusals) {
        std::vector<std::string> out;
        for (const auto& refusal : refusals) {
            out.push_back(refusal.number + "@" + std::to_string(refusal.com));
        }
        return out;
    };
    EXPECT_EQ(numbers(next->TakeUndone(3, served)),
              (std::vector<std::string>{"0900@0", "0903@3", "0905@5"}));
    EXPECT_EQ(numbers(next->TakeUndone(1, served)), (std::vector<std::string>{"0901@1"}));
    EXPECT_EQ(next->Unlogged().size(), 4u) << "handed out, not read yet";
}
