#pragma once
// The allowed numbers as the dial blocker compares them.
//
// Normalisation: a number is reduced to its dial digits 0-9, *, #, + and A-D (a-d count as A-D);
// everything else - blanks, hyphens, dots, brackets, letters, dial modifiers such as T, P, W and
// commas - is dropped. "+44 (20) 7946-0000" and "+442079460000" are the same number; "0044..." is
// not the same as "+44...". An entry that normalises to nothing allows nothing.
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::driver {

std::string NormaliseNumber(std::string_view number);

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
