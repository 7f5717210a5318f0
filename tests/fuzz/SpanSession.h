#pragma once
// The same sessions as DialSession.h, with the independent modem (SpanModem.h) behind the
// blocker instead of the virtual one. Of the first byte only bit 4 counts: dials end BUSY.
#include "tests/fuzz/DialSession.h"
#include "tests/support/SpanModem.h"

namespace kestrine::test {

inline DialSessionOutcome RunSpanSession(std::string_view input, bool modemBytes) {
    if (input.empty()) {
        return {};
    }
    const bool busy = (static_cast<unsigned char>(input[0]) & 16) != 0;
    driver::AllowList allowed;
    allowed.Replace({kSessionAllowed});
    BasicDialRig<SpanModem> rig(allowed, busy);
    return RunSession(input, modemBytes, rig, allowed);
}

}  // namespace kestrine::test
