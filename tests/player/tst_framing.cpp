// The framing rules without a widget: the centre and scale a conversion takes
// from the picture's place behind the circle, and what each gesture (drag,
// wheel, keys, a new layout, reset) does to the picture's geometry.
#include "Framing.h"

#include <QtTest>

#include <cmath>

namespace {

// The window's arrangement: a 600 x 600 square at (200, 0).
const QRect kSquare(200, 0, 600, 600);

Framing laidOut(const QRect& square = kSquare)
{
    Framing f;
    f.placeInSquare(square, square);
    return f;
}

} // namespace

class TestFraming : public QObject {
    Q_OBJECT

private slots:
    void compute_data();
    void compute();
    void computeRefuses_data();
    void computeRefuses();
    void gestures_data();
    void gestures();
    void newSquareKeepsZoomAndOffset();
};

void TestFraming::compute_data()
{
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("video");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QPointF>("center");
    const QSize landscape(1920, 1080), portrait(1080, 1920);
    QTest::newRow("unmoved") << kSquare << landscape << 200.0 / 1920 << QPointF(960, 540);
    QTest::newRow("dragged 50 right")
        << kSquare.translated(50, 0) << landscape << 200.0 / 1920 << QPointF(800, 540);
    QTest::newRow("dragged 30 down")
        << kSquare.translated(0, 30) << landscape << 200.0 / 1920 << QPointF(960, 636);
    QTest::newRow("zoom 2 around the same centre")
        << QRect(-100, -300, 1200, 1200) << landscape << 200.0 / 960 << QPointF(960, 540);
    QTest::newRow("zoom 2 dragged 60 left")
        << QRect(-160, -300, 1200, 1200) << landscape << 200.0 / 960 << QPointF(1056, 540);
    // Fitted to the height, so the layout's height gives the span.
    QTest::newRow("portrait unmoved") << kSquare << portrait << 200.0 / 1920 << QPointF(540, 960);
    QTest::newRow("portrait dragged 40 left")
        << kSquare.translated(-40, 0) << portrait << 200.0 / 1920 << QPointF(540 + 40 * 3.2, 960);
    // A widget wider than high letterboxes a landscape picture by its height:
    // 600 x 300 shows 533.3 x 300, and 2 x 1080 video pixels span the square.
    QTest::newRow("flat widget") << QRect(200, 150, 600, 300) << landscape << 200.0 / 2160
                                 << QPointF(960, 540);
}

void TestFraming::compute()
{
    QFETCH(QRect, geometry);
    QFETCH(QSize, video);
    QFETCH(double, scale);
    QFETCH(QPointF, center);
    Framing::Result r;
    QVERIFY(laidOut().compute(geometry, video, 200, &r));
    QVERIFY2(std::fabs(r.videoScale - scale) < 1e-12, qPrintable(QString::number(r.videoScale)));
    QVERIFY2(std::fabs(r.videoCenter.x() - center.x()) < 1e-9 &&
                 std::fabs(r.videoCenter.y() - center.y()) < 1e-9,
             qPrintable(QStringLiteral("%1, %2").arg(r.videoCenter.x()).arg(r.videoCenter.y())));
}

void TestFraming::computeRefuses_data()
{
    QTest::addColumn<QRect>("layout");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("video");
    QTest::newRow("no layout yet") << QRect() << kSquare << QSize(64, 48);
    QTest::newRow("no picture size") << kSquare << kSquare << QSize(0, 48);
    QTest::newRow("negative size") << kSquare << kSquare << QSize(64, -1);
    QTest::newRow("empty widget") << kSquare << QRect(10, 10, 0, 0) << QSize(64, 48);
}

void TestFraming::computeRefuses()
{
    QFETCH(QRect, layout);
    QFETCH(QRect, geometry);
    QFETCH(QSize, video);
    Framing::Result r;
    r.videoScale = 3.0;
    QVERIFY(!Framing::compute(geometry, layout, video, 200, &r));
    QCOMPARE(r.videoScale, 3.0);
}

// Each row starts from the picture filling the square at zoom 1 and applies
// one gesture; `steps` repeats it.
void TestFraming::gestures_data()
{
    QTest::addColumn<QString>("gesture");
    QTest::addColumn<QPoint>("by"); // drag or key movement
    QTest::addColumn<int>("steps");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<double>("zoom");
    QTest::newRow("small drag") << "drag" << QPoint(50, -20) << 1 << QRect(250, -20, 600, 600)
                                << 1.0;
    QTest::newRow("drag far right stops one width out")
        << "drag" << QPoint(5000, 0) << 1 << QRect(800, 0, 600, 600) << 1.0;
    QTest::newRow("drag far up and left")
        << "drag" << QPoint(-5000, -5000) << 1 << QRect(-400, -600, 600, 600) << 1.0;
    QTest::newRow("key moves like a drag")
        << "key" << QPoint(10, 0) << 3 << QRect(230, 0, 600, 600) << 1.0;
    QTest::newRow("keys stop where a drag stops")
        << "key" << QPoint(0, 10) << 100 << QRect(200, 600, 600, 600) << 1.0;
    QTest::newRow("one notch forward")
        << "wheel" << QPoint(0, 120) << 1 << QRect(182, -18, 636, 636) << 1.06;
    QTest::newRow("one notch back")
        << "wheel" << QPoint(0, -120) << 1 << QRect(218, 18, 564, 564) << 0.94;
    // 600 x 1.06^10 = 1074.5: 1075 pixels around the exact centre (500, 300).
    QTest::newRow("ten notches forward")
        << "wheel" << QPoint(0, 120) << 10 << QRect(-38, -238, 1075, 1075) << std::pow(1.06, 10);
    QTest::newRow("zoom stops at 5")
        << "wheel" << QPoint(0, 120) << 40 << QRect(-1000, -1200, 3000, 3000) << 5.0;
    QTest::newRow("zoom stops at 0.2")
        << "wheel" << QPoint(0, -120) << 40 << QRect(440, 240, 120, 120) << 0.2;
    QTest::newRow("reset after a drag") << "reset" << QPoint(70, 70) << 1 << kSquare << 1.0;
}

void TestFraming::gestures()
{
    QFETCH(QString, gesture);
    QFETCH(QPoint, by);
    QFETCH(int, steps);
    QFETCH(QRect, geometry);
    QFETCH(double, zoom);
    Framing f = laidOut();
    QRect g = kSquare;
    for (int i = 0; i < steps; ++i) {
        if (gesture == QLatin1String("drag"))
            g = f.dragged(g, by);
        else if (gesture == QLatin1String("key"))
            g = f.movedBy(g, by);
        else if (gesture == QLatin1String("wheel"))
            g = f.zoomedBy(g, by.y());
    }
    if (gesture == QLatin1String("reset")) {
        g = f.zoomedBy(f.dragged(g, by), 120);
        g = f.resetFraming(g);
    }
    QCOMPARE(g, geometry);
    QVERIFY2(qFuzzyCompare(f.zoom(), zoom), qPrintable(QString::number(f.zoom())));
    // No gesture moves the circle.
    QCOMPARE(f.layout(), kSquare);
}

void TestFraming::newSquareKeepsZoomAndOffset()
{
    Framing f = laidOut();
    QRect g = f.zoomedBy(f.dragged(kSquare, QPoint(60, 0)), 120); // zoom 1.06, 60 px right
    const QPointF offset = f.offset(g);
    QCOMPARE(offset, QPointF(0.1, 0.0));
    // The window shrinks to a 300 square: half the offset in pixels.
    g = f.placeInSquare(QRect(0, 0, 300, 300), g);
    QCOMPARE(f.layout(), QRect(0, 0, 300, 300));
    QCOMPARE(g, QRect(180 - 159, 150 - 159, 318, 318));
    QCOMPARE(f.offset(g), offset);
    // The same zoom and offset set anew (a restart brings the framing back).
    Framing other = laidOut(QRect(0, 0, 300, 300));
    QCOMPARE(other.place(1.06, offset), g);
    // A new layout returns to zoom 1 in the square last placed.
    QCOMPARE(f.resetLayout(g), QRect(0, 0, 300, 300));
    QCOMPARE(f.zoom(), 1.0);
}

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"
