#include "monitor/HandOverQueue.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrine::monitor {

namespace {

// Waking a sleeping thread costs more on these machines than the log write a hand-over carries.
// Where the other side is running on another processor (one busy port: the poster while its
// line is written, the serving thread while the poster fetches its next event) each looks for
// the other's answer for a short while before it sleeps. The look never yields: on a busy
// machine a yield hands the processor to another program for a whole time slice, while a thread
// that sleeps is woken promptly.
constexpr auto kLook = std::chrono::microseconds(30);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

template <typename Ready>
bool LookFor(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kLook;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (ready()) {
                return true;
            }
            CpuRelax();
        }
        if (std::chrono::steady_clock::now() >= until) {
            return ready();
        }
    }
}

// The futex calls behind AwaitRelease and Release; a wake may reach a word whose item has gone
// (the kernel only uses the address), and a waiter re-checks its word after every return.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
              nullptr, nullptr, 0);
}

void FutexWake(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
              nullptr, 0);
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

}  // namespace

HandOverQueue::HandOverQueue(Waker waker) : waker_(std::move(waker)) {}

void HandOverQueue::Release(Item& item) {
    // After the exchange the item may be gone: only its address is used.
    if (item.state.exchange(Item::kDone, std::memory_order_acq_rel) == Item::kSleeping) {
        FutexWake(item.state);
    }
}

void HandOverQueue::AwaitRelease(Item& item, bool lookFirst) const {
    if (lookFirst && ::sched_getcpu() != servingCpu_.load(std::memory_order_relaxed) &&
        LookFor([&] { return item.state.load(std::memory_order_acquire) == Item::kDone; })) {
        return;
    }
    std::uint32_t expected = Item::kWaiting;
    if (!item.state.compare_exchange_strong(expected, Item::kSleeping, std::memory_order_acq_rel)) {
        return;  // released meanwhile
    }
    while (item.state.load(std::memory_order_acquire) != Item::kDone) {
        FutexWait(item.state, Item::kSleeping);
    }
}

void HandOverQueue::RunOnUiThread(const std::function<void()>& work) {
    Item item{&work};
    const bool alone = waiting_.fetch_add(1) == 0;
    {
        std::lock_guard lock(mutex_);
        items_.push_back(&item);
        queuedCount_.fetch_add(1);
    }
    queued_.notify_one();
    if (waker_ && !wakeRequested_.exchange(true)) {
        waker_();
    }
    // Behind other posters a look would only take a processor from the threads that serve them
    // or prepare their next events.
    AwaitRelease(item, alone);
    waiting_.fetch_sub(1);
}

std::size_t HandOverQueue::ServeBatch() {
    wakeRequested_.store(false);
    servingCpu_.store(::sched_getcpu(), std::memory_order_relaxed);
    // A local batch, since a call may run a nested event loop that serves the queue again; it
    // reuses the spare's memory, so a steady stream allocates nothing.
    std::vector<Item*> batch = std::move(spare_);
    batch.clear();
    {
        std::lock_guard lock(mutex_);
        batch.swap(items_);
        queuedCount_.store(0);
    }
    for (Item* item : batch) {
        try {
            (*item->work)();
        } catch (...) {
            // A failed dispatch must not leave its poster waiting for ever.
        }
        Release(*item);
    }
    const std::size_t served = batch.size();
    batch.clear();
    spare_ = std::move(batch);
    return served;
}

std::size_t HandOverQueue::ServePending() {
    std::size_t served = 0;
    for (;;) {
        const std::size_t n = ServeBatch();
        served += n;
        // A poster whose call just ran usually posts its next one within microseconds.
        if (n == 0 || !LookFor([this] { return queuedCount_.load() != 0; })) {
            return served;
        }
    }
}

void HandOverQueue::ServeUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds wakeInterval) {
    for (;;) {
        ServePending();
        if (done()) {
            return;
        }
        std::unique_lock lock(mutex_);
        const auto seen = wakeCount_;
        queued_.wait_for(lock, wakeInterval, [&] { return !items_.empty() || wakeCount_ != seen; });
    }
}

std::size_t HandOverQueue::WaitAndServe(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        const auto seen = wakeCount_;
        queued_.wait_for(lock, timeout, [&] { return !items_.empty() || wakeCount_ != seen; });
    }
    return ServePending();
}

void HandOverQueue::Wake() {
    {
        std::lock_guard lock(mutex_);
        ++wakeCount_;
    }
    queued_.notify_all();
}

}  // namespace kestrine::monitor
