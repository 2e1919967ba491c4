// The framing of the preview as plain values: where the picture lies behind
// the fixed circle and how far it is zoomed, the rules of every gesture that
// moves or zooms it, and the centre and scale a conversion takes from it.
//
// The picture is a widget that the user moves and resizes inside the preview
// area; the circle is the layout rectangle's inscribed circle. Every
// operation takes the picture's current geometry (in the preview area's
// coordinates) and returns the geometry it should get, so the same rules
// serve the mouse, the wheel and the keyboard and can be checked without a
// widget.
#pragma once

#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>

class Framing {
public:
    static constexpr double kMinZoom = 0.2;
    static constexpr double kMaxZoom = 5.0;
    // The wheel's angle delta of one notch on common mice; the keyboard's
    // zoom keys step by one notch.
    static constexpr int kNotch = 120;

    // What a conversion takes from the framing: the circle's centre in video
    // pixels (x from the left, y from the bottom of the picture as shown)
    // and the factor that scales the video so that the layout rectangle
    // spans destResolution pixels.
    struct Result {
        QPointF videoCenter;
        double videoScale = 0.0;
    };

    // The framing for a picture of size `video` (as shown) letterboxed into
    // a widget at `geometry`, with the circle's square at `layout`. False
    // (and *out untouched) when a size is not positive or the layout
    // rectangle is not valid.
    static bool compute(const QRect& geometry, const QRect& layout, const QSize& video,
                        int destResolution, Result* out);
    bool compute(const QRect& geometry, const QSize& video, int destResolution, Result* out) const
    {
        return compute(geometry, layoutRect, video, destResolution, out);
    }

    QRect layout() const { return layoutRect; }
    double zoom() const { return zoomFactor; }
    bool hasLayout() const { return layoutRect.isValid(); }

    // Takes the geometry as the layout rectangle, unless one is known already
    // (the first capture after the widget is shown).
    void captureInitial(const QRect& geometry);
    // Zoom 1 and the picture back in the square it was last placed in (or
    // left where it is before any placement); that becomes the layout
    // rectangle. Returns the picture's geometry.
    QRect resetLayout(const QRect& geometry);
    // The window laid the preview out anew with the circle's square at
    // `square`: it becomes the layout rectangle, and the picture keeps its
    // zoom and its offset from the centre in units of the square's side.
    QRect placeInSquare(const QRect& square, const QRect& geometry);
    // Zoom 1, the picture filling the layout rectangle (geometry unchanged
    // before a layout is known).
    QRect resetFraming(const QRect& geometry);

    // A drag that started with the picture at `start` and has moved the
    // pointer by `movement`. The picture may leave the layout rectangle by
    // at most its own size in each direction, so that it can always be
    // brought back.
    QRect dragged(const QRect& start, const QPoint& movement) const;
    // The keyboard's move by `step` pixels, limited like a drag.
    QRect movedBy(const QRect& geometry, const QPoint& step) const
    {
        return dragged(geometry, step);
    }
    // A wheel turn of angleDelta (kNotch per notch forward) zooms around the
    // picture's centre: each notch multiplies the zoom by 1.06, within
    // kMinZoom..kMaxZoom. Nothing changes without a layout rectangle.
    QRect zoomedBy(const QRect& geometry, double angleDelta);

    // The picture's centre relative to the circle's centre, in units of the
    // layout rectangle's sides; (0, 0) without a layout rectangle.
    QPointF offset(const QRect& geometry) const;
    // The geometry for a given zoom and offset (as offset() gives it) in the
    // current layout rectangle; the zoom is limited to its range.
    QRect place(double zoom, const QPointF& offset);

private:
    QRect around(const QPointF& centre);

    QRect layoutRect; // the circle's square, invalid until captured
    double zoomFactor = 1.0;
    QRect laidOutSquare; // the square the window last placed the picture in
    // Exact centre the wheel zooms around, kept while the geometry is the one
    // the last notch produced, so that rounding never makes the picture creep.
    QPointF zoomCentre;
    QRect zoomGeometry;
};
