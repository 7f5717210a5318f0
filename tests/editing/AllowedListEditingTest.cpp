#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>

#include "numbers/AllowedListEditing.h"
#include "numbers/NumberListClass.h"
#include "platform/UserError.h"
#include "tests/support/LogFixture.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::numbers;

namespace {

// The field, the list box and btnRemove, as plain data.
struct View : AllowedListView, ParentalControls {
    std::string field;
    std::vector<std::string> items;
    int selected = -1;
    bool removeEnabled = false;
    std::string focus;
    bool checked = false;

    std::string FieldText() const override { return field; }
    void SetFieldText(const std::string& text) override { field = text; }
    void FocusField() override { focus = "txtAllowed"; }
    std::vector<std::string> Items() const override { return items; }
    void SetItems(const std::vector<std::string>& list) override {
        items = list;
        selected = -1;
    }
    void AppendItem(const std::string& item) override { items.push_back(item); }
    void DeleteItem(int index) override {
        items.erase(items.begin() + index);
        selected = -1;
    }
    int SelectedIndex() const override { return selected; }
    void Select(int index) override { selected = index; }
    void FocusList() override { focus = "lstAllowed"; }
    void SetRemoveEnabled(bool enabled) override { removeEnabled = enabled; }
    bool ParentalChecked() const override { return checked; }
    void SetParentalChecked(bool value) override { checked = value; }
    void SetSetPinEnabled(bool) override {}
};

class EditingTest : public ::testing::Test {
protected:
    test::TempDir root;
    TNumberList store{platform::Registry(root / "registry.db")};
    test::ScriptedPrompts prompts;
    test::LogFixture log;
    View view;
    ParentalControl parental{store, prompts, log.owner, view};
    std::vector<std::vector<std::string>> pushed;
    AllowedListEditing editing{
        store, parental, prompts, log.owner, view, [this](std::span<const std::string> list) {
            pushed.emplace_back(list.begin(), list.end());
        }};

    void Start(std::vector<std::string> numbers, bool parentalOn = false) {
        store.SetPIN("1234");
        store.WriteParentalMarker(parentalOn, false);
        store.SaveNumbers(numbers);
        view.items = store.LoadNumbers();
    }
};

}  // namespace

TEST(KeyFilter, KeepsDigitsPlusBlankAndControlCharacters) {
    for (const unsigned char kept : std::string("059+ \b\x16\x03\r\x7f")) {
        EXPECT_TRUE(AllowedListEditing::KeyFilterAccepts(kept)) << int(kept);
    }
    for (const unsigned char dropped : std::string("aZ-()*#./:\xE9")) {
        EXPECT_FALSE(AllowedListEditing::KeyFilterAccepts(dropped)) << int(dropped);
    }
}

TEST_F(EditingTest, AddValidatesThenAppendsStoresPushesAndLogs) {
    Start({"01234567890"});
    struct Case {
        std::string typed;
        std::string message;   // error box, if any
        std::string question;  // too-short confirmation, if any
        bool yes;
        std::vector<std::string> items;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {"   ",
         "Phone Number Cannot Be Blank, Please Enter A Valid Phone Number",
         "",
         false,
         {"01234567890"},
         {}},
        {" 01234567890", " 01234567890 is already allowed", "", false, {"01234567890"}, {}},
        {"+1234567890",
         "",
         "",
         false,
         {"01234567890", "+1234567890"},
         {"+1234567890 added to allow list."}},
        {"0123456789",
         "",
         "0123456789 is too short.\r\nIs this a valid telephone number?",
         false,
         {"01234567890", "+1234567890"},
         {}},
        {" 112 ",
         "",
         " 112  is too short.\r\nIs this a valid telephone number?",
         true,
         {"01234567890", "+1234567890", "112"},
         {"112 added to allow list."}},
        // Pasted, ten characters in 20 bytes of UTF-8: the length counts characters.
        {"\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668\u0669\u0660",
         "",
         "\u0661\u0662\u0663\u0664\u0665\u0666\u0667\u0668\u0669\u0660 is too short.\r\nIs "
         "this a valid telephone number?",
         false,
         {"01234567890", "+1234567890", "112"},
         {}},
        {"09001234567",
         "",
         "",
         false,
         {"01234567890", "+1234567890", "112", "09001234567"},
         {"09001234567 added to allow list."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.typed + "'");
        if (!c.message.empty()) {
            prompts.ExpectError(c.message);
        }
        if (!c.question.empty()) {
            prompts.ExpectConfirm(c.question, c.yes);
        }
        view.field = c.typed;
        pushed.clear();
        const auto before = log.Messages().size();
        editing.btnAddClick();
        EXPECT_EQ(view.field, "") << "the field is emptied whatever the outcome";
        EXPECT_EQ(view.focus, "txtAllowed");
        EXPECT_EQ(view.items, c.items);
        EXPECT_EQ(store.LoadNumbers(), c.items) << "stored";
        ASSERT_EQ(pushed.size(), 1u) << "pushed every time";
        EXPECT_EQ(pushed[0], c.items);
        EXPECT_TRUE(view.removeEnabled);
        const auto messages = log.Messages();
        EXPECT_EQ(std::vector<std::string>(messages.begin() + static_cast<std::ptrdiff_t>(before),
                                           messages.end()),
                  c.lines);
    }
}

TEST_F(EditingTest, AGateRefusalLeavesEverythingAsItWas) {
    Start({"01234567890"}, true);
    view.field = "09001234567";
    prompts.ExpectAskPIN("", false, "");
    editing.btnAddClick();
    prompts.ExpectAskPIN("", true, "9999");
    EXPECT_THROW(editing.btnAddClick(), UserError);
    EXPECT_EQ(view.field, "09001234567") << "the typed number stays in the field";
    EXPECT_EQ(view.items, std::vector<std::string>{"01234567890"});
    EXPECT_TRUE(pushed.empty());
    EXPECT_TRUE(log.Messages().empty());

    prompts.ExpectAskPIN("", true, "1234");
    editing.btnAddClick();
    EXPECT_EQ(store.LoadNumbers(), (std::vector<std::string>{"01234567890", "09001234567"}));
}

TEST_F(EditingTest, RemoveSelectsTheNeighbourAndLogs) {
    struct Case {
        std::vector<std::string> items;
        int selected;
        std::vector<std::string> left;
        int selectedAfter;
    };
    const std::vector<Case> cases{
        {{"1", "2", "3"}, 0, {"2", "3"}, 0},  // the new first item
        {{"1", "2", "3"}, 1, {"1", "3"}, 0},  // the item before
        {{"1", "2", "3"}, 2, {"1", "2"}, 1},  // the new last item
        {{"1"}, 0, {}, -1},                   // nothing left to select
    };
    for (const auto& c : cases) {
        Start(c.items);
        view.selected = c.selected;
        editing.btnRemoveClick();
        EXPECT_EQ(view.items, c.left);
        EXPECT_EQ(view.selected, c.selectedAfter);
        EXPECT_EQ(view.focus, "lstAllowed");
        EXPECT_EQ(view.removeEnabled, !c.left.empty());
        EXPECT_EQ(store.LoadNumbers(), c.left);
        EXPECT_EQ(pushed.back(), c.left);
        EXPECT_EQ(log.Messages().back(),
                  c.items[static_cast<std::size_t>(c.selected)] + " removed from allow list.");
    }
}

TEST_F(EditingTest, RemoveAsksThePinFirstEvenWithoutASelection) {
    Start({"1"}, true);
    view.selected = -1;
    prompts.ExpectAskPIN("", true, "1234");
    editing.btnRemoveClick();
    EXPECT_EQ(view.items, std::vector<std::string>{"1"});
    EXPECT_EQ(pushed.size(), 1u) << "stored and pushed even so";
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(EditingTest, AllowNumberTakesTheNumberAsReported) {
    Start({"01234567890"}, true);  // no PIN asked: the alert asks it before
    editing.AllowNumber(" 0900 ");
    editing.AllowNumber("01234567890");
    EXPECT_EQ(view.items, (std::vector<std::string>{"01234567890", " 0900 "}));
    EXPECT_EQ(pushed.size(), 2u) << "an already listed number is pushed again";
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{" 0900  added to allow list.",
                                                        "01234567890 added to allow list."}));
}

TEST_F(EditingTest, AfterAFailingStoreWriteListBoxStoreAndDriverAgree) {
    Start({"01234567890"});
    // The store refuses every new value from now on.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "registry.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(
            db,
            "CREATE TRIGGER refuse BEFORE INSERT ON reg_value BEGIN SELECT RAISE(ABORT, 'no'); END",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    view.field = "09001234567";
    EXPECT_THROW(editing.btnAddClick(), UserError);
    EXPECT_EQ(view.items, std::vector<std::string>{"01234567890"})
        << "the list box shows the store's list again";
    EXPECT_EQ(pushed, std::vector<std::vector<std::string>>{{"01234567890"}})
        << "and so does the driver";
    EXPECT_TRUE(log.Messages().empty()) << "no \"added\" line";
    EXPECT_THROW(editing.AllowNumber("09001234567"), UserError);
    EXPECT_EQ(view.items, std::vector<std::string>{"01234567890"});
    EXPECT_TRUE(log.Messages().empty());
}

// A list that could not be read is never saved over the store: Hide reads it again instead, and
// an edit stops with the store's error until the store can be read.
TEST_F(EditingTest, AListThatCouldNotBeReadIsNeverSavedOverTheStore) {
    Start({"01234567890", "09876543210"});
    const auto db = root / "registry.db";
    std::filesystem::permissions(db, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_TRUE(editing.LoadListBox().empty());
    EXPECT_FALSE(editing.ListBoxRead());
    EXPECT_TRUE(view.items.empty());

    view.field = "01111111111";
    try {
        editing.btnAddClick();
        FAIL() << "an Add to a list that cannot be read";
    } catch (const UserError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The allowed numbers cannot be read: Access is denied.");
    }
    EXPECT_EQ(view.field, "01111111111") << "nothing of the Add ran";
    // The settings are still read (parental control is off here): a Remove passes the gate and
    // meets the same refusal.
    EXPECT_THROW(editing.btnRemoveClick(), UserError);
    editing.SaveListBox();  // Hide
    EXPECT_TRUE(pushed.empty());

    std::filesystem::permissions(db, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    editing.SaveListBox();  // Hide again, with the store writable: read, not written
    EXPECT_TRUE(editing.ListBoxRead());
    EXPECT_EQ(view.items, (std::vector<std::string>{"01234567890", "09876543210"}));
    EXPECT_EQ(store.LoadNumbers(), view.items) << "the stored list is whole";
    editing.btnAddClick();
    EXPECT_EQ(store.LoadNumbers(),
              (std::vector<std::string>{"01234567890", "09876543210", "01111111111"}));
}
