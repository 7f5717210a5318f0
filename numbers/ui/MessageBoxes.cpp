#include "numbers/ui/MessageBoxes.h"

#include <QPointer>
#include <QPushButton>

#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

std::unique_ptr<QMessageBox> MakeMessageBox(BoxKind kind, const std::string& text,
                                            QWidget* parent) {
    // Owned by the window that raises it, so that it comes above that window, not behind it.
    auto box = std::make_unique<QMessageBox>(DialogOwner(parent));
    // Texts carry what was typed or pasted, never markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(ToQt(text));
    switch (kind) {
        case BoxKind::Error:
            box->setWindowTitle("Error");
            box->setIcon(QMessageBox::Critical);
            break;
        case BoxKind::Warning:
            box->setWindowTitle("Warning");
            box->setIcon(QMessageBox::Warning);
            break;
        case BoxKind::Information:
            box->setWindowTitle("Information");
            box->setIcon(QMessageBox::Information);
            break;
        case BoxKind::CommonError:
            box->setWindowTitle(kApplicationTitle);
            box->setIcon(QMessageBox::Critical);
            break;
        case BoxKind::Confirm: {
            box->setWindowTitle("Confirm");
            box->setIcon(QMessageBox::Question);
            QPushButton* yes = box->addButton("&Yes", QMessageBox::YesRole);
            QPushButton* no = box->addButton("&No", QMessageBox::NoRole);
            box->setDefaultButton(yes);
            box->setEscapeButton(no);
            MakeOwned(*box);
            return box;
        }
    }
    // Named here rather than taken as the standard button, whose text the desktop's theme picks.
    QPushButton* ok = box->addButton("OK", QMessageBox::AcceptRole);
    box->setDefaultButton(ok);
    box->setEscapeButton(ok);
    MakeOwned(*box);
    return box;
}

bool ShowMessageBox(BoxKind kind, const std::string& text, QWidget* parent) {
    if (ApplicationQuitting()) {
        return false;
    }
    auto box = MakeMessageBox(kind, text, parent);
    const QPointer<QMessageBox> alive(box.get());
    box->exec();
    if (alive.isNull()) {
        (void)box.release();  // its owner was deleted while it was open, and took it along
        return false;
    }
    if (ApplicationQuitting()) {
        return false;
    }
    const auto* clicked = box->clickedButton();
    return clicked != nullptr &&
           box->buttonRole(const_cast<QAbstractButton*>(clicked)) != QMessageBox::NoRole;
}

}  // namespace kestrine::ui
