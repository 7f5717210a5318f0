// The dial blocker and the virtual modem, without a pseudo-terminal in between.
#include <gtest/gtest.h>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/EventQueue.h"
#include "driver/VirtualModem.h"
#include "monitor/MonitorContract.h"

using namespace kestrine::driver;
using Kind = DialFilter::Action::Kind;

namespace {

// A program, the blocker and the virtual modem behind it; collects what the program hears and
// which numbers were refused.
struct Line {
    explicit Line(std::vector<std::string> allowed = {"0123456", "+44 20 7946-0000", "*99#"}) {
        allow.Replace(allowed);
    }
    // Sends `bytes` in one write.
    void Type(std::string_view bytes) {
        std::vector<DialFilter::Action> actions;
        filter.FromProgram(bytes, actions);
        for (const auto& action : actions) {
            switch (action.kind) {
                case Kind::ToModem: {
                    forwarded += action.bytes;
                    const auto reply = modem.Input(action.bytes, now);
                    filter.FromModem(reply);
                    heard += reply;
                    break;
                }
                case Kind::ToProgram:
                    heard += action.bytes;
                    break;
                case Kind::Blocked:
                    blocked.push_back(action.bytes);
                    break;
            }
        }
    }
    void Wait(std::chrono::milliseconds ms) {
        now += ms;
        const auto reply = modem.Tick(now);
        filter.FromModem(reply);
        heard += reply;
    }
    // The line drops while a call is up.
    void DropCarrier() {
        const auto reply = modem.HangUp(true);
        filter.FromModem(reply);
        heard += reply;
    }
    std::string Take() { return std::exchange(heard, {}); }

    AllowList allow;
    DialFilter filter{allow};
    VirtualModem modem;
    VirtualModem::Clock::time_point now = VirtualModem::Clock::now();
    std::string forwarded;
    std::string heard;
    std::vector<std::string> blocked;
};

}  // namespace

TEST(Normalisation, KeepsDialDigitsOnly) {
    EXPECT_EQ(NormaliseNumber("+44 (20) 7946-0000"), "+442079460000");
    EXPECT_EQ(NormaliseNumber("T0,W12.3p4"), "01234");
    EXPECT_EQ(NormaliseNumber("*99#abcd"), "*99#ABCD");
    AllowList list;
    list.Replace({"0123 456", "call me", "   "});
    EXPECT_TRUE(list.Allows("0123456"));
    EXPECT_TRUE(list.Allows("CA")) << "a-d are dial digits, so 'call me' keeps CA";
    EXPECT_FALSE(list.Allows(""));
    EXPECT_TRUE(list.LeadsToAllowed("0123"));
    EXPECT_FALSE(list.LeadsToAllowed("0124"));
}

TEST(DialBlocking, TableOfDialLines) {
    struct Case {
        const char* what;
        std::vector<std::string> writes;  // what the program writes, in separate writes
        std::string blocked;              // "" when the dial goes through
    };
    const Case cases[] = {
        {"plain allowed", {"ATDT0123456\r"}, ""},
        {"plain refused", {"ATDT0900123\r"}, "0900123"},
        {"lower case and blanks", {"at dt 0900 123\r"}, "0900123"},
        {"mixed case prefix", {"aTdT0900\r"}, "0900"},
        {"noise before AT", {"xyzATD0900\r"}, "0900"},
        {"allowed with separators and modifiers", {"ATDT+44(20)7946-0000\r"}, ""},
        {"allowed with pauses", {"ATDTW0,123 456\r"}, ""},
        {"digits * # + kept in the report", {"ATD*31#+49-170\r"}, "*31#+49170"},
        {"several commands before the dial", {"ATX3E0DT0900\r"}, "0900"},
        {"prefixed command before the dial", {"AT&D2DT0900\r"}, "0900"},
        {"register before the dial", {"ATS7=60DT0900\r"}, "0900"},
        {"extended command with ; before the dial",
         {"AT+CGDCONT=1,\"IP\",\"a;b\";D0900\r"},
         "0900"},
        {"split across writes", {"AT", "DT09", "00\r"}, "0900"},
        {"backspace editing to a refused number", {"ATDT0123456\b\b\b\b\b\b\b0900\r"}, "0900"},
        {"backspace editing to an allowed number", {"ATDT0900\b\b\b\b0123456\r"}, ""},
        {"continued to an allowed number", {"ATDT0123;\r", "ATD456\r"}, ""},
        {"continued prefix leading nowhere", {"ATDT0900;\r"}, "0900"},
        {"continued beyond an allowed number", {"ATDT0123456;\r", "ATD99\r"}, "012345699"},
        {"continued twice in one line", {"ATD01;D23;D456\r"}, ""},
        {"redial of a refused number", {"ATDT0900\r", "ATDL\r"}, "L"},
        {"redial with nothing dialled", {"ATDL\r"}, "L"},
        {"stored number never seen", {"ATDS=1\r"}, "S=1"},
        {"stored number that is not allowed", {"AT&Z1=555\r", "ATDS=1\r"}, "555"},
        {"stored number that is allowed", {"AT&Z2=0123456\r", "ATDS2\r"}, ""},
        {"phonebook", {"ATD>5\r"}, "5"},
        {"voice dial by extended command", {"AT+CDV0900\r"}, "0900"},
        {"hook flash", {"ATD0123456!0900\r"}, "01234560900"},
        {"unparsable line with a dial after it", {"AT)D0900\r"}, "0900"},
        {"dial of nothing but noise", {std::string("ATD\x01\0\n>", 7) + "\r"}, ">"},
        {"second AT after a line feed", {"ATE0\nATDT0900\r"}, "0900"},
        {"empty dial", {"ATD\r"}, "ATD"},
    };
    for (const auto& c : cases) {
        Line line;
        for (const auto& write : c.writes) {
            line.Type(write);
        }
        if (c.blocked.empty()) {
            EXPECT_TRUE(line.blocked.empty()) << c.what << ": refused " << line.blocked.front();
            EXPECT_NE(line.heard.find("CONNECT 33600"), std::string::npos)
                << c.what << ": " << line.heard;
        } else {
            ASSERT_FALSE(line.blocked.empty()) << c.what;
            // What the number was reported as, except for forms that name no number of their own.
            if (c.blocked != "ATD") {
                EXPECT_EQ(line.blocked.back(), c.blocked) << c.what;
            }
            EXPECT_EQ(line.forwarded.find("0900"), std::string::npos)
                << c.what << ": " << line.forwarded;
            EXPECT_NE(line.heard.find("\r\nNO CARRIER\r\n"), std::string::npos) << c.what;
            EXPECT_EQ(line.heard.find("CONNECT"), std::string::npos) << c.what;
        }
    }
}

TEST(DialBlocking, ARefusedLineIsEchoedAndAnsweredAsTheModemWouldWordIt) {
    Line line;
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.Take(), "ATDT0900\r\r\nNO CARRIER\r\n");
    line.Type("ATE0V0\r");
    EXPECT_EQ(line.Take(), "ATE0V0\r0\r");
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.Take(), "3\r") << "no echo, numeric result";
    line.Type("ATQ1\r");
    line.Take();
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.Take(), "") << "a quiet modem says nothing";
    EXPECT_EQ(line.blocked.size(), 3u);
}

TEST(DialBlocking, RepeatAndRedialFollowWhatWasForwarded) {
    Line line;
    line.Type("ATDT0123456\r");
    line.DropCarrier();
    line.Take();
    line.Type("A/");
    EXPECT_NE(line.Take().find("CONNECT"), std::string::npos) << "A/ repeats the allowed dial";
    line.DropCarrier();
    line.Type("ATDT0900\r");  // refused, so not what the modem would repeat or redial
    line.Take();
    line.Type("ATDL\r");
    EXPECT_NE(line.Take().find("CONNECT"), std::string::npos)
        << "L redials the last forwarded number";
    line.DropCarrier();
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));

    // Once the number is no longer allowed, neither repeat nor redial passes.
    line.allow.Replace({"5555"});
    line.Type("A/");
    line.Type("ATDL\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900", "0123456", "0123456"}));
}

TEST(DialBlocking, DataModePassesBytesAndEscapeReturnsToChecking) {
    Line line;
    line.Type("ATDT0123456\r");
    ASSERT_TRUE(line.filter.InDataMode());
    line.Take();
    line.Type("ATDT0900\r");  // payload in data mode, not a command: goes to the far end
    EXPECT_EQ(line.Take(), "ATDT0900\r");
    EXPECT_TRUE(line.blocked.empty());

    line.Type("+++ATDT0900\r");  // escape without guard time, then a dial
    EXPECT_FALSE(line.filter.InDataMode());
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));
}

TEST(DialBlocking, AnEscapeSequenceInCommandModeIsNotHeldBack) {
    Line line;
    line.Type("+++");
    EXPECT_EQ(line.forwarded, "+++") << "a script that escapes first waits for the modem's answer";
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));
    line.Type("ATH\r");
    EXPECT_EQ(line.forwarded, "+++ATH\r");
}

TEST(DialBlocking, LostCarrierReturnsToChecking) {
    Line line;
    line.Type("ATDT0123456\r");
    ASSERT_TRUE(line.filter.InDataMode());
    line.filter.FromModem("some data\r\nNO CAR");
    line.filter.FromModem("RIER\r\n");
    EXPECT_FALSE(line.filter.InDataMode());
}

TEST(DialBlocking, NumericResultCodesAreFollowedToo) {
    Line line;
    line.Type("ATV0\r");
    line.Type("ATDT0123456\r");
    ASSERT_TRUE(line.filter.InDataMode()) << "numeric CONNECT";
    line.filter.FromModem("xyz3\r");  // NO CARRIER right behind the last data byte
    EXPECT_FALSE(line.filter.InDataMode());
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));
}

TEST(DialBlocking, TheModemsEchoOfAForwardedLineIsNoConnect) {
    // "CONNECT" typed by the program comes back as echo while the modem still dials; taking it
    // for the modem's answer would switch the checks off.
    AllowList allow;
    allow.Replace({"0123456"});
    DialFilter filter(allow);
    std::vector<DialFilter::Action> actions;
    filter.FromProgram("CONNECT\nATD0123456\r", actions);
    ASSERT_EQ(actions.size(), 1u);
    filter.FromModem("CONNECT\nATD0123456\r");
    EXPECT_FALSE(filter.InDataMode());
    actions.clear();
    filter.FromProgram("ATDT0900\r", actions);
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions[1].kind, Kind::Blocked);
}

TEST(DialBlocking, OverlongLinesAreAnsweredErrorAndNeverForwarded) {
    Line line;
    line.Type("ATDT0123456" + std::string(300, '5') + "\r");
    EXPECT_EQ(line.Take(), "\r\nERROR\r\n");
    EXPECT_EQ(line.forwarded, "");
    line.Type("ATS3=10\r");
    line.Take();
    line.Type("ATDT0900\n");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"})) << "the terminator follows S3";
}

TEST(VirtualModem, AnswersAsAHayesModem) {
    struct Case {
        const char* input;
        const char* output;
    };
    const Case cases[] = {
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"ATI\r", "ATI\r\r\nKestrine virtual modem\r\n\r\nOK\r\n"},
        {"ATS7=45S7?\r", "ATS7=45S7?\r\r\n045\r\n\r\nOK\r\n"},
        {"ATG\r", "ATG\r\r\nERROR\r\n"},
        {"ATO\r", "ATO\r\r\nNO CARRIER\r\n"},
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"ATV0\r", "0\r"},
        {"AT\r", "0\r"},
        {"ATZ\r", "\r\nOK\r\n"},
        {"AT&F\r", "AT&F\r\r\nOK\r\n"},
    };
    VirtualModem modem;
    const auto now = VirtualModem::Clock::now();
    for (const auto& c : cases) {
        EXPECT_EQ(modem.Input(c.input, now), c.output) << c.input;
    }
}

TEST(VirtualModem, DataModeEchoesAndEscapesOnlyWithGuardTime) {
    VirtualModem modem;
    auto now = VirtualModem::Clock::now();
    modem.Input("ATE0S12=5\r", now);
    EXPECT_EQ(modem.Input("ATD123\r", now), "\r\nCONNECT 33600\r\n");
    EXPECT_TRUE(modem.Online());
    EXPECT_EQ(modem.Input("hello+++", now), "hello+++");
    now += std::chrono::seconds(1);
    EXPECT_EQ(modem.Tick(now), "") << "no guard time before the +++";
    EXPECT_EQ(modem.Input("+++", now), "+++");
    now += std::chrono::milliseconds(50);
    EXPECT_EQ(modem.Input("x", now), "x") << "a byte within the guard time cancels the escape";
    now += std::chrono::milliseconds(200);
    modem.Input("+++", now);
    now += std::chrono::milliseconds(150);
    EXPECT_EQ(modem.Tick(now), "\r\nOK\r\n");
    EXPECT_FALSE(modem.Online());
    EXPECT_EQ(modem.Input("ATO\r", now), "\r\nCONNECT 33600\r\n");
    EXPECT_EQ(modem.HangUp(true), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem.Input("ATH\r", now), "\r\nOK\r\n");
}

TEST(EventQueue, CoalescesBurstsAndNeverDropsABlockedNumber) {
    using namespace kestrine::monitor;
    EventQueue queue;
    queue.PushData(PortWrite, "AT");
    queue.PushData(PortWrite, "DT\r");
    queue.PushData(PortRead, "OK");
    ASSERT_EQ(queue.Size(), 2u);
    EXPECT_EQ(DecodeMonitorEvent(queue.Head())->data, "ATDT\r");

    // A record announced to a wait stays as announced.
    EventQueue frozen;
    frozen.PushData(PortWrite, "A");
    const auto size = frozen.AnnounceHead();
    frozen.PushData(PortWrite, "B");
    EXPECT_EQ(frozen.AnnounceHead(), size);
    EXPECT_EQ(frozen.Size(), 2u);

    // A flood fills the queue in records of at most kMaxDataPayload bytes, then drops.
    EventQueue flood;
    flood.PushData(PortRead,
                   std::string(EventQueue::kMaxDataPayload * (EventQueue::kMaxRecords + 10), 'x'));
    EXPECT_EQ(flood.Size(), EventQueue::kMaxRecords);
    EXPECT_EQ(DecodeMonitorEvent(flood.Head())->data.size(), EventQueue::kMaxDataPayload);
    flood.PushSimple(PortClosed);
    EXPECT_EQ(flood.Size(), EventQueue::kMaxRecords) << "a full queue drops ordinary events";
    flood.PushNumberBlocked("0900");
    EXPECT_EQ(flood.Size(), EventQueue::kMaxRecords + 1) << "but never a refused number";
    EXPECT_FALSE(flood.BlockedIsFull());
    for (std::size_t i = 1; i < EventQueue::kMaxBlocked; ++i) {
        flood.PushNumberBlocked("0900");
    }
    EXPECT_TRUE(flood.BlockedIsFull()) << "the port then stops reading from the program";
}
