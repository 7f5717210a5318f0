#pragma once
// The service's own copy of the allowed list: read from the settings store (numbers/, read
// access only) at start and again whenever the store's files change, so that dials are judged by
// the stored list from boot, with or without an application.
//
// Watching: inotify on the store's folder for the database and its write-ahead log (written,
// replaced, created, removed); a burst of changes is read once, a moment after it ends. The
// connection stays open for the watch's life, so the service's own reads never make a change
// that wakes it again (a last connection's close would checkpoint the log).
//
// A store that cannot be read (missing, damaged, not readable) keeps the last list that was
// read, and is said once in the journal, as is its recovery; nothing the service does ever
// writes the store.
//
// Trust: members of kestrine write the store, and the service runs as root. Rule: the service
// takes nothing from the store but the allowed numbers, the same list a member's application
// pushes over the driver's socket anyway; so a member gains nothing by writing the store that the
// window and the socket did not give them already. The store is opened by its fixed path in the
// root folder, which is root's and sticky (a member cannot put a link or another file in its
// place), read with read access only, and a damaged database is an error, never a list.
// Limits: a crafted database still meets SQLite's reader as root, and its -wal and -shm files,
// which a member's process may have made, are opened by SQLite as they are for root's tray
// application and kestrine-setup (platform/Registry.h); a change that reaches the store
// while inotify is not watching (the folder replaced wholesale) is seen at the next change only.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/EventLoop.h"
#include "driver/UniqueFd.h"
#include "numbers/NumberListClass.h"

namespace kestrine::driver {

class StoreWatch {
public:
    using Apply = std::function<void(const std::vector<std::string>& numbers)>;

    // Reads the store at `database` now (handing a readable list to `apply`) and watches it.
    StoreWatch(EventLoop& loop, std::filesystem::path database, Apply apply);
    ~StoreWatch();
    StoreWatch(const StoreWatch&) = delete;
    StoreWatch& operator=(const StoreWatch&) = delete;

    // Reads the store now; true when it could be read.
    bool Reload();

private:
    void OnWatch();

    EventLoop& loop_;
    std::filesystem::path database_;
    Apply apply_;
    numbers::TNumberList store_;
    UniqueFd inotify_;
    std::uint64_t token_ = 0;
    std::uint64_t timer_ = 0;
    std::optional<EventLoop::Clock::time_point> reloadAt_;
    std::optional<std::vector<std::string>> last_;  // the list handed on last
    bool failing_ = false;
};

}  // namespace kestrine::driver
