#include "log/LogFormat.h"

#include <vector>

namespace kestrine::log {

std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 == format.size()) {
            out += c;
            continue;
        }
        const char conversion = format[i + 1];
        if (conversion == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (next != args.end()) {
            if (conversion == 's' && std::holds_alternative<std::string_view>(*next)) {
                out += std::get<std::string_view>(*next);
                ++next;
                ++i;
                continue;
            }
            if (conversion == 'd' && std::holds_alternative<std::int64_t>(*next)) {
                out += std::to_string(std::get<std::int64_t>(*next));
                ++next;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace kestrine::log
