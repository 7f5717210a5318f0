#include "driver/TtySettings.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace kestrine::driver {

namespace {

// Standard rates keep their classic code, which every program and driver understands; others
// go as BOTHER with the rate itself.
tcflag_t SpeedCode(std::uint32_t baud) {
    static constexpr struct {
        std::uint32_t baud;
        tcflag_t code;
    } kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                  {150, B150},       {200, B200},       {300, B300},       {600, B600},
                  {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                  {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& rate : kRates) {
        if (rate.baud == baud) {
            return rate.code;
        }
    }
    return BOTHER;
}

bool Get(int fd, termios2& t) {
    return ioctl(fd, TCGETS2, &t) == 0;
}
bool Set(int fd, const termios2& t) {
    return ioctl(fd, TCSETS2, &t) == 0;
}

void MakeRaw(termios2& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    t.c_cflag |= CS8 | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

}  // namespace

std::optional<LineSettings> ReadLineSettings(int fd) {
    termios2 t{};
    if (!Get(fd, t)) {
        return std::nullopt;
    }
    LineSettings s;
    s.baud = (t.c_cflag & CBAUD) == B0 ? 0 : t.c_ospeed;
    s.stopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
    if ((t.c_cflag & PARENB) != 0) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        s.parity = (t.c_cflag & CMSPAR) != 0 ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.wordLength = 5;
            break;
        case CS6:
            s.wordLength = 6;
            break;
        case CS7:
            s.wordLength = 7;
            break;
        default:
            s.wordLength = 8;
            break;
    }
    s.hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    s.extproc = (t.c_lflag & EXTPROC) != 0;
    return s;
}

bool ArmExtproc(int masterFd) {
    termios2 t{};
    if (!Get(masterFd, t)) {
        return false;
    }
    t.c_lflag |= EXTPROC;
    return Set(masterFd, t);
}

bool PreparePtyMaster(int masterFd) {
    int on = 1;
    if (ioctl(masterFd, TIOCPKT, &on) != 0) {
        return false;
    }
    termios2 t{};
    if (!Get(masterFd, t)) {
        return false;
    }
    MakeRaw(t);
    t.c_lflag |= EXTPROC;
    return Set(masterFd, t);
}

bool PrepareDevice(int deviceFd) {
    termios2 t{};
    if (!Get(deviceFd, t)) {
        return false;
    }
    MakeRaw(t);
    t.c_cflag |= CLOCAL;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    t.c_cflag |= B9600;
    t.c_ispeed = t.c_ospeed = 9600;
    return Set(deviceFd, t);
}

bool ApplyToDevice(int deviceFd, const LineSettings& settings) {
    termios2 t{};
    if (!Get(deviceFd, t)) {
        return false;
    }
    t.c_cflag &=
        ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    if (settings.baud == 0) {
        t.c_cflag |= B0;  // drops DTR: the modem hangs up
    } else {
        t.c_cflag |= SpeedCode(settings.baud);
        t.c_ispeed = t.c_ospeed = settings.baud;
    }
    if (settings.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    if (settings.parity != 0) {
        t.c_cflag |= PARENB;
        if (settings.parity == 1 || settings.parity == 3) {
            t.c_cflag |= PARODD;
        }
        if (settings.parity >= 3) {
            t.c_cflag |= CMSPAR;
        }
    }
    if (settings.hardwareFlow) {
        t.c_cflag |= CRTSCTS;
    }
    return Set(deviceFd, t);
}

}  // namespace kestrine::driver

namespace kestrine::driver {
void FlushDevice(int deviceFd, bool input, bool output) {
    if (input || output) {
        ioctl(deviceFd, TCFLSH, input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH));
    }
}
}  // namespace kestrine::driver
