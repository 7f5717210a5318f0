#pragma once
// The system message table: the text the operating system gives for an error code.
#include <string>

#include "platform/Win32Error.h"

namespace kestrine::platform {

// The message for `code` as FormatMessage would return it without inserts: a sentence ending in
// ".\r\n". Codes without an entry give a generic text that names the code.
std::string SystemMessageText(Win32Error code);

}  // namespace kestrine::platform
