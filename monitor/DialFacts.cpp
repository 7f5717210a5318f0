#include "monitor/DialFacts.h"

#include <algorithm>
#include <cstdio>

namespace kestrine::monitor {

namespace {

constexpr auto kLastVerdict = DialVerdict::OneOf;

// A holder's flags, one byte on the wire (the first bit alone is what older drivers sent).
enum HolderFlag : std::uint8_t {
    kWrites = 1,
    kOpenedItself = 2,
    kEnded = 4,
    kClosed = 8,
    kOtherNamespace = 16,
    kCandidate = 32,
    kAllFlags = 63,
};

std::uint8_t Flags(const PortHolder& holder) {
    return static_cast<std::uint8_t>(
        (holder.writes ? kWrites : 0) | (holder.openedItself ? kOpenedItself : 0) |
        (holder.ended ? kEnded : 0) | (holder.closed ? kClosed : 0) |
        (holder.otherNamespace ? kOtherNamespace : 0) | (holder.candidate ? kCandidate : 0));
}

bool NamesOne(DialVerdict verdict) {
    return verdict == DialVerdict::Dialled || verdict == DialVerdict::Probably;
}

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void PutText(std::vector<std::uint8_t>& out, const std::string& text) {
    // Texts come made printable already; anything else is escaped here rather than sent.
    const bool ready =
        text.size() <= kMaxFactText && std::all_of(text.begin(), text.end(), Printable);
    const std::string shown = ready ? text : PrintableText(text);
    out.insert(out.end(), shown.begin(), shown.end());
    out.push_back(0);
}

void PutProcess(std::vector<std::uint8_t>& out, const ProcessFacts& process) {
    PutU32(out, process.pid);
    out.push_back(process.uid ? 1 : 0);
    PutU32(out, process.uid.value_or(0));
    PutText(out, process.user);
    PutText(out, process.executable);
    PutText(out, process.commandLine);
}

// Reads the wire form front to back; any step past the end or off the rules fails the whole.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool AtEnd() const { return ok_ && at_ == bytes_.size(); }
    bool Ok() const { return ok_; }

    std::uint8_t U8() {
        if (!ok_ || at_ >= bytes_.size()) {
            ok_ = false;
            return 0;
        }
        return bytes_[at_++];
    }
    std::uint32_t U32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<std::uint32_t>(U8()) << (8 * i);
        }
        return value;
    }
    bool Flag() {
        const auto value = U8();
        ok_ = ok_ && value <= 1;
        return value == 1;
    }
    std::uint8_t Flags() {
        const auto value = U8();
        ok_ = ok_ && (value & ~kAllFlags) == 0;
        return value;
    }
    std::string Text() {
        std::string text;
        for (;;) {
            const auto c = static_cast<char>(U8());
            if (!ok_ || c == '\0') {
                return text;
            }
            if (!Printable(c) || text.size() == kMaxFactText) {
                ok_ = false;
                return text;
            }
            text.push_back(c);
        }
    }
    ProcessFacts Process() {
        ProcessFacts process;
        process.pid = U32();
        const bool uidKnown = Flag();
        const auto uid = U32();
        if (uidKnown) {
            process.uid = uid;
        }
        process.user = Text();
        process.executable = Text();
        process.commandLine = Text();
        return process;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

std::string UserText(const ProcessFacts& process) {
    if (!process.user.empty()) {
        return process.user;
    }
    return process.uid ? std::to_string(*process.uid) : "unknown";
}

// A fact as the line shows it, with the characters that frame facts (quotes, brackets, commas,
// semicolons) escaped, so that no executable name, user name or command line can end its own
// fact and forge another. Backslashes come escaped already (PrintableText).
std::string Fact(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '"' || c == '(' || c == ')' || c == ',' || c == ';') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

// "/usr/bin/picocom (process 4242, user alice)", with what the driver's record adds about the
// holder after the user: "ended", "closed the port since", "in another mount namespace ...".
std::string ProcessText(const ProcessFacts& process, const PortHolder* state = nullptr) {
    const std::string pid = std::to_string(process.pid);
    std::string more;
    if (state != nullptr && state->ended) {
        more += ", ended";
    } else if (state != nullptr && state->closed) {
        more += ", closed the port since";
    }
    if (state != nullptr && state->otherNamespace) {
        more += ", in another mount namespace: the path is as that namespace sees it";
    }
    if (process.executable.empty()) {
        return "process " + pid + " (executable unknown, user " + Fact(UserText(process)) + more +
               ")";
    }
    return Fact(process.executable) + " (process " + pid + ", user " + Fact(UserText(process)) +
           more + ")";
}

std::string HolderText(const PortHolder& holder) {
    std::string text = ProcessText(holder.process, &holder);
    if (!holder.writes) {
        text += ", reading only";
    }
    if (!holder.process.commandLine.empty()) {
        // Inside the quotes only a quote could end it; commas and brackets are the program's own.
        std::string quoted;
        for (const char c : holder.process.commandLine) {
            quoted += c == '"' ? std::string("\\x22") : std::string(1, c);
        }
        text += ", command line \"" + quoted + "\"";
    }
    for (std::size_t i = 0; i < holder.parents.size(); ++i) {
        text += (i == 0 ? ", parents " : ", ") + ProcessText(holder.parents[i]);
    }
    return text;
}

std::string Reason(const DialFacts& facts) {
    switch (facts.verdict) {
        case DialVerdict::NotLooked:
            return "not looked for: refusals came faster than the driver may look";
        case DialVerdict::PortClosed:
            return "a program closed the port as the dial came, so the one that dialled may be "
                   "gone";
        case DialVerdict::CutShort:
            return "the look for it took too long and was cut short";
        case DialVerdict::Unaccounted:
            if (facts.unaccountedOpens == 0) {
                return "the driver could not match the port's openings to the processes that "
                       "hold them";
            }
            return std::to_string(facts.unaccountedOpens) +
                   (facts.unaccountedOpens == 1 ? " opening" : " openings") +
                   " of the port found in no process the driver may inspect (another user's, or "
                   "one that just ended)";
        case DialVerdict::NoWriter:
            return "no process held the port open for writing any more";
        case DialVerdict::SeveralWriters:
            return "several processes held the port open for writing";
        case DialVerdict::Dialled:
        case DialVerdict::Probably:
        case DialVerdict::OneOf:
            break;
    }
    return "";
}

bool Named(const std::optional<DialFacts>& facts) {
    return facts && NamesOne(facts->verdict) && facts->dialler < facts->holders.size();
}

// "dialled by", or "probably dialled by" where a rule could have been fooled.
std::string DialledBy(const DialFacts& facts) {
    return facts.verdict == DialVerdict::Probably ? "probably dialled by " : "dialled by ";
}

std::vector<std::size_t> Candidates(const std::optional<DialFacts>& facts) {
    std::vector<std::size_t> candidates;
    if (facts && facts->verdict == DialVerdict::OneOf) {
        for (std::size_t i = 0; i < facts->holders.size(); ++i) {
            if (facts->holders[i].candidate) {
                candidates.push_back(i);
            }
        }
    }
    return candidates;
}

}  // namespace

std::string PrintableText(std::string_view bytes, std::size_t limit) {
    std::string text;
    std::vector<std::size_t> starts;  // where each byte's piece begins, to cut between pieces
    for (const char c : bytes) {
        std::string piece;
        if (c == '\\') {
            piece = "\\\\";
        } else if (Printable(c)) {
            piece = std::string(1, c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            piece = hex;
        }
        if (text.size() + piece.size() > limit) {
            const std::size_t mark = std::min<std::size_t>(3, limit);
            while (!starts.empty() && text.size() + mark > limit) {
                text.resize(starts.back());
                starts.pop_back();
            }
            return text + std::string(mark, '.');
        }
        starts.push_back(text.size());
        text += piece;
    }
    return text;
}

void AppendDialFacts(std::vector<std::uint8_t>& out, const DialFacts& facts) {
    const bool named = NamesOne(facts.verdict) && facts.dialler < facts.holders.size();
    // The dialler goes first, then the others as far as they fit, each with its parents as far
    // as they fit.
    std::vector<std::size_t> order;
    if (named) {
        order.push_back(facts.dialler);
    }
    for (std::size_t i = 0; i < facts.holders.size(); ++i) {
        if (!named || i != facts.dialler) {
            order.push_back(i);
        }
    }
    constexpr std::size_t kFixed = 7;  // verdict, dialler, unaccounted openings, holder count
    std::vector<std::uint8_t> holders;
    std::size_t count = 0;
    for (const std::size_t i : order) {
        const PortHolder& holder = facts.holders[i];
        std::vector<std::uint8_t> one;
        PutProcess(one, holder.process);
        one.push_back(Flags(holder));
        const std::size_t parentCountAt = one.size();
        one.push_back(0);
        if (count == kMaxHolders || kFixed + holders.size() + one.size() > kMaxDialFactsSize) {
            break;
        }
        std::uint8_t parents = 0;
        for (const auto& parent : holder.parents) {
            std::vector<std::uint8_t> more;
            PutProcess(more, parent);
            if (parents == kMaxParents ||
                kFixed + holders.size() + one.size() + more.size() > kMaxDialFactsSize) {
                break;
            }
            one.insert(one.end(), more.begin(), more.end());
            ++parents;
        }
        one[parentCountAt] = parents;
        holders.insert(holders.end(), one.begin(), one.end());
        ++count;
    }
    out.push_back(static_cast<std::uint8_t>(facts.verdict));
    out.push_back(0);  // the dialler, when named, is the first holder
    PutU32(out, facts.unaccountedOpens);
    out.push_back(static_cast<std::uint8_t>(count));
    out.insert(out.end(), holders.begin(), holders.end());
}

std::optional<DialFacts> ParseDialFacts(std::span<const std::uint8_t> bytes) {
    Reader in(bytes);
    DialFacts facts;
    const auto verdict = in.U8();
    if (verdict < static_cast<std::uint8_t>(DialVerdict::Dialled) ||
        verdict > static_cast<std::uint8_t>(kLastVerdict)) {
        return std::nullopt;
    }
    facts.verdict = static_cast<DialVerdict>(verdict);
    facts.dialler = in.U8();
    facts.unaccountedOpens = in.U32();
    const std::size_t holders = in.U8();
    if (holders > kMaxHolders) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < holders && in.Ok(); ++i) {
        PortHolder holder;
        holder.process = in.Process();
        const auto flags = in.Flags();
        holder.writes = (flags & kWrites) != 0;
        holder.openedItself = (flags & kOpenedItself) != 0;
        holder.ended = (flags & kEnded) != 0;
        holder.closed = (flags & kClosed) != 0;
        holder.otherNamespace = (flags & kOtherNamespace) != 0;
        holder.candidate = (flags & kCandidate) != 0;
        const std::size_t parents = in.U8();
        if (parents > kMaxParents) {
            return std::nullopt;
        }
        for (std::size_t p = 0; p < parents && in.Ok(); ++p) {
            holder.parents.push_back(in.Process());
        }
        facts.holders.push_back(std::move(holder));
    }
    const bool dialled = NamesOne(facts.verdict);
    if (!in.AtEnd() || (dialled && facts.dialler >= facts.holders.size()) ||
        (!dialled && facts.dialler != 0)) {
        return std::nullopt;
    }
    return facts;
}

std::string DialledByLine(const std::optional<DialFacts>& facts) {
    if (!facts) {
        return "dialled by an unknown program (the driver did not say)";
    }
    if (Named(facts)) {
        std::string line = DialledBy(*facts) + HolderText(facts->holders[facts->dialler]);
        for (std::size_t i = 0; i < facts->holders.size(); ++i) {
            if (i != facts->dialler) {
                line += "; also held open by " + HolderText(facts->holders[i]);
            }
        }
        return line;
    }
    if (const auto candidates = Candidates(facts); !candidates.empty()) {
        std::string line = "dialled by one of: ";
        for (std::size_t n = 0; n < candidates.size(); ++n) {
            line += (n == 0 ? "" : "; or ") + HolderText(facts->holders[candidates[n]]);
        }
        for (std::size_t i = 0; i < facts->holders.size(); ++i) {
            if (!facts->holders[i].candidate) {
                line += "; also held open by " + HolderText(facts->holders[i]);
            }
        }
        return line;
    }
    std::string line = "dialled by an unknown program (" + Reason(*facts) + ")";
    for (std::size_t i = 0; i < facts->holders.size(); ++i) {
        line += (i == 0 ? "; held open by " : "; and by ") + HolderText(facts->holders[i]);
    }
    return line;
}

std::string DialledBySummary(const std::optional<DialFacts>& facts) {
    if (Named(facts)) {
        const PortHolder& dialler = facts->holders[facts->dialler];
        return DialledBy(*facts) + ProcessText(dialler.process, &dialler);
    }
    if (const auto candidates = Candidates(facts); !candidates.empty()) {
        std::string summary = "dialled by one of: ";
        for (std::size_t n = 0; n < candidates.size(); ++n) {
            const PortHolder& candidate = facts->holders[candidates[n]];
            summary += (n == 0 ? "" : ", ") + ProcessText(candidate.process, &candidate);
        }
        return summary;
    }
    return "dialled by an unknown program";
}

}  // namespace kestrine::monitor
