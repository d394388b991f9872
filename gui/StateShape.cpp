#include "gui/StateShape.h"

#include <QPainter>
#include <algorithm>

TStateShape::TStateShape(QWidget* parent) : QWidget(parent) {}

void TStateShape::SetBrushColor(std::uint32_t bgr) {
    if (bgr == BrushColor_)
        return;
    BrushColor_ = bgr;
    update();
}

void TStateShape::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(
        QColor(BrushColor_ & 0xFF, (BrushColor_ >> 8) & 0xFF, (BrushColor_ >> 16) & 0xFF));
    // A circle as large as the shape's smaller side, centred.
    const int d = std::min(width(), height()) - 1;
    painter.drawEllipse(QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d));
}
