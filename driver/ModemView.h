#pragma once
// What the dial blocker knows of the modem behind it: for every setting it depends on, the set
// of values the modem may hold. DialFilter.h says how the sets grow and when they shrink.
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrine::driver {

// The values one setting may have. `unknown`: it may also hold a value never seen here (one set
// before the port was attached, say).
template <typename T>
struct Possible {
    std::vector<T> values;
    bool unknown = false;

    static Possible Of(T value) {
        Possible possible;
        possible.values.push_back(std::move(value));
        return possible;
    }
    static Possible Unknown() {
        Possible possible;
        possible.unknown = true;
        return possible;
    }
    bool Contains(const T& value) const {
        return std::find(values.begin(), values.end(), value) != values.end();
    }
    void Add(const T& value) {
        if (!Contains(value)) {
            values.push_back(value);
        }
    }
    void Add(const Possible& other) {
        for (const auto& value : other.values) {
            Add(value);
        }
        unknown = unknown || other.unknown;
    }
    bool operator==(const Possible&) const = default;
};

// Settings that a reset may bring back: the factory settings, and what &W stored.
struct Restorable {
    std::vector<std::pair<char, char>> framings{{'\r', '\b'}};  // S3 and S5
    Possible<int> escapes = Possible<int>::Of('+');             // S2; above 127: no escape
    Possible<bool> echo = Possible<bool>::Of(true);
    Possible<bool> verbose = Possible<bool>::Of(true);
    Possible<bool> quiet = Possible<bool>::Of(false);
    void Add(const Restorable& other);
    bool operator==(const Restorable&) const = default;
};

// One way the modem may be cutting the program's bytes into lines: its terminator and editing
// character, and the unfinished line it holds read that way.
struct Framing {
    char terminator = '\r';
    char backspace = '\b';
    std::string held;   // after editing
    bool lost = false;  // held more than is kept: a line end here is never let through
    // The modem may have swallowed the start of this line (a key that ended a dial): it may
    // read the line from any "AT" in it.
    bool startUnsure = false;
    bool operator==(const Framing&) const = default;
};

// A line as the modem would hold it so far, edited.
struct HeldLine {
    std::string line;
    bool over = false;  // longer than a line may be: it ends in ERROR
};

struct ModemView {
    std::vector<Framing> framings{Framing{}};
    Possible<int> escapes = Possible<int>::Of('+');
    Possible<bool> echo = Possible<bool>::Of(true);
    Possible<bool> verbose = Possible<bool>::Of(true);
    Possible<bool> quiet = Possible<bool>::Of(false);
    Possible<bool> autoAnswer = Possible<bool>::Of(false);  // S0 other than 0
    bool chatty = false;  // it may print text of others (messages, a far end) at any time
    Possible<bool> gsm = Possible<bool>::Of(false);  // a mobile modem: ';' ends a voice call
    Possible<int> smsMode = Possible<int>::Of(0);    // +CMGF: 0 PDU, 1 text
    Possible<int> cmee = Possible<int>::Of(0);       // +CMEE: how errors are worded
    Restorable restorable;                           // what Z may bring back
    Possible<std::string> redial = Possible<std::string>::Unknown();  // what L dials
    Possible<std::string> repeat = Possible<std::string>::Unknown();  // what A/ runs again
    std::map<int, Possible<std::string>> stored;  // &Zn numbers; a slot not here is unknown
    Possible<std::string> prefixes = Possible<std::string>::Of("");  // dialled with ';' so far

    // Afterwards this view holds every value that either view holds.
    void Merge(const ModemView& other);
    // A reset (Z, &F, a hang-up that may reset) may bring back these settings, or leave the
    // modem as it is: both stay possible.
    void MayRestore(const Restorable& restored);
    // Every setting as it may be now, for a later Z (&W).
    Restorable Current() const;
    bool operator==(const ModemView&) const = default;
};

}  // namespace kestrine::driver
