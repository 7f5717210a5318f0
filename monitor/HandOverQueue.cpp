#include "monitor/HandOverQueue.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kestrine::monitor {

namespace {

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

// The futex calls behind AwaitRelease and the wakes; a wake may reach a word whose item has gone
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
    std::uint32_t state = Item::kWaiting;
    if (item.state.compare_exchange_strong(state, Item::kDone, std::memory_order_acq_rel)) {
        return;  // the poster was looking and has its answer
    }
    static_assert(alignof(Item) > kLooking, "the look's flag shares the word with an Item*");
    // The poster sleeps; from here only its releaser changes its state. While a poster looks (or
    // is woken to), the sleeper is handed to it; else the serving thread wakes it and hands it
    // the look, so that the wakes after it are made by the posters again.
    item.state.store(Item::kHanded, std::memory_order_relaxed);
    auto look = look_.load(std::memory_order_acquire);
    for (;;) {
        if ((look & kLooking) == 0) {
            if (look_.compare_exchange_weak(look, kLooking, std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
                item.nextToWake = nullptr;
                return WakeWithLook(item);
            }
            continue;
        }
        item.nextToWake = reinterpret_cast<Item*>(look & ~kLooking);
        if (look_.compare_exchange_weak(look, reinterpret_cast<std::uintptr_t>(&item) | kLooking,
                                        std::memory_order_acq_rel, std::memory_order_acquire)) {
            return;
        }
    }
}

void HandOverQueue::WakeWithLook(Item& item) {
    woken_.fetch_add(1);
    // After the store the item may be gone: only its address is used.
    item.state.store(Item::kDoneWithLook, std::memory_order_release);
    FutexWake(item.state);
}

bool HandOverQueue::TakeLook() {
    std::uintptr_t free = 0;
    return woken_.load() == 0 &&
           look_.compare_exchange_strong(free, kLooking, std::memory_order_acq_rel);
}

void HandOverQueue::PassLook(Item* toWake) {
    if (toWake == nullptr) {
        std::uintptr_t nobody = kLooking;
        if (look_.compare_exchange_strong(nobody, 0, std::memory_order_acq_rel)) {
            return;  // nobody to wake: the look ends here
        }
        // Sleepers were handed over (only pushes happen meanwhile, so the stack stays non-empty).
        toWake = reinterpret_cast<Item*>(look_.exchange(kLooking, std::memory_order_acq_rel) &
                                         ~kLooking);
    }
    // One wake per poster: the woken poster takes over the look and the rest of the list, so the
    // wakes run one after another on the processor that runs the posters, each woken thread on
    // its own while the one that woke it goes about its next event.
    WakeWithLook(*toWake);
}

void HandOverQueue::AwaitRelease(Item& item) {
    auto answered = [&] { return item.state.load(std::memory_order_acquire) == Item::kDone; };
    // A look on the serving thread's processor would only take it from the serving thread.
    if (::sched_getcpu() != servingCpu_.load(std::memory_order_relaxed) && TakeLook()) {
        // The look ends with the answer, with sleepers handed over (one is woken and takes the
        // look over, and this poster sleeps, leaving it the processor) or with another poster
        // woken meanwhile, which needs the processor too.
        LookFor([&] {
            return answered() || look_.load(std::memory_order_acquire) != kLooking ||
                   woken_.load(std::memory_order_relaxed) != 0;
        });
        PassLook(nullptr);
        if (answered()) {
            return;
        }
    }
    std::uint32_t expected = Item::kWaiting;
    if (!item.state.compare_exchange_strong(expected, Item::kSleeping, std::memory_order_acq_rel)) {
        return;  // released meanwhile
    }
    std::uint32_t state = Item::kSleeping;
    while (state != Item::kDoneWithLook) {
        FutexWait(item.state, state);
        state = item.state.load(std::memory_order_acquire);
    }
    woken_.fetch_sub(1);
    PassLook(item.nextToWake);
}

void HandOverQueue::RunOnUiThread(const std::function<void()>& work) {
    Item item{&work};
    {
        std::lock_guard lock(mutex_);
        items_.push_back(&item);
        queuedCount_.fetch_add(1);
    }
    queued_.notify_one();
    if (waker_ && !wakeRequested_.exchange(true)) {
        waker_();
    }
    AwaitRelease(item);
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
