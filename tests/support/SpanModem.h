#pragma once
// A modem nobody here wrote: the V.250 command interpreter of Debian's libspandsp, with just
// enough around it to place calls. The dial blocker's tests and fuzzers put it behind the
// blocker instead of the virtual modem, so that what the blocker sends is read by another
// parser than ours. It reads A/ and what follows on the same line, the 8th bit and control
// characters its own way, which is the point.
//
// Every call it places is recorded (the interpreter hands the dial string to the modem-control
// callback, its ';' removed, so `continued` is taken from the line that dialled). A call
// connects (CONNECT, then a loop-back line) or ends BUSY; a hang-up (DTR drop) ends it with NO
// CARRIER.
//
// One fault of the interpreter is kept out: it loops for ever on a command line that holds the
// command +VAC (as it reads it: 8th bit cleared, upper case, nothing between the letters).
// Measured with every name of up to three letters after +, and two after & % \ * # $ ! ^ _:
// +VAC is the only one. The rig hands it +VAB instead, which the interpreter takes as it takes
// any +V name it does not know (OK, the rest of the line passed over; inside a dial string both
// are ERROR). A dial before it on the line is placed as before; nothing after it ever was.
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <spandsp/telephony.h>
#include <spandsp/logging.h>
#include <spandsp/at_interpreter.h>
}

namespace kestrine::test {

class SpanModem {
public:
    using Clock = std::chrono::steady_clock;
    struct Dialled {
        std::string number;
        bool continued;
    };

    explicit SpanModem(bool busy = false) : busy_(busy) {
        at_ = at_init(nullptr, &SpanModem::Tx, this, &SpanModem::Control, this);
    }
    ~SpanModem() {
        if (at_ != nullptr) {
            at_free(at_);
        }
    }
    SpanModem(const SpanModem&) = delete;
    SpanModem& operator=(const SpanModem&) = delete;

    std::string Input(std::string_view bytes, Clock::time_point /*now*/) {
        if (online_) {
            return std::string(bytes);  // the far end echoes
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (online_) {
                out_.append(bytes.substr(i));
                break;
            }
            char c = bytes[i];
            const char read = static_cast<char>(std::toupper(c & 0x7f));
            if (read == 'C' && read_.ends_with("+VA")) {
                c = 'B';  // +VAC would never come back (see above)
            }
            read_.push_back(read);
            line_.push_back(c);
            at_interpreter(at_, &c, 1);
            if ((c & 0x7f) == '\r' || line_.size() > 512) {
                line_.clear();
                read_.clear();
            }
            if (pending_ == kStaysOffHook) {
                pending_ = -1;
                at_put_response_code(at_, AT_RESPONSE_CODE_OK);  // ';': back to commands
            } else if (pending_ >= 0) {
                const int event = pending_;
                pending_ = -1;
                at_call_event(at_, event);
                if (event == AT_CALL_EVENT_CONNECTED) {
                    at_put_response_code(at_, AT_RESPONSE_CODE_CONNECT);
                    online_ = true;
                }
            }
        }
        return Take();
    }
    std::string Tick(Clock::time_point /*now*/) { return Take(); }
    std::optional<Clock::time_point> NextDeadline() const { return std::nullopt; }
    std::string HangUp(bool report) {
        const bool was = online_;
        online_ = false;
        at_call_event(at_, AT_CALL_EVENT_HANGUP);
        if (was && report) {
            at_put_response_code(at_, AT_RESPONSE_CODE_NO_CARRIER);
        }
        return Take();
    }
    bool Online() const { return online_; }
    const std::vector<Dialled>& Calls() const { return calls_; }

private:
    static int Tx(at_state_t*, void* self, const std::uint8_t* buffer, std::size_t length) {
        static_cast<SpanModem*>(self)->out_.append(reinterpret_cast<const char*>(buffer), length);
        return 0;
    }
    static int Control(at_state_t*, void* self, int op, const char* number) {
        auto& modem = *static_cast<SpanModem*>(self);
        if (op == AT_MODEM_CONTROL_CALL) {
            const auto d = modem.line_.find_last_of("Dd");
            const bool continued =
                d != std::string::npos && modem.line_.find(';', d) != std::string::npos;
            modem.calls_.push_back({number != nullptr ? number : "", continued});
            modem.pending_ = continued   ? kStaysOffHook
                             : modem.busy_ ? AT_CALL_EVENT_BUSY
                                           : AT_CALL_EVENT_CONNECTED;
        } else if (op == AT_MODEM_CONTROL_ANSWER) {
            modem.pending_ = AT_CALL_EVENT_CONNECTED;
        }
        return 0;
    }
    std::string Take() {
        std::string out;
        out.swap(out_);
        return out;
    }

    static constexpr int kStaysOffHook = 1000;

    at_state_t* at_ = nullptr;
    bool busy_;
    bool online_ = false;
    int pending_ = -1;
    std::string line_;
    std::string read_;  // the line as the interpreter reads its letters
    std::string out_;
    std::vector<Dialled> calls_;
};

}  // namespace kestrine::test
