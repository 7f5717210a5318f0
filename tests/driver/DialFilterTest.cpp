// The dial blocker and the virtual modem: in-process, and through a real qddriver's port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "driver/AllowList.h"
#include "driver/DialFilter.h"
#include "driver/EventQueue.h"
#include "driver/ModemLink.h"
#include "driver/VirtualModem.h"
#include "monitor/MonitorContract.h"
#include "tests/driver/DriverHarness.h"
#include "tests/fuzz/DialSession.h"
#include "tests/support/SpanModem.h"

using namespace kestrine::driver;
using Kind = DialFilter::Action::Kind;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> kAllowed = {"0123456", "+44 20 7946-0000", "*99#", "+44 7700 900123",
                                           "*100#"};

AllowList MakeList(const std::vector<std::string>& numbers) {
    AllowList list;
    list.Replace(numbers);
    return list;
}

// A program, the blocker and the virtual modem behind it; collects what the program hears,
// what the modem was sent (past the blocker's own configuration at attach) and which numbers
// were refused.
struct Line {
    explicit Line(std::vector<std::string> allowed = kAllowed, bool landline = false)
        : allow(MakeList(allowed)), rig(allow, Options(landline)) {
        rig.forwarded.clear();
    }
    static VirtualModem::Options Options(bool landline) {
        VirtualModem::Options options;
        options.landline = landline;
        return options;
    }
    void Type(std::string_view bytes) { rig.Type(bytes); }
    void Wait(std::chrono::milliseconds ms) { rig.Wait(ms); }
    // The line drops while a call is up.
    void DropCarrier() { rig.ModemSays(rig.modem.HangUp(true)); }
    std::string Take() { return rig.Take(); }
    bool DialledOnlyAllowed() const { return !kestrine::test::FirstBreach(rig.modem, allow); }

    AllowList allow;
    kestrine::test::DialRig rig;
    DialFilter& filter = rig.filter;
    VirtualModem& modem = rig.modem;
    std::string& forwarded = rig.forwarded;
    std::string& heard = rig.heard;
    std::vector<std::string>& blocked = rig.blocked;
};

struct DialCase {
    const char* what;
    std::vector<std::string> writes;           // what the program writes, in separate writes
    std::string blocked;                       // "" when the dial goes through
    std::string reply = "\r\nNO CARRIER\r\n";  // how the refusal is answered
    bool landline = false;  // holds where ';' continues a call (not on a mobile modem)
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
        {"continued to an allowed number", {"ATDT0123;\r", "ATD456\r"}, "", {}, true},
        {"continued prefix leading nowhere", {"ATDT0900;\r"}, "0900"},
        {"continued beyond an allowed number", {"ATDT0123456;\r", "ATD99\r"}, "012345699"},
        {"continued twice in one line", {"ATD01;D23;D456\r"}, "", {}, true},
        {"redial of a refused number", {"ATDT0900\r", "ATDL\r"}, "L"},
        {"redial with nothing dialled", {"ATDL\r"}, "L"},
        {"stored number never seen", {"ATDS=1\r"}, "S=1"},
        {"stored number that is not allowed", {"AT&Z1=555\r", "ATDS=1\r"}, "555"},
        {"stored number that is allowed", {"AT&Z2=0123456\r", "ATDS2\r"}, ""},
        {"phonebook", {"ATD>5\r"}, "5"},
        {"voice dial by extended command", {"AT+CDV0900\r"}, "0900"},
        {"hook flash", {"ATD0123456!0900\r"}, "01234560900"},
        {"unparsable line with a dial after it: ERROR, nothing sent",
         {"AT)D0900\r"},
         "",
         "\r\nERROR\r\n"},
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
        {"a vendor prefix a lenient modem skips", {"AT\\D0900\r"}, "", "\r\nERROR\r\n"},
        {"a maker's prefix a lenient modem skips", {"AT^D0900\r"}, "", "\r\nERROR\r\n"},
        {"a maker's prefix that begins no basic command", {"AT*D0900\r"}, "", "\r\nERROR\r\n"},
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
        {"a message's text is text to the modem, whatever it holds",
         {"AT+CMGF=1\r", "AT+CMGS=\"0123456\"\r", "ok ATD0900\r", "bye\x1A", "AT\r"},
         std::nullopt,
         "+CMGS:"},
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
        // Passed (CONNECT), or refused as a line nobody can read (ERROR).
        const bool passes = c.reply == "\r\nNO CARRIER\r\n";
        EXPECT_NE(heard.find(passes ? "CONNECT 33600" : c.reply), std::string::npos)
            << c.what << ": " << heard;
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
        Line line(kAllowed, c.landline);
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
void RunThroughDriver(const std::vector<std::string>& writes, std::string& heard,
                      std::vector<std::string>& blocked) {
    using namespace kestrine::test;
    // A port lives as long as its driver: a fresh driver is a new modem and a new picture of it.
    DriverProcess driver;
    ASSERT_TRUE(driver.Ready());
    const auto served = OpenDriver();
    ASSERT_TRUE(served);
    kestrine::platform::Device& device = *served;
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
    for (const auto& c : DialCases()) {
        if (c.landline) {
            continue;  // the driver's virtual modem speaks the mobile command set
        }
        std::string heard;
        std::vector<std::string> blocked;
        RunThroughDriver(c.writes, heard, blocked);
        ExpectOutcome(c, heard, blocked);
    }
    for (const auto& c : MobileCases()) {
        std::string heard;
        std::vector<std::string> blocked;
        RunThroughDriver(c.writes, heard, blocked);
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

TEST(DialBlocking, DataModePassesBytesAndOnlyTheProgramsEscapeReturnsToCommands) {
    Line line;
    line.Type("ATDT0123456\r");
    ASSERT_TRUE(line.filter.InDataMode());
    line.Take();
    line.Type("ATDT0900\r");  // payload in data mode, not a command: goes to the far end
    EXPECT_EQ(line.Take(), "ATDT0900\r");
    line.Type("+++ATDT0900\r");  // no guard time: data too, and the modem's escape is off
    EXPECT_TRUE(line.filter.InDataMode());
    EXPECT_TRUE(line.blocked.empty());

    // The escape with its guard times is the blocker's: the modem stays online meanwhile.
    line.Wait(1100ms);
    line.Type("+++");
    line.Wait(1100ms);
    EXPECT_FALSE(line.filter.InDataMode());
    EXPECT_NE(line.Take().find("\r\nOK\r\n"), std::string::npos);
    EXPECT_TRUE(line.modem.Online()) << "the modem never saw the escape";
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));
    line.Type("ATO\r");
    EXPECT_TRUE(line.filter.InDataMode());
    line.Wait(1100ms);
    line.Type("+++");
    line.Wait(1100ms);
    line.Take();
    line.Type("ATH\r");
    EXPECT_FALSE(line.modem.CallUp()) << "H in online command state hangs the modem up";
    EXPECT_NE(line.Take().find("\r\nOK\r\n"), std::string::npos);
    EXPECT_TRUE(line.DialledOnlyAllowed());
}

TEST(DialBlocking, LostCarrierReturnsToChecking) {
    Line line;
    line.Type("ATDT0123456\r");
    ASSERT_TRUE(line.filter.InDataMode());
    line.rig.ModemSays("some data\r\nNO CAR");
    line.rig.ModemSays("RIER\r\n");
    EXPECT_FALSE(line.filter.InDataMode());
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.blocked, (std::vector<std::string>{"0900"}));
}

TEST(DialBlocking, TheProgramsSettingsAreTheBlockersAndNeverReachTheModem) {
    Line line;
    line.Type("ATV0S4=32Q1E0\r");
    line.Type("ATS3?\r");  // a register's value is no result code, whatever the wording
    EXPECT_FALSE(line.filter.InDataMode());
    line.Type("ATQ0\r");
    line.Take();
    line.Type("ATDT0900\r");
    EXPECT_EQ(line.Take(), "3\r") << "refused in the program's own wording";
    line.Type("ATS3=10\r");
    line.Type("ATDT0123456\n");
    EXPECT_EQ(line.Take(), "0\n1\n") << "its terminator ends its lines and its results";
    EXPECT_TRUE(line.filter.InDataMode());
    for (const char* setting : {"V0", "Q1", "S4=", "S3=", "E0"}) {
        EXPECT_EQ(line.forwarded.find(setting), std::string::npos) << setting;
    }
    EXPECT_EQ(line.forwarded, "ATDT0123456\r") << "only the canonical commands";
}

// The ways an earlier blocker, which watched the program's bytes go by, was led astray: each
// family must leave the modem without a call or message to a number that is not allowed.
TEST(DialBlocking, AttackFamiliesReachNoModem) {
    const std::string pduAbroad = "0011000B916407281553F80000AA0AE8329BFD4697D9EC37";
    struct Case {
        const char* what;
        std::vector<std::string> writes;
        std::vector<std::string> blocked;
    };
    const std::vector<Case> cases = {
        {"a PDU written at once", {"AT+CMGS=23\r" + pduAbroad + "\x1a\r"}, {"+46708251358"}},
        {"a PDU after a command that prints a line",
         {"ATI+CMGS=23\r" + pduAbroad + "\x1a\r"},
         {"+46708251358"}},
        {"the program's own prompt first",
         {"> \r", "AT+CMGS=23\r", pduAbroad + "\x1a"},
         {"+46708251358"}},
        {"an empty format is PDU mode again",
         {"AT+CMGF=1\r", "AT+CMGF=\r", "AT+CMGS=0123456\r", "0011\x1a"},
         {}},
        {"after a factory reset, the format the modem then reports holds",
         {"AT+CMGF=1\r", "AT&F\r", "AT+CMGS=23\r", pduAbroad + "\x1a"},
         {"23"}},
        {"a modem restarted by +CFUN: the format it then reports holds",
         {"AT+CMGF=1\r", "AT+CFUN=1,1\r", "AT+CMGS=23\r", pduAbroad + "\x1a"},
         {"23"}},
        {"numeric results and a register that reads 13",
         {"ATV0S4=32Q1\r", "ATS3=13S3?\r", "ATDT0900123\r"},
         {"0900123"}},
        {"quiet mode and an escape", {"ATQ1\r", "ATDT0123456\r", "+++", "ATDT0900123\r"}, {}},
        {"the 8th bit set",
         {"A\xD4"
          "D0900123\r"},
         {"0900123"}},
        {"a control character inside",
         {"A\x01TD0900123\r",
          "AT\x02"
          "D0900124\r"},
         {"0900123", "0900124"}},
        {"a repeat with a dial behind it", {"ATD0123456;\r", "ATH\r", "A/DT0900123\r"}, {}},
        {"a dial split byte by byte", {"A", "T", "D", "0", "9", "0", "0", "\r"}, {"0900"}},
        // Parsers that read a command only as far as they know it and go on with the rest.
        {"a dial behind a name a modem knows the start of",
         {"AT+GCAPD0900123\r", "AT+CMGSD\r"},
         {}},
        {"a dial behind a value", {"AT+CUSD=1TD0900123\r", "AT+CMGF=1D0900123\r"}, {}},
        {"a call that never was, taken up again", {"ATO\r", "ATD0900123\r"}, {"0900123"}},
        {"a packet-data call whose argument a modem reads as a command",
         {"AT+CGDATA=O\r", "ATD0900123\r", "AT+CGDATA=PPP,O\r", "ATD0900124\r"},
         {"0900123", "0900124"}},
        {"a voice or URI dial a modem reads a command in",
         {"AT+CDVO=0123456\r", "ATD0900123\r", "AT+CDU=\"tel:0123456\",O\r", "ATD0900124\r"},
         {"0900123", "0900124"}},
        {"a packet-data dial with pauses in it", {"ATD*99*993P1,1#\r"}, {}},
        {"pulse dialling drops what it cannot dial",
         {"ATP\r", "ATD*100#\r", "ATDT*100#\r"},
         {"*100#"}},
        {"a dial longer than a modem's buffer", {"ATDT0123456" + std::string(130, ',') + "\r"}, {}},
    };
    for (const auto& c : cases) {
        Line line;
        for (const auto& write : c.writes) {
            line.Type(write);
            line.Wait(10ms);
        }
        EXPECT_EQ(line.blocked, c.blocked) << c.what;
        EXPECT_TRUE(line.DialledOnlyAllowed()) << c.what << ": " << line.forwarded;
        EXPECT_EQ(line.forwarded.find("B916407"), std::string::npos) << c.what;

        kestrine::test::BasicDialRig<kestrine::test::SpanModem> independent(line.allow);
        for (const auto& write : c.writes) {
            independent.Type(write);
            independent.Wait(10ms);
        }
        EXPECT_FALSE(kestrine::test::FirstBreach(independent.modem, line.allow))
            << c.what << ": the independent modem dialled";
    }
}

// A hang-up the modem answers with an error (a landline modem knows no +CHUP) leaves the call it
// holds after ';' up as far as the blocker knows: a dial after it is judged as continuing that
// call. V.250's H carried out ends it, and so does +CHUP on a modem that showed it follows
// 27.007 (it answered AT+CMGF?): a modem manager that ended a voice call then starts its data.
TEST(DialBlocking, AHangUpTheModemRefusedKeepsTheHeldCall) {
    for (const std::string hangUp : {"AT+CHUP\r", "ATH\r"}) {
        for (const bool landline : {true, false}) {
            for (const std::string next : {"ATD0123456\r", "ATD*99***1#\r"}) {
                Line line({"0123456"}, landline);
                line.Type("ATD0123456;\r");
                line.Wait(10ms);
                line.Type(hangUp);
                line.Wait(10ms);
                line.Type(next);
                line.Wait(3s);
                const auto what = hangUp + (landline ? " landline " : " mobile ") + next;
                EXPECT_TRUE(line.DialledOnlyAllowed()) << what << line.forwarded;
                if (hangUp == "AT+CHUP\r" && landline) {
                    EXPECT_FALSE(line.blocked.empty()) << what;
                } else if (!(landline && next == "ATD*99***1#\r")) {
                    EXPECT_TRUE(line.blocked.empty()) << what << ": a hang-up carried out ends it";
                }
            }
        }
    }
    // A +CHUP the modem answers OK to, from a modem that never showed it knows 27.007, may be a
    // name it does not know, and a form 27.007 does not give (+CHUP=) may be OK to any modem:
    // they end nothing here.
    const AllowList allowed;
    for (const bool mobile : {false, true}) {
        for (const std::string form : {"+CHUP", "+CHUP=", "+CHUP=?", "+CHUP?"}) {
            const AtLine chup = ParseAtCommands(form, Reading::Strict);
            ASSERT_EQ(chup.commands.size(), 1u) << form;
            ModemRecord modem;
            modem.mobile = mobile;
            const bool hangUp = mobile && form == "+CHUP";
            EXPECT_EQ(Judge(chup.commands[0], modem, allowed).effect,
                      hangUp ? Effect::HangUp : Effect::None)
                << form << (mobile ? " mobile" : " landline");
        }
    }
}

// What real dialling programs, chat scripts and mobile broadband set-ups send must pass: no
// refusal, and the command reaches the modem (re-encoded: blanks gone, the blocker's own
// settings kept back).
TEST(DialBlocking, RealWorldSetUpLinesPass) {
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"ATZ\r", "ATZ\r"},
        {"AT&F E0 V1 &D2 &C1 S0=0\r", "AT&F\rAT&C1\rATS0=0\r"},
        {"ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0\r", "ATS0=0\rAT&C1\rAT+FCLASS=0\r"},
        {"AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0\r", "ATS7=45\rATS0=0\rATL1\rATX4\rAT&C1\r"},
        {"AT+CGDCONT=1,\"IP\",\"internet\"\r", "AT+CGDCONT=1,\"IP\",\"internet\"\r"},
        {"ATX3\r", "ATX3\r"},
        {"ATI\r", "ATI\r"},
        {"AT+CGMI\r", "AT+CGMI\r"},
        {"AT+COPS=3,2;+COPS?\r", "AT+COPS=3,2\rAT+COPS?\r"},
        {"AT+CNMI=2,1,2,2,0\r", "AT+CNMI=2,1,2,2,0\r"},
        {"AT+CPMS=\"SM\",\"SM\",\"SM\"\r", "AT+CPMS=\"SM\",\"SM\",\"SM\"\r"},
        {"AT^NDISDUP=1,1,\"internet\"\r", "AT^NDISDUP=1,1,\"internet\"\r"},
        {"AT^DHCP?\r", "AT^DHCP?\r"},
        {"AT$QCPDPP=1,1,\"pass\",\"user\"\r", "AT$QCPDPP=1,1,\"pass\",\"user\"\r"},
        {"AT%IPDPACT=1,1\r", "AT%IPDPACT=1,1\r"},
        {"AT#DIALMODE=0\r", "AT#DIALMODE=0\r"},
        {"AT^DTMF=1,5\r", "AT^DTMF=1,5\r"},
        {"AT^SYSCFG=2,2,3fffffff,1,2\r", "AT^SYSCFG=2,2,3fffffff,1,2\r"},
        // What a modem manager asks a mobile modem when it probes it.
        {"ATE0 V1\r", ""},
        {"AT+CMEE=1\r", ""},
        {"AT+GCAP\r", "AT+GCAP\r"},
        {"AT+CPIN?\r", "AT+CPIN?\r"},
        {"AT+CFUN?\r", "AT+CFUN?\r"},
        {"AT+CIND?\r", "AT+CIND?\r"},
        {"AT+CMER=3,0,0,1\r", "AT+CMER=3,0,0,1\r"},
        {"AT+CGREG=2;+CEREG=2\r", "AT+CGREG=2\rAT+CEREG=2\r"},
        {"AT+CGDCONT?\r", "AT+CGDCONT?\r"},
        {"AT+CCID\r", "AT+CCID\r"},
        {"AT+CHLD=?\r", "AT+CHLD=?\r"},
        {"AT+CGACT=1,1\r", "AT+CGACT=1,1\r"},
        {"AT^SYSINFOEX\r", "AT^SYSINFOEX\r"},
        {"ATD*99#\r", "ATD*99#\r"},
        {"ATD*99***1#\r", "ATD*99***1#\r"},
        {"AT+CGDATA=\"PPP\",1\r", "AT+CGDATA=\"PPP\",1\r"},
        {"AT+CGDATA=PPP,1\r", "AT+CGDATA=\"PPP\",1\r"},
        {"AT+CGDATA\r", "AT+CGDATA\r"},
        // Modem managers' own set-ups: makers' names behind '*' with a digit in them, standard
        // and makers' names with a D, a maker's layer-2 protocol.
        {"AT*E2NAP=1\r", "AT*E2NAP=1\r"},
        {"AT*E2IPCFG?\r", "AT*E2IPCFG?\r"},
        {"AT+CGPADDR=1\r", "AT+CGPADDR=1\r"},
        {"AT+CEMODE?\r", "AT+CEMODE?\r"},
        {"AT+CPWD=\"SC\",\"1234\",\"5678\"\r", "AT+CPWD=\"SC\",\"1234\",\"5678\"\r"},
        {"AT+DS44=0\r", "AT+DS44=0\r"},
        {"AT+UCGDFLT=1,\"IP\",\"internet\"\r", "AT+UCGDFLT=1,\"IP\",\"internet\"\r"},
        {"AT+QNETDEVCTL=1,1,1\r", "AT+QNETDEVCTL=1,1,1\r"},
        {"AT+XDATACHANNEL=1,1,\"/USBCDC/0\",\"/USBHS/NCM/0\",2,1\r",
         "AT+XDATACHANNEL=1,1,\"/USBCDC/0\",\"/USBHS/NCM/0\",2,1\r"},
        {"AT+CGDATA=\"M-RAW_IP\",1\r", "AT+CGDATA=\"M-RAW_IP\",1\r"},
        {"AT+ZCDRUN=8\r", "AT+ZCDRUN=8\r"},
    };
    for (const auto& [typed, sent] : lines) {
        Line line({"0123456"});
        line.Type(typed);
        EXPECT_TRUE(line.blocked.empty()) << typed;
        // Each command in order; the blocker's own configuration may come between them.
        std::size_t from = 0;
        for (std::size_t end; (end = sent.find('\r', from)) != std::string::npos; from = end + 1) {
            const auto command = sent.substr(from, end + 1 - from);
            const auto at = line.forwarded.find(command);
            EXPECT_NE(at, std::string::npos)
                << typed << ": " << command << " in " << line.forwarded;
        }
        const auto heard = line.Take();
        EXPECT_EQ(heard.find("NO CARRIER"), std::string::npos) << typed << ": " << heard;
    }
    Line packet({"0123456"});
    packet.Type("ATD*99#\r");
    EXPECT_TRUE(packet.filter.InDataMode()) << "a packet-data call's CONNECT starts its data";
}

TEST(DialBlocking, AModemThatDoesNotAnswerIsReportedAndRefusesEveryDial) {
    AllowList allow = MakeList({"0123456"});
    DialFilter filter(allow);
    std::vector<DialFilter::Action> actions;
    auto now = DialFilter::Clock::now();
    filter.Attach(now, actions);
    actions.clear();
    now += std::chrono::seconds(4);
    filter.Tick(now, actions);
    EXPECT_FALSE(filter.ModemAnswers());
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.back().kind, DialFilter::Action::Kind::Notice);
    actions.clear();
    filter.FromProgram("ATDT0123456\r", now, actions);
    std::string heard;
    for (const auto& action : actions) {
        EXPECT_NE(action.kind, DialFilter::Action::Kind::ToModem);
        if (action.kind == DialFilter::Action::Kind::ToProgram) {
            heard += action.bytes;
        }
    }
    EXPECT_EQ(heard, "ATDT0123456\r\r\nNO CARRIER\r\n");
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

// The modem side reads only its own answers: what a modem says that answers nothing the link
// sent, or that a far end or a message could have put there, never moves it.
TEST(ModemLink, ReadsOnlyTheAnswersToWhatItSent) {
    using Op = ModemLink::Op;
    using Event = ModemLink::Event;
    const auto now = ModemLink::Clock::now();
    std::vector<Op> ops;
    std::vector<Event> events;
    auto says = [&](ModemLink& link, std::string_view bytes) {
        events.clear();
        link.FromModem(bytes, now, ops, events);
    };
    auto has = [&](Event::Kind kind) {
        return std::any_of(events.begin(), events.end(),
                           [&](const Event& e) { return e.kind == kind; });
    };
    // Configured as a modem without the mobile command set answers.
    auto configured = [&](ModemLink& link) {
        link.Restart(now, ops);
        for (int step = 0; step < 8 && !link.Ready(); ++step) {
            const std::string& last = ops.back().bytes;
            says(link, last.find("S2?") != std::string::npos     ? "\r\n128\r\n\r\nOK\r\n"
                       : last.find("CMGF?") != std::string::npos ? "\r\nERROR\r\n"
                                                                 : "\r\nOK\r\n");
        }
        ops.clear();
        return link.Ready() && !link.LiveEscape() && !link.Record().mobile;
    };

    ModemLink stale;
    stale.Restart(now, ops);
    says(stale, "\r\nNO CARRIER\r\n");  // what the hang-up left, before the first line's answer
    EXPECT_FALSE(stale.Ready());
    EXPECT_EQ(ops.back().bytes.find("ATE0V1Q0"), 1u) << "still the first line";
    says(stale, "\r\nOK\r\n");
    EXPECT_EQ(ops.back().bytes, "AT&D2\r") << "its OK moves on";

    ModemLink dial;
    ASSERT_TRUE(configured(dial));
    dial.Send("DT0123456", Effect::Dial, now, ops);
    says(dial, "\r\n+CMT: \"+44\",,\"26/12/11\"\r\nCONNECT\r\n");  // a message's body
    EXPECT_FALSE(dial.InData());
    EXPECT_TRUE(has(Event::Kind::Unsolicited));
    says(dial, "\r\nCONNECT 33600\r\n");
    EXPECT_TRUE(dial.InData());
    says(dial, "data\r\nNO CAR");
    EXPECT_TRUE(dial.InData());
    says(dial, "RIER\r\n");
    EXPECT_FALSE(dial.InData()) << "NO CARRIER across two reads";

    ModemLink odd;
    ASSERT_TRUE(configured(odd));
    odd.Send("I", Effect::None, now, ops);
    says(odd, "ATI\r\r\nCONNECT\r\n");  // an echo, and CONNECT to what is no call
    EXPECT_FALSE(odd.InData());
    EXPECT_TRUE(odd.ConfigurationSuspect()) << "the configuration is set again";
}
