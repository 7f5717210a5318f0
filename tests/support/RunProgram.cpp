#include "tests/support/RunProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace kestrine::test {

ProgramRun RunProgram(std::vector<std::string> args, const std::filesystem::path& port,
                      std::chrono::seconds timeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    if (!args.empty()) {
        if (auto found = FindProgram(args[0]); !found.empty()) {
            args[0] = found;
        }
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in =
            port.empty() ? ::open("/dev/null", O_RDONLY) : ::open(port.c_str(), O_RDWR | O_NOCTTY);
        ::dup2(in, 0);
        ::dup2(port.empty() ? out[1] : in, 1);
        ::dup2(out[1], 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ProgramRun run;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[4096];
        const auto n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    // Programs such as ppp's chat live in sbin, which a user's PATH may lack.
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path != nullptr ? path : "/usr/bin:/bin") +
                            ":/usr/sbin:/sbin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const auto candidate = std::filesystem::path(dir) / name;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

bool HaveProgram(const std::string& name) {
    return !FindProgram(name).empty();
}

}  // namespace kestrine::test
