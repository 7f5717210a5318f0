#include "driver/DialFilter.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace kestrine::driver {

namespace {

constexpr char kCtrlZ = 0x1a;
constexpr char kEscape = 0x1b;


}  // namespace

// The blocker's invariants, checked where they are cheap to state; fatal in debug and fuzz
// builds, compiled out elsewhere.
#if defined(KESTRINE_INVARIANTS)
#define KESTRINE_INVARIANT(condition) \
    do {                              \
        if (!(condition)) {           \
            std::abort();             \
        }                             \
    } while (false)
#else
#define KESTRINE_INVARIANT(condition) \
    do {                              \
    } while (false)
#endif

// Every entry point sets actions_ for its call and ends by reading what the link said.
class ActionScope {
public:
    ActionScope(std::vector<DialFilter::Action>*& slot, std::vector<DialFilter::Action>& actions)
        : slot_(slot), saved_(slot) {
        slot_ = &actions;
    }
    ~ActionScope() { slot_ = saved_; }

private:
    std::vector<DialFilter::Action>*& slot_;
    std::vector<DialFilter::Action>* saved_;
};

void DialFilter::ToProgram(const std::string& bytes) {
    if (bytes.empty()) {
        return;
    }
    auto& actions = *actions_;
    if (!actions.empty() && actions.back().kind == Action::Kind::ToProgram) {
        actions.back().bytes += bytes;
    } else {
        actions.push_back({Action::Kind::ToProgram, bytes});
    }
}

void DialFilter::Apply(std::vector<ModemLink::Op>& ops) {
    for (auto& op : ops) {
        // The modem hears only what the link wrote: data in a call, otherwise a whole line
        // ("AT...\r", the configuration's behind Escape), a message's checked content ended by
        // Ctrl-Z, or a lone CR that gives up a call being placed.
        KESTRINE_INVARIANT(op.kind == ModemLink::Op::Kind::HangUp || op.data ||
                           op.bytes == "\r" ||
                           (op.bytes.back() == kCtrlZ && op.bytes.find(kCtrlZ) == op.bytes.size() - 1) ||
                           ((op.bytes.rfind("AT", 0) == 0 || op.bytes.rfind("\x1b" "AT", 0) == 0) &&
                            op.bytes.find('\r') == op.bytes.size() - 1));
        if (op.kind == ModemLink::Op::Kind::HangUp) {
            actions_->push_back({Action::Kind::HangUpModem, {}});
        } else if (!actions_->empty() && actions_->back().kind == Action::Kind::ToModem &&
                   !op.data) {
            actions_->back().bytes += op.bytes;
        } else {
            actions_->push_back({Action::Kind::ToModem, std::move(op.bytes)});
        }
    }
    ops.clear();
}

void DialFilter::Attach(Clock::time_point now, std::vector<Action>& actions) {
    ActionScope scope(actions_, actions);
    mode_ = Mode::Configuring;
    link_.Restart(now, ops_);
    Apply(ops_);
}

void DialFilter::HangUp(Clock::time_point now, std::vector<Action>& actions) {
    ActionScope scope(actions_, actions);
    if (mode_ == Mode::Data || mode_ == Mode::OnlineCommand) {
        ToProgram(program_.Final("NO CARRIER"));
    }
    mode_ = Mode::Configuring;
    program_.Clear();
    pending_.clear();
    plan_.clear();
    content_.clear();
    heldEscape_.clear();
    escapeRun_ = liveRun_ = 0;
    escapeAt_.reset();
    link_.Restart(now, ops_);
    Apply(ops_);
}

std::optional<DialFilter::Clock::time_point> DialFilter::NextDeadline() const {
    auto deadline = link_.Deadline();
    if (escapeAt_ && (!deadline || *escapeAt_ < *deadline)) {
        deadline = escapeAt_;
    }
    return deadline;
}

void DialFilter::Tick(Clock::time_point now, std::vector<Action>& actions) {
    ActionScope scope(actions_, actions);
    if (escapeAt_ && now >= *escapeAt_) {
        escapeAt_.reset();
        if (mode_ == Mode::Data && escapeRun_ == 3) {
            EnterOnlineCommand();
        }
    }
    link_.Tick(now, ops_, events_);
    Apply(ops_);
    Events(now);
}

bool DialFilter::PassesUnseen(std::string_view bytes, Clock::time_point now) {
    if (mode_ != Mode::Data || escapeRun_ != 0 || liveRun_ != 0) {
        return false;
    }
    const char escape = static_cast<char>(program_.settings.s2);
    const auto live = link_.LiveEscape();
    const bool programEscapes = program_.settings.s2 < 128;
    for (const char c : bytes) {
        if ((programEscapes && c == escape) || (live && c == *live)) {
            return false;
        }
    }
    lastData_ = now;
    return true;
}

void DialFilter::FromProgram(std::string_view bytes, Clock::time_point now,
                             std::vector<Action>& actions) {
    ActionScope scope(actions_, actions);
    if (mode_ == Mode::Data) {
        DataFromProgram(bytes, now);
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (mode_ == Mode::Data) {
            DataFromProgram(bytes.substr(i), now);
            return;
        }
        Feed(bytes[i], now);
    }
}

void DialFilter::Feed(char byte, Clock::time_point now) {
    switch (mode_) {
        case Mode::Configuring:
        case Mode::Executing:
            if (mode_ == Mode::Executing && link_.Outstanding() &&
                PlacesCall(link_.OutstandingEffect()) && !aborted_) {
                // A key ends a call being placed; the key itself is gone.
                aborted_ = true;
                link_.AbortCall(ops_);
                Apply(ops_);
                return;
            }
            if (pending_.size() < kMaxPending) {
                pending_.push_back(byte);
            }
            return;
        case Mode::MessageText:
            MessageByte(byte, now);
            return;
        case Mode::Data:
            DataFromProgram(std::string_view(&byte, 1), now);
            return;
        case Mode::NotAnswering:
        case Mode::Command:
        case Mode::OnlineCommand: {
            std::string echo;
            std::string line;
            const auto got = program_.Feed(byte, echo, line);
            ToProgram(echo);
            if (got == ProgramSide::Got::Line) {
                lastLine_ = line;
                RunLine(line, now);
            } else if (got == ProgramSide::Got::Repeat) {
                RunLine(lastLine_, now);
            } else if (got == ProgramSide::Got::Overflow) {
                ToProgram(program_.Final("ERROR"));
            }
            return;
        }
    }
}

void DialFilter::ReadPending(Clock::time_point now) {
    while (!pending_.empty() && mode_ != Mode::Executing && mode_ != Mode::Configuring) {
        const std::string input = std::move(pending_);
        pending_.clear();
        std::size_t i = 0;
        for (; i < input.size(); ++i) {
            if (mode_ == Mode::Executing || mode_ == Mode::Configuring) {
                break;
            }
            if (mode_ == Mode::Data) {
                DataFromProgram(std::string_view(input).substr(i), now);
                i = input.size();
                break;
            }
            Feed(input[i], now);
        }
        pending_ = input.substr(i) + pending_;
        if (i == 0) {
            break;
        }
    }
}

void DialFilter::RunLine(const std::string& text, Clock::time_point now) {
    const AtLine line = ParseAtCommands(text, Reading::Strict);
    if (!line.complete) {
        ToProgram(program_.Final("ERROR"));
        return;
    }
    if (mode_ == Mode::OnlineCommand) {
        RunOnlineLine(line, now);
        return;
    }
    // The whole line first, against what the modem would hold if every command before ran.
    ModemRecord record = link_.Record();
    for (std::size_t i = 0; i < line.commands.size(); ++i) {
        const Verdict verdict = Judge(line.commands[i], record, allowed_, program_.settings.pulse);
        if (verdict.kind == Verdict::Kind::Error ||
            (verdict.effect == Effect::Message && i + 1 != line.commands.size())) {
            ToProgram(program_.Final("ERROR"));
            return;
        }
        if (verdict.kind == Verdict::Kind::Refuse) {
            Refuse(verdict);
            return;
        }
        if (verdict.effect == Effect::Store) {
            record.stored[verdict.storeIndex] = verdict.text;
        } else if (verdict.kind == Verdict::Kind::Local && verdict.effect == Effect::Dial) {
            record.heldDial = verdict.text;
        } else if (verdict.effect == Effect::Dial && verdict.continued) {
            record.callPrefix = verdict.number;
            record.callPrefixed = true;
            record.heldDial.clear();
        } else if (verdict.effect == Effect::MessageFormat) {
            record.messageFormat = verdict.value;
        } else if (verdict.effect == Effect::Charset) {
            record.charset = verdict.text;
        }
    }
    if (mode_ == Mode::NotAnswering) {
        const bool dials = std::any_of(line.commands.begin(), line.commands.end(),
                                       [](const AtCommand& c) { return c.kind == AtCommand::Kind::Dial; });
        ToProgram(program_.Final(dials ? "NO CARRIER" : "ERROR"));
        return;
    }
    plan_.assign(line.commands.begin(), line.commands.end());
    lineFinal_ = "OK";
    mode_ = Mode::Executing;
    RunPlan(now);
}

void DialFilter::RunOnlineLine(const AtLine& line, Clock::time_point now) {
    // The modem is still online: nothing can be sent to it but data. What is asked here is
    // the blocker's: the program's settings, back online, hang up.
    std::string info;
    for (const auto& command : line.commands) {
        const Verdict verdict = Judge(command, link_.Record(), allowed_, program_.settings.pulse);
        if (verdict.kind == Verdict::Kind::Local && verdict.effect == Effect::Local &&
            program_.ApplyLocal(command, info)) {
            continue;
        }
        if (verdict.kind == Verdict::Kind::Refuse) {
            info_ = std::move(info);
            Refuse(verdict);
            return;
        }
        if (verdict.effect == Effect::Online) {
            ToProgram(info + program_.Final("CONNECT"));
            mode_ = Mode::Data;
            lastData_ = now;
            return;
        }
        if (verdict.effect == Effect::HangUp) {
            ToProgram(info);
            info.clear();
            mode_ = Mode::Executing;
            plan_.clear();
            lineFinal_ = "OK";
            link_.HangUp(now, ops_);
            Apply(ops_);
            Events(now);
            return;
        }
        ToProgram(info + program_.Final("ERROR"));
        return;
    }
    ToProgram(info + program_.Final("OK"));
}

void DialFilter::RunPlan(Clock::time_point now) {
    while (mode_ == Mode::Executing) {
        if (!link_.Ready()) {
            if (!link_.Answering()) {
                plan_.clear();
                Finish("ERROR", now);
            }
            return;  // the configuration runs; Events() goes on
        }
        if (plan_.empty()) {
            Finish(lineFinal_, now);
            return;
        }
        const AtCommand command = plan_.front();
        plan_.pop_front();
        const Verdict verdict = Judge(command, link_.Record(), allowed_, program_.settings.pulse);
        switch (verdict.kind) {
            case Verdict::Kind::Error:
                plan_.clear();
                Finish("ERROR", now);
                return;
            case Verdict::Kind::Refuse:
                plan_.clear();
                mode_ = Mode::Command;
                Refuse(verdict);
                ReadPending(now);
                return;
            case Verdict::Kind::Local:
                if (verdict.effect == Effect::Online) {
                    plan_.clear();
                    Finish("NO CARRIER", now);
                    return;
                }
                if (verdict.effect == Effect::Dial) {
                    link_.Record().heldDial = verdict.text;  // answered OK, sent later whole
                    continue;
                }
                if (!program_.ApplyLocal(command, info_)) {
                    plan_.clear();
                    Finish("ERROR", now);
                    return;
                }
                continue;
            case Verdict::Kind::Forward:
                break;
        }
        if (verdict.effect == Effect::Message) {
            // The program gets the blocker's own prompt; the modem gets nothing until the
            // content is in and checked. A text message's destination is known already: a
            // refused one is answered at once and its text dropped up to Ctrl-Z or Escape.
            messageKind_ = verdict.message;
            messageArgs_ = SplitExtended(command.value);
            content_.clear();
            contentOverflow_ = false;
            mode_ = Mode::MessageText;
            swallow_ = false;
            const Verdict early =
                link_.Record().messageFormat == 1
                    ? JudgeMessage(messageKind_, messageArgs_, link_.Record(), {}, allowed_)
                    : Verdict{};
            if (early.kind == Verdict::Kind::Refuse) {
                swallow_ = true;
                Refuse(early);
            } else {
                ToProgram(std::exchange(info_, {}) + program_.Prompt());
            }
            ReadPending(now);
            return;
        }
        current_ = verdict;
        aborted_ = false;
        link_.Send(verdict.canonical, verdict.effect, now, ops_);
        Apply(ops_);
        return;  // the answer comes through FromModem
    }
}

void DialFilter::Finish(const std::string& word, Clock::time_point now) {
    if (resetProgram_) {
        resetProgram_ = false;
        program_.Reset();
    }
    ToProgram(std::exchange(info_, {}) + program_.Final(word));
    mode_ = link_.Answering() ? Mode::Command : Mode::NotAnswering;
    ReadPending(now);
}

void DialFilter::Refuse(const Verdict& verdict) {
    // Reported before the program hears the answer.
    actions_->push_back({Action::Kind::Blocked, verdict.number});
    std::string word;
    switch (verdict.answer) {
        case Verdict::Answer::NoCarrier:
            word = "NO CARRIER";
            break;
        case Verdict::Answer::MessageError:
            word = "+CMS ERROR: " + std::to_string(verdict.code);
            break;
        case Verdict::Answer::EquipmentError:
            word = "+CME ERROR: " + std::to_string(verdict.code);
            break;
        case Verdict::Answer::Error:
            word = "ERROR";
            break;
    }
    ToProgram(std::exchange(info_, {}) + program_.Final(word));
}

void DialFilter::MessageByte(char byte, Clock::time_point now) {
    const char c = static_cast<char>(static_cast<unsigned char>(byte) & 0x7f);
    if (swallow_) {
        if (c == kEscape || c == kCtrlZ) {
            swallow_ = false;
            mode_ = Mode::Command;
            ReadPending(now);
        }
        return;
    }
    if (c == kEscape) {
        mode_ = Mode::Command;
        content_.clear();
        ToProgram(program_.Final("OK"));
        ReadPending(now);
        return;
    }
    if (c != kCtrlZ) {
        if (program_.settings.echo) {
            ToProgram(std::string(1, c));
        }
        if (c == static_cast<char>(program_.settings.s5)) {
            if (!content_.empty()) {
                content_.pop_back();
            }
        } else if (c == static_cast<char>(program_.settings.s3) && link_.Record().messageFormat == 1) {
            content_.push_back('\r');  // a new line of the text, and a new prompt
            ToProgram(std::string(1, static_cast<char>(program_.settings.s4)) + "> ");
        } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            if (content_.size() < kMaxContent) {
                content_.push_back(c);
            } else {
                contentOverflow_ = true;
            }
        }
        return;
    }
    const std::string content = std::move(content_);
    content_.clear();
    if (contentOverflow_) {
        mode_ = Mode::Command;
        ToProgram(program_.Final("+CMS ERROR: 304"));
        ReadPending(now);
        return;
    }
    const Verdict verdict =
        JudgeMessage(messageKind_, messageArgs_, link_.Record(), content, allowed_);
    if (verdict.kind != Verdict::Kind::Forward) {
        mode_ = Mode::Command;
        Refuse(verdict);
        ReadPending(now);
        return;
    }
    if (!link_.Ready()) {
        Finish("ERROR", now);
        return;
    }
    mode_ = Mode::Executing;
    current_ = verdict;
    content_ = content;  // sent after the modem's own prompt
    link_.Send(verdict.canonical, Effect::Message, now, ops_);
    Apply(ops_);
}

void DialFilter::FromModem(std::string_view bytes, Clock::time_point now,
                           std::vector<Action>& actions) {
    ActionScope scope(actions_, actions);
    link_.FromModem(bytes, now, ops_, events_);
    Apply(ops_);
    Events(now);
}

void DialFilter::Events(Clock::time_point now) {
    while (!events_.empty()) {
        auto events = std::move(events_);
        events_.clear();
        for (auto& event : events) {
            using Kind = ModemLink::Event::Kind;
            switch (event.kind) {
                case Kind::Data:
                    if (mode_ == Mode::Data || mode_ == Mode::OnlineCommand) {
                        ToProgram(event.text);
                    }
                    break;
                case Kind::DataEnded:
                    if (mode_ == Mode::Data || mode_ == Mode::OnlineCommand) {
                        mode_ = Mode::Command;
                        heldEscape_.clear();
                        escapeRun_ = liveRun_ = 0;
                        escapeAt_.reset();
                        program_.Clear();
                        ReadPending(now);
                    }
                    break;
                case Kind::Info:
                    ToProgram(program_.Info(event.text));
                    break;
                case Kind::Unsolicited:
                    if (mode_ != Mode::Configuring) {
                        ToProgram(event.text == "RING" ? program_.Final(event.text)
                                                       : program_.Info(event.text));
                    }
                    break;
                case Kind::Prompt:
                    link_.SendContent(std::exchange(content_, {}), now, ops_);
                    Apply(ops_);
                    break;
                case Kind::Final:
                    OnFinal(event.text, now);
                    break;
                case Kind::Ready:
                    notAnsweringSaid_ = false;
                    if (mode_ == Mode::Configuring || mode_ == Mode::NotAnswering) {
                        mode_ = Mode::Command;
                        ReadPending(now);
                    } else if (mode_ == Mode::Executing) {
                        RunPlan(now);
                    }
                    break;
                case Kind::NotAnswering:
                    if (!notAnsweringSaid_) {
                        notAnsweringSaid_ = true;
                        actions_->push_back({Action::Kind::Notice,
                                             "the modem does not answer; every dial is refused "
                                             "until it does"});
                    }
                    if (mode_ == Mode::Executing) {
                        plan_.clear();
                        Finish("ERROR", now);
                    } else if (mode_ == Mode::Configuring) {
                        mode_ = Mode::NotAnswering;
                        ReadPending(now);
                    }
                    break;
            }
        }
    }
}

void DialFilter::OnFinal(const std::string& word, Clock::time_point now) {
    if (mode_ != Mode::Executing) {
        return;  // an answer nobody waits for (a call given up)
    }
    const Verdict verdict = current_;
    if (verdict.effect == Effect::Message) {
        content_.clear();  // sent, or never asked for (the modem gave no prompt)
    }
    auto& record = link_.Record();
    const bool ok = word == "OK";
    const bool connected = link_.InData();
    // An error is a command the modem did not carry out: a call it holds stays up. The record
    // forgets a held call only when the modem says it did something else.
    const bool notDone =
        word == "ERROR" || word.rfind("+CME ERROR", 0) == 0 || word.rfind("+CMS ERROR", 0) == 0;
    if (verdict.effect != Effect::None) {
        record.heldDial.clear();  // sent with this dial, or dropped by what the modem did
    }
    switch (verdict.effect) {
        case Effect::Dial:
            record.lastNumber = verdict.number;
            if (ok && verdict.continued) {
                record.callPrefix = verdict.number;
                record.callPrefixed = true;
            } else if (!connected && !notDone) {
                record.callPrefix.clear();
                record.callPrefixed = false;
            }
            break;
        case Effect::HangUp:
            if (!notDone) {
                record.callPrefix.clear();
                record.callPrefixed = false;
            }
            break;
        case Effect::Store:
            if (ok) {
                record.stored[verdict.storeIndex] = verdict.text;
            }
            break;
        case Effect::MessageFormat:
            if (ok) {
                record.messageFormat = verdict.value;
            }
            break;
        case Effect::Charset:
            if (ok) {
                record.charset = verdict.text;
            }
            break;
        case Effect::Reset:
            resetProgram_ = resetProgram_ || ok;
            break;
        default:
            break;
    }
    if (connected) {
        // The modem's own CONNECT to a call this side sent: data mode.
        plan_.clear();
        mode_ = Mode::Data;
        lastData_ = now;
        escapeRun_ = liveRun_ = 0;
        heldEscape_.clear();
        ToProgram(std::exchange(info_, {}) + program_.Final(word));
        return;
    }
    if (!ok) {
        plan_.clear();
        lineFinal_ = word;
    }
    // A reset, a maker's command nobody here knows, or a modem not as configured: configure it
    // again before the line goes on.
    const bool changesModem = verdict.effect == Effect::Reset || verdict.effect == Effect::Unknown;
    if (changesModem || link_.ConfigurationSuspect()) {
        if (changesModem) {
            record.lastNumber.clear();
            record.stored.clear();
        }
        link_.Restart(now, ops_, false);
        Apply(ops_);
        return;  // the line goes on when the modem is configured again
    }
    RunPlan(now);
}

void DialFilter::EnterOnlineCommand() {
    heldEscape_.clear();
    escapeRun_ = liveRun_ = 0;
    escapeAt_.reset();
    program_.Clear();
    mode_ = Mode::OnlineCommand;
    ToProgram(program_.Final("OK"));
}

void DialFilter::FlushEscape() {
    if (!heldEscape_.empty()) {
        link_.SendData(heldEscape_, ops_);
        heldEscape_.clear();
    }
    escapeRun_ = 0;
    liveRun_ = 0;
    escapeAt_.reset();
}

void DialFilter::DataFromProgram(std::string_view bytes, Clock::time_point now) {
    KESTRINE_INVARIANT(mode_ == Mode::Data && link_.InData());
    const auto guard = std::chrono::milliseconds(20 * program_.settings.s12);
    const bool programEscapes = program_.settings.s2 < 128;
    const char escape = static_cast<char>(program_.settings.s2);
    const auto live = link_.LiveEscape();
    std::string run;  // bytes to pass
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (live && c == *live) {
            // The modem would escape on three of these: never let it see them in a row.
            heldEscape_.push_back(c);
            ++liveRun_;
            if (programEscapes && c == escape) {
                ++escapeRun_;
            }
            if (liveRun_ == 3) {
                link_.SendData(run, ops_);
                Apply(ops_);
                EnterOnlineCommand();
                const auto rest = bytes.substr(i + 1);
                for (const char r : rest) {
                    Feed(r, now);
                }
                return;
            }
            lastData_ = now;
            continue;
        }
        if (programEscapes && c == escape && (escapeRun_ > 0 || now - lastData_ >= guard) &&
            escapeRun_ < 3) {
            heldEscape_.push_back(c);
            if (++escapeRun_ == 3) {
                escapeAt_ = now + guard;
            }
            lastData_ = now;
            continue;
        }
        run += heldEscape_;
        heldEscape_.clear();
        escapeRun_ = liveRun_ = 0;
        escapeAt_.reset();
        run.push_back(c);
        lastData_ = now;
    }
    if (!run.empty()) {
        link_.SendData(run, ops_);
        Apply(ops_);
    }
}

}  // namespace kestrine::driver
