// Renders the application's windows with its own widgets (offscreen) into PNG files, for the
// documentation. Usage: kestrine-screenshots <output folder>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <cstdio>

#include "numbers/ui/ChgPINForm.h"
#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/GetPINForm.h"
#include "numbers/ui/QtPrompts.h"
#include "numbers/ui/SetPINForm.h"

using namespace kestrine::ui;

namespace {

bool Save(QWidget& window, const QDir& folder, const char* name) {
    window.show();
    QApplication::processEvents();
    const QString path = folder.filePath(name);
    if (!window.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    window.hide();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    LoadApplicationFonts();
    SetUpApplicationLook();  // as the application: style, style sheet
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrine-screenshots <output folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    QtPrompts prompts;
    bool ok = true;

    TfrmGetPIN get(prompts);
    QTest::keyClicks(get.form.txtPIN, "1234");
    ok &= Save(get, folder, "dialog-get-pin.png");

    TfrmSetPIN set(prompts);
    QTest::keyClicks(set.form.txtPIN, "2468");
    QTest::keyClicks(set.form.txtPINConfirm, "2468");
    ok &= Save(set, folder, "dialog-set-pin.png");

    TfrmChgPin change(prompts);
    QTest::keyClicks(change.form.txtCurrPIN, "2468");
    QTest::keyClicks(change.form.txtNewPIN, "13579");
    ok &= Save(change, folder, "dialog-change-pin.png");
    return ok ? 0 : 1;
}
