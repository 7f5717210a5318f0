#include "tests/ui/ModalHelper.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>

namespace kestrine::test {

void WhenModalAppears(std::function<void(QWidget&)> answer, int timeoutMs) {
    auto timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout,
                     [timer, clock, answer = std::move(answer), timeoutMs] {
                         if (QWidget* modal = QApplication::activeModalWidget();
                             modal != nullptr && modal->isVisible()) {
                             timer->stop();
                             timer->deleteLater();
                             answer(*modal);
                             return;
                         }
                         if (clock->elapsed() > timeoutMs) {
                             timer->stop();
                             timer->deleteLater();
                             ADD_FAILURE() << "no modal dialog appeared";
                         }
                     });
    timer->start(10);
}

}  // namespace kestrine::test
