#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/SystemRoot.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::platform;
namespace fs = std::filesystem;

namespace {

class ServiceControlTest : public ::testing::Test {
protected:
    test::PrivateRoot root;
    ServiceManager services{root.Path(), Registry(RegistryDatabasePath(root.Path())),
                            std::chrono::milliseconds(3000)};

    ServiceConfig Driver(const fs::path& image) const {
        ServiceConfig config;
        config.name = "QDDRIVER";
        config.displayName = "QDDRIVER";
        config.imagePath = image.string();
        return config;
    }

    // Creates the entry for `image` and starts it; returns the start's outcome.
    Win32Error CreateAndStart(const fs::path& image, const ServiceManager& manager) {
        ScHandle scm;
        ScHandle service;
        EXPECT_EQ(manager.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm),
                  ERROR_SUCCESS);
        EXPECT_EQ(manager.CreateService(scm, Driver(image), SERVICE_ALL_ACCESS, service),
                  ERROR_SUCCESS);
        return manager.StartService(service);
    }

    fs::path Script(const std::string& name, const std::string& body,
                    fs::perms mode = fs::perms::owner_all) {
        const auto path = root / name;
        std::ofstream(path) << body;
        fs::permissions(path, mode);
        return path;
    }
};

}  // namespace

TEST_F(ServiceControlTest, EntriesLiveInTheRegistryAndAreCreatedOnce) {
    // The driver's own configuration may be there before its entry is.
    RegKey parameters;
    ASSERT_EQ(Registry(RegistryDatabasePath(root.Path()))
                  .CreateKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)",
                             KEY_READ | KEY_WRITE, parameters),
              ERROR_SUCCESS);
    ScHandle scm;
    ASSERT_EQ(services.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm), ERROR_SUCCESS);
    ScHandle service;
    EXPECT_EQ(services.OpenService(scm, "QDDRIVER", SERVICE_START, service),
              ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_EQ(
        services.CreateService(scm, Driver("/nowhere/QDDRIVER.sys"), SERVICE_ALL_ACCESS, service),
        ERROR_SUCCESS);
    EXPECT_TRUE(service.IsValid());
    EXPECT_EQ(services.CreateService(scm, Driver("/elsewhere"), SERVICE_ALL_ACCESS, service),
              ERROR_SERVICE_EXISTS);
    EXPECT_FALSE(service.IsValid());

    RegKey key;
    ASSERT_EQ(Registry(RegistryDatabasePath(root.Path()))
                  .OpenKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER)", KEY_READ, key),
              ERROR_SUCCESS);
    RegValue value;
    ASSERT_EQ(key.QueryValue("Type", value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), SERVICE_KERNEL_DRIVER);
    ASSERT_EQ(key.QueryValue("Start", value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), SERVICE_DEMAND_START);
    ASSERT_EQ(key.QueryValue("ErrorControl", value), ERROR_SUCCESS);
    EXPECT_EQ(value.AsDword(), SERVICE_ERROR_IGNORE);
    ASSERT_EQ(key.QueryValue("ImagePath", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, "/nowhere/QDDRIVER.sys");
    ASSERT_EQ(key.QueryValue("DisplayName", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, "QDDRIVER");

    EXPECT_EQ(services.OpenService(scm, "QDDRIVER", SERVICE_START, service), ERROR_SUCCESS);
    EXPECT_EQ(services.OpenService(scm, "OTHER", SERVICE_START, service),
              ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServiceControlTest, FullAccessToTheManagerNeedsAWritableStore) {
    ScHandle scm;
    EXPECT_EQ(services.OpenSCManager("ServicesFailed", SC_MANAGER_CONNECT, scm),
              ERROR_INVALID_NAME);
    root.MakeRegistryReadOnly();
    EXPECT_EQ(services.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(scm.IsValid());
    EXPECT_EQ(services.OpenSCManager(kServicesActive, SC_MANAGER_CONNECT, scm), ERROR_SUCCESS);
}

TEST_F(ServiceControlTest, StartFailuresHaveTheirCodes) {
    struct Case {
        std::string name;
        fs::path image;
        Win32Error error;
    };
    const std::vector<Case> cases{
        {"missing image", root / "missing.sys", ERROR_FILE_NOT_FOUND},
        {"not executable", Script("plain.sys", "#!/bin/sh\nexit 0\n", fs::perms::owner_read),
         ERROR_ACCESS_DENIED},
        {"not a program", Script("garbage.sys", "this is no program\n"), ERROR_BAD_EXE_FORMAT},
        {"ends at once", Script("ends.sys", "#!/bin/sh\necho starting; exit 3\n"),
         ERROR_PROCESS_ABORTED},
        {"never ready", Script("slow.sys", "#!/bin/sh\nexec sleep 60\n"),
         ERROR_SERVICE_REQUEST_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::PrivateRoot caseRoot;
        ServiceManager manager(caseRoot.Path(), Registry(RegistryDatabasePath(caseRoot.Path())),
                               std::chrono::milliseconds(400));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(CreateAndStart(c.image, manager), c.error);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_FALSE(fs::exists(manager.PidFile("QDDRIVER")))
            << "a failed start leaves no daemon behind";
    }
    // A daemon's output goes to the service log.
    test::PrivateRoot logRoot;
    ServiceManager manager(logRoot.Path(), Registry(RegistryDatabasePath(logRoot.Path())));
    CreateAndStart(Script("talks.sys", "#!/bin/sh\necho hello from the driver; exit 1\n"), manager);
    std::ifstream log(ServiceLogDirectory(logRoot.Path()) / "QDDRIVER.log");
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line, "hello from the driver");
}

TEST_F(ServiceControlTest, StartsTheDriverAsADaemonOnceItsDeviceIsReady) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    EXPECT_EQ(CreateAndStart(SystemDirectory(root.Path()) / "QDDRIVER.sys", services),
              ERROR_SUCCESS);
    EXPECT_TRUE(fs::exists(DeviceSocketPath("QDDRIVER", root.Path())));
    EXPECT_TRUE(fs::exists(services.PidFile("QDDRIVER")));

    ScHandle scm;
    ScHandle service;
    services.OpenSCManager(kServicesActive, SC_MANAGER_CONNECT, scm);
    ASSERT_EQ(services.OpenService(scm, "QDDRIVER", SERVICE_START, service), ERROR_SUCCESS);
    EXPECT_EQ(services.StartService(service), ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_EQ(services.OpenService(scm, "QDDRIVER", SERVICE_STOP, service), ERROR_SUCCESS);
    EXPECT_EQ(services.StartService(service), ERROR_ACCESS_DENIED)
        << "the handle lacks the right to start";
}

TEST(InstalledLayout, OnlyTheInstalledRootFollowsItsRules) {
    for (const char* installed :
         {"/var/lib/kestrine", "/var/lib/kestrine/", "/var/lib/../lib/kestrine"}) {
        EXPECT_TRUE(IsInstalledRoot(installed)) << installed;
    }
    test::PrivateRoot root;
    EXPECT_FALSE(IsInstalledRoot());
    EXPECT_FALSE(IsInstalledRoot("/var/lib/kestrine2"));
    EXPECT_FALSE(AccessGroup()) << "a private root is shared with no group";
}

TEST_F(ServiceControlTest, InTheInstalledLayoutOnlyRootAdministers) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // A store every user may write, as every member of group kestrine may write the installed one.
    ScHandle scm;
    ASSERT_EQ(services.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm), ERROR_SUCCESS);
    fs::permissions(root.Path(), fs::perms::all);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const fs::path file = RegistryDatabasePath(root.Path()).string() + suffix;
        if (fs::exists(file)) {
            fs::permissions(file, fs::perms::all);
        }
    }
    auto asNobody = [&](bool rootOnly) {
        ServiceManager manager(root.Path(), Registry(RegistryDatabasePath(root.Path())));
        manager.SetAdministratorIsRoot(rootOnly);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(99);
            }
            ScHandle handle;
            ::_exit(static_cast<int>(
                manager.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, handle)));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asNobody(false), static_cast<int>(ERROR_SUCCESS)) << "a private root: write access";
    EXPECT_EQ(asNobody(true), static_cast<int>(ERROR_ACCESS_DENIED)) << "installed: root only";
    services.SetAdministratorIsRoot(true);
    EXPECT_EQ(services.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm), ERROR_SUCCESS);
}

TEST_F(ServiceControlTest, InTheInstalledLayoutOnlyAnImageInTheSystemDirectoryIsRun) {
    // Members may write ImagePath: one that leads elsewhere is never launched as root.
    services.SetAdministratorIsRoot(true);
    const auto elsewhere =
        Script("elsewhere.sys", "#!/bin/sh\ntouch " + (root / "ran").string() + "\n");
    EXPECT_EQ(CreateAndStart(elsewhere, services), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(root / "ran"));

    test::PrivateRoot other;
    other.InstallDriverImage(QDDRIVER_BINARY);
    ServiceManager manager(other.Path(), Registry(RegistryDatabasePath(other.Path())));
    manager.SetAdministratorIsRoot(true);
    EXPECT_EQ(
        CreateAndStart(SystemDirectory(other.Path()) / ".." / "drivers" / "QDDRIVER.sys", manager),
        ERROR_SUCCESS);
}

TEST_F(ServiceControlTest, AStartHandedToSystemdGoesThroughItsUnitAndWaitsForTheDevice) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    const auto image = SystemDirectory(root.Path()) / "QDDRIVER.sys";
    const auto calls = root / "systemctl.calls";
    struct Case {
        std::string name;
        std::string body;  // what the stand-in for systemctl does after noting its arguments
        Win32Error error;
    };
    const std::vector<Case> cases{
        {"the unit failed", "exit 1", ERROR_PROCESS_ABORTED},
        {"started, never ready", "exit 0", ERROR_SERVICE_REQUEST_TIMEOUT},
        // (its pid file tells the private root to stop it at the end)
        {"started",
         "mkdir -p '" + ServiceRunDirectory(root.Path()).string() + "'\nKESTRINE_ROOT='" +
             root.Path().string() + "' setsid '" + image.string() +
             "' >/dev/null 2>&1 </dev/null &\necho $! >'" +
             (ServiceRunDirectory(root.Path()) / "unit.pid").string() + "'\nexit 0",
         ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(calls);
        const auto systemctl = Script(
            "systemctl", "#!/bin/sh\necho \"$@\" >>'" + calls.string() + "'\n" + c.body + "\n");
        ServiceManager manager(root.Path(), Registry(RegistryDatabasePath(root.Path())),
                               std::chrono::milliseconds(2000));
        manager.HandStartsToUnit("qddriver", "kestrine-driver.service", systemctl);
        ScHandle scm;
        ScHandle service;
        ASSERT_EQ(manager.OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, scm),
                  ERROR_SUCCESS);
        const auto created = manager.CreateService(scm, Driver(image), SERVICE_ALL_ACCESS, service);
        ASSERT_TRUE(created == ERROR_SUCCESS || created == ERROR_SERVICE_EXISTS);
        ASSERT_EQ(manager.OpenService(scm, "QDDRIVER", SERVICE_START, service), ERROR_SUCCESS);
        EXPECT_EQ(manager.StartService(service), c.error);
        EXPECT_EQ(test::ReadFile(calls), "start kestrine-driver.service\n");
        EXPECT_FALSE(fs::exists(manager.PidFile("QDDRIVER"))) << "the image was not launched";
    }
}

// Links planted in the root by someone else: the start neither writes through them nor changes
// what they point to.
TEST_F(ServiceControlTest, LinksPlantedInTheRootAreNotFollowed) {
    struct Case {
        const char* planted;  // relative to the root
        bool folder;          // the link stands for a folder
        bool starts;
    };
    const Case cases[] = {
        {"run/QDDRIVER.pid", false, true},
        {"log/QDDRIVER.log", false, true},
        {"run", true, true},
        {"device", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.planted);
        test::PrivateRoot caseRoot;
        caseRoot.InstallDriverImage(QDDRIVER_BINARY);
        test::TempDir victim;
        const fs::path target = c.folder ? victim.Path() : victim / "file";
        if (!c.folder) {
            test::WriteFile(target, "not the driver's");
        }
        fs::permissions(victim.Path(), fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directories((caseRoot / c.planted).parent_path());
        fs::create_symlink(target, caseRoot / c.planted);

        ServiceManager manager(caseRoot.Path(), Registry(RegistryDatabasePath(caseRoot.Path())),
                               std::chrono::milliseconds(3000));
        EXPECT_EQ(CreateAndStart(SystemDirectory(caseRoot.Path()) / "QDDRIVER.sys", manager) ==
                      ERROR_SUCCESS,
                  c.starts);
        caseRoot.StopServices();
        EXPECT_TRUE(fs::is_symlink(caseRoot / c.planted) || !c.folder);
        EXPECT_EQ(fs::status(victim.Path()).permissions(), fs::perms::owner_all);
        if (c.folder) {
            EXPECT_TRUE(fs::is_empty(victim.Path()));
        } else {
            EXPECT_EQ(test::ReadFile(target), "not the driver's");
        }
    }
}
