#pragma once
// The main window over a fake driver, scripted prompts and a store in a private root.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "numbers/NumberListClass.h"
#include "platform/SystemRoot.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

namespace kestrine::test {

enum class Parental { Initial, Off, On };

class WindowFixture : public ::testing::Test {
protected:
    TempDir root;
    TempDir programDir;  // where the log lies
    ScriptedPrompts prompts;
    FakeDriverAccess access;
    app::ApplicationSettings settings;
    int quits = 0;  // how often the window ended the application (which also ends open dialogs)
    std::unique_ptr<app::TfrmMain> window;

    void TearDown() override;

    platform::Registry Registry() const {
        return platform::Registry(platform::RegistryDatabasePath(root.Path()));
    }
    // Stores the PIN 1234, the parental-control state and the numbers, then creates the window.
    // With `realDialogs` it asks through real message boxes and PIN dialogs instead of `prompts`.
    void Start(Parental state, const std::vector<std::string>& numbers = {},
               bool realDialogs = false);
    // Start's two halves: the store, then the window.
    void Prepare(Parental state, const std::vector<std::string>& numbers);
    void Open(bool realDialogs = false);
    std::vector<std::string> Stored() const {
        return numbers::TNumberList(Registry()).LoadNumbers();
    }
    std::string Log() const { return ReadFile(programDir / "qdlog.log"); }
};

}  // namespace kestrine::test
