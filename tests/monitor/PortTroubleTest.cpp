#include "monitor/PortTrouble.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "monitor/AllowListPush.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::monitor;

// A refused port names itself, its device and why; for a device held by another process, that
// process as its lock file names it (its name shown as plain text).
TEST(PortTrouble, ARefusedPortSaysWhichDeviceAndWhy) {
    test::TempDir locks;
    test::TempDir proc;
    test::WriteFile(locks / "LCK..ttyUSB0", "         1\n");
    std::filesystem::create_directories(proc / "1");
    test::WriteFile(proc / "1" / "comm", "systemd\n");
    test::WriteFile(locks / "LCK..ttyUSB1", "      4242\n");
    std::filesystem::create_directories(proc / "4242");
    test::WriteFile(proc / "4242" / "comm", "evil\x1b[2Jname\n");
    test::WriteFile(locks / "LCK..ttyUSB2", "garbage\n");

    const std::string busy = SystemErrorText(platform::ERROR_BUSY);
    struct Case {
        int com;
        platform::Win32Error error;
        std::string backend;
        std::string expected;
    };
    const Case cases[] = {
        {2, platform::ERROR_BUSY, "/dev/ttyUSB0",
         "COM2: /dev/ttyUSB0 is locked by process 1 (systemd)"},
        {4, platform::ERROR_BUSY, "/dev/ttyUSB1",
         "COM4: /dev/ttyUSB1 is locked by process 4242 (evil?[2Jname)"},
        {5, platform::ERROR_BUSY, "/dev/ttyUSB2", "COM5: /dev/ttyUSB2 cannot be attached: " + busy},
        {6, platform::ERROR_BUSY, "/dev/ttyUSB9", "COM6: /dev/ttyUSB9 cannot be attached: " + busy},
        {7, platform::ERROR_ACCESS_DENIED, "/dev/ttyUSB0",
         "COM7: /dev/ttyUSB0 cannot be attached: " +
             SystemErrorText(platform::ERROR_ACCESS_DENIED)},
        {8, platform::ERROR_GEN_FAILURE, "",
         "COM8: the port cannot be attached: " + SystemErrorText(platform::ERROR_GEN_FAILURE)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeAttachFailure(c.com, c.error, c.backend, locks.Path(), proc.Path()),
                  c.expected);
    }
}
