#pragma once
// The application's four kinds of message box and the common error box.
#include <QMessageBox>
#include <memory>
#include <string>

class QWidget;

namespace kestrine::ui {

enum class BoxKind { Error, Warning, Information, Confirm, CommonError };

// Builds the box (not shown): caption, icon, buttons, default and Escape button of its kind.
std::unique_ptr<QMessageBox> MakeMessageBox(BoxKind kind, const std::string& text,
                                            QWidget* parent = nullptr);
// Shows it modally; true when Yes (Confirm) or OK was pressed.
bool ShowMessageBox(BoxKind kind, const std::string& text, QWidget* parent = nullptr);

}  // namespace kestrine::ui
