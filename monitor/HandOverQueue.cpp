#include "monitor/HandOverQueue.h"

#include <thread>

namespace kestrine::monitor {

namespace {

// Waking a sleeping thread costs tens of microseconds on these machines, more than the log write
// a hand-over carries. Both sides therefore look for the other's answer for a short while before
// they sleep; a steady stream of events then passes without a single wake-up, and an idle queue
// costs one short spin after its last event.
constexpr auto kSpin = std::chrono::microseconds(50);

template <typename Ready>
bool SpinFor(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    do {
        if (ready()) {
            return true;
        }
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return ready();
}

}  // namespace

HandOverQueue::HandOverQueue(Waker waker) : waker_(std::move(waker)) {}

void HandOverQueue::RunOnUiThread(const std::function<void()>& work) {
    Item item{&work, {}, {}};
    std::size_t ahead = 0;
    {
        std::lock_guard lock(mutex_);
        ahead = items_.size();
        items_.push_back(&item);
        queuedCount_.fetch_add(1);
    }
    queued_.notify_one();
    if (waker_ && !wakeRequested_.exchange(true)) {
        waker_();
    }
    // Spinning only pays when this call is next in line; behind others it would only take the
    // processor from the thread that serves them.
    if (ahead == 0 && SpinFor([&] { return item.done.load(); })) {
        // The user-interface thread sets `done` and notifies under the mutex: taking it once
        // makes sure it has let go of the item before the item goes.
        std::lock_guard lock(mutex_);
        return;
    }
    std::unique_lock lock(mutex_);
    item.served.wait(lock, [&] { return item.done.load(); });
}

std::size_t HandOverQueue::ServeBatch() {
    wakeRequested_.store(false);
    std::deque<Item*> batch;
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
        std::lock_guard lock(mutex_);
        item->done.store(true);
        item->served.notify_one();
    }
    return batch.size();
}

std::size_t HandOverQueue::ServePending() {
    std::size_t served = 0;
    for (;;) {
        const std::size_t n = ServeBatch();
        served += n;
        // A poster whose call just ran usually posts its next one within microseconds.
        if (n == 0 || !SpinFor([this] { return queuedCount_.load() != 0; })) {
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
