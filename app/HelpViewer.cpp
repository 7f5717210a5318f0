#include "app/HelpViewer.h"

#include <QFile>
#include <QTextBrowser>

#include "numbers/ui/DialogSupport.h"

namespace kestrine::app {

HelpViewer::HelpViewer() = default;
HelpViewer::~HelpViewer() = default;

bool HelpViewer::Show(const QString& helpFile, unsigned command, unsigned data) {
    QFile file(helpFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    if (!browser_) {
        browser_ = std::make_unique<QTextBrowser>();
        browser_->setWindowTitle("Kestrine Help");
        browser_->resize(520, 560);
        browser_->setOpenExternalLinks(true);
        ui::CentreOnScreen(*browser_);  // once: where the user moves it afterwards, it stays
    }
    browser_->setHtml(QString::fromUtf8(file.readAll()));
    browser_->scrollToAnchor(command == HELP_CONTEXT ? QStringLiteral("context-%1").arg(data)
                                                     : QStringLiteral("contents"));
    browser_->show();
    browser_->raise();
    browser_->activateWindow();
    return true;
}

}  // namespace kestrine::app
