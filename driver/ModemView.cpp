#include "driver/ModemView.h"

namespace kestrine::driver {

namespace {

template <typename T>
void AddAll(std::vector<T>& to, const std::vector<T>& from) {
    for (const auto& value : from) {
        if (std::find(to.begin(), to.end(), value) == to.end()) {
            to.push_back(value);
        }
    }
}

}  // namespace

void Restorable::Add(const Restorable& other) {
    AddAll(framings, other.framings);
    escapes.Add(other.escapes);
    echo.Add(other.echo);
    verbose.Add(other.verbose);
    quiet.Add(other.quiet);
}

void ModemView::Merge(const ModemView& other) {
    AddAll(framings, other.framings);
    escapes.Add(other.escapes);
    echo.Add(other.echo);
    verbose.Add(other.verbose);
    quiet.Add(other.quiet);
    autoAnswer.Add(other.autoAnswer);
    chatty = chatty || other.chatty;
    gsm.Add(other.gsm);
    smsMode.Add(other.smsMode);
    cmee.Add(other.cmee);
    restorable.Add(other.restorable);
    redial.Add(other.redial);
    repeat.Add(other.repeat);
    prefixes.Add(other.prefixes);
    // A slot that one side does not know is not known afterwards either.
    for (auto& [slot, numbers] : stored) {
        if (const auto it = other.stored.find(slot); it != other.stored.end()) {
            numbers.Add(it->second);
        } else {
            numbers.unknown = true;
        }
    }
    for (const auto& [slot, numbers] : other.stored) {
        if (stored.find(slot) == stored.end()) {
            auto& added = stored[slot];
            added = numbers;
            added.unknown = true;
        }
    }
}

void ModemView::MayRestore(const Restorable& restored) {
    const std::vector<Framing> before = framings;
    for (const auto& framing : before) {
        for (const auto& [terminator, backspace] : restored.framings) {
            AddAll(framings, {Framing{terminator, backspace, framing.held, framing.lost}});
        }
    }
    escapes.Add(restored.escapes);
    echo.Add(restored.echo);
    verbose.Add(restored.verbose);
    quiet.Add(restored.quiet);
}

Restorable ModemView::Current() const {
    Restorable now;
    now.framings.clear();
    for (const auto& framing : framings) {
        AddAll(now.framings, {{framing.terminator, framing.backspace}});
    }
    now.escapes = escapes;
    now.echo = echo;
    now.verbose = verbose;
    now.quiet = quiet;
    return now;
}

}  // namespace kestrine::driver
