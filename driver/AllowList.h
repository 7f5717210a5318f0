#pragma once
// The allowed numbers as the dial blocker compares them: each reduced to its dial digits
// (numbers/DialDigits.h). An entry that normalises to nothing allows nothing and takes nothing
// from the rest of the list.
#include <string>
#include <string_view>
#include <vector>

#include "numbers/DialDigits.h"

namespace kestrine::driver {

using numbers::NormaliseNumber;

class AllowList {
public:
    void Replace(const std::vector<std::string>& numbers);
    bool Allows(std::string_view normalised) const;
    // True when some allowed number begins with `prefix` (a dial continued later with ';').
    bool LeadsToAllowed(std::string_view prefix) const;
    std::size_t Size() const { return numbers_.size(); }

private:
    std::vector<std::string> numbers_;  // normalised, sorted, unique
};

}  // namespace kestrine::driver
