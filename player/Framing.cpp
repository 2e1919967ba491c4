#include "Framing.h"

#include <QtGlobal>

#include <cmath>

bool Framing::compute(const QRect& geometry, const QRect& layout, const QSize& video,
                      int destResolution, Result* out)
{
    if (!layout.isValid() || geometry.width() <= 0 || geometry.height() <= 0 ||
        video.width() <= 0 || video.height() <= 0)
        return false;
    const double w = geometry.width();
    const double h = geometry.height();
    const double videoW = video.width();
    const double videoH = video.height();

    // The picture is letterboxed inside the widget: shownW x shownH is its
    // size as shown there.
    const double aspect = videoH / videoW;
    double shownW, shownH, layoutPerWidget, videoSpan;
    if (w * aspect > h) { // fitted to the height
        shownH = h;
        shownW = h / aspect;
        layoutPerWidget = layout.height() / h;
        videoSpan = videoH;
    } else { // fitted to the width
        shownW = w;
        shownH = w * aspect;
        layoutPerWidget = layout.width() / w;
        videoSpan = videoW;
    }
    // videoSpan x layoutPerWidget video pixels span the layout rectangle;
    // scale that span to destResolution.
    const double scale = destResolution / (videoSpan * layoutPerWidget);

    // Offset of the picture's centre from the circle's centre, in widget
    // pixels, from exact (half-pixel) centres.
    const double dx = (geometry.x() + geometry.width() / 2.0) - (layout.x() + layout.width() / 2.0);
    const double dy =
        (geometry.y() + geometry.height() / 2.0) - (layout.y() + layout.height() / 2.0);
    out->videoScale = scale;
    out->videoCenter = QPointF((shownW * 0.5 - dx) * (videoW / shownW),
                               videoH - (shownH * 0.5 - dy) * (videoH / shownH));
    return true;
}

void Framing::captureInitial(const QRect& geometry)
{
    if (layoutRect.isNull())
        layoutRect = geometry;
}

QRect Framing::resetLayout(const QRect& geometry)
{
    zoomFactor = 1.0;
    zoomGeometry = QRect();
    // The picture goes back to the square it was laid out in; capturing a
    // zoomed geometry would make the next notch start from the wrong size.
    layoutRect = laidOutSquare.isValid() ? laidOutSquare : geometry;
    return layoutRect;
}

QRect Framing::placeInSquare(const QRect& square, const QRect& geometry)
{
    if (!square.isValid())
        return geometry;
    const QPointF shift = offset(geometry);
    laidOutSquare = square;
    layoutRect = square;
    return place(zoomFactor, shift);
}

QRect Framing::resetFraming(const QRect& geometry)
{
    zoomFactor = 1.0;
    zoomGeometry = QRect();
    return layoutRect.isValid() ? layoutRect : geometry;
}

QRect Framing::dragged(const QRect& start, const QPoint& movement) const
{
    const QPoint moved = start.topLeft() + movement;
    const int x =
        qBound(layoutRect.left() - start.width(), moved.x(), layoutRect.left() + start.width());
    const int y =
        qBound(layoutRect.top() - start.height(), moved.y(), layoutRect.top() + start.height());
    return QRect(QPoint(x, y), start.size());
}

QRect Framing::zoomedBy(const QRect& geometry, double angleDelta)
{
    if (!layoutRect.isValid())
        return geometry;
    zoomFactor = qBound(kMinZoom, (angleDelta / 100.0 * 0.05 + 1.0) * zoomFactor, kMaxZoom);
    // Zoom around the exact centre (not QRect's integer one, which lies half
    // a pixel to the top left for even sizes). While the geometry is the one
    // the last notch produced, the centre from before that notch is kept.
    if (geometry != zoomGeometry)
        zoomCentre =
            QPointF(geometry.x() + geometry.width() / 2.0, geometry.y() + geometry.height() / 2.0);
    return around(zoomCentre);
}

QPointF Framing::offset(const QRect& geometry) const
{
    if (!layoutRect.isValid())
        return QPointF(0.0, 0.0);
    return QPointF(
        ((geometry.x() + geometry.width() / 2.0) - (layoutRect.x() + layoutRect.width() / 2.0)) /
            layoutRect.width(),
        ((geometry.y() + geometry.height() / 2.0) - (layoutRect.y() + layoutRect.height() / 2.0)) /
            layoutRect.height());
}

QRect Framing::place(double zoom, const QPointF& shift)
{
    zoomFactor = qBound(kMinZoom, zoom, kMaxZoom);
    if (!layoutRect.isValid())
        return QRect();
    return around(
        QPointF(layoutRect.x() + layoutRect.width() / 2.0 + shift.x() * layoutRect.width(),
                layoutRect.y() + layoutRect.height() / 2.0 + shift.y() * layoutRect.height()));
}

QRect Framing::around(const QPointF& centre)
{
    const int w = qRound(layoutRect.width() * zoomFactor);
    const int h = qRound(layoutRect.height() * zoomFactor);
    const QRect next(int(std::floor(centre.x() - w / 2.0)), int(std::floor(centre.y() - h / 2.0)),
                     w, h);
    zoomCentre = centre;
    zoomGeometry = next;
    return next;
}
