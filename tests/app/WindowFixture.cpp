#include "tests/app/WindowFixture.h"

#include <QApplication>
#include <QDialog>

#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/NumberBlockedForm.h"

namespace kestrine::test {

void WindowFixture::TearDown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* alert = qobject_cast<ui::TfrmBlocked*>(widget);
            alert != nullptr && alert->isVisible()) {
            alert->btnOKClick();
        }
    }
    QApplication::processEvents();
    window.reset();
    ui::SetApplicationQuitting(false);
}

void WindowFixture::Start(Parental state, const std::vector<std::string>& numbers,
                          bool realDialogs) {
    Prepare(state, numbers);
    Open(realDialogs);
}

void WindowFixture::Prepare(Parental state, const std::vector<std::string>& numbers) {
    numbers::TNumberList store(Registry());
    store.SetPIN("1234");
    store.WriteParentalMarker(state == Parental::On, state == Parental::Initial);
    store.SaveNumbers(numbers);
}

void WindowFixture::Open(bool realDialogs) {
    // Ending the application ends the event loop of every dialog open at that moment too.
    auto quit = [this] {
        ++quits;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
                dialog->reject();
            }
        }
    };
    window = std::make_unique<app::TfrmMain>(
        settings, app::MainFormSetup{
                      programDir.Path(),
                      platform::Registry::Existing(platform::RegistryDatabasePath(root.Path())),
                      &access,
                      realDialogs ? nullptr : &prompts,
                      quit,
                      {}});
}

}  // namespace kestrine::test
