#include "OverlayWidget.h"

#include <QPainter>
#include <QPainterPath>
#include <QPen>

OverlayWidget::OverlayWidget(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    if (parent)
        resize(parent->size());
    move(0, 0);
}

void OverlayWidget::setRadius(int radius)
{
    circleRadius = radius;
    update();
}

void OverlayWidget::setFocusFrame(bool shown)
{
    if (shown == focusFrame)
        return;
    focusFrame = shown;
    update();
}

void OverlayWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QPoint c = rect().center();

    // Darken everything outside the circle.
    QPainterPath outside;
    outside.addRect(rect());
    QPainterPath circle;
    circle.addEllipse(c, circleRadius, circleRadius);
    painter.fillPath(outside.subtracted(circle), QColor(0, 0, 0, 180));

    // The dashed ring on the circle's edge.
    QPen pen(QColor(19, 56, 108, 204));
    pen.setWidth(borderWidth());
    pen.setDashPattern({10, 5});
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(c, circleRadius, circleRadius);

    if (focusFrame) {
        painter.setRenderHint(QPainter::Antialiasing, false);
        const QColor highlight = palette().color(QPalette::Highlight);
        const int w = kFocusFrameWidth;
        painter.fillRect(QRect(0, 0, width(), w), highlight);
        painter.fillRect(QRect(0, height() - w, width(), w), highlight);
        painter.fillRect(QRect(0, w, w, height() - 2 * w), highlight);
        painter.fillRect(QRect(width() - w, w, w, height() - 2 * w), highlight);
    }
}
