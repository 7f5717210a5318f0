#include "platform/LocaleTime.h"

#include <langinfo.h>

#include <array>
#include <cctype>

namespace kestrine::platform {

namespace {

// The character between hours and minutes in a strftime time pattern ("%H:%M:%S" gives ':').
char SeparatorOf(const std::string& pattern) {
    for (std::size_t i = 0; i + 2 < pattern.size(); ++i) {
        if (pattern[i] == '%' && (pattern[i + 1] == 'H' || pattern[i + 1] == 'I' ||
                                  pattern[i + 1] == 'k' || pattern[i + 1] == 'l')) {
            const char c = pattern[i + 2];
            if (c != '%' && std::isalnum(static_cast<unsigned char>(c)) == 0) {
                return c;
            }
        }
    }
    return ':';
}

}  // namespace

LocaleTime::LocaleTime(const std::string& localeName) {
    locale_ = ::newlocale(LC_TIME_MASK | LC_CTYPE_MASK, localeName.c_str(),
                          static_cast<locale_t>(nullptr));
    if (locale_ == static_cast<locale_t>(nullptr)) {
        locale_ = ::newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }
    shortDate_ = ::nl_langinfo_l(D_FMT, locale_);
    longTime_ = ::nl_langinfo_l(T_FMT, locale_);
    // Some locales give "%r" (12-hour clock with AM/PM) for the time; spell it out so the
    // separator can be found.
    if (longTime_ == "%r") {
        longTime_ = ::nl_langinfo_l(T_FMT_AMPM, locale_);
    } else if (longTime_ == "%T") {
        longTime_ = "%H:%M:%S";
    }
    timeSeparator_ = SeparatorOf(longTime_);
}

LocaleTime::~LocaleTime() {
    ::freelocale(locale_);
}

std::string LocaleTime::Format(const char* pattern, const std::tm& t) const {
    std::array<char, 256> buffer{};
    const std::size_t n = ::strftime_l(buffer.data(), buffer.size(), pattern, &t, locale_);
    return std::string(buffer.data(), n);
}

std::string LocaleTime::ShortDate(const std::tm& t) const {
    return Format(shortDate_.c_str(), t);
}
std::string LocaleTime::LongTime(const std::tm& t) const {
    return Format(longTime_.c_str(), t);
}
std::string LocaleTime::DayName(const std::tm& t) const {
    return Format("%A", t);
}
std::string LocaleTime::MonthName(const std::tm& t) const {
    return Format("%B", t);
}

}  // namespace kestrine::platform
