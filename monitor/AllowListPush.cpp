#include "monitor/AllowListPush.h"

#include "monitor/MonitorContract.h"
#include "platform/SystemMessage.h"

namespace kestrine::monitor {

namespace {
constexpr std::size_t kMessageLimit = 256;
}

void SendAllowList(platform::Device* device, log::LogOwner& log,
                   std::span<const std::string> list) {
    if (device == nullptr) {
        return;
    }
    const auto buffer = BuildAllowListBuffer(list);
    const auto result = device->Control(IOCTL_MONITOR_SET_ALLOWLIST, buffer, {});
    if (!result.Succeeded()) {
        log.LogFormat("Cannot set the allowlist.  Error: %s", {SystemErrorText(result.error)});
    }
}

void SendStoredAllowList(platform::Device* device, log::LogOwner& log,
                         numbers::TNumberList& store) {
    SendAllowList(device, log, store.LoadNumbers());
}

std::string SystemErrorText(platform::Win32Error code) {
    return TrimMessageText(platform::SystemMessageText(code));
}

std::string TrimMessageText(std::string text) {
    if (text.size() > kMessageLimit) {
        text.resize(kMessageLimit);
    }
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

}  // namespace kestrine::monitor
