#include "monitor/HandOverQueue.h"

namespace kestrine::monitor {

HandOverQueue::HandOverQueue(Waker waker) : waker_(std::move(waker)) {}

void HandOverQueue::RunOnUiThread(const std::function<void()>& work) {
    Item item{&work, false, {}};
    {
        std::lock_guard lock(mutex_);
        items_.push_back(&item);
    }
    queued_.notify_one();
    if (waker_) {
        waker_();
    }
    std::unique_lock lock(mutex_);
    item.served.wait(lock, [&] { return item.done; });
}

std::size_t HandOverQueue::ServePending() {
    std::deque<Item*> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(items_);
    }
    for (Item* item : batch) {
        try {
            (*item->work)();
        } catch (...) {
            // A failed dispatch must not leave its poster waiting for ever.
        }
        std::lock_guard lock(mutex_);
        item->done = true;
        item->served.notify_one();
    }
    return batch.size();
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
