// The dial blocker and the virtual modem: in-process, and through a real qddriver's port.
#include <gtest/gtest.h>

#include <optional>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/EventQueue.h"
#include "driver/VirtualModem.h"
#include "monitor/MonitorContract.h"
#include "tests/driver/DriverHarness.h"

using namespace kestrine::driver;
using Kind = DialFilter::Action::Kind;

namespace {

const std::vector<std::string> kAllowed = {"0123456", "+44 20 7946-0000", "*99#", "+44 7700 900123",
                                           "*100#"};

// A program, the blocker and the virtual modem behind it; collects what the program hears and
// which numbers were refused.
struct Line {
    explicit Line(std::vector<std::string> allowed = kAllowed) { allow.Replace(allowed); }
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
    // Every number the modem dialled is allowed.
    bool DialledOnlyAllowed() const {
        return std::all_of(modem.Calls().begin(), modem.Calls().end(), [&](const auto& call) {
            return call.continued ? allow.LeadsToAllowed(call.number) : allow.Allows(call.number);
        });
    }

    AllowList allow;
    DialFilter filter{allow};
    VirtualModem modem;
    VirtualModem::Clock::time_point now = VirtualModem::Clock::now();
    std::string forwarded;
    std::string heard;
    std::vector<std::string> blocked;
};

struct DialCase {
    const char* what;
    std::vector<std::string> writes;           // what the program writes, in separate writes
    std::string blocked;                       // "" when the dial goes through
    std::string reply = "\r\nNO CARRIER\r\n";  // how the refusal is answered
};

const std::vector<DialCase>& DialCases() {
    static const std::vector<DialCase> cases = {
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
        // A picture of the modem led astray by lines the modem refused or reads otherwise.
        {"S3 out of range: CR still ends the line", {"ATS3=321\r", "ATDT0900123\rA"}, "0900123"},
        {"S5 out of range: the comma is still a pause",
         {"ATS5=300\r", "ATD0900,,,,0123456\r"},
         "09000123456"},
        {"unknown command before S3", {"ATGS3=65\r", "ATDT0900123\rA"}, "0900123"},
        {"unknown command before S5", {"ATGS5=44\r", "ATD0900,,,,0123456\r"}, "09000123456"},
        {"a vendor prefix a lenient modem skips", {"AT\\D0900\r"}, "0900"},
        {"a bare =v, which an old modem writes to the register last named",
         {"ATS3\r", "AT=65\r", "ATDT0900123\rA"},
         "0900123"},
        {"a register number a modem might wrap", {"ATS259=65\r", "ATDT0900123\rA"}, "0900123"},
        {"a changed terminator ends the next dial",
         {"ATS3=10\r", "ATDT0900\n"},
         "0900",
         "\n\nNO CARRIER\n\n"},
        {"a changed terminator for an allowed dial", {"ATS3=10\r", "ATDT0123456\n"}, ""},
        {"Z after a change: CR ends lines again", {"ATS3=10\r", "ATZ\n", "ATDT0900\r"}, "0900"},
        {"&F after a change: CR ends lines again", {"ATS3=10\r", "AT&F\n", "ATDT0900\r"}, "0900"},
        {"a number stored by a line the modem refused", {"ATG&Z1=0123456\r", "ATDS1\r"}, "S=1"},
        {"redial after a dial the modem refused", {"ATGD0123456\r", "ATDL\r"}, "L"},
        {"quiet results: refused without a word", {"ATQ1\r", "ATDT0900\r"}, "0900", ""},
        {"quiet results: no data mode after a call",
         {"ATQ1\r", "ATDT0123456\r", "ATD0900\r"},
         "0900",
         ""},
        {"numeric results", {"ATV0\r", "ATDT0900\r"}, "0900", "3\r"},
    };
    return cases;
}

// Messages and service codes on a mobile modem. `blocked`: what was reported (nothing when
// all went through); `heard`: what the program must hear; `kept`: text that must never reach
// the modem.
struct MobileCase {
    const char* what;
    std::vector<std::string> writes;
    std::optional<std::string> blocked;
    std::string heard;
    std::string kept = {};
};

// 23.040's example message to +46708251358, and one of ours to 0123456 without a service centre
// part and to +447700900123 with one.
const std::string kPduAbroad = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
const std::string kPduHome = "0001000781103254F6000002E834";
const std::string kPduWithCentre = "079144770009909901000C914477000910320000026834";

const std::vector<MobileCase>& MobileCases() {
    static const std::vector<MobileCase> cases = {
        {"text message to an allowed number",
         {"AT+CMGF=1\r", "AT+CMGS=\"0123456\"\r", "hello\x1A"},
         std::nullopt,
         "+CMGS:"},
        {"text message to a refused number: refused before the prompt, its text swallowed",
         {"AT+CMGF=1\r", "AT+CMGS=\"0900123\",129\r", "win a prize\r now\x1A", "AT\r"},
         "0900123",
         "\r\nERROR\r\nAT\r\r\nOK",
         "prize"},
        {"extended errors on: the error a modem gives",
         {"AT+CMEE=1;+CMGF=1\r", "AT+CMGS=\"0900123\"\r", "x\x1A"},
         "0900123",
         "+CMS ERROR: 302"},
        {"Escape ends the swallowed text too",
         {"AT+CMGF=1\r", "AT+CMGS=\"0900123\"\r", "prize\x1B", "ATDT0123456\r"},
         "0900123",
         "CONNECT 33600",
         "prize"},
        {"split writes and lower case",
         {"at+cmgf=1\r", "at+cm", "gs=\"09", "00123\"\r", "x\x1A"},
         "0900123",
         "ERROR"},
        {"a line of the message that dials is still refused",
         {"AT+CMGF=1\r", "AT+CMGS=\"0123456\"\r", "ok ATD0900\r", "bye\x1A"},
         "0900",
         "+CMGS:",
         "ATD0900"},
        {"PDU to an allowed number, no service centre",
         {"AT+CMGS=13\r", kPduHome + "\x1A"},
         std::nullopt,
         "+CMGS:"},
        {"PDU abroad: held, then refused, and the modem drops it",
         {"AT+CMGS=23\r", kPduAbroad + "\x1A", "AT\r"},
         "+46708251358",
         "\r\nERROR\r\n",
         kPduAbroad},
        {"PDU with a service centre, international",
         {"AT+CMGS=15\r", kPduWithCentre.substr(0, 20), kPduWithCentre.substr(20) + "\x1A"},
         std::nullopt,
         "+CMGS:"},
        {"PDU that cannot be read", {"AT+CMEE=1\r", "AT+CMGS=5\r", "zz99\x1A"}, "", "304", "zz99"},
        {"PDU dropped with Escape",
         {"AT+CMGS=13\r", kPduHome + "\x1B", "AT\r"},
         std::nullopt,
         "\r\nOK\r\n"},
        {"stored message without a destination",
         {"AT+CMGF=1\r", "AT+CMGW=\"0900\"\r", "stored\x1A", "AT+CMSS=1\r"},
         "",
         "ERROR"},
        {"stored message to an allowed number",
         {"AT+CMGF=1\r", "AT+CMGW=\"0900\"\r", "stored\x1A", "AT+CMSS=1,\"0123456\"\r"},
         std::nullopt,
         "+CMSS:"},
        {"service code on the list", {"AT+CUSD=1,\"*100#\",15\r"}, std::nullopt, "+CUSD: 0,"},
        {"service code not on the list",
         {"AT+CMEE=1\r", "AT+CUSD=1,\"*123*1#\",15\r"},
         "*123*1#",
         "+CME ERROR: 3"},
        {"service code by dial", {"ATD*123*1#\r"}, "*123*1#", "NO CARRIER"},
        {"service code by dial, on the list", {"ATD*100#;\r"}, std::nullopt, "+CUSD: 0,"},
        {"a voice call with ';' on a mobile modem is a call of its own",
         {"AT+CGMI\r", "ATD0123;\r"},
         "0123",
         "NO CARRIER"},
    };
    return cases;
}

void ExpectMobile(const MobileCase& c, const std::string& heard,
                  const std::vector<std::string>& blocked) {
    if (c.blocked) {
        ASSERT_EQ(blocked.size(), 1u) << c.what << ": " << heard;
        EXPECT_EQ(blocked[0], *c.blocked) << c.what;
    } else {
        EXPECT_TRUE(blocked.empty()) << c.what << ": refused " << blocked.front();
    }
    EXPECT_NE(heard.find(c.heard), std::string::npos) << c.what << ": " << heard;
}

// What a row expects of what the program heard and which numbers were reported.
void ExpectOutcome(const DialCase& c, const std::string& heard,
                   const std::vector<std::string>& blocked) {
    if (c.blocked.empty()) {
        EXPECT_TRUE(blocked.empty()) << c.what << ": refused " << blocked.front();
        EXPECT_NE(heard.find("CONNECT 33600"), std::string::npos) << c.what << ": " << heard;
        return;
    }
    ASSERT_FALSE(blocked.empty()) << c.what << ": " << heard;
    // What the number was reported as, except for forms that name no number of their own.
    if (c.blocked != "ATD") {
        EXPECT_EQ(blocked.back(), c.blocked) << c.what;
    }
    if (!c.reply.empty()) {
        EXPECT_NE(heard.find(c.reply), std::string::npos) << c.what << ": " << heard;
    }
    EXPECT_EQ(heard.find("CONNECT"), std::string::npos) << c.what << ": " << heard;
}

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
    for (const auto& c : DialCases()) {
        Line line;
        for (const auto& write : c.writes) {
            line.Type(write);
        }
        ExpectOutcome(c, line.heard, line.blocked);
        EXPECT_TRUE(line.DialledOnlyAllowed()) << c.what << ": " << line.forwarded;
        if (!c.blocked.empty()) {
            EXPECT_EQ(line.forwarded.find("0900"), std::string::npos)
                << c.what << ": " << line.forwarded;
        }
    }
}

TEST(MobileBlocking, TableOfMessagesAndServiceCodes) {
    for (const auto& c : MobileCases()) {
        Line line;
        for (const auto& write : c.writes) {
            line.Type(write);
        }
        ExpectMobile(c, line.heard, line.blocked);
        EXPECT_TRUE(line.DialledOnlyAllowed()) << c.what << ": " << line.forwarded;
        if (!c.kept.empty()) {
            EXPECT_EQ(line.forwarded.find(c.kept), std::string::npos)
                << c.what << ": " << line.forwarded;
        }
    }
}

// The same rows through a real driver: the published port, the driver's loop, the virtual modem
// behind it, and the refusals as the application reads them.
namespace {

// Writes a row's writes to a fresh port of `driver` and collects what the program heard and what
// the application was told was refused.
void RunThroughDriver(kestrine::test::DriverProcess& driver, kestrine::platform::Device& device,
                      const std::vector<std::string>& writes, std::string& heard,
                      std::vector<std::string>& blocked) {
    using namespace kestrine::test;
    // A fresh attach is a fresh port: a new modem and a new picture of it.
    const auto id = Attach(device, 1);
    SetAllowList(device, kAllowed);
    {
        OpenPort program(driver.Port(1));
        for (const auto& write : writes) {
            program.Write(write);
            heard += program.ReadUntilQuiet(60ms);
        }
    }
    for (const auto& event : EventsUntil(device, id, "closed")) {
        if (event.rfind("blocked:", 0) == 0) {
            blocked.push_back(event.substr(8));
        }
    }
    ASSERT_TRUE(Detach(device, id));
}

}  // namespace

TEST(DialBlockingThroughTheDriver, TablesOfDialLinesMessagesAndServiceCodes) {
    using namespace kestrine::test;
    if (!HavePtys()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
    }
    DriverProcess driver;
    ASSERT_TRUE(driver.Ready());
    const auto device = OpenDriver();
    ASSERT_TRUE(device);
    for (const auto& c : DialCases()) {
        std::string heard;
        std::vector<std::string> blocked;
        RunThroughDriver(driver, *device, c.writes, heard, blocked);
        ExpectOutcome(c, heard, blocked);
    }
    for (const auto& c : MobileCases()) {
        std::string heard;
        std::vector<std::string> blocked;
        RunThroughDriver(driver, *device, c.writes, heard, blocked);
        ExpectMobile(c, heard, blocked);
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
    // A numeric result is digits and CR; the same digits with LF are information text, so the
    // byte after the CR decides.
    EXPECT_FALSE(line.filter.InDataMode());
    line.filter.FromModem("~");  // the far end's first byte
    ASSERT_TRUE(line.filter.InDataMode()) << "numeric CONNECT";
    line.filter.FromModem("xyz3\r");  // NO CARRIER right behind the last data byte
    EXPECT_FALSE(line.filter.InDataMode());
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));

    // A register's value printed before the dial's answer is no CONNECT.
    DialFilter& filter = line.filter;
    std::vector<DialFilter::Action> actions;
    filter.FromProgram("ATS7?DT0123456\r", actions);
    filter.FromModem("050\r\n7\r");  // S7, then BUSY
    filter.FromModem("A");
    EXPECT_FALSE(filter.InDataMode());
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
    const std::string overlong = "ATDT0123456" + std::string(300, '5') + "\r";
    line.Type(overlong);
    EXPECT_EQ(line.Take(), overlong + "\r\nERROR\r\n") << "echoed as typed, then ERROR";
    EXPECT_EQ(line.forwarded, "");
    line.Type("ATS3=10\r");
    line.Take();
    line.Type("ATDT0900\n");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"})) << "the terminator follows S3";
}

TEST(VirtualModem, AnswersAsAHayesModem) {
    struct Case {
        std::string input;
        std::string output;
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
        // What it cannot carry out is ERROR, and the rest of the line is not run.
        {"ATS7=300\r", "ATS7=300\r\r\nERROR\r\n"},
        {"ATGS7=45\r", "ATGS7=45\r\r\nERROR\r\n"},
        {"ATS7?\r", "ATS7?\r\r\n050\r\n\r\nOK\r\n"},
        {"AT" + std::string(300, 'E') + "\r", "AT" + std::string(300, 'E') + "\r\r\nERROR\r\n"},
        {"ATD>1\r", "ATD>1\r\r\nERROR\r\n"},
        // S3 ends lines and results; Z and &F bring back the factory settings or what &W stored.
        {"ATS3=10S5=44\r", "ATS3=10S5=44\r\n\nOK\n\n"},
        {"ATZ\n", "ATZ\n\r\nOK\r\n"},
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"ATS3=10&W\r", "ATS3=10&W\r\n\nOK\n\n"},
        {"AT&F\n", "AT&F\n\r\nOK\r\n"},
        {"ATZ\r", "ATZ\r\n\nOK\n\n"},
        {"AT&F\n", "AT&F\n\r\nOK\r\n"},
    };
    VirtualModem modem;
    const auto now = VirtualModem::Clock::now();
    for (const auto& c : cases) {
        EXPECT_EQ(modem.Input(c.input, now), c.output) << c.input;
    }
}

TEST(VirtualModem, RedialStoredAndContinuedNumbersAreWhatItDials) {
    VirtualModem modem;
    const auto now = VirtualModem::Clock::now();
    modem.Input("ATE0&Z1=01-23\r", now);
    EXPECT_EQ(modem.Input("ATD98;\r", now), "\r\nOK\r\n") << "off-hook, still in command mode";
    EXPECT_EQ(modem.Input("ATDS1\r", now), "\r\nCONNECT 33600\r\n");
    modem.HangUp(false);
    modem.Input("ATDL\r", now);
    modem.HangUp(false);
    EXPECT_EQ(modem.Input("ATDS7\r", now), "\r\nERROR\r\n") << "nothing stored there";
    std::vector<std::string> dialled;
    for (const auto& call : modem.Calls()) {
        dialled.push_back(call.number + (call.continued ? ";" : ""));
    }
    EXPECT_EQ(dialled, (std::vector<std::string>{"98;", "980123", "980123"}));

    VirtualModem::Options options;
    options.redialsLastDialOnly = true;
    VirtualModem other(options);
    other.Input("ATD98;D0123\r", now);
    other.HangUp(false);
    other.Input("ATDL\r", now);
    EXPECT_EQ(other.Calls().back().number, "0123") << "this one redials the last dial only";
}

TEST(VirtualModem, ADialThatTakesTimeEndsAtAnyKey) {
    VirtualModem::Options options;
    options.dialTime = std::chrono::seconds(2);
    VirtualModem modem(options);
    auto now = VirtualModem::Clock::now();
    EXPECT_EQ(modem.Input("ATD0123456\r", now), "ATD0123456\r");
    EXPECT_EQ(modem.Input("x", now), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem.Input("AT\r", now), "AT\r\r\nOK\r\n");
    modem.Input("ATD0123456\r", now);
    now += std::chrono::seconds(2);
    EXPECT_EQ(modem.Tick(now), "\r\nCONNECT 33600\r\n");
    EXPECT_TRUE(modem.Online());
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
