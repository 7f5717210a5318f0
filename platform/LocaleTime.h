#pragma once
// The user's locale settings for dates and times: short date format, long time format, day and
// month names and the time separator, taken from the POSIX locale (LC_TIME).
#include <locale.h>
#include <ctime>
#include <string>

namespace kestrine::platform {

class LocaleTime {
public:
    // `localeName` as for newlocale(): "" takes the environment's LC_TIME (LC_ALL, LC_TIME,
    // LANG); a name that is not installed falls back to "C".
    explicit LocaleTime(const std::string& localeName = "");
    ~LocaleTime();
    LocaleTime(const LocaleTime&) = delete;
    LocaleTime& operator=(const LocaleTime&) = delete;

    std::string ShortDate(const std::tm& t) const;
    std::string LongTime(const std::tm& t) const;
    std::string DayName(const std::tm& t) const;    // full weekday name
    std::string MonthName(const std::tm& t) const;  // full month name
    char TimeSeparator() const { return timeSeparator_; }

private:
    std::string Format(const char* pattern, const std::tm& t) const;

    locale_t locale_;
    std::string shortDate_;
    std::string longTime_;
    char timeSeparator_ = ':';
};

}  // namespace kestrine::platform
