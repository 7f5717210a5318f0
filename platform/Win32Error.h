#pragma once
// Error codes with the values and meanings the product's logic expects from the operating system.
// The Linux layer produces these codes, so callers and message texts stay the same on every
// platform.
#include <cstdint>

namespace kestrine::platform {

using Win32Error = std::uint32_t;

inline constexpr Win32Error ERROR_SUCCESS = 0;
inline constexpr Win32Error ERROR_INVALID_FUNCTION = 1;
inline constexpr Win32Error ERROR_FILE_NOT_FOUND = 2;
inline constexpr Win32Error ERROR_PATH_NOT_FOUND = 3;
inline constexpr Win32Error ERROR_ACCESS_DENIED = 5;
inline constexpr Win32Error ERROR_INVALID_HANDLE = 6;
inline constexpr Win32Error ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Win32Error ERROR_BAD_FORMAT = 11;
inline constexpr Win32Error ERROR_INVALID_DATA = 13;
inline constexpr Win32Error ERROR_GEN_FAILURE = 31;
inline constexpr Win32Error ERROR_NOT_SUPPORTED = 50;
inline constexpr Win32Error ERROR_INVALID_PARAMETER = 87;
inline constexpr Win32Error ERROR_BROKEN_PIPE = 109;
inline constexpr Win32Error ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr Win32Error ERROR_INVALID_NAME = 123;
inline constexpr Win32Error ERROR_BAD_PATHNAME = 161;
inline constexpr Win32Error ERROR_BUSY = 170;
inline constexpr Win32Error ERROR_ALREADY_EXISTS = 183;
inline constexpr Win32Error ERROR_BAD_EXE_FORMAT = 193;
inline constexpr Win32Error ERROR_MORE_DATA = 234;
inline constexpr Win32Error ERROR_NO_MORE_ITEMS = 259;
inline constexpr Win32Error ERROR_OPERATION_ABORTED = 995;
inline constexpr Win32Error ERROR_IO_INCOMPLETE = 996;
inline constexpr Win32Error ERROR_IO_PENDING = 997;
inline constexpr Win32Error ERROR_BADDB = 1009;
inline constexpr Win32Error ERROR_BADKEY = 1010;
inline constexpr Win32Error ERROR_CANTOPEN = 1011;
inline constexpr Win32Error ERROR_CANTREAD = 1012;
inline constexpr Win32Error ERROR_CANTWRITE = 1013;
inline constexpr Win32Error ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr Win32Error ERROR_KEY_DELETED = 1018;
inline constexpr Win32Error ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
inline constexpr Win32Error ERROR_SERVICE_NO_THREAD = 1054;
inline constexpr Win32Error ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr Win32Error ERROR_INVALID_SERVICE_ACCOUNT = 1057;
inline constexpr Win32Error ERROR_SERVICE_DISABLED = 1058;
inline constexpr Win32Error ERROR_SERVICE_DOES_NOT_EXIST = 1060;
inline constexpr Win32Error ERROR_PROCESS_ABORTED = 1067;
inline constexpr Win32Error ERROR_SERVICE_EXISTS = 1073;
inline constexpr Win32Error ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr Win32Error ERROR_NOT_FOUND = 1168;
inline constexpr Win32Error ERROR_REVISION_MISMATCH = 1306;
inline constexpr Win32Error ERROR_TIMEOUT = 1460;

}  // namespace kestrine::platform
