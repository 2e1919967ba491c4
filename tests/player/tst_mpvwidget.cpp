// The preview widget under a real X display (Xvfb, Mesa): playback of a
// generated clip and of images, flips, keys, and the framing interaction
// (drag limits, wheel zoom, layout capture, computeFraming).
#include "PointerInput.h"
#include "MPVWidget.h"
#include "../media/MediaTestSupport.h"

#include <QApplication>
#include <QScopeGuard>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <memory>

namespace {

constexpr int kWait = 20000; // generous: a loaded CI machine may be slow

// Classifies a pixel of the rendered quadrant image.
QChar colourOf(QRgb p)
{
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    if (r > 180 && g > 180 && b > 180)
        return 'W';
    if (r > 150 && g < 100 && b < 100)
        return 'R';
    if (g > 150 && r < 100 && b < 100)
        return 'G';
    if (b > 150 && r < 100 && g < 100)
        return 'B';
    return '?';
}

void sendWheel(QWidget* w, int angle)
{
    const QPointF pos(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent ev(pos, w->mapToGlobal(pos.toPoint()), QPoint(), QPoint(0, angle), Qt::NoButton,
                   Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &ev);
}

void sendKey(QWidget* w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent ev(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(w, &ev);
}

} // namespace

class TestMPVWidget : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString clip, quadrants, landscape, portrait;
    // The window's arrangement: a 1000 x 600 preview area with the player as
    // a 600 x 600 square at (200, 0).
    std::unique_ptr<QWidget> area;
    MPVWidget* player = nullptr;
    const QRect square {200, 0, 600, 600};

    QString makeImage(const QString& name, int w, int h)
    {
        QImage img(w, h, QImage::Format_RGB32);
        img.fill(QColor(128, 128, 128));
        const QString path = dir.filePath(name);
        return img.save(path) ? path : QString();
    }

    QString current; // the file last loaded into the player

    // Loads a file and waits until mpv reports its frame size. A file that is
    // already playing is left alone: until mpv has handled a new "loadfile" it
    // still reports the old size.
    void load(const QString& path, uint32_t w, uint32_t h)
    {
        if (path == current)
            return;
        current = path;
        QVERIFY(player->loadFile(path));
        uint32_t vw = 0, vh = 0;
        QTRY_VERIFY_WITH_TIMEOUT(player->getVideoSize(vw, vh) && vw == w && vh == h, kWait);
    }

    // Back to the laid-out square with a fresh layout capture.
    // The colours of the four quadrants as shown: top left, top right, bottom
    // left, bottom right.
    QString corners()
    {
        const QImage f = player->grabFramebuffer();
        const int a = f.width() / 4, b = f.width() * 3 / 4;
        return QString(colourOf(f.pixel(a, a))) + colourOf(f.pixel(b, a)) +
            colourOf(f.pixel(a, b)) + colourOf(f.pixel(b, b));
    }

    void relayout()
    {
        player->setGeometry(square);
        player->resetLayout();
        QTRY_VERIFY_WITH_TIMEOUT(
            player->currentLayoutRect() == square && player->currentZoom() == 1.0, kWait);
        QCoreApplication::processEvents(); // the deferred capture has surely run
        QCOMPARE(player->currentLayoutRect(), square);
    }
#define LOAD(...)                                                                                  \
    do {                                                                                           \
        load(__VA_ARGS__);                                                                         \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (0)
#define RELAYOUT()                                                                                 \
    do {                                                                                           \
        relayout();                                                                                \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (0)

    void drag(QPoint by)
    {
        const QPoint start = player->mapToGlobal(QPoint(300, 300));
        sendMouse(player, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        QVERIFY(player->isDragging());
        sendMouse(player, QEvent::MouseMove, start + by / 2, Qt::NoButton, Qt::LeftButton);
        sendMouse(player, QEvent::MouseMove, start + by, Qt::NoButton, Qt::LeftButton);
        sendMouse(player, QEvent::MouseButtonRelease, start + by, Qt::LeftButton, Qt::NoButton);
        QVERIFY(!player->isDragging());
    }

private slots:
    void initTestCase()
    {
        // libmpv parses numbers with the C locale.
        std::setlocale(LC_NUMERIC, "C");
        QVERIFY(dir.isValid());

        clip = dir.filePath("clip.mp4");
        QProcess ff;
        ff.start("ffmpeg",
                 {"-v", "error", "-y", "-f", "lavfi", "-i",
                  "testsrc=size=160x120:rate=10:duration=1", "-c:v", "mpeg4", "-pix_fmt", "yuv420p",
                  clip});
        QVERIFY2(ff.waitForFinished(60000) && ff.exitCode() == 0,
                 ff.readAllStandardError().constData());

        // Four coloured quadrants: red, green / blue, white.
        QImage img(64, 64, QImage::Format_RGB32);
        QPainter p(&img);
        p.fillRect(0, 0, 32, 32, Qt::red);
        p.fillRect(32, 0, 32, 32, Qt::green);
        p.fillRect(0, 32, 32, 32, Qt::blue);
        p.fillRect(32, 32, 32, 32, Qt::white);
        p.end();
        quadrants = dir.filePath("quadrants.png");
        QVERIFY(img.save(quadrants));
        landscape = makeImage("landscape.png", 1920, 1080);
        portrait = makeImage("portrait.png", 1080, 1920);
        QVERIFY(!landscape.isEmpty() && !portrait.isEmpty());

        area = std::make_unique<QWidget>();
        area->resize(1000, 600);
        player = new MPVWidget(area.get());
        player->setGeometry(square);
        area->show();
        QVERIFY(QTest::qWaitForWindowExposed(area.get()));
        QTRY_VERIFY_WITH_TIMEOUT(player->isRenderReady(), kWait);
        // The first show captures the layout square by itself.
        QTRY_COMPARE_WITH_TIMEOUT(player->currentLayoutRect(), square, kWait);
    }

    void cleanupTestCase()
    {
        area.reset(); // tears the player down while its GL context still exists
    }

    // A widget with nothing loaded reports no size and refuses to frame; it
    // also tears down cleanly after its GL side was set up.
    void nothingLoaded()
    {
        QWidget host;
        host.resize(300, 300);
        auto* fresh = new MPVWidget(&host);
        fresh->setGeometry(0, 0, 300, 300);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QTRY_VERIFY_WITH_TIMEOUT(fresh->isRenderReady(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(fresh->currentLayoutRect().isValid(), kWait);

        uint32_t w = 7, h = 7;
        QVERIFY(!fresh->getVideoSize(w, h));
        QCOMPARE(w, 0u);
        QCOMPARE(h, 0u);
        double duration = -1, position = -1;
        QVERIFY(!fresh->getPlaybackTime(duration, position));
        QPointF center(1, 2);
        double scale = 3;
        QVERIFY(!fresh->computeFraming(center, scale, 200));
        QCOMPARE(center, QPointF(1, 2));
        QCOMPARE(scale, 3.0);
        (void)fresh->grabFramebuffer();
        delete fresh;

        MPVWidget neverShown; // no GL context ever: teardown must not need one
        QVERIFY(!neverShown.isRenderReady());
    }

    void clipPlays()
    {
        LOAD(clip, 160, 120);
        double duration = 0, position = -1;
        QTRY_VERIFY_WITH_TIMEOUT(player->getPlaybackTime(duration, position), kWait);
        QVERIFY2(std::fabs(duration - 1.0) < 0.2, qPrintable(QString::number(duration)));
        QVERIFY(position >= 0 && position <= duration + 0.1);

        // The test pattern is colourful: a rendered frame has many colours,
        // none of which is the clear colour behind the picture.
        auto colourful = [this] {
            const QImage frame = player->grabFramebuffer().scaled(60, 60);
            QSet<QRgb> colours;
            for (int y = 12; y < 48; ++y)
                for (int x = 0; x < 60; ++x)
                    colours.insert(frame.pixel(x, y) & 0xF0F0F0);
            return colours.size() > 20 && frame.pixel(30, 30) != qRgb(255, 0, 0);
        };
        QTRY_VERIFY_WITH_TIMEOUT(colourful(), kWait);
        QVERIFY(player->seekTo(500));
    }

    // Position and duration arrive as signals from mpv's event queue; a
    // paused picture is not rendered again until something changes.
    void observesAndRests()
    {
        QSignalSpy durations(player, &MPVWidget::durationChanged);
        QSignalSpy positions(player, &MPVWidget::positionChanged);
        current.clear();
        LOAD(clip, 160, 120);
        QTRY_VERIFY_WITH_TIMEOUT(!durations.isEmpty() && durations.last().at(0).toDouble() > 0.8,
                                 kWait);
        QTRY_VERIFY_WITH_TIMEOUT(positions.size() > 3, kWait);
        if (!player->isPaused())
            QVERIFY(player->togglePause());
        QTRY_VERIFY_WITH_TIMEOUT(player->isPaused(), kWait);
        QTest::qWait(300); // the last frame before the pause is out
        const int rendered = player->renderCount();
        QTest::qWait(500);
        QCOMPARE(player->renderCount(), rendered);
        // A change of the view renders at once.
        player->setFlip(true, false);
        QTRY_VERIFY_WITH_TIMEOUT(player->renderCount() > rendered, kWait);
        player->setFlip(false, false);
        QVERIFY(player->togglePause());
    }

    // The quadrant image fills the square; every row is applied to the same
    // widget after the previous one, so repeated horizontal flips are covered.
    void imageAndFlips_data()
    {
        QTest::addColumn<bool>("horizontal");
        QTest::addColumn<bool>("vertical");
        QTest::addColumn<QString>("expected"); // top left, top right, bottom left, bottom right
        QTest::newRow("upright") << false << false << "RGBW";
        QTest::newRow("mirrored") << true << false << "GRWB";
        QTest::newRow("mirrored again, then upside down") << true << true << "WBGR";
        QTest::newRow("upside down only") << false << true << "BWRG";
        QTest::newRow("upside down again") << false << true << "BWRG";
        QTest::newRow("back upright") << false << false << "RGBW";
    }
    void imageAndFlips()
    {
        QFETCH(bool, horizontal);
        QFETCH(bool, vertical);
        QFETCH(QString, expected);
        if (QTest::currentDataTag() == QLatin1String("upright"))
            LOAD(quadrants, 64, 64);
        player->setFlip(horizontal, vertical);
        QCOMPARE(player->horizontalFlip(), horizontal);
        QCOMPARE(player->verticalFlip(), vertical);
        QTRY_COMPARE_WITH_TIMEOUT(corners(), expected, kWait);
    }

    // The flips act on the picture as shown, also when mpv turns it (a phone
    // clip stored on its side): mirrored, its corners swap left and right;
    // upside down, top and bottom.
    void flipsOfTurnedPicture_data()
    {
        QTest::addColumn<bool>("quarterTurn");
        QTest::newRow("stored upright") << false;
        QTest::newRow("quarter turn") << true;
    }
    void flipsOfTurnedPicture()
    {
        QFETCH(bool, quarterTurn);
        const QString path = dir.filePath(quarterTurn ? "quadrants-turned.mp4" : "quadrants.mp4");
        QVERIFY(mediatest::ffmpeg({"-loop", "1", "-i", quadrants, "-t", "1", "-r", "10", "-c:v",
                                   "mpeg4", "-q:v", "2", "-pix_fmt", "yuv420p", path}));
        if (quarterTurn)
            QVERIFY(mediatest::rotateVideoQuarter(path));
        player->setFlip(false, false);
        LOAD(path, 64, 64);
        // As shown: the stored corners, or turned a quarter.
        QString u;
        QTRY_VERIFY2_WITH_TIMEOUT((u = corners()).count('?') == 0 &&
                                      (u == QLatin1String("RGBW")) != quarterTurn,
                                  qPrintable(u), kWait);
        // The corners of u in another order (indices into u).
        const auto from = [&u](int a, int b, int c, int d) {
            return QString(u[a]) + u[b] + u[c] + u[d];
        };
        const struct {
            bool horizontal, vertical;
            QString expected;
        } flips[] = {{true, false, from(1, 0, 3, 2)},
                     {false, true, from(2, 3, 0, 1)},
                     {true, true, from(3, 2, 1, 0)},
                     {false, false, u}};
        for (const auto& f : flips) {
            player->setFlip(f.horizontal, f.vertical);
            QTRY_COMPARE_WITH_TIMEOUT(corners(), f.expected, kWait);
        }
    }

    void computeFraming_data()
    {
        QTest::addColumn<bool>("portraitVideo");
        QTest::addColumn<QPoint>("dragBy");
        QTest::addColumn<QRect>("geometry"); // set directly when valid
        QTest::addColumn<double>("scale");
        QTest::addColumn<QPointF>("center");
        const QRect none;
        QTest::newRow("unmoved") << false << QPoint() << none << 200.0 / 1920 << QPointF(960, 540);
        QTest::newRow("dragged 50 right")
            << false << QPoint(50, 0) << none << 200.0 / 1920 << QPointF(800, 540);
        QTest::newRow("dragged 30 down")
            << false << QPoint(0, 30) << none << 200.0 / 1920 << QPointF(960, 636);
        QTest::newRow("zoom 2") << false << QPoint() << QRect(-100, -300, 1200, 1200) << 200.0 / 960
                                << QPointF(960, 540);
        QTest::newRow("zoom 2 dragged 60 left")
            << false << QPoint() << QRect(-160, -300, 1200, 1200) << 200.0 / 960
            << QPointF(1056, 540);
        QTest::newRow("portrait unmoved")
            << true << QPoint() << none << 200.0 / 1920 << QPointF(540, 960);
        QTest::newRow("portrait dragged 40 left")
            << true << QPoint(-40, 0) << none << 200.0 / 1920 << QPointF(540 + 40 * 3.2, 960);
    }
    void computeFraming()
    {
        QFETCH(bool, portraitVideo);
        QFETCH(QPoint, dragBy);
        QFETCH(QRect, geometry);
        QFETCH(double, scale);
        QFETCH(QPointF, center);
        if (portraitVideo)
            LOAD(portrait, 1080, 1920);
        else
            LOAD(landscape, 1920, 1080);
        RELAYOUT();
        if (!dragBy.isNull())
            drag(dragBy);
        if (geometry.isValid())
            player->setGeometry(geometry);

        QPointF gotCenter;
        double gotScale = 0;
        QVERIFY(player->computeFraming(gotCenter, gotScale, 200));
        QVERIFY2(std::fabs(gotScale - scale) < 1e-12,
                 qPrintable(QString::number(gotScale, 'g', 17)));
        QVERIFY2(std::fabs(gotCenter.x() - center.x()) < 1e-9 &&
                     std::fabs(gotCenter.y() - center.y()) < 1e-9,
                 qPrintable(QString("%1, %2").arg(gotCenter.x()).arg(gotCenter.y())));
    }

    // A phone's portrait clip is stored landscape with a quarter turn in its
    // track header; mpv shows it upright, so its size and the framing must be
    // those of the upright picture. The grey picture in a 600 x 600 square
    // leaves the surface black beside it (portrait) or above it (landscape).
    void rotatedClip_data()
    {
        QTest::addColumn<bool>("quarterTurn");
        QTest::addColumn<uint>("width");
        QTest::addColumn<uint>("height");
        QTest::addColumn<QPointF>("center");
        QTest::newRow("stored upright") << false << 64u << 48u << QPointF(32, 24);
        QTest::newRow("quarter turn") << true << 48u << 64u << QPointF(24, 32);
    }
    void rotatedClip()
    {
        QFETCH(bool, quarterTurn);
        QFETCH(uint, width);
        QFETCH(uint, height);
        QFETCH(QPointF, center);
        const QString name = quarterTurn ? "turned.mp4" : "unturned.mp4";
        const QString path = dir.filePath(name);
        if (!QFile::exists(path)) {
            QVERIFY(mediatest::ffmpeg({"-f", "lavfi", "-i",
                                       "color=c=gray:size=64x48:rate=25:duration=1", "-c:v",
                                       "mpeg4", "-pix_fmt", "yuv420p", path}));
            if (quarterTurn)
                QVERIFY(mediatest::rotateVideoQuarter(path));
        }
        player->setFlip(false, false);
        LOAD(path, width, height);
        RELAYOUT();

        QPointF gotCenter;
        double gotScale = 0;
        QVERIFY(player->computeFraming(gotCenter, gotScale, 200));
        QCOMPARE(gotScale, 200.0 / 64); // the longer side spans the square
        QCOMPARE(gotCenter, center);

        QString seen;
        auto shownRightWayRound = [&] {
            const QImage f = player->grabFramebuffer();
            // mpv fills the surface beside the picture with black.
            auto kind = [&](int x, int y) {
                const QRgb p = f.pixel(x, y);
                return qGray(p) < 40                ? QChar('K')
                    : std::abs(qGray(p) - 128) < 40 ? QChar('g')
                                                    : QChar('?');
            };
            seen = QString(kind(2, f.height() / 2)) + kind(f.width() / 2, 2) +
                kind(f.width() / 2, f.height() / 2);
            return seen == (quarterTurn ? "Kgg" : "gKg");
        };
        QTRY_VERIFY2_WITH_TIMEOUT(shownRightWayRound(), qPrintable(seen), kWait);
    }

    // The picture may leave the layout square by at most its own size.
    void dragLimits_data()
    {
        QTest::addColumn<QPoint>("dragBy");
        QTest::addColumn<QPoint>("topLeft");
        QTest::newRow("small move") << QPoint(50, -20) << QPoint(250, -20);
        QTest::newRow("far right") << QPoint(5000, 0) << QPoint(800, 0);
        QTest::newRow("far left") << QPoint(-5000, 0) << QPoint(-400, 0);
        QTest::newRow("far down") << QPoint(0, 5000) << QPoint(200, 600);
        QTest::newRow("far up and left") << QPoint(-5000, -5000) << QPoint(-400, -600);
        QTest::newRow("exactly one width") << QPoint(600, 0) << QPoint(800, 0);
    }
    void dragLimits()
    {
        QFETCH(QPoint, dragBy);
        QFETCH(QPoint, topLeft);
        RELAYOUT();
        drag(dragBy);
        QCOMPARE(player->pos(), topLeft);
        QCOMPARE(player->size(), square.size());
        QCOMPARE(player->currentLayoutRect(), square); // dragging never moves the reference
    }

    void wheelZoom_data()
    {
        QTest::addColumn<int>("notches"); // positive forward
        QTest::addColumn<double>("zoom");
        QTest::newRow("one forward") << 1 << 1.06;
        QTest::newRow("one back") << -1 << 0.94;
        QTest::newRow("ten forward") << 10 << std::pow(1.06, 10);
        QTest::newRow("up to the limit") << 40 << 5.0;
        QTest::newRow("down to the limit") << -40 << 0.2;
    }
    void wheelZoom()
    {
        QFETCH(int, notches);
        QFETCH(double, zoom);
        RELAYOUT();
        for (int i = 0; i < std::abs(notches); ++i)
            sendWheel(player, notches > 0 ? 120 : -120);
        QVERIFY(qFuzzyCompare(player->currentZoom(), zoom));
        const int side = qRound(600 * zoom);
        QCOMPARE(player->size(), QSize(side, side));
        // Zoom keeps the centre within half a pixel.
        const QPointF c = QRectF(player->geometry()).center();
        QVERIFY2(std::fabs(c.x() - 500) <= 0.5 && std::fabs(c.y() - 300) <= 0.5,
                 qPrintable(QString("%1, %2").arg(c.x()).arg(c.y())));

        // One more notch beyond a limit leaves it there.
        if (zoom == 5.0 || zoom == 0.2) {
            sendWheel(player, notches > 0 ? 120 : -120);
            QCOMPARE(player->currentZoom(), zoom);
        }
        // resetLayout returns to zoom 1 and takes the current geometry as reference.
        player->resetLayout();
        QTRY_COMPARE_WITH_TIMEOUT(player->currentZoom(), 1.0, kWait);
        QCOMPARE(player->currentLayoutRect(), player->geometry());
    }

    // Ctrl+Up and Ctrl+Down change the volume (the arrows alone move the picture).
    void keys_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<double>("result");
        QTest::newRow("up") << 50.0 << int(Qt::Key_Up) << 55.0;
        QTest::newRow("up to the top") << 98.0 << int(Qt::Key_Up) << 100.0;
        QTest::newRow("down") << 50.0 << int(Qt::Key_Down) << 45.0;
        QTest::newRow("down to zero") << 3.0 << int(Qt::Key_Down) << 0.0;
    }
    void keys()
    {
        QFETCH(double, start);
        QFETCH(int, key);
        QFETCH(double, result);
        player->setVolume(start);
        QCOMPARE(player->volume(), start);
        sendKey(player, key, Qt::ControlModifier);
        QCOMPARE(player->volume(), result);
    }

    // The framing keys: arrows move by a sixtieth of the square (Shift: one
    // pixel), + and - zoom by a wheel notch, 0 frames the picture anew. None
    // of them touches the volume.
    void framingKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("right") << int(Qt::Key_Right) << 0 << square.translated(10, 0);
        QTest::newRow("up") << int(Qt::Key_Up) << 0 << square.translated(0, -10);
        QTest::newRow("down") << int(Qt::Key_Down) << 0 << square.translated(0, 10);
        QTest::newRow("shift left")
            << int(Qt::Key_Left) << int(Qt::ShiftModifier) << square.translated(-1, 0);
        QTest::newRow("plus") << int(Qt::Key_Plus) << int(Qt::ShiftModifier)
                              << QRect(182, -18, 636, 636);
        QTest::newRow("keypad minus")
            << int(Qt::Key_Minus) << int(Qt::KeypadModifier) << QRect(218, 18, 564, 564);
        QTest::newRow("zero after a drag") << int(Qt::Key_0) << 0 << square;
    }
    void framingKeys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QRect, geometry);
        RELAYOUT();
        if (key == Qt::Key_0)
            drag(QPoint(40, 30));
        player->setVolume(50);
        QSignalSpy framed(player, &MPVWidget::framingChanged);
        sendKey(player, key, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(player->geometry(), geometry);
        QCOMPARE(player->currentLayoutRect(), square);
        QCOMPARE(framed.count(), 1);
        QCOMPARE(player->volume(), 50.0);
    }

    void muteKeyToggles()
    {
        const bool before = player->isMuted();
        sendKey(player, Qt::Key_M);
        QCOMPARE(player->isMuted(), !before);
        sendKey(player, Qt::Key_M);
        QCOMPARE(player->isMuted(), before);
        player->setVolume(250);
        QCOMPARE(player->volume(), 100.0);
        player->setVolume(-4);
        QCOMPARE(player->volume(), 0.0);
    }

    // mpv keeps its events until they are read, and a full queue makes it
    // refuse further loads; a looping image alone produces a couple of events
    // a second. Many loads in a row must keep working.
    void manyLoadsKeepWorking()
    {
        const QString a = makeImage("a.png", 40, 30);
        const QString b = makeImage("b.png", 50, 30);
        for (int batch = 0; batch < 12; ++batch) {
            const bool even = batch % 2 == 0;
            for (int i = 0; i < 100; ++i)
                QVERIFY2(player->loadFile(even ? a : b),
                         qPrintable(QString("batch %1 load %2").arg(batch).arg(i)));
            uint32_t w = 0, h = 0;
            QTRY_VERIFY_WITH_TIMEOUT(player->getVideoSize(w, h) && w == (even ? 40u : 50u), kWait);
        }
        current.clear();
    }

    // Moving the widget into another top-level window gives it a new GL
    // context; the picture must follow, and come back with it.
    void survivesMoveToAnotherWindow()
    {
        LOAD(quadrants, 64, 64);
        player->setFlip(false, false);
        auto upright = [this] {
            const QImage f = player->grabFramebuffer();
            return colourOf(f.pixel(f.width() / 4, f.height() / 4)) == 'R' &&
                colourOf(f.pixel(f.width() * 3 / 4, f.height() * 3 / 4)) == 'W';
        };
        QWidget other;
        other.resize(400, 400);
        // Whatever happens, the player returns to the shared preview area.
        auto back = qScopeGuard([this] {
            player->setParent(area.get());
            player->setGeometry(square);
            player->show();
        });
        player->setParent(&other);
        player->setGeometry(0, 0, 400, 400);
        other.show();
        player->show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        QTRY_VERIFY_WITH_TIMEOUT(player->isRenderReady() && upright(), kWait);

        back.dismiss();
        player->setParent(area.get());
        player->setGeometry(square);
        player->show();
        QTRY_VERIFY_WITH_TIMEOUT(player->isRenderReady() && upright(), kWait);
    }

    // A file handed over before the widget was ever shown plays once it is.
    void loadBeforeShown()
    {
        QWidget host;
        host.resize(200, 200);
        auto* early = new MPVWidget(&host);
        early->setGeometry(0, 0, 200, 200);
        QVERIFY(early->loadFile(quadrants));
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QTRY_VERIFY_WITH_TIMEOUT(early->isRenderReady(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(colourOf(early->grabFramebuffer().pixel(50, 50)) == 'R', kWait);
    }

    // File names reach mpv exactly as given: quotes and backslashes are
    // ordinary characters of a file name here.
    void awkwardFileNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("width");
        QTest::newRow("double quote") << "say \"cheese\".png" << 48;
        QTest::newRow("backslash") << "back\\slash.png" << 40;
        QTest::newRow("spaces and unicode") << "Ünïcode 视频 file.png" << 36;
    }
    void awkwardFileNames()
    {
        QFETCH(QString, name);
        QFETCH(int, width);
        const QString path = makeImage(name, width, 24);
        QVERIFY(QFile::exists(path));
        LOAD(path, uint32_t(width), 24);
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    TestMPVWidget test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mpvwidget.moc"
