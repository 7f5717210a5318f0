#pragma once
// The help window: shows the help file (our own HTML) at its contents or at a context topic.
#include <QString>
#include <memory>

class QTextBrowser;

namespace kestrine::app {

inline constexpr unsigned HELP_CONTEXT = 1;
inline constexpr unsigned HELP_CONTENTS = 3;

class HelpViewer {
public:
    HelpViewer();
    ~HelpViewer();

    // Opens `helpFile`: HELP_CONTENTS at its top, HELP_CONTEXT at topic `data` (the anchor
    // "context-<data>"). Returns false when the file cannot be read.
    bool Show(const QString& helpFile, unsigned command, unsigned data);
    QTextBrowser* Window() const { return browser_.get(); }

private:
    std::unique_ptr<QTextBrowser> browser_;
};

}  // namespace kestrine::app
