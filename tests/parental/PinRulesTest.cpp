#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "numbers/PinRules.h"
#include "numbers/Prompts.h"
#include "platform/UserError.h"
#include "tests/support/ScriptedPrompts.h"

using namespace kestrine;

namespace {

// The message of the first failing check, or "" when every check passes.
std::string FirstFailure(const std::function<void()>& checks) {
    try {
        checks();
        return "";
    } catch (const UserError& error) {
        return error.what();
    }
}

struct Case {
    std::vector<std::string> fields;
    std::string failure;
};

}  // namespace

TEST(PinRules, GetPinChecksBlankThenLength) {
    const std::vector<Case> cases{
        {{"    "}, "PIN Cannot be blank"},
        {{"\t\r\n "}, "PIN Cannot be blank"},
        {{"abc"}, "PIN must be at least 4 characters"},
        {{"  ab"}, ""},  // the length counts blanks, and the text is not blank
        {{"ABCD"}, ""},
        // Characters as typed, not bytes: two Cyrillic letters are four bytes of UTF-8.
        {{"\u0436\u0436"}, "PIN must be at least 4 characters"},
        {{"\u0436\u0436\u0436\u0436"}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirstFailure([&] { ValidateGetPin(c.fields[0]); }), c.failure)
            << "'" << c.fields[0] << "'";
    }
}

TEST(PinRules, SetPinChecksInOrder) {
    const std::vector<Case> cases{
        {{"", ""}, "PIN Cannot be blank"},
        {{"abc", ""}, "PIN must be at least 4 characters"},
        {{"abcd", "   "}, "Confirm PIN Cannot be blank"},
        {{"abcd", "abc"}, "Confirm PIN must be at least 4 characters"},
        {{"abcd", "abce"}, "PINs do not match"},
        {{"abcd", "ABCD"}, "PINs do not match"},
        {{"abcd", "abcd"}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirstFailure([&] { ValidateSetPin(c.fields[0], c.fields[1]); }), c.failure);
    }
}

TEST(PinRules, ChangePinChecksTheCurrentPinBeforeTheNewOne) {
    const std::string stored = "1234";
    const std::vector<Case> cases{
        {{"", "", ""}, "PIN Cannot be blank"},
        {{"12", "", ""}, "PIN must be at least 4 characters"},
        {{"4321", "", ""}, "Current Pin incorrect"},
        {{"1234", " ", ""}, "New PIN Cannot be blank"},
        {{"1234", "abc", ""}, "New PIN must be at least 4 characters"},
        {{"1234", "abcd", "ab"}, "Confirm PIN must be at least 4 characters"},
        // Four blanks pass the confirmation's length test (it has no blank test) and fail the
        // comparison with the new PIN, which cannot be blank.
        {{"1234", "abcd", "    "}, "New PIN and Confirm New PIN do not match"},
        {{"1234", "abcd", "abcd"}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            FirstFailure([&] { ValidateChangePin(c.fields[0], stored, c.fields[1], c.fields[2]); }),
            c.failure);
    }
}

TEST(CommonErrorBox, AppendsAFullStopOnlyAfterCharactersSortingAfterIt) {
    EXPECT_EQ(CommonErrorText("PIN Cannot be blank"), "PIN Cannot be blank.");
    EXPECT_EQ(CommonErrorText("Invalid PIN.  You must enter the correct Pin to allow this number"),
              "Invalid PIN.  You must enter the correct Pin to allow this number.");
    EXPECT_EQ(CommonErrorText("Already ends."), "Already ends.");
    EXPECT_EQ(CommonErrorText("ends in a blank "), "ends in a blank ");
    EXPECT_EQ(CommonErrorText("ends in a dash -"), "ends in a dash -");
    EXPECT_EQ(CommonErrorText(""), "");
}

TEST(CommonErrorBox, AUserErrorAbandonsTheRestOfTheHandler) {
    test::ScriptedPrompts prompts;
    prompts.ExpectCommonError("Failed.");
    bool restRan = false;
    EXPECT_FALSE(RunUserAction(prompts, [&] {
        throw UserError("Failed");
        restRan = true;
    }));
    EXPECT_FALSE(restRan);
    EXPECT_TRUE(RunUserAction(prompts, [] {}));
}
