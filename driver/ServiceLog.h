#pragma once
// The driver's lines for the service's journal: one line per write on standard error, led by the
// sd-daemon priority prefix ("<4>COM1: 0900123456 refused ..."), which journald reads as the
// line's priority and strips. A private root's driver writes them to log/QDDRIVER.log, prefix
// included.
//
// Rule: nothing that came from outside (a dialled number, a command line, a device's name) can
// end a line or make one of its own: every byte outside printable ASCII is written as \xNN, so
// one call is one journal line.
#include <string>
#include <string_view>

namespace kestrine::driver {

enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Printable ASCII stays; every other byte becomes \xNN, a backslash \\.
std::string Printable(std::string_view text);

// Writes "<priority>line\n" to standard error in one write; `line` is made Printable.
void Say(Priority priority, std::string_view line);

}  // namespace kestrine::driver
