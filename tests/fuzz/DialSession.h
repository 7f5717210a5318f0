#pragma once
// A dialling program, the dial blocker and a virtual modem behind it, driven by arbitrary bytes:
// the blocker's one promise under test is that the modem never dials a number that is not
// allowed (nor sends a message or a service code anywhere else), whatever the program writes,
// whenever it hangs up and however the modem behaves where real modems differ.
//
// Input: one byte of the modem's character (bit 0 lenient, 1 resets keep S2/S3/S5, 2 L redials
// the last dial only, 3 dials take two seconds, 4 dials end BUSY, 5 the blocker takes hang-ups
// as it does for a real device), then steps, each a control byte and its bytes:
//   00LLLLLL  the program writes the next L bytes (one write)
//   01LLLLLL  the same, then 700 ms pass
//   10LLLLLL  the modem sends the next L bytes of its own (only with `modemBytes`: a modem that
//             says anything can make a blocker believe anything, so such runs check only
//             memory safety and bounds)
//   11000xxx  the program hangs up (B0);  11001xxx 20 ms pass;  11010xxx 3 s pass;  else: 1 s
#include <string>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/VirtualModem.h"

namespace kestrine::test {

struct DialSessionOutcome {
    bool breach = false;      // the modem dialled a number that is not allowed
    std::string number;       // ... this one
    bool injected = false;    // the run had modem bytes of its own
    std::size_t maxHeld = 0;  // the most program bytes the blocker held at once
};

inline constexpr const char* kSessionAllowed = "0123456";

inline DialSessionOutcome RunDialSession(std::string_view input, bool modemBytes) {
    using driver::DialFilter;
    using driver::VirtualModem;
    DialSessionOutcome outcome;
    if (input.empty()) {
        return outcome;
    }
    const auto character = static_cast<unsigned char>(input[0]);
    VirtualModem::Options options;
    options.lenient = (character & 1) != 0;
    options.resetsKeepFraming = (character & 2) != 0;
    options.redialsLastDialOnly = (character & 4) != 0;
    if ((character & 8) != 0) {
        options.dialTime = std::chrono::seconds(2);
    }
    options.busy = (character & 16) != 0;
    const bool idleHangUp = (character & 32) == 0;

    driver::AllowList allowed;
    allowed.Replace({kSessionAllowed});
    DialFilter filter(allowed);
    VirtualModem modem(options);
    auto now = VirtualModem::Clock::now();
    std::size_t checkedCalls = 0;
    auto check = [&] {
        const auto& calls = modem.Calls();
        for (; checkedCalls < calls.size(); ++checkedCalls) {
            const auto& call = calls[checkedCalls];
            // A call continued with ';' must lead to the allowed number; messages and service
            // codes must go to it exactly.
            const bool continued = call.kind == VirtualModem::Dialled::Kind::Call && call.continued;
            const auto number = driver::NormaliseNumber(call.number);
            const bool ok = continued ? allowed.LeadsToAllowed(number) : allowed.Allows(number);
            if (!ok && !outcome.breach) {
                outcome.breach = true;
                outcome.number = call.number + (call.continued ? ";" : "");
            }
        }
    };
    auto pass = [&](std::chrono::milliseconds time) {
        now += time;
        filter.FromModem(modem.Tick(now));
    };
    std::vector<DialFilter::Action> actions;
    std::size_t at = 1;
    while (at < input.size() && !outcome.breach) {
        const auto control = static_cast<unsigned char>(input[at++]);
        if ((control & 0xC0) == 0xC0) {
            switch ((control >> 3) & 7) {
                case 0:
                    filter.HangUp(idleHangUp);
                    filter.FromModem(modem.HangUp(true));
                    break;
                case 1:
                    pass(std::chrono::milliseconds(20));
                    break;
                case 2:
                    pass(std::chrono::seconds(3));
                    break;
                default:
                    pass(std::chrono::seconds(1));
                    break;
            }
            check();
            continue;
        }
        const std::size_t length = std::min<std::size_t>(control & 0x3F, input.size() - at);
        const auto piece = input.substr(at, length);
        at += length;
        if ((control & 0xC0) == 0x80) {
            if (modemBytes) {
                outcome.injected = true;
                filter.FromModem(piece);
            }
            continue;
        }
        actions.clear();
        if (!filter.PassesUnseen(piece)) {
            filter.FromProgram(piece, actions);
        } else {
            actions.push_back({DialFilter::Action::Kind::ToModem, std::string(piece)});
        }
        outcome.maxHeld = std::max(outcome.maxHeld, filter.Held());
        for (const auto& action : actions) {
            if (action.kind == DialFilter::Action::Kind::ToModem) {
                filter.FromModem(modem.Input(action.bytes, now));
                check();
            }
        }
        if ((control & 0xC0) == 0x40) {
            pass(std::chrono::milliseconds(700));
        }
        check();
    }
    if (outcome.injected) {
        outcome.breach = false;  // see above: only safety and bounds count here
    }
    return outcome;
}

}  // namespace kestrine::test
