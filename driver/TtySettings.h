#pragma once
// Line settings of a terminal as the port sees them, read with the termios2 interface so that
// any baud rate (also custom ones) comes through. Kept apart from <termios.h>, whose definitions
// clash with the kernel's.
#include <cstdint>
#include <optional>

namespace kestrine::driver {

struct LineSettings {
    std::uint32_t baud = 0;       // 0: B0, the program hangs up
    std::uint8_t stopBits = 0;    // 0 one, 2 two (a terminal has no one-and-a-half)
    std::uint8_t parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t wordLength = 8;  // 5..8
    bool hardwareFlow = false;
    bool extproc = false;

    bool SameLine(const LineSettings& o) const {
        return stopBits == o.stopBits && parity == o.parity && wordLength == o.wordLength;
    }
};

std::optional<LineSettings> ReadLineSettings(int fd);
// Sets EXTPROC on a pseudo-terminal (through its master), so that every settings change of the
// program reaches the master as a packet-mode notification.
bool ArmExtproc(int masterFd);
// Puts a pseudo-terminal master in packet mode and its slave in raw mode with EXTPROC.
bool PreparePtyMaster(int masterFd);
// A real serial device: raw, no modem-control waits, 8N1 at 9600 until the program says more.
bool PrepareDevice(int deviceFd);
// Mirrors what the program set (speed, stop bits, parity, flow control) onto a real device.
bool ApplyToDevice(int deviceFd, const LineSettings& settings);

}  // namespace kestrine::driver

namespace kestrine::driver {
// Discards what waits in a real device's queues, as the program asked for its own side.
void FlushDevice(int deviceFd, bool input, bool output);
}  // namespace kestrine::driver
