// The settings store with long allowed lists: SaveNumbers into an empty store, SaveNumbers that
// replaces a stored list of the same length, and LoadNumbers, for 10, 1,000 and 10,000 numbers
// (median of five). The baseline is SQLite itself: the same number of rows written by one prepared
// statement in one transaction into a bare table in the same folder, with the same journal
// settings. Every load is checked
// against the list saved last.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Runs.h"
#include "numbers/NumberListClass.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRepeats = 5;

std::vector<std::string> Numbers(char series, int count) {
    std::vector<std::string> numbers;
    numbers.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "+%c9 800 %07d", series, i);
        numbers.emplace_back(text);
    }
    return numbers;
}

template <typename F>
double Ms(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One transaction of `count` prepared inserts into a bare table: what the store's save costs at
// least.
double RawInsertMs(const std::filesystem::path& folder, const std::vector<std::string>& rows) {
    sqlite3* db = nullptr;
    sqlite3_open((folder / "raw.db").c_str(), &db);
    // The registry's own journal settings, so that the ratio shows the store's overhead alone.
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 " CREATE TABLE t(name TEXT, data BLOB)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?1, ?1)", -1, &insert, nullptr);
    const double ms = Ms([&] {
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (const auto& row : rows) {
            sqlite3_bind_text(insert, 1, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    });
    sqlite3_finalize(insert);
    sqlite3_close(db);
    std::filesystem::remove(folder / "raw.db");
    return ms;
}

}  // namespace

int main() {
    double save10000 = 0;
    double raw10000 = 0;
    std::printf("medians of %d runs, (spread) in ms\n", kRepeats);
    std::printf("%8s %20s %20s %20s %20s\n", "numbers", "first save", "replace", "load",
                "raw insert");
    for (int count : {10, 1000, 10000}) {
        const auto a = Numbers('1', count);
        const auto b = Numbers('2', count);
        bench::Runs first;
        bench::Runs replace;
        bench::Runs load;
        bench::Runs raw;
        for (int repeat = 0; repeat < kRepeats; ++repeat) {
            test::TempDir dir;
            numbers::TNumberList store{platform::Registry(dir / "registry.db")};
            store.SetPIN("warm");  // the database exists before the first measurement
            first.Add(Ms([&] { store.SaveNumbers(a); }));
            replace.Add(Ms([&] { store.SaveNumbers(b); }));
            std::vector<std::string> loaded;
            load.Add(Ms([&] { loaded = store.LoadNumbers(); }));
            if (loaded != b) {
                std::fprintf(stderr, "LoadNumbers gave %zu numbers, not the %d saved\n",
                             loaded.size(), count);
                return EXIT_FAILURE;
            }
            raw.Add(RawInsertMs(dir.Path(), b));
        }
        auto cell = [](const bench::Runs& runs) {
            char text[64];
            std::snprintf(text, sizeof text, "%.2f (%.2f..%.2f)", runs.Median(), runs.Min(),
                          runs.Max());
            return std::string(text);
        };
        std::printf("%8d %20s %20s %20s %20s\n", count, cell(first).c_str(), cell(replace).c_str(),
                    cell(load).c_str(), cell(raw).c_str());
        if (count == 10000) {
            save10000 = replace.Median();
            raw10000 = raw.Median();
        }
    }
    std::printf("store-save-10000 vs raw insert ratio %.2f\n", save10000 / raw10000);
    std::printf("store-save-10000 ms %.2f\n", save10000);
    return EXIT_SUCCESS;
}
