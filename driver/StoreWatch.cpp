#include "driver/StoreWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include "driver/ServiceLog.h"
#include "platform/Registry.h"

namespace kestrine::driver {

namespace {
// How long a burst of writes to the store may go on before it is read.
constexpr auto kSettle = std::chrono::milliseconds(100);
}  // namespace

StoreWatch::StoreWatch(EventLoop& loop, std::filesystem::path database, Apply apply)
    : loop_(loop),
      database_(std::move(database)),
      apply_(std::move(apply)),
      store_(platform::Registry::Existing(database_)) {
    inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.Valid() ||
        ::inotify_add_watch(inotify_.Get(), database_.parent_path().c_str(),
                            IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                IN_DELETE | IN_ATTRIB | IN_ONLYDIR) < 0) {
        Say(Priority::Error, "cannot watch the settings store " + database_.string() +
                                 ": the allowed list is read at start only");
    } else {
        token_ = loop_.Add(inotify_.Get(), EPOLLIN, [this](std::uint32_t) { OnWatch(); });
    }
    timer_ = loop_.AddTimer([this] { return reloadAt_; },
                            [this] {
                                reloadAt_.reset();
                                Reload();
                            });
    Reload();
}

StoreWatch::~StoreWatch() {
    loop_.RemoveTimer(timer_);
    if (token_ != 0) {
        loop_.Remove(token_);
    }
}

void StoreWatch::OnWatch() {
    alignas(inotify_event) char buffer[4096];
    const std::string name = database_.filename().string();
    bool ours = false;
    for (;;) {
        const auto n = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            const std::string file = event->len > 0 ? std::string(event->name) : std::string();
            // The database and its write-ahead log; the shared-memory index changes on reads.
            ours =
                ours || (event->mask & IN_Q_OVERFLOW) != 0 || file == name || file == name + "-wal";
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (ours) {
        reloadAt_ = EventLoop::Clock::now() + kSettle;
    }
}

bool StoreWatch::Reload() {
    const std::vector<std::string> numbers = store_.LoadNumbers();
    if (store_.LoadError() != platform::ERROR_SUCCESS) {
        if (!failing_) {
            Say(Priority::Error,
                store_.LoadErrorText() + (last_ ? "; dials are judged by the list read before (" +
                                                      std::to_string(last_->size()) + " numbers)"
                                                : "; no number is allowed until it can be read"));
        }
        failing_ = true;
        return false;
    }
    if (failing_) {
        Say(Priority::Notice, "the settings store can be read again");
    }
    failing_ = false;
    if (!last_ || *last_ != numbers) {
        Say(Priority::Info, "allowed list read from the settings store: " +
                                std::to_string(numbers.size()) + " numbers");
        last_ = numbers;
        apply_(numbers);
    }
    return true;
}

}  // namespace kestrine::driver
