// Start-up: from process start until the tray icon is up with monitoring running (the driver
// installed as a service and started, the ports attached, the list sent), against a bare Qt tray
// application in the same run; then the resident memory and the wake-ups while idle.
//   bench_startup <kestrine> <kestrine-setup> <bare-tray>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/Runs.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Started {
    pid_t pid = -1;
    double ms = -1;
};

// Starts `program` with KESTRINE_READY_FD and waits for its byte.
Started StartAndWait(const std::string& program, const fs::path& root, const fs::path& runtime) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return {};
    }
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        ::setenv("KESTRINE_READY_FD", std::to_string(ready[1]).c_str(), 1);
        ::setenv("KESTRINE_ROOT", root.c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    pollfd pfd{ready[0], POLLIN, 0};
    char byte = 0;
    Started started{pid, -1};
    if (::poll(&pfd, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1) {
        started.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    ::close(ready[0]);
    return started;
}

long StatusField(pid_t pid, const std::string& field, const std::string& task = "") {
    std::ifstream status("/proc/" + std::to_string(pid) + (task.empty() ? "" : "/task/" + task) +
                         "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return 0;
}

// Voluntary context switches of all the process's threads: each is a wake-up.
long WakeUps(pid_t pid) {
    long total = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        total += StatusField(pid, "voluntary_ctxt_switches", task.path().filename().string());
    }
    return total;
}

void Stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_startup <kestrine> <kestrine-setup> <bare-tray>\n");
        return 2;
    }
    const std::string kestrine = argv[1];
    const std::string setup = argv[2];
    const std::string bare = argv[3];
    constexpr int kRuns = 7;
    kestrine::bench::Runs app;
    kestrine::bench::Runs baseline;
    long rssKiB = 0;
    double idleWakeUps = -1;
    for (int run = 0; run < kRuns; ++run) {
        char pattern[] = "/tmp/kestrine-bench-XXXXXX";
        const fs::path dir = ::mkdtemp(pattern);
        const fs::path root = dir / "root";
        fs::copy_file(kestrine, dir / "kestrine");
        const std::string prepare = "KESTRINE_ROOT='" + root.string() + "' '" + setup +
                                    "' --ports COM1=modem,COM3=modem >/dev/null";
        if (std::system(prepare.c_str()) != 0) {
            std::fprintf(stderr, "kestrine-setup failed\n");
            return 1;
        }
        const Started b = StartAndWait(bare, root, dir);
        baseline.Add(b.ms);
        Stop(b.pid);

        const Started k = StartAndWait((dir / "kestrine").string(), root, dir);
        if (k.ms < 0 || !fs::exists(root / "dev" / "COM1")) {
            std::fprintf(stderr, "kestrine did not come up with monitoring running\n");
            return 1;
        }
        app.Add(k.ms);
        if (run == kRuns - 1) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rssKiB = StatusField(k.pid, "VmRSS");
            const long before = WakeUps(k.pid);
            std::this_thread::sleep_for(std::chrono::seconds(3));
            idleWakeUps = (WakeUps(k.pid) - before) / 3.0;
        }
        Stop(k.pid);
        std::ifstream pidFile(root / "run" / "QDDRIVER.pid");
        pid_t driver = 0;
        if (pidFile >> driver && driver > 0) {
            ::kill(driver, SIGTERM);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        fs::remove_all(dir);
    }
    baseline.Print("bare Qt tray application, to ready:", "ms");
    app.Print("kestrine with monitoring, to ready:", "ms");
    std::printf("(driver started, 2 ports attached, list sent)\n");
    std::printf("startup vs bare ratio %.2f (target: at most 1.5)\n",
                app.Median() / baseline.Median());
    std::printf("idle wake-ups per second: %.1f\n", idleWakeUps);
    std::printf("startup ms %.1f\n", app.Median());
    std::printf("rss-mib %.1f\n", rssKiB / 1024.0);
    return 0;
}
