#pragma once
// Handing the allowed list to the driver: always the whole list, at start-up and after every
// change. A refused list is only logged; the driver keeps whatever list it had.
#include <span>
#include <string>

#include "log/LogOwner.h"
#include "numbers/NumberListClass.h"
#include "platform/Device.h"
#include "platform/Win32Error.h"

namespace kestrine::monitor {

// Sends `list` as the allow-list buffer. `device` is the open device handle, or nullptr while
// it is not open: then nothing is sent and nothing logged.
void SendAllowList(platform::Device* device, log::LogOwner& log, std::span<const std::string> list);

// SendAllowList with the store's list as LoadNumbers returns it.
void SendStoredAllowList(platform::Device* device, log::LogOwner& log, numbers::TNumberList& store);

// The system's message text for `code` as it goes into a log line: at most 256 characters, with
// trailing blanks, control characters and full stops removed.
std::string SystemErrorText(platform::Win32Error code);
std::string TrimMessageText(std::string text);

}  // namespace kestrine::monitor
