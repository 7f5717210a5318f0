#include "platform/SystemMessage.h"

#include <array>
#include <utility>

namespace kestrine::platform {

namespace {

struct Entry {
    Win32Error code;
    const char* text;
};

// Our own wording for the codes this layer produces.
constexpr std::array kMessages{
    Entry{ERROR_SUCCESS, "The operation completed successfully."},
    Entry{ERROR_INVALID_FUNCTION, "Incorrect function."},
    Entry{ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    Entry{ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    Entry{ERROR_ACCESS_DENIED, "Access is denied."},
    Entry{ERROR_INVALID_HANDLE, "The handle is invalid."},
    Entry{ERROR_NOT_ENOUGH_MEMORY,
          "Not enough memory resources are available to process this command."},
    Entry{ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    Entry{ERROR_INVALID_DATA, "The data is invalid."},
    Entry{ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    Entry{ERROR_NOT_SUPPORTED, "The request is not supported."},
    Entry{ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    Entry{ERROR_BROKEN_PIPE, "The pipe has been ended."},
    Entry{ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    Entry{ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    Entry{ERROR_BAD_EXE_FORMAT, "The image is not a valid program for this system."},
    Entry{ERROR_BAD_PATHNAME, "The specified path is invalid."},
    Entry{ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    Entry{ERROR_MORE_DATA, "More data is available."},
    Entry{ERROR_NO_MORE_ITEMS, "No more data is available."},
    Entry{ERROR_OPERATION_ABORTED,
          "The I/O operation has been aborted because of either a thread exit or an application "
          "request."},
    Entry{ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    Entry{ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    Entry{ERROR_BADDB, "The configuration registry database is corrupt."},
    Entry{ERROR_BADKEY, "The configuration registry key is invalid."},
    Entry{ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    Entry{ERROR_CANTREAD, "The configuration registry key could not be read."},
    Entry{ERROR_CANTWRITE, "The configuration registry key could not be written."},
    Entry{ERROR_KEY_DELETED,
          "Illegal operation attempted on a registry key that has been marked for deletion."},
    Entry{ERROR_REGISTRY_CORRUPT,
          "The structure of one of the files containing registry data is corrupt."},
    Entry{ERROR_SERVICE_REQUEST_TIMEOUT,
          "The service did not respond to the start or control request in a timely fashion."},
    Entry{ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service."},
    Entry{ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    Entry{ERROR_INVALID_SERVICE_ACCOUNT,
          "The account name is invalid or does not exist, or the password is invalid."},
    Entry{ERROR_SERVICE_DISABLED,
          "The service cannot be started, either because it is disabled or because it has no "
          "enabled devices associated with it."},
    Entry{ERROR_SERVICE_DOES_NOT_EXIST,
          "The specified service does not exist as an installed service."},
    Entry{ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    Entry{ERROR_SERVICE_EXISTS, "The specified service already exists."},
    Entry{ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    Entry{ERROR_NOT_FOUND, "Element not found."},
    Entry{ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
};

}  // namespace

std::string SystemMessageText(Win32Error code) {
    for (const auto& entry : kMessages) {
        if (entry.code == code) {
            return std::string(entry.text) + "\r\n";
        }
    }
    return "Unknown error (" + std::to_string(code) + ").\r\n";
}

}  // namespace kestrine::platform
