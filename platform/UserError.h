#pragma once
// The one error type of a failed user action. Raised out of a handler, it abandons the rest of
// the handler and is shown in the common error box; the application keeps running.
#include <stdexcept>
#include <string>

namespace kestrine {

class UserError : public std::runtime_error {
public:
    explicit UserError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kestrine
