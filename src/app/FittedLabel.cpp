#include "app/FittedLabel.h"

#include <QPainter>

namespace quelby {

namespace {

constexpr int NarrowestStretch = 50;

}  // namespace

void FittedLabel::paintEvent(QPaintEvent* event)
{
    const QRect room = contentsRect();
    const int needed = fontMetrics().horizontalAdvance(text());
    if (needed <= room.width()) {
        QLabel::paintEvent(event);
        return;
    }
    QFont squeezed = font();
    squeezed.setStretch(std::max(NarrowestStretch, 100 * room.width() / needed));
    QPainter painter(this);
    painter.setFont(squeezed);
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(room, static_cast<int>(alignment()), text());
}

}  // namespace quelby
