#include "OverlayWidget.h"

#include <QImage>
#include <QMouseEvent>
#include <QtTest>

class TestOverlayWidget : public QObject {
    Q_OBJECT

private:
    static QImage render(OverlayWidget& overlay)
    {
        QImage img(overlay.size(), QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        overlay.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
        return img;
    }

private slots:
    void coversParentAndLetsMouseThrough()
    {
        QWidget area;
        area.resize(1000, 600);
        OverlayWidget overlay(&area);
        QCOMPARE(overlay.geometry(), QRect(0, 0, 1000, 600));
        QVERIFY(overlay.testAttribute(Qt::WA_TransparentForMouseEvents));
        QVERIFY(overlay.testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(overlay.radius(), 100);
        QCOMPARE(overlay.borderWidth(), 4);
    }

    // Inside the circle the picture shows through untouched, outside it is
    // darkened, and the ring lies on the circle's edge.
    void masksOutsideOfCircle_data()
    {
        QTest::addColumn<int>("radius");
        QTest::newRow("window square 600") << 296;
        QTest::newRow("small") << 40;
    }
    void masksOutsideOfCircle()
    {
        QFETCH(int, radius);
        QWidget area;
        area.resize(1000, 600);
        OverlayWidget overlay(&area);
        overlay.setRadius(radius);
        QCOMPARE(overlay.radius(), radius);
        const QImage img = render(overlay);
        const QPoint c = overlay.rect().center();

        QCOMPARE(qAlpha(img.pixel(c)), 0);
        QCOMPARE(qAlpha(img.pixel(c + QPoint(radius / 2, 0))), 0);
        QCOMPARE(img.pixelColor(0, 0), QColor(0, 0, 0, 180));
        QCOMPARE(img.pixelColor(999, 599), QColor(0, 0, 0, 180));
        QCOMPARE(img.pixelColor(c.x() - radius - 20, c.y()).alpha(), 180);

        // Somewhere along the top of the ring the dashed pen is drawn in its blue.
        bool ringFound = false;
        for (int dx = -radius / 3; dx <= radius / 3 && !ringFound; ++dx) {
            for (int dy = -2; dy <= 2; ++dy) {
                const QPoint p(c.x() + dx,
                               c.y() - int(std::sqrt(double(radius * radius - dx * dx))) + dy);
                const QColor col = img.pixelColor(p);
                if (col.alpha() > 150 && col.blue() > col.red() + 30) {
                    ringFound = true;
                    break;
                }
            }
        }
        QVERIFY(ringFound);
    }

    // The keyboard focus frame runs along the edges, in the highlight colour,
    // and only while it is asked for.
    void focusFrame_data()
    {
        QTest::addColumn<bool>("shown");
        QTest::newRow("focused") << true;
        QTest::newRow("not focused") << false;
    }
    void focusFrame()
    {
        QFETCH(bool, shown);
        QWidget area;
        area.resize(400, 300);
        OverlayWidget overlay(&area);
        overlay.setFocusFrame(shown);
        const QImage img = render(overlay);
        const QColor highlight = overlay.palette().color(QPalette::Highlight);
        const QColor dark(0, 0, 0, 180);
        for (const QPoint& p : {QPoint(1, 150), QPoint(200, 1), QPoint(398, 150), QPoint(200, 298)})
            QCOMPARE(img.pixelColor(p), shown ? highlight : dark);
        QCOMPARE(img.pixelColor(10, 10), dark);
    }
};

QTEST_MAIN(TestOverlayWidget)
#include "tst_overlaywidget.moc"
