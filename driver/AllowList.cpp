#include "driver/AllowList.h"

#include <algorithm>

namespace kestrine::driver {

void AllowList::Replace(const std::vector<std::string>& numbers) {
    numbers_.clear();
    for (const auto& number : numbers) {
        auto normalised = NormaliseNumber(number);
        if (!normalised.empty()) {
            numbers_.push_back(std::move(normalised));
        }
    }
    std::sort(numbers_.begin(), numbers_.end());
    numbers_.erase(std::unique(numbers_.begin(), numbers_.end()), numbers_.end());
}

bool AllowList::Allows(std::string_view normalised) const {
    return !normalised.empty() && std::binary_search(numbers_.begin(), numbers_.end(), normalised);
}

bool AllowList::LeadsToAllowed(std::string_view prefix) const {
    const auto it = std::lower_bound(numbers_.begin(), numbers_.end(), prefix);
    return it != numbers_.end() && it->compare(0, prefix.size(), prefix) == 0;
}

}  // namespace kestrine::driver
