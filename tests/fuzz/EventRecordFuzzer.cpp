// Fuzzes the decoding of driver event records and the allow-list parser of the driver's side.
#include <cstddef>
#include <cstdint>
#include <span>

#include "monitor/MonitorContract.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)kestrine::monitor::DecodeMonitorEvent(bytes);
    (void)kestrine::monitor::ParseAllowListBuffer(bytes);
    (void)kestrine::monitor::ParsePortNameBuffer(bytes);
    return 0;
}
