// kestrine-ctl: shows and changes what Kestrine does, from a shell (see Ctl.h).
#include <chrono>
#include <iostream>
#include <thread>

#include "ctl/Ctl.h"
#include "ctl/TerminalPrompts.h"
#include "platform/SystemRoot.h"

int main(int argc, char** argv) {
    kestrine::ctl::TerminalPrompts prompts;
    kestrine::ctl::CtlEnvironment environment{prompts, std::cout, std::cerr,
                                              kestrine::platform::kInstalledProgramDirectory};
    // `log -f` looks for new lines twice a second until it is interrupted.
    environment.keepFollowing = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return true;
    };
    return kestrine::ctl::RunCtl({argv + 1, argv + argc}, environment);
}
