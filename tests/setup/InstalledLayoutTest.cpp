// What kestrine-setup does only for the installed root: the group model and the udev rules.
#include "setup/InstalledLayout.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "setup/Setup.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::setup;
namespace fs = std::filesystem;

namespace {

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(UdevRules, KeepEachIdentifiedDeviceRootOnlyAndAwayFromModemManager) {
    const std::string text = UdevRulesText({
        {"COM2", "/dev/ttyUSB0", "usb-Maker_Modem_A1B2-if00-port0", ""},
        {"COM3", "/dev/ttyS1", "", "ttyS1"},
        {"COM4", "/tmp/standin", "", ""},
        {"COM5", "/dev/odd", "bad\"name", ""},
    });
    EXPECT_NE(text.find("\n# COM2 = /dev/ttyUSB0\n"
                        "SUBSYSTEM==\"tty\", SYMLINK==\"serial/by-id/"
                        "usb-Maker_Modem_A1B2-if00-port0\", OWNER=\"root\", GROUP=\"root\", "
                        "MODE=\"0600\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("SUBSYSTEM==\"tty\", KERNEL==\"ttyS1\", OWNER=\"root\""), std::string::npos)
        << "a built-in port has no by-id name: its kernel name is stable";
    EXPECT_NE(text.find("# COM4 = /tmp/standin\n# no rule: udev does not manage this device"),
              std::string::npos);
    EXPECT_NE(text.find("# COM5 = /dev/odd\n# no rule"), std::string::npos)
        << "a name that would need quoting makes no rule";
    EXPECT_EQ(text.find("bad\""), std::string::npos);
}

TEST(UdevRules, IdentifyADeviceByItsByIdNameElseItsKernelName) {
    test::TempDir dir;
    fs::create_directories(dir / "by-id");
    fs::create_directories(dir / "tty" / "ttyS1");
    for (const char* device : {"ttyUSB0", "ttyUSB1", "ttyS1", "pts3"}) {
        test::WriteFile(dir / device, "");
    }
    fs::create_symlink("../ttyUSB1", dir / "by-id" / "usb-Other-if00");
    fs::create_symlink("../ttyUSB0", dir / "by-id" / "usb-Modem-if00-port0");
    auto identify = [&](const fs::path& device) {
        const auto m = IdentifyDevice("COM1", device.string(), dir / "by-id", dir / "tty");
        return m.byId + "|" + m.kernel;
    };
    EXPECT_EQ(identify(dir / "ttyUSB0"), "usb-Modem-if00-port0|");
    EXPECT_EQ(identify(dir / "by-id" / "usb-Modem-if00-port0"), "usb-Modem-if00-port0|");
    EXPECT_EQ(identify(dir / "ttyS1"), "|ttyS1");
    EXPECT_EQ(identify(dir / "pts3"), "|") << "udev does not manage it";
    EXPECT_EQ(identify(dir / "missing"), "|");
}

TEST(UdevRules, WrittenForRealDevicesRemovedWithoutThem) {
    test::TempDir dir;
    const auto rules = dir / "70-kestrine.rules";
    std::ostringstream out;
    driver::PortMap map{{1, {driver::PortBackend::Kind::Modem, ""}},
                        {2, {driver::PortBackend::Kind::Device, "/dev/kestrine-no-such-tty"}}};
    WriteUdevRules(map, rules, out);
    EXPECT_NE(test::ReadFile(rules).find("# COM2 = /dev/kestrine-no-such-tty"), std::string::npos);
    EXPECT_EQ(test::ReadFile(rules).find("COM1"), std::string::npos)
        << "the virtual modem needs none";
    EXPECT_EQ(ModeOf(rules), 0644u);

    map.erase(2);
    WriteUdevRules(map, rules, out);
    EXPECT_FALSE(fs::exists(rules));

    WriteUdevRules(map, dir / "no-udev" / "70-kestrine.rules", out);
    EXPECT_NE(out.str().find("udev is not installed"), std::string::npos) << out.str();
}

TEST(GroupModel, TheRootAndTheLogAreTheGroupsAndNothingElses) {
    test::TempDir dir;
    const auto root = dir / "root";
    const auto log = dir / "log" / "qdlog.log";
    fs::create_directories(root);
    test::WriteFile(root / "registry.db", "");
    const gid_t group = ::getegid();
    std::ostringstream out;
    ApplyGroupModel(root, log, group, out);

    EXPECT_EQ(ModeOf(root), 03771u) << "setgid, sticky, others only pass through to dev/";
    EXPECT_EQ(ModeOf(root / "registry.db"), 0660u);
    for (const char* folder : {"drivers", "device", "dev", "log", "run"}) {
        EXPECT_EQ(ModeOf(root / folder), 0755u) << folder;
    }
    EXPECT_EQ(ModeOf(log.parent_path()), 03770u);
    EXPECT_EQ(ModeOf(log), 0660u) << "the log is made when it is missing";
    ApplyGroupModel(root, log, group, out);  // again, as on every upgrade
    EXPECT_EQ(ModeOf(log), 0660u);
}

TEST(GroupModel, ALinkPlantedInPlaceOfAFileIsRefusedNotFollowed) {
    for (const std::string planted : {"root/registry.db", "log/qdlog.log"}) {
        SCOPED_TRACE(planted);
        test::TempDir dir;
        fs::create_directories(dir / "root");
        fs::create_directories(dir / "log");
        test::WriteFile(dir / "victim", "");
        fs::permissions(dir / "victim", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_symlink(dir / "victim", dir / planted);
        std::ostringstream out;
        EXPECT_THROW(ApplyGroupModel(dir / "root", dir / "log" / "qdlog.log", ::getegid(), out),
                     SetupError);
        EXPECT_EQ(ModeOf(dir / "victim"), 0600u);
    }
}
