#include "tests/app/WindowFixture.h"

#include <QApplication>

#include "numbers/ui/NumberBlockedForm.h"

namespace kestrine::test {

void WindowFixture::TearDown() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* alert = qobject_cast<ui::TfrmBlocked*>(widget);
            alert != nullptr && alert->isVisible()) {
            alert->close();
        }
    }
    QApplication::processEvents();
    window.reset();
}

void WindowFixture::Start(Parental state, const std::vector<std::string>& numbers) {
    {
        numbers::TNumberList store(Registry());
        store.SetPIN("1234");
        store.WriteParentalMarker(state == Parental::On, state == Parental::Initial);
        store.SaveNumbers(numbers);
    }
    window = std::make_unique<app::TfrmMain>(
        settings,
        app::MainFormSetup{programDir.Path(), Registry(), &access, &prompts, [this] { ++quits; }});
}

}  // namespace kestrine::test
