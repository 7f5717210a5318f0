// Fuzzes the AT command grammar, and the dial blocker with the virtual modem behind it on
// arbitrary program bytes, hang-ups and time. Where the modem alone answers, the check is the
// blocker's promise as the modem sees it: every number it dials is allowed (the whole byte
// stream counts, not each forwarded piece). Where the input adds modem bytes of its own, the
// check is memory safety and that held bytes stay bounded.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/AtCommand.h"
#include "tests/fuzz/DialSession.h"

using namespace kestrine::driver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    (void)ParseAtCommands(input, Reading::Strict);
    (void)ParseAtCommands(input, Reading::Lenient);
    const auto outcome = kestrine::test::RunDialSession(input, true);
    if (outcome.breach) {
        std::fprintf(stderr, "the modem dialled %s\n", outcome.number.c_str());
        std::abort();
    }
    if (outcome.maxHeld > DialFilter::kMaxLine + DialFilter::kMaxPending + DialFilter::kMaxContent) {
        std::abort();
    }
    return 0;
}
