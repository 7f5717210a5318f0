// The dial blocker in front of a modem nobody here wrote (libspandsp's AT interpreter): fails
// when that modem places a call to any number but the one allowed. Run by scripts/test for a
// bounded time; for longer, see tests/fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/SpanSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto outcome = kestrine::test::RunSpanSession(
        std::string_view(reinterpret_cast<const char*>(data), size), false);
    if (outcome.breach) {
        std::fprintf(stderr, "the independent modem dialled %s\n", outcome.number.c_str());
        std::abort();
    }
    return 0;
}
