#include "platform/Process.h"

#include <mutex>
#include <random>
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
