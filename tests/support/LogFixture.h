#pragma once
// A log owner in a private directory with a fixed clock and the C locale, and a reader that gives
// back the messages of its event lines.
#include <string>
#include <vector>

#include "log/LogOwner.h"
#include "tests/support/TempDir.h"

namespace kestrine::test {

// 10 December 2026, 05:03:09 (a Thursday).
log::LocalTimestamp FixedTime(int hour = 5, int minute = 3, int second = 9, int millisecond = 0);

struct LogFixture {
    LogFixture();

    TempDir dir;
    std::vector<unsigned> pauses;  // the retry pauses asked for, in ms
    log::LogOwner owner;

    std::filesystem::path Path() const { return dir / "qdlog.log"; }
    std::string Content() const;
    // The messages of the event lines, without time stamps (start and end lines left out).
    std::vector<std::string> Messages() const;
};

}  // namespace kestrine::test
