#include "app/Anchors.h"

#include <QEvent>
#include <QWidget>

namespace kestrine::app {

void Anchors::Add(QWidget* widget, int anchors, QWidget* reference, QSize referenceDesignSize) {
    entries_.push_back({widget, anchors, widget->geometry(), reference, referenceDesignSize});
    reference->removeEventFilter(this);
    reference->installEventFilter(this);
    Apply(entries_.back());
}

bool Anchors::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        for (const auto& entry : entries_) {
            if (entry.reference == watched) {
                Apply(entry);
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void Anchors::Apply(const Entry& entry) const {
    const QSize grown = entry.reference->size() - entry.referenceDesign;
    const QRect& d = entry.design;
    int x = d.x();
    int width = d.width();
    if ((entry.anchors & AnchorRight) != 0) {
        if ((entry.anchors & AnchorLeft) != 0) {
            width = std::max(0, d.width() + grown.width());
        } else {
            x += grown.width();
        }
    }
    int y = d.y();
    int height = d.height();
    if ((entry.anchors & AnchorBottom) != 0) {
        if ((entry.anchors & AnchorTop) != 0) {
            height = std::max(0, d.height() + grown.height());
        } else {
            y += grown.height();
        }
    }
    entry.widget->setGeometry(x, y, width, height);
}

}  // namespace kestrine::app
