// The facts about the program that dialled a refused number: their place in the NumberBlocked
// record, where a reader that knows only the driver contract never sees them, and the texts the
// application makes of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/LogOwner.h"
#include "monitor/DialFacts.h"
#include "monitor/EventDispatch.h"
#include "monitor/MonitorContract.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using namespace kestrine::monitor;

namespace {

// What an application that follows the driver contract alone reads from a record: the type at
// byte 20 and, for a refused number, the text from byte 24 up to its first zero byte.
std::string ContractOnlyNumber(const std::vector<std::uint8_t>& record) {
    EXPECT_GE(record.size(), 24u);
    EXPECT_EQ(record[20], 7);
    const auto begin = record.begin() + 24;
    return std::string(begin, std::find(begin, record.end(), std::uint8_t{0}));
}

ProcessFacts Process(std::uint32_t pid, std::string executable, std::string user = "alice",
                     std::string commandLine = "") {
    return {pid, 1000, std::move(user), std::move(executable), std::move(commandLine)};
}

DialFacts PicocomDialled() {
    DialFacts facts;
    facts.verdict = DialVerdict::Dialled;
    facts.dialler = 1;
    facts.holders = {
        {Process(4250, "/usr/bin/cat", "bob", "cat COM1"), false, {}},
        {Process(4242, "/usr/bin/picocom", "alice", "picocom -q /var/lib/kestrine/dev/COM1"),
         true,
         {Process(4100, "/usr/bin/bash"), Process(1, "/sbin/init", "root")}},
    };
    return facts;
}

struct RecordingAlert : BlockedAlert {
    std::vector<std::string> shown;
    void ShowBlockedAlert(const std::string& number, const std::string& dialledBy) override {
        shown.push_back(number + " | " + dialledBy);
    }
};

}  // namespace

TEST(DialFacts, TravelAfterTheNumberWhereAContractOnlyReaderSeesJustTheNumber) {
    const auto record = EncodeNumberBlockedEvent("0900 123#", PicocomDialled());
    EXPECT_EQ(ContractOnlyNumber(record), "0900 123#");
    EXPECT_GT(record.size(), 24u + 10u) << "the facts are there, after the zero byte";

    const auto event = DecodeMonitorEvent(record);
    ASSERT_TRUE(event && event->dialFacts);
    EXPECT_EQ(event->data, "0900 123#");
    const DialFacts& facts = *event->dialFacts;
    EXPECT_EQ(facts.verdict, DialVerdict::Dialled);
    ASSERT_EQ(facts.holders.size(), 2u);
    EXPECT_EQ(facts.dialler, 0u) << "the dialler travels first";
    EXPECT_EQ(facts.holders[0].process.executable, "/usr/bin/picocom");
    EXPECT_EQ(facts.holders[0].process.pid, 4242u);
    EXPECT_EQ(facts.holders[0].process.uid, 1000u);
    EXPECT_TRUE(facts.holders[0].writes);
    ASSERT_EQ(facts.holders[0].parents.size(), 2u);
    EXPECT_EQ(facts.holders[0].parents[1].executable, "/sbin/init");
    EXPECT_EQ(facts.holders[1].process.commandLine, "cat COM1");
    EXPECT_FALSE(facts.holders[1].writes);

    // A record without facts (a driver that knows only the contract) decodes as before.
    const auto plain = DecodeMonitorEvent(EncodeNumberBlockedEvent("0900"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->data, "0900");
    EXPECT_FALSE(plain->dialFacts);
}

TEST(DialFacts, MalformedFactsAreLeftOutAndTheNumberStands) {
    const auto good = EncodeNumberBlockedEvent("0900", PicocomDialled());
    const std::size_t factsAt = 24 + 5;
    auto with = [&](auto change) {
        auto record = good;
        change(record);
        return record;
    };
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases{
        {"cut short", with([](auto& r) { r.resize(r.size() - 3); })},
        {"a byte too many", with([](auto& r) { r.push_back(0); })},
        {"unknown verdict", with([&](auto& r) { r[factsAt] = 99; })},
        {"dialler beyond the holders", with([&](auto& r) { r[factsAt + 1] = 2; })},
        {"too many holders", with([&](auto& r) { r[factsAt + 6] = kMaxHolders + 1; })},
        {"a control byte in a text", with([&](auto& r) { r[factsAt + 7 + 9 + 1] = '\n'; })},
        {"no terminator before the end",
         [] {
             auto r = EncodeNumberBlockedEvent("0900");
             r.back() = '1';
             r[21] = kDialFactsFollow;
             return r;
         }()},
    };
    for (const auto& [name, record] : cases) {
        const auto event = DecodeMonitorEvent(record);
        ASSERT_TRUE(event) << name;
        EXPECT_FALSE(event->dialFacts) << name;
        EXPECT_EQ(event->data.substr(0, 4), "0900") << name;
    }
}

TEST(DialFacts, StayWithinTheirBoundsAndKeepTheDialler) {
    DialFacts many;
    many.verdict = DialVerdict::Dialled;
    const std::string longText(1000, 'x');
    for (std::uint32_t pid = 1; pid <= 20; ++pid) {
        many.holders.push_back({Process(pid, longText, longText, longText), false,
                                std::vector<ProcessFacts>(20, Process(7, longText))});
    }
    many.holders[15].writes = true;
    many.dialler = 15;
    std::vector<std::uint8_t> wire;
    AppendDialFacts(wire, many);
    EXPECT_LE(wire.size(), kMaxDialFactsSize);
    const auto facts = ParseDialFacts(wire);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->holders.at(0).process.pid, 16u);
    EXPECT_TRUE(facts->holders[0].writes);
    EXPECT_EQ(facts->holders[0].process.executable.size(), kMaxFactText);
    EXPECT_EQ(facts->holders[0].process.executable.substr(kMaxFactText - 3), "...");
}

TEST(DialFacts, TextsAreMadePrintable) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"chat -v", "chat -v"},
        {std::string("ATDT0900\r\n\0x", 12), "ATDT0900\\x0D\\x0A\\x00x"},
        {"C:\\dir", "C:\\\\dir"},
        {"caf\xC3\xA9", "caf\\xC3\\xA9"},
        {"\x1B[31mred", "\\x1B[31mred"},
    };
    for (const auto& [bytes, shown] : cases) {
        EXPECT_EQ(PrintableText(bytes), shown);
    }
    // Cut between whole escapes, with a mark.
    EXPECT_EQ(PrintableText("abcd\r", 7), "abcd...");
    EXPECT_EQ(PrintableText("abcde\r", 7), "abcd...");
    EXPECT_EQ(PrintableText("abcdef", 6), "abcdef");
    EXPECT_EQ(PrintableText("abcdefg", 6), "abc...");
}

TEST(DialFacts, TheLogAndTheAlertSayWhoDialledOrWhyNot) {
    EXPECT_EQ(DialledByLine(PicocomDialled()),
              "dialled by /usr/bin/picocom (process 4242, user alice), command line \"picocom -q "
              "/var/lib/kestrine/dev/COM1\", parents /usr/bin/bash (process 4100, user alice), "
              "/sbin/init (process 1, user root); also held open by /usr/bin/cat (process 4250, "
              "user bob), reading only, command line \"cat COM1\"");
    EXPECT_EQ(DialledBySummary(PicocomDialled()),
              "dialled by /usr/bin/picocom (process 4242, user alice)");

    // A program cannot end its own fact early and forge the rest of the line.
    DialFacts forged = PicocomDialled();
    forged.holders = {forged.holders[forged.dialler]};
    forged.dialler = 0;
    forged.holders[0].parents.clear();
    forged.holders[0].process.executable = "/tmp/x (process 1, user root)";
    forged.holders[0].process.commandLine = "x\", parents /sbin/init (process 1, user root)";
    EXPECT_EQ(DialledByLine(forged),
              "dialled by /tmp/x \\x28process 1\\x2C user root\\x29 (process 4242, user alice), "
              "command line \"x\\x22, parents /sbin/init (process 1, user root)\"");

    DialFacts two = PicocomDialled();
    two.verdict = DialVerdict::SeveralWriters;
    two.dialler = 0;
    two.holders[0].writes = true;
    two.holders[1].parents.clear();
    two.holders[1].process.uid.reset();
    two.holders[1].process.user.clear();
    two.holders[1].process.executable.clear();
    EXPECT_EQ(DialledByLine(two),
              "dialled by an unknown program (several processes held the port open for writing); "
              "held open by /usr/bin/cat (process 4250, user bob), command line \"cat COM1\"; and "
              "by process 4242 (executable unknown, user unknown), command line \"picocom -q "
              "/var/lib/kestrine/dev/COM1\"");
    EXPECT_EQ(DialledBySummary(two), "dialled by an unknown program");

    DialFacts gone;
    gone.verdict = DialVerdict::Unaccounted;
    gone.unaccountedOpens = 1;
    EXPECT_EQ(DialledByLine(gone),
              "dialled by an unknown program (1 opening of the port found in no process the "
              "driver may inspect (another user's, or one that just ended))");
    EXPECT_EQ(DialledByLine(std::nullopt),
              "dialled by an unknown program (the driver did not say)");
}

// What the rules cannot be sure of is said in the line and in the alert, and survives the wire.
TEST(DialFacts, DoubtIsSaidInTheLogAndTheAlertAndTravels) {
    DialFacts ended;
    ended.verdict = DialVerdict::Probably;
    ended.holders = {{Process(4300, "/usr/bin/dash", "alice", "sh dial.sh"), true, {}}};
    ended.holders[0].openedItself = true;
    ended.holders[0].ended = true;
    ended.holders[0].otherNamespace = true;
    const std::string endedText =
        "/usr/bin/dash (process 4300, user alice, ended, in another mount namespace: the path is "
        "as that namespace sees it)";
    EXPECT_EQ(DialledByLine(ended), "probably dialled by " + endedText + ", command line \"sh dial.sh\"");
    EXPECT_EQ(DialledBySummary(ended), "probably dialled by " + endedText);

    DialFacts oneOf = PicocomDialled();
    oneOf.verdict = DialVerdict::OneOf;
    oneOf.dialler = 0;
    oneOf.holders[1].parents.clear();
    oneOf.holders.push_back({Process(4301, "/usr/bin/sleep"), true, {}});
    oneOf.holders[1].candidate = oneOf.holders[2].candidate = true;
    oneOf.holders[2].closed = true;
    EXPECT_EQ(DialledByLine(oneOf),
              "dialled by one of: /usr/bin/picocom (process 4242, user alice), command line "
              "\"picocom -q /var/lib/kestrine/dev/COM1\"; or /usr/bin/sleep (process 4301, user "
              "alice, closed the port since); also held open by /usr/bin/cat (process 4250, user "
              "bob), reading only, command line \"cat COM1\"");
    EXPECT_EQ(DialledBySummary(oneOf),
              "dialled by one of: /usr/bin/picocom (process 4242, user alice), /usr/bin/sleep "
              "(process 4301, user alice, closed the port since)");

    for (const auto& facts : {ended, oneOf}) {
        std::vector<std::uint8_t> wire;
        AppendDialFacts(wire, facts);
        const auto back = ParseDialFacts(wire);
        ASSERT_TRUE(back);
        EXPECT_EQ(DialledByLine(back), DialledByLine(facts));
    }
}

TEST(DialFacts, FollowTheBlockedLineAndReachTheAlert) {
    test::LogFixture log;
    RecordingAlert alert;
    DispatchMonitorEvent(EncodeNumberBlockedEvent("0900123", PicocomDialled()), log.owner, alert);
    const auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "0900123 blocked") << "the contract's line, unchanged";
    EXPECT_EQ(lines[1], DialledByLine(PicocomDialled()));
    EXPECT_EQ(alert.shown, std::vector<std::string>{
                               "0900123 | dialled by /usr/bin/picocom (process 4242, user alice)"});
}
