#pragma once
// Texts are bytes in the core; the windows hand them over as UTF-8, so that two different typed
// texts never become the same bytes. Earlier versions handed them over as Latin-1, so a store may
// still hold a PIN or a number in that form.
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrine::numbers {

// `bytes` as UTF-8 text: every valid UTF-8 sequence stays as it is; any other byte is read as the
// Latin-1 character that an earlier version stored for it. Text in UTF-8 comes back unchanged.
std::string ReadAsUtf8(std::string_view bytes);

// The length of the well-formed UTF-8 sequence at the start of `bytes` (1 for an ASCII byte),
// or 0 when there is none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view bytes);

// How many characters a UTF-8 text holds, as the user typed them (not how many bytes).
std::size_t CharacterCount(std::string_view utf8);

}  // namespace kestrine::numbers
