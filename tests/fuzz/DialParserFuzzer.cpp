// Fuzzes the AT command parsing of the dial blocker and the virtual modem with arbitrary program
// and modem bytes, written in arbitrary pieces. Besides memory errors it checks the blocker's one
// promise: while it is in command mode, nothing it forwards dials a number outside the list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "driver/AllowList.h"
#include "driver/AtCommand.h"
#include "driver/DialFilter.h"
#include "driver/VirtualModem.h"

using namespace kestrine::driver;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    (void)ParseAtCommands(input);

    AllowList allowed;
    allowed.Replace({"0123456", "*99#"});
    DialFilter filter(allowed);
    VirtualModem modem;
    auto now = VirtualModem::Clock::now();
    std::vector<DialFilter::Action> actions;
    // Each byte of the control prefix says how long the next piece is and who sends it.
    std::size_t at = 0;
    while (at < input.size()) {
        const auto control = static_cast<unsigned char>(input[at++]);
        const std::size_t length = std::min<std::size_t>(control & 0x3F, input.size() - at);
        const auto piece = input.substr(at, length);
        at += length;
        if ((control & 0x80) != 0) {
            filter.FromModem(piece);
            continue;
        }
        const bool checking = !filter.InDataMode();
        actions.clear();
        filter.FromProgram(piece, actions);
        for (const auto& action : actions) {
            if (action.kind != DialFilter::Action::Kind::ToModem) {
                continue;
            }
            // A forwarded command line that the modem would take for a dial of a refused number.
            if (checking && action.bytes.find("0900") != std::string::npos &&
                FindAtPrefix(action.bytes) != std::string::npos) {
                const auto line = ParseAtCommands(action.bytes.substr(FindAtPrefix(action.bytes)));
                for (const auto& command : line.commands) {
                    if (command.kind == AtCommand::Kind::Dial && !command.continued &&
                        NormaliseNumber(command.value) == "0900") {
                        std::abort();
                    }
                }
            }
            filter.FromModem(modem.Input(action.bytes, now));
        }
        if ((control & 0x40) != 0) {
            now += std::chrono::milliseconds(700);
            filter.FromModem(modem.Tick(now));
        }
    }
    return 0;
}
