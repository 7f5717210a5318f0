// Fuzzes the reading of scrambled store text: any text must decode without reading out of bounds,
// and scrambling must stay invertible for whatever bytes come out.
//   build/fuzz/tests/fuzz/fuzz_scramble -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "numbers/Scramble.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    using namespace kestrine::numbers;
    const std::uint32_t key = data[0] | (std::uint32_t{data[1]} << 8);
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::string decoded = Decode64(text);
    if (decoded.size() > text.size()) {
        std::abort();
    }
    const std::string plain = Unscramble(text, key);
    if (plain.size() != decoded.size() || Unscramble(Scramble(plain, key), key) != plain) {
        std::abort();
    }
    if (Unscramble(Scramble(text, key), key) != text) {
        std::abort();
    }
    return 0;
}
