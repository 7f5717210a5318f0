#include "tests/support/LogFixture.h"

namespace kestrine::test {

namespace {
constexpr const char* kStampPrefix = "12/10/26 05:03:09: ";
}

log::LocalTimestamp FixedTime(int hour, int minute, int second, int millisecond) {
    log::LocalTimestamp stamp;
    stamp.tm.tm_year = 2026 - 1900;
    stamp.tm.tm_mon = 11;
    stamp.tm.tm_mday = 10;
    stamp.tm.tm_wday = 4;
    stamp.tm.tm_yday = 343;
    stamp.tm.tm_hour = hour;
    stamp.tm.tm_min = minute;
    stamp.tm.tm_sec = second;
    stamp.millisecond = millisecond;
    return stamp;
}

LogFixture::LogFixture()
    : owner(
          dir.Path(), [this](unsigned ms) { pauses.push_back(ms); }, [] { return FixedTime(); },
          "C") {}

std::string LogFixture::Content() const {
    return ReadFile(Path());
}

std::vector<std::string> LogFixture::Messages() const {
    const std::string content = Content();
    const std::string prefix = kStampPrefix;
    std::vector<std::string> messages;
    std::size_t at = content.find(prefix);
    while (at != std::string::npos) {
        const std::size_t begin = at + prefix.size();
        std::size_t next = content.find("\r\n" + prefix, begin);
        const std::size_t end = next == std::string::npos ? content.size() : next + 2;
        std::string message = content.substr(begin, end - begin);
        if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0) {
            message.resize(message.size() - 2);
        }
        messages.push_back(message);
        at = next == std::string::npos ? next : next + 2;
    }
    return messages;
}

}  // namespace kestrine::test
