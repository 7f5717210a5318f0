#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "numbers/NumberListClass.h"
#include "numbers/ParentalControl.h"
#include "platform/UserError.h"
#include "tests/support/LogFixture.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::numbers;

namespace {

enum class State { Initial, Off, On };

// The check box and Set PIN button. Like the window's, a change of the box runs the click handler,
// including a change made by the program.
struct Controls : ParentalControls {
    ParentalControl* parental = nullptr;
    bool checked = false;
    bool setPinEnabled = false;
    bool ParentalChecked() const override { return checked; }
    void SetParentalChecked(bool value) override {
        if (checked != value) {
            checked = value;
            parental->chkParentalClick();
        }
    }
    void SetSetPinEnabled(bool value) override { setPinEnabled = value; }
};

class ParentalTest : public ::testing::Test {
protected:
    test::TempDir root;
    TNumberList store{platform::Registry(root / "registry.db")};
    test::ScriptedPrompts prompts;
    test::LogFixture log;
    Controls controls;
    ParentalControl parental{store, prompts, log.owner, controls};

    void SetUp() override { controls.parental = &parental; }

    void Enter(State state, const std::string& pin = "1234") {
        if (state != State::Initial) {
            store.SetPIN(pin);
        }
        store.WriteParentalMarker(state == State::On, state == State::Initial);
        parental.RestoreCheckBox();
    }
    // The user clicks the box.
    void Click() { controls.SetParentalChecked(!controls.checked); }

    State Stored() {
        if (!store.IsPINSet()) {
            return State::Initial;
        }
        return store.IsParentalControlOn() ? State::On : State::Off;
    }
};

}  // namespace

TEST_F(ParentalTest, StartUpMirrorsTheStoreWithoutAsking) {
    for (State state : {State::Initial, State::Off, State::On}) {
        Enter(state);
        EXPECT_EQ(controls.checked, state == State::On);
        EXPECT_EQ(controls.setPinEnabled, state == State::On);
        EXPECT_FALSE(parental.UpdatingParental);
    }
    EXPECT_TRUE(prompts.Asked().empty());
}

TEST_F(ParentalTest, InitialStateAsksForANewPin) {
    Enter(State::Initial);
    prompts.ExpectAskNewPIN(false, "abcd");
    Click();
    EXPECT_FALSE(controls.checked);
    EXPECT_FALSE(controls.setPinEnabled);
    EXPECT_EQ(Stored(), State::Initial);

    prompts.ExpectAskNewPIN(true, "abcd");
    Click();
    EXPECT_TRUE(controls.checked);
    EXPECT_TRUE(controls.setPinEnabled);
    EXPECT_EQ(Stored(), State::On);
    EXPECT_EQ(store.GetPIN(), "abcd");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Parental Control Turned On"});

    // The next switch-off asks for that PIN.
    prompts.ExpectAskPIN("Enter Pin to disable parental control", true, "abcd");
    Click();
    EXPECT_EQ(Stored(), State::Off);
    EXPECT_FALSE(controls.setPinEnabled);
}

struct SwitchRow {
    const char* name;
    State from;
    std::string storedPin;
    bool accepted;
    std::string typed;
    State to;
    std::string warning;
    std::string logged;  // the log line, if any
};

void PrintTo(const SwitchRow& row, std::ostream* out) {
    *out << row.name;
}

class SwitchingWithThePin : public ParentalTest, public ::testing::WithParamInterface<SwitchRow> {};

TEST_P(SwitchingWithThePin, EndsInTheRowsStateWithTheBoxMirroringIt) {
    const SwitchRow& row = GetParam();
    Enter(row.from, row.storedPin);
    prompts.ExpectAskPIN(row.from == State::On ? "Enter Pin to disable parental control"
                                               : "Enter Pin to enable parental control",
                         row.accepted, row.typed);
    if (!row.warning.empty()) {
        prompts.ExpectWarning(row.warning);
    }
    Click();
    EXPECT_EQ(Stored(), row.to);
    EXPECT_EQ(controls.checked, row.to == State::On) << "the box is put back when nothing changed";
    EXPECT_EQ(controls.setPinEnabled, controls.checked);
    EXPECT_FALSE(parental.UpdatingParental);
    EXPECT_EQ(log.Messages(), row.logged.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{row.logged});
    EXPECT_TRUE(prompts.Done());
}

const std::string kSetWarning =
    "Incorrect PIN. You must enter correct PIN to set parental control.";
const std::string kUnlockWarning =
    "Incorrect PIN. You must enter correct PIN to unlock parental control.";

INSTANTIATE_TEST_SUITE_P(
    Rows, SwitchingWithThePin,
    ::testing::Values(
        SwitchRow{"OffRightPin", State::Off, "1234", true, "1234", State::On, "",
                  "Parental Control Turned On"},
        SwitchRow{"OffCancelled", State::Off, "1234", false, "1234", State::Off, "", ""},
        SwitchRow{"OffWrongPin", State::Off, "1234", true, "9999", State::Off, kSetWarning, ""},
        SwitchRow{"OffOtherCase", State::Off, "abcd", true, "ABCD", State::Off, kSetWarning, ""},
        SwitchRow{"OnRightPin", State::On, "1234", true, "1234", State::Off, "",
                  "Parental Control Turned Off"},
        SwitchRow{"OnCancelled", State::On, "1234", false, "1234", State::On, "", ""},
        SwitchRow{"OnWrongPin", State::On, "1234", true, "12345", State::On, kUnlockWarning, ""}),
    [](const ::testing::TestParamInfo<SwitchRow>& row) { return std::string(row.param.name); });

TEST_F(ParentalTest, SwitchingBackOnAsksForTheExistingPinNotANewOne) {
    Enter(State::On, "1234");
    prompts.ExpectAskPIN("Enter Pin to disable parental control", true, "1234")
        .ExpectAskPIN("Enter Pin to enable parental control", true, "1234");
    Click();
    Click();
    EXPECT_EQ(Stored(), State::On);
    EXPECT_EQ(store.GetPIN(), "1234");
}

TEST_F(ParentalTest, SetPinChangesOrSetsThePinOnlyWhileTheBoxIsTicked) {
    Enter(State::Off, "1234");
    parental.btnSetPINClick();  // box clear: nothing asked
    Enter(State::On, "1234");
    prompts.ExpectAskChangedPIN("1234", true, "5678").ExpectAskChangedPIN("5678", false, "0000");
    parental.btnSetPINClick();
    parental.btnSetPINClick();
    EXPECT_EQ(store.GetPIN(), "5678");
    EXPECT_EQ(Stored(), State::On) << "the marker is not changed";
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(ParentalTest, PinGateTable) {
    struct Row {
        GatedAction action;
        std::string refusal;
    };
    const std::vector<Row> rows{
        {GatedAction::Add,
         "Invalid PIN.  You must enter the correct Pin to add a number to the allowed list."},
        {GatedAction::Remove,
         "Invalid PIN.  You must enter the correct Pin to remove a number from the allowed list."},
        {GatedAction::Allow, "Invalid PIN.  You must enter the correct Pin to allow this number"},
        {GatedAction::ClearLog, "Invalid PIN.  You must enter the correct Pin to clear the log."},
        {GatedAction::CloseQuery, "Invalid PIN.  You must enter the correct Pin to closedown."},
    };
    Enter(State::Off);
    for (const auto& row : rows) {
        EXPECT_TRUE(parental.PassPinGate(row.action)) << "off: no PIN asked";
    }
    Enter(State::On, "Secret");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refusal);
        prompts.ExpectAskPIN("", true, "Secret");
        EXPECT_TRUE(parental.PassPinGate(row.action));
        prompts.ExpectAskPIN("", true, "secret");
        try {
            parental.PassPinGate(row.action);
            ADD_FAILURE() << "a wrong PIN passed";
        } catch (const UserError& error) {
            EXPECT_EQ(error.what(), row.refusal);
        }
        prompts.ExpectAskPIN("", false, "Secret");
        if (row.action == GatedAction::CloseQuery) {
            try {
                parental.PassPinGate(row.action);
                ADD_FAILURE() << "a cancelled close passed";
            } catch (const UserError& error) {
                EXPECT_STREQ(error.what(), "Invalid PIN.  You must enter a Pin to closedown.");
            }
        } else {
            EXPECT_FALSE(parental.PassPinGate(row.action)) << "cancel ends the action silently";
        }
    }
}

TEST_F(ParentalTest, APinAnEarlierVersionStoredAsLatin1StillOpensTheGate) {
    // Typed then as "\u00E9t\u00E9!", stored in the Latin-1 form; typed now it comes as UTF-8.
    Enter(State::On, "\xE9t\xE9!");
    prompts.ExpectAskPIN("", true, "\u00E9t\u00E9!");
    EXPECT_TRUE(parental.PassPinGate(GatedAction::Remove));
    prompts.ExpectAskPIN("", true, "?t?!");
    EXPECT_THROW(parental.PassPinGate(GatedAction::Remove), UserError);
    prompts.ExpectAskChangedPIN("\u00E9t\u00E9!", true, "\u0436\u0436\u0436\u0436");
    parental.btnSetPINClick();
    EXPECT_EQ(store.GetPIN(), "\u0436\u0436\u0436\u0436") << "a new PIN is stored as UTF-8";
}

// A store this user may not write is still read: the state and the PIN are what was stored and
// the right PIN opens the gate. A switch the store refuses says why, and the box shows what the
// store holds (never a parental control that is not there, nor "off" while it is on).
TEST_F(ParentalTest, AReadOnlyStoreIsReadAndASwitchItRefusesLeavesTheBoxAsStored) {
    const std::string refused = "The settings cannot be saved: Access is denied.";
    for (const State from : {State::On, State::Off}) {
        SCOPED_TRACE(from == State::On ? "on" : "off");
        std::error_code noStoreYet;
        std::filesystem::permissions(root / "registry.db", std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, noStoreYet);
        Enter(from, "1234");
        std::filesystem::permissions(root / "registry.db",
                                     std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
        EXPECT_EQ(Stored(), from);
        EXPECT_EQ(store.GetPIN(), "1234");
        if (from == State::On) {
            prompts.ExpectAskPIN("", true, "1234");
            EXPECT_TRUE(parental.PassPinGate(GatedAction::Remove));
        }
        prompts.ExpectAskPIN(from == State::On ? "Enter Pin to disable parental control"
                                               : "Enter Pin to enable parental control",
                             true, "1234");
        try {
            Click();
            ADD_FAILURE() << "a switch the store refused passed";
        } catch (const UserError& error) {
            EXPECT_EQ(error.what(), refused);
        }
        EXPECT_EQ(controls.checked, from == State::On);
        EXPECT_EQ(controls.setPinEnabled, from == State::On);
        EXPECT_FALSE(parental.UpdatingParental);
        EXPECT_EQ(Stored(), from);
    }
    EXPECT_TRUE(log.Messages().empty()) << "nothing is logged as switched";
}
