#pragma once
// Keeps controls at their distance to the edges of their parent that they are anchored to when
// the window is resized; a control anchored to two opposite edges stretches.
//
// A control follows a reference whose size grows and shrinks with its parent's: the parent itself,
// or, for a tab page, the tab control. Its laid-out rectangle holds at the reference's design size,
// and every pixel the reference gains or loses moves or stretches the control by as much. A tab
// page is never measured: its size depends on the style's tab bar and frame, and a hidden tab
// control does not lay its pages out at all.
#include <QObject>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

namespace kestrine::app {

enum Anchor { AnchorLeft = 1, AnchorTop = 2, AnchorRight = 4, AnchorBottom = 8, AnchorAll = 15 };

class Anchors : public QObject {
    Q_OBJECT
public:
    explicit Anchors(QObject* parent = nullptr) : QObject(parent) {}

    // `widget` as laid out now (for `reference` at `referenceDesignSize`), anchored to `anchors`.
    void Add(QWidget* widget, int anchors, QWidget* reference, QSize referenceDesignSize);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QWidget* widget;
        int anchors;
        QRect design;
        QWidget* reference;
        QSize referenceDesign;
    };
    void Apply(const Entry& entry) const;
    std::vector<Entry> entries_;
};

}  // namespace kestrine::app
