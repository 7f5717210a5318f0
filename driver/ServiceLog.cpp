#include "driver/ServiceLog.h"

#include <unistd.h>

#include <cerrno>

namespace kestrine::driver {

std::string Printable(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7f) {
            out += c;
        } else {
            out += "\\x";
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        }
    }
    return out;
}

void Say(Priority priority, std::string_view line) {
    std::string text = "<" + std::to_string(static_cast<int>(priority)) + ">" + Printable(line);
    text += '\n';
    std::size_t written = 0;
    while (written < text.size()) {
        const auto n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // no journal: nothing else to tell it to
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace kestrine::driver
