#pragma once
// The formatting of log messages: %s takes a text, %d a signed decimal integer, %% a percent
// sign. Texts are bytes and pass unchanged.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace kestrine::log {

using FormatArg = std::variant<std::string_view, std::int64_t>;

// A placeholder without an argument of its kind, or an unknown conversion, is written as it
// stands rather than reading an argument that is not there.
std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args);

}  // namespace kestrine::log
