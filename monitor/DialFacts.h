#pragma once
// What the driver found out about the program behind a refused dial: the processes that held the
// port open at that moment and, where it can be told, the one that dialled.
//
// The facts travel in the NumberBlocked record, after the number's zero byte (the layout is in
// platform/DeviceProtocol.h). An application that reads the number only up to that byte, as the
// driver contract asks, never sees them; ours turns them into a line of the log and of the alert.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrine::monitor {

// Every text is printable ASCII (0x20-0x7E); the driver escapes anything else as \xNN.
struct ProcessFacts {
    std::uint32_t pid = 0;
    std::optional<std::uint32_t> uid;  // the real user; none when it could not be read
    std::string user;                  // the user's name; empty when unknown
    std::string executable;            // the kernel's path of the program; empty when unknown
    std::string commandLine;           // as the process shows it; empty when unknown or none
};

struct PortHolder {
    ProcessFacts process;
    bool writes = false;  // holds the port open for writing, so it may have written the dial
    // Parent, grandparent, ... up to the session leader or PID 1.
    std::vector<ProcessFacts> parents;
    // What the driver's record of the port's openings adds (where it keeps one):
    bool openedItself = false;  // it opened the port itself (it did not inherit or receive it)
    bool ended = false;    // it opened the port while the dial was written and has ended since
    bool closed = false;   // it opened the port while the dial was written and has closed it since
    bool otherNamespace = false;  // it runs in another mount namespace: its paths are as that
                                  // namespace sees them
    bool candidate = false;       // OneOf: one of those that may have dialled
};

// Why the facts name the program that dialled, or why they cannot.
enum class DialVerdict : std::uint8_t {
    Dialled = 1,     // holders[dialler] is the one process that could have written the dial
    NotLooked,       // refusals came faster than the driver may spend on looking
    PortClosed,      // the port was closed (or opened) while the dial was written and refused
    CutShort,        // the look took too long and was stopped before it saw every process
    Unaccounted,     // some openings of the port were found in no process the driver may inspect
    NoWriter,        // no process held the port open for writing any more
    SeveralWriters,  // more than one process held it open for writing
    Probably,        // holders[dialler] is the one left by the rules, but a rule could be fooled
    OneOf,           // the candidates among the holders, and no way to tell which of them
};

struct DialFacts {
    DialVerdict verdict = DialVerdict::NotLooked;
    std::size_t dialler = 0;  // index into holders, for Dialled and Probably only
    std::vector<PortHolder> holders;
    std::uint32_t unaccountedOpens = 0;  // Unaccounted: how many openings were not found
};

inline constexpr std::size_t kMaxHolders = 8;
inline constexpr std::size_t kMaxParents = 8;
inline constexpr std::size_t kMaxFactText = 256;
// The wire form stays within this many bytes (holders and parents that would not fit are left
// out), so that the refusals a port may keep queued stay small.
inline constexpr std::size_t kMaxDialFactsSize = 8192;

// `bytes` as printable ASCII of at most `limit` characters: other bytes and the backslash are
// escaped (\xNN, \\), and a text cut short ends in "...".
std::string PrintableText(std::string_view bytes, std::size_t limit = kMaxFactText);

// Appends the facts' wire form. Holders, parents and texts beyond the bounds above are left
// out, the dialler (first) never.
void AppendDialFacts(std::vector<std::uint8_t>& out, const DialFacts& facts);
// The facts from their wire form, which must fill `bytes` exactly; nothing when malformed.
std::optional<DialFacts> ParseDialFacts(std::span<const std::uint8_t> bytes);

// The log line that follows "<number> blocked": names the program that dialled, or says that it
// is unknown and why; what is not sure says so ("probably", "one of", "ended", "in another mount
// namespace"). `facts` is empty when the driver sent none.
std::string DialledByLine(const std::optional<DialFacts>& facts);
// The alert's short form of it.
std::string DialledBySummary(const std::optional<DialFacts>& facts);

}  // namespace kestrine::monitor
