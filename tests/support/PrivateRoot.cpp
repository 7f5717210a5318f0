#include "tests/support/PrivateRoot.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SystemRoot.h"

namespace kestrine::test {

namespace fs = std::filesystem;

PrivateRoot::PrivateRoot() {
    if (const char* previous = std::getenv(platform::kSystemRootVariable)) {
        hadRoot_ = true;
        previousRoot_ = previous;
    }
    ::setenv(platform::kSystemRootVariable, dir_.Path().c_str(), 1);
}

PrivateRoot::~PrivateRoot() {
    StopServices();
    if (hadRoot_) {
        ::setenv(platform::kSystemRootVariable, previousRoot_.c_str(), 1);
    } else {
        ::unsetenv(platform::kSystemRootVariable);
    }
}

void PrivateRoot::InstallDriverImage(const fs::path& builtDriver) const {
    fs::create_directories(platform::SystemDirectory(Path()));
    fs::copy_file(builtDriver, platform::SystemDirectory(Path()) / "QDDRIVER.sys",
                  fs::copy_options::overwrite_existing);
}

void PrivateRoot::MakeRegistryReadOnly() const {
    const auto db = platform::RegistryDatabasePath(Path());
    platform::RegKey key;
    platform::Registry(db).CreateKey("SOFTWARE", platform::KEY_READ | platform::KEY_WRITE, key);
    key = platform::RegKey();
    for (const auto& file : {db, fs::path(db.string() + "-wal"), fs::path(db.string() + "-shm")}) {
        std::error_code ec;
        fs::permissions(file,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, ec);
    }
}

void PrivateRoot::StopServices() const {
    std::error_code ec;
    const auto run = platform::ServiceRunDirectory(Path());
    if (!fs::exists(run, ec)) {
        return;
    }
    for (const auto& entry : fs::directory_iterator(run, ec)) {
        pid_t pid = 0;
        std::ifstream(entry.path()) >> pid;
        if (pid <= 0 || ::kill(pid, SIGTERM) != 0) {
            continue;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            if (const auto close = line.rfind(')');
                close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
                break;  // ended; its new parent has not reaped it yet
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (::kill(pid, 0) == 0) {
            ::kill(pid, SIGKILL);
        }
        fs::remove(entry.path(), ec);
    }
}

}  // namespace kestrine::test
