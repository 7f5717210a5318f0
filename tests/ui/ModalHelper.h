#pragma once
// Answers a modal dialog that a call under test opens: polls for the active modal widget and
// hands it to `answer`, which must close it. A dialog that is still open after the timeout is
// rejected so the test fails instead of hanging.
#include <QWidget>
#include <functional>

namespace kestrine::test {

void WhenModalAppears(std::function<void(QWidget&)> answer, int timeoutMs = 5000);

}  // namespace kestrine::test
