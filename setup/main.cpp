// kestrine-setup: the installation step (see Setup.h).
#include <iostream>
#include <string>
#include <vector>

#include "platform/SystemRoot.h"
#include "setup/Setup.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "--version") {
        std::cout << "kestrine-setup " << KESTRINE_VERSION << '\n';
        return 0;
    }
    return kestrine::setup::RunSetup(args, kestrine::platform::SystemRoot(), std::cout, std::cerr);
}
