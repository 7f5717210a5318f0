#pragma once
// A dialling program, the dial blocker and a virtual modem behind it, driven by arbitrary bytes:
// the blocker's one promise under test is that the modem never dials a number that is not
// allowed (nor sends a message or a service code anywhere else), whatever the program writes,
// whenever it hangs up and however the modem behaves where real modems differ.
//
// Input: one byte of the modem's character (bit 0 lenient, 1 resets keep S2/S3/S5, 2 L redials
// the last dial only, 3 dials take two seconds, 4 dials end BUSY, 5 a landline modem
// without the mobile command set), then steps, each a control byte and its bytes:
//   00LLLLLL  the program writes the next L bytes (one write)
//   01LLLLLL  the same, then 700 ms pass
//   10LLLLLL  the modem sends the next L bytes of its own (only with `modemBytes`: a modem that
//             says anything can make a blocker believe anything, so such runs check only
//             memory safety and bounds)
//   11000xxx  the program hangs up (B0);  11001xxx 20 ms pass;  11010xxx 3 s pass;  else: 1 s

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/DialJudge.h"
#include "driver/VirtualModem.h"

namespace kestrine::test {

// The dial blocker with a modem behind it (the virtual modem, or another with its interface:
// Input, Tick, NextDeadline, HangUp), carrying out what the blocker decides as the driver does:
// the modem's answers go back to the blocker at once.
template <class Modem>
struct BasicDialRig {
    using Action = driver::DialFilter::Action;
    using Clock = std::chrono::steady_clock;

    template <class... ModemArgs>
    explicit BasicDialRig(const driver::AllowList& allowed, ModemArgs&&... modemArgs)
        : filter(allowed), modem(std::forward<ModemArgs>(modemArgs)...) {
        Do([&](std::vector<Action>& a) { filter.Attach(now, a); });
    }
    template <class F>
    void Do(F&& step) {
        std::vector<Action> actions;
        step(actions);
        Carry(actions);
    }
    // One turn, and the modem's answers after it, in a loop (as the driver's port does): a line
    // of many commands never nests one call per answer.
    void Carry(std::vector<Action>& actions) {
        if (carrying_) {
            deferred_.insert(deferred_.end(), actions.begin(), actions.end());
            return;
        }
        carrying_ = true;
        std::vector<Action> work = std::move(actions);
        while (!work.empty()) {
            for (auto& action : work) {
                switch (action.kind) {
                    case Action::Kind::ToModem:
                        forwarded += action.bytes;
                        inbox_ += modem.Input(action.bytes, now);
                        break;
                    case Action::Kind::ToProgram:
                        heard += action.bytes;
                        break;
                    case Action::Kind::Blocked:
                        blocked.push_back(action.bytes);
                        break;
                    case Action::Kind::HangUpModem:
                        inbox_ += modem.HangUp(true);
                        break;
                    case Action::Kind::Notice:
                        notices.push_back(action.bytes);
                        break;
                }
            }
            work = std::move(deferred_);
            deferred_.clear();
            if (!inbox_.empty()) {
                const std::string bytes = std::exchange(inbox_, {});
                filter.FromModem(bytes, now, work);
            }
        }
        carrying_ = false;
    }
    void ModemSays(std::string_view bytes) {
        if (!bytes.empty()) {
            Do([&](std::vector<Action>& a) { filter.FromModem(bytes, now, a); });
        }
    }
    // The program writes `bytes` in one write.
    void Type(std::string_view bytes) {
        if (filter.PassesUnseen(bytes, now)) {
            forwarded += bytes;
            ModemSays(modem.Input(bytes, now));
            return;
        }
        Do([&](std::vector<Action>& a) { filter.FromProgram(bytes, now, a); });
    }
    void Wait(std::chrono::milliseconds time) {
        const auto end = now + time;
        // Each side's deadlines in their order, as the driver's loop would run them.
        for (;;) {
            auto next = end;
            if (const auto d = filter.NextDeadline(); d && *d < next) {
                next = std::max(*d, now);
            }
            if (const auto d = modem.NextDeadline(); d && *d < next) {
                next = std::max(*d, now);
            }
            now = next;
            ModemSays(modem.Tick(now));
            Do([&](std::vector<Action>& a) { filter.Tick(now, a); });
            if (now >= end) {
                return;
            }
        }
    }
    // The program hangs up (B0) or closes the port.
    void HangUp() {
        Do([&](std::vector<Action>& a) { filter.HangUp(now, a); });
    }
    std::string Take() { return std::exchange(heard, {}); }

    driver::DialFilter filter;
    Modem modem;
    Clock::time_point now = Clock::now();
    std::string forwarded;
    std::string heard;
    std::vector<std::string> blocked;
    std::vector<std::string> notices;

private:
    bool carrying_ = false;
    std::vector<Action> deferred_;
    std::string inbox_;
};

using DialRig = BasicDialRig<driver::VirtualModem>;

struct DialSessionOutcome {
    bool breach = false;      // the modem dialled a number that is not allowed
    std::string number;       // ... this one
    bool injected = false;    // the run had modem bytes of its own
    std::size_t maxHeld = 0;  // the most program bytes the blocker held at once
};

inline constexpr const char* kSessionAllowed = "0123456";

// Every number the modem dialled is allowed: a call continued with ';' must lead to the
// allowed number; messages and service codes must go to it exactly. Packet-data calls go to
// the operator.
template <class Modem>
std::optional<std::string> FirstBreach(const Modem& modem, const driver::AllowList& allowed) {
    for (const auto& call : modem.Calls()) {
        bool isCall = true;
        if constexpr (requires { call.kind; }) {
            isCall = call.kind == driver::VirtualModem::Dialled::Kind::Call;
        }
        const bool continued = isCall && call.continued;
        const auto number = driver::NormaliseNumber(call.number);
        if (isCall && !continued && driver::IsPacketDataCall(number)) {
            continue;
        }
        const bool ok = continued ? allowed.LeadsToAllowed(number) : allowed.Allows(number);
        if (!ok) {
            return call.number + (call.continued ? ";" : "");
        }
    }
    return std::nullopt;
}

// Runs one session (the input's layout above) against `rig`.
template <class Rig>
DialSessionOutcome RunSession(std::string_view input, bool modemBytes, Rig& rig,
                              const driver::AllowList& allowed) {
    DialSessionOutcome outcome;
    auto check = [&] {
        if (const auto breach = FirstBreach(rig.modem, allowed); breach && !outcome.breach) {
            outcome.breach = true;
            outcome.number = *breach;
        }
    };
    std::size_t at = 1;
    while (at < input.size() && !outcome.breach) {
        const auto control = static_cast<unsigned char>(input[at++]);
        if ((control & 0xC0) == 0xC0) {
            switch ((control >> 3) & 7) {
                case 0:
                    rig.HangUp();
                    break;
                case 1:
                    rig.Wait(std::chrono::milliseconds(20));
                    break;
                case 2:
                    rig.Wait(std::chrono::seconds(3));
                    break;
                default:
                    rig.Wait(std::chrono::seconds(1));
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
                rig.ModemSays(piece);
            }
            continue;
        }
        rig.Type(piece);
        outcome.maxHeld = std::max(outcome.maxHeld, rig.filter.Held());
        check();
        if ((control & 0xC0) == 0x40) {
            rig.Wait(std::chrono::milliseconds(700));
        }
        check();
    }
    if (outcome.injected) {
        outcome.breach = false;  // see above: only safety and bounds count here
    }
    return outcome;
}

inline DialSessionOutcome RunDialSession(std::string_view input, bool modemBytes) {
    using driver::VirtualModem;
    if (input.empty()) {
        return {};
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
    options.landline = (character & 32) != 0;
    driver::AllowList allowed;
    allowed.Replace({kSessionAllowed});
    DialRig rig(allowed, options);
    return RunSession(input, modemBytes, rig, allowed);
}

}  // namespace kestrine::test
