#include "platform/Process.h"

#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace kestrine::platform {

namespace {

std::mutex gRandomMutex;
std::mt19937_64 gRandom{5489u};

}  // namespace

std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

bool RunAsBatchWork() {
    // Pid 0 is the calling thread; an unprivileged thread may always move to SCHED_BATCH.
    const sched_param param{};
    return ::sched_setscheduler(0, SCHED_BATCH, &param) == 0;
}

bool ProcessAlive(int pid) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    // The state follows the command name, which is in parentheses and may hold anything.
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

void SleepMs(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void Randomize() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    RandSeed(static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
}

void RandSeed(unsigned long long seed) {
    std::lock_guard lock(gRandomMutex);
    gRandom.seed(seed);
}

int Random(int range) {
    if (range <= 0) {
        return 0;
    }
    std::lock_guard lock(gRandomMutex);
    return std::uniform_int_distribution<int>(0, range - 1)(gRandom);
}

}  // namespace kestrine::platform
