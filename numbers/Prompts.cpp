#include "numbers/Prompts.h"

#include "platform/UserError.h"

namespace kestrine {

std::string CommonErrorText(const std::string& message) {
    if (!message.empty() &&
        static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
        return message + ".";
    }
    return message;
}

bool RunUserAction(Prompts& prompts, const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const UserError& error) {
        prompts.CommonError(CommonErrorText(error.what()));
        return false;
    }
}

}  // namespace kestrine
