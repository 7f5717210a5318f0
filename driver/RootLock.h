#pragma once
// One driver per system root.
//
// Rule: a driver publishes nothing (no port, no socket) and removes nothing of a root before it
// holds the root's lock, an exclusive flock on device/QDDRIVER.lock, and it holds that lock for its
// whole life; its port guard holds the same lock (the same open file description) until it has
// taken down what the driver left.
//
// Proof sketch: flock is granted to one open file description at a time and released by the
// kernel only when every descriptor of it is closed, i.e. when both the driver and its guard have
// ended, however they end (SIGKILL included). So no two drivers of one root, nor a driver and the
// guard of the one before it, ever work on the root's ports and socket at the same time: a stale
// driver that lost its socket blocks a new one instead of being run beside it, and a driver never
// removes what a live one made. A socket that answers is no longer the test of "another driver".
//
// Limits: the lock is cooperative: root can remove the lock file or the published ports by hand,
// and a lock file replaced while a driver runs lets a second one start (the file lies in a folder
// only root writes in the installed layout). A file of another owner, a link or anything but a
// regular file in the lock's place is refused rather than used, and opening it never blocks.
#include <chrono>
#include <filesystem>
#include <string>

#include "driver/UniqueFd.h"

namespace kestrine::driver {

// How long a new driver waits for the guard of the one before it to finish.
inline constexpr std::chrono::milliseconds kRootLockWait{3000};

// Takes the lock of the system root `root`, waiting up to `wait` for its holder to let go; an
// invalid descriptor with `error` set when another driver holds it or the lock cannot be used.
UniqueFd TakeRootLock(const std::filesystem::path& root, std::string& error,
                      std::chrono::milliseconds wait = kRootLockWait);

}  // namespace kestrine::driver
