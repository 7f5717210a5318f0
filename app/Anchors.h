#pragma once
// Keeps controls at their distance to the edges of their parent that they are anchored to when
// the parent is resized; a control anchored to two opposite edges stretches.
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

    // `widget` as laid out for a parent of `designParentSize`, anchored to `anchors`.
    void Add(QWidget* widget, int anchors, QSize designParentSize);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QWidget* widget;
        int anchors;
        QRect design;
        QSize parentDesign;
    };
    void Apply(const Entry& entry) const;
    std::vector<Entry> entries_;
};

}  // namespace kestrine::app
