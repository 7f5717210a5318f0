#include "app/Anchors.h"

#include <QEvent>
#include <QWidget>

namespace kestrine::app {

void Anchors::Add(QWidget* widget, int anchors, QSize designParentSize) {
    entries_.push_back({widget, anchors, widget->geometry(), designParentSize});
    QWidget* parent = widget->parentWidget();
    parent->removeEventFilter(this);
    parent->installEventFilter(this);
    Apply(entries_.back());
}

bool Anchors::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        for (const auto& entry : entries_) {
            if (entry.widget->parentWidget() == watched) {
                Apply(entry);
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void Anchors::Apply(const Entry& entry) const {
    const QSize parent = entry.widget->parentWidget()->size();
    const QRect& d = entry.design;
    const int rightMargin = entry.parentDesign.width() - d.right() - 1;
    const int bottomMargin = entry.parentDesign.height() - d.bottom() - 1;
    int x = d.x();
    int width = d.width();
    if ((entry.anchors & AnchorRight) != 0) {
        if ((entry.anchors & AnchorLeft) != 0) {
            width = std::max(0, parent.width() - d.x() - rightMargin);
        } else {
            x = parent.width() - rightMargin - width;
        }
    }
    int y = d.y();
    int height = d.height();
    if ((entry.anchors & AnchorBottom) != 0) {
        if ((entry.anchors & AnchorTop) != 0) {
            height = std::max(0, parent.height() - d.y() - bottomMargin);
        } else {
            y = parent.height() - bottomMargin - height;
        }
    }
    entry.widget->setGeometry(x, y, width, height);
}

}  // namespace kestrine::app
