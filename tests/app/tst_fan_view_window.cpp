// The fan view in the real window under a virtual display: the switch draws
// the fan's picture inside the circle, follows drags, flips and the model,
// stops all work when switched off, and shows a fan file's first frame as a
// state of its own that any framing, model or playback change leaves.
#include "PointerInput.h"
#include "AppTestSupport.h"
#include "FanFileMaker.h"
#include "FanPreview.h"
#include "FanViewWidget.h"
#include "OverlayWidget.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <memory>

using namespace apptest;

namespace {

// Upright quadrants: top left red, top right green, bottom left blue,
// bottom right yellow.
const QRgb kQuadrants[4] = {qRgb(230, 20, 20), qRgb(20, 230, 20), qRgb(20, 20, 230),
                            qRgb(230, 230, 20)};

QImage quadrants(int side)
{
    QImage image(side, side, QImage::Format_RGB888);
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++)
            image.setPixel(x, y, kQuadrants[(y < side / 2 ? 0 : 2) + (x < side / 2 ? 0 : 1)]);
    }
    return image;
}

// Which quadrant colour a pixel shows ('R', 'G', 'B', 'Y'), '0' for black,
// '?' for anything else.
char colourClass(QRgb p)
{
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    if (r < 24 && g < 24 && b < 24)
        return '0';
    if (r > 120 && g < 60 && b < 60)
        return 'R';
    if (g > 120 && r < 60 && b < 60)
        return 'G';
    if (b > 120 && r < 60 && g < 60)
        return 'B';
    if (r > 120 && g > 120 && b < 60)
        return 'Y';
    return '?';
}

void drag(QWidget* player, QPoint by)
{
    const QPoint start = player->mapToGlobal(QPoint(player->width() / 2, player->height() / 2));
    sendMouse(player, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    sendMouse(player, QEvent::MouseMove, start + by / 2, Qt::NoButton, Qt::LeftButton);
    sendMouse(player, QEvent::MouseMove, start + by, Qt::NoButton, Qt::LeftButton);
    sendMouse(player, QEvent::MouseButtonRelease, start + by, Qt::LeftButton, Qt::NoButton);
}

} // namespace

class TestFanViewWindow : public QObject {
    Q_OBJECT

    QTemporaryDir configDir;
    QTemporaryDir mediaDir;
    QString quadrantsPath;
    QString flatPath;
    std::unique_ptr<HomeWindow> window;
    FanViewWidget* view = nullptr;
    QAbstractButton* button = nullptr;

    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }

    // Loads a picture and waits until the player shows one of its size.
    void load(const QString& path, QSize size)
    {
        window->selectInputFile(path);
        QVERIFY(QTest::qWaitFor(
            [&] {
                uint32_t w = 0, h = 0;
                return window->player()->getVideoSize(w, h) && QSize(int(w), int(h)) == size;
            },
            15000));
    }

    // Switches the view on and waits for a picture made after `after` updates.
    void switchOn(int after = -1)
    {
        if (!button->isChecked())
            button->click();
        QVERIFY(view->isActive());
        const int seen = after < 0 ? view->updateCount() : after;
        QTRY_VERIFY_WITH_TIMEOUT(view->updateCount() > seen + 1, 10000);
    }

    // The colour class at a point of the disc, in fractions of its side.
    char at(double fx, double fy)
    {
        const QImage p = view->picture();
        return colourClass(p.pixel(int(fx * p.width()), int(fy * p.height())));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(configDir.isValid());
        QVERIFY(mediaDir.isValid());
        isolateWindowTest(configDir);
        quadrantsPath =
            mediaDir.filePath(uniqueName(QStringLiteral("quadrants"), QStringLiteral("png")));
        QVERIFY(quadrants(400).save(quadrantsPath));
        QImage flat(300, 200, QImage::Format_RGB888);
        flat.fill(QColor(180, 90, 200));
        flatPath = mediaDir.filePath(uniqueName(QStringLiteral("flat"), QStringLiteral("png")));
        QVERIFY(flat.save(flatPath));

        window = std::make_unique<HomeWindow>();
        window->setMediaInfoDelay(300);
        window->setFolderOpener([](const QString&) {});
        window->resize(1100, 760);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTRY_COMPARE(child<QSpinBox>("lightsSpin")->value(), 116);
        QTRY_VERIFY(!window->player()->currentLayoutRect().isNull());
        view = window->fanViewWidget();
        QVERIFY(view);
        view->setUpdateInterval(30);
        button = child<QAbstractButton>("fanViewButton");
        load(quadrantsPath, QSize(400, 400));
    }

    void cleanupTestCase() { window.reset(); }

    void init()
    {
        child<QComboBox>("modelSelector")->setCurrentIndex(0); // VEGA
    }

    void cleanup()
    {
        if (button->isChecked())
            button->click();
    }

    void switchingOnDrawsTheDisc()
    {
        QVERIFY(!view->isVisible());
        switchOn();
        QVERIFY(view->isVisible());
        const QRect square = window->player()->currentLayoutRect();
        QCOMPARE(view->picture().width(), qRound(square.width() * view->devicePixelRatioF()));
        // The four quadrants inside the disc, black in its corners.
        QTRY_COMPARE_WITH_TIMEOUT(at(0.3, 0.3), 'R', 10000);
        QCOMPARE(at(0.7, 0.3), 'G');
        QCOMPARE(at(0.3, 0.7), 'B');
        QCOMPARE(at(0.7, 0.7), 'Y');
        QCOMPARE(at(0.02, 0.02), '0');
        // Above the picture, below the framing ring.
        const QObjectList& siblings = view->parentWidget()->children();
        QVERIFY(siblings.indexOf(view) > siblings.indexOf(window->player()));
        QVERIFY(siblings.indexOf(view) < siblings.indexOf(child<OverlayWidget>("overlay")));
    }

    void keyFSwitches()
    {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window->player(), Qt::Key_F);
        QTRY_VERIFY(view->isActive());
        QVERIFY(button->isChecked());
        QTest::keyClick(window->player(), Qt::Key_F);
        QTRY_VERIFY(!view->isActive());
    }

    void framingChangesThePicture_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<char>("expected"); // at (0.35, 0.3), red before
        QTest::newRow("drag left") << "drag" << 'G';
        QTest::newRow("mirror") << "hflip" << 'G';
        QTest::newRow("upside down") << "vflip" << 'B';
    }

    void framingChangesThePicture()
    {
        QFETCH(QString, change);
        QFETCH(char, expected);
        switchOn();
        QTRY_COMPARE_WITH_TIMEOUT(at(0.35, 0.3), 'R', 10000);
        const int builds = view->renderer().planBuilds();
        MPVWidget* player = window->player();
        const QPoint by(-player->width() / 4, 0);
        QAbstractButton* flip = change == QLatin1String("hflip")
            ? child<QAbstractButton>("hFlipButton")
            : child<QAbstractButton>("vFlipButton");
        if (change == QLatin1String("drag"))
            drag(player, by);
        else
            flip->click();
        QTRY_COMPARE_WITH_TIMEOUT(at(0.35, 0.3), expected, 10000);
        // Framing needs no new plan.
        QCOMPARE(view->renderer().planBuilds(), builds);
        if (change == QLatin1String("drag"))
            drag(player, -by);
        else
            flip->click();
        QTRY_COMPARE_WITH_TIMEOUT(at(0.35, 0.3), 'R', 10000);
    }

    void modelChangeBuildsThePlan()
    {
        switchOn();
        QCOMPARE(view->renderer().params().lines, 520);
        QCOMPARE(view->renderer().params().lights, 116);
        const int builds = view->renderer().planBuilds();
        child<QComboBox>("modelSelector")->setCurrentText(QStringLiteral("BELLATRIX"));
        QTRY_COMPARE(view->renderer().params().lines, 300);
        QCOMPARE(view->renderer().params().lights, 48);
        QCOMPARE(view->renderer().params().colorDeep, 5);
        QCOMPARE(view->renderer().leds().size(), 300 * 48 * 3);
        QCOMPARE(view->renderer().planBuilds(), builds + 1);
        const int seen = view->updateCount();
        QTRY_VERIFY(view->updateCount() > seen);
        QTRY_COMPARE_WITH_TIMEOUT(at(0.3, 0.3), 'R', 10000);
    }

    void switchingOffStopsAllWork()
    {
        switchOn();
        button->click();
        QVERIFY(!view->isActive());
        QVERIFY(!view->isVisible());
        QVERIFY(!view->renderer().hasPlan());
        QVERIFY(view->picture().isNull());
        // Held for a while: no read-back asked, no picture made.
        const int seen = view->updateCount();
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 400) {
            QTest::qWait(20);
            QVERIFY(!window->player()->isFrameGrabPending());
            QCOMPARE(view->updateCount(), seen);
        }
    }

    // Invariant: a picture of one colour stays one colour over the disc.
    void constantColourStaysConstant()
    {
        load(flatPath, QSize(300, 200));
        switchOn();
        // Once the new picture is shown (mpv shows black while it switches).
        auto middleOf = [](const QImage& p) { return p.pixel(p.width() / 2, p.height() / 2); };
        QTRY_VERIFY_WITH_TIMEOUT(
            qRed(middleOf(view->picture())) > 40 && qBlue(middleOf(view->picture())) > 40, 10000);
        const QImage p = view->picture();
        const QRgb middle = middleOf(p);
        const double c = (p.width() - 1) / 2.0;
        // The 3:2 picture framed whole spans the circle's width and two
        // thirds of its height: black above and below it, as the preview
        // shows there.
        for (double dy : {-0.85, 0.85}) {
            const QRgb q = p.pixel(int(c), int(c + dy * c));
            QVERIFY2(qRed(q) == 0 && qGreen(q) == 0 && qBlue(q) == 0,
                     qPrintable(QStringLiteral("%1 above or below the picture").arg(q, 8, 16)));
        }
        for (int y = 0; y < p.height(); y += 4) {
            for (int x = 0; x < p.width(); x += 4) {
                if (std::hypot(x - c, y - c) > 0.9 * c || std::abs(y - c) > 0.6 * c)
                    continue;
                const QRgb q = p.pixel(x, y);
                QVERIFY2(std::abs(qRed(q) - qRed(middle)) <= 4 &&
                             std::abs(qGreen(q) - qGreen(middle)) <= 4 &&
                             std::abs(qBlue(q) - qBlue(middle)) <= 4,
                         qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
            }
        }
        load(quadrantsPath, QSize(400, 400));
    }

    // A fan file of the quadrants for VEGA, made once.
    QString fanFile()
    {
        const QString path = mediaDir.filePath(QStringLiteral("quadrants.bin"));
        if (QFile::exists(path))
            return path;
        FanFileJob job;
        job.lights = 116;
        job.lines = 520;
        job.colorDeep = 6;
        job.frames = {quadrants(232)};
        QString error;
        return makeFanFile(job, mediaDir.path(), path, &error) ? path : QString();
    }

    void showsAFanFilesFirstFrame()
    {
        const QString path = fanFile();
        QVERIFY(!path.isEmpty());
        QString error;

        QVERIFY2(window->showFanFile(path, &error), qPrintable(error));
        QVERIFY(view->isShowingFile());
        QVERIFY(view->isVisible());
        QVERIFY(button->isChecked());
        FanPreview file;
        QVERIFY(file.open(path, {116, 520, 6}, &error));
        const QImage expected = file.renderFrame(0, view->picture().width(), &error);
        QCOMPARE(view->picture().convertToFormat(QImage::Format_RGB888), expected);
        // The file's picture stays: no live updates replace it.
        const int seen = view->updateCount();
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 200) {
            QTest::qWait(20);
            QCOMPARE(view->updateCount(), seen);
        }

        // What is not a fan file is refused and leaves the view as it was.
        QVERIFY(!window->showFanFile(quadrantsPath, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(view->isShowingFile());
        QCOMPARE(view->picture().convertToFormat(QImage::Format_RGB888), expected);

        // Switching off and on returns to the live picture.
        button->click();
        QVERIFY(!view->isActive());
        switchOn();
        QVERIFY(!view->isShowingFile());
    }

    // Showing a file is a state the preview names; any change of the
    // framing, the model or the playback leaves it for the live picture,
    // with the view still on.
    void anyChangeLeavesTheFile_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("drag") << "drag";
        QTest::newRow("zoom key") << "zoom";
        QTest::newRow("mirror") << "hflip";
        QTest::newRow("model") << "model";
        QTest::newRow("pause") << "pause";
    }

    void anyChangeLeavesTheFile()
    {
        QFETCH(QString, change);
        MPVWidget* player = window->player();
        if (change == QLatin1String("pause")) {
            const QString clip =
                mediaDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
            QVERIFY(QFile::exists(clip) || makeClip(clip, 3, QStringLiteral("400x400")));
            QVERIFY(chooseVideoAndWait(*window, clip));
        }
        const QString path = fanFile();
        QString error;
        QVERIFY2(window->showFanFile(path, &error), qPrintable(error));
        auto* caption = child<QLabel>("fanViewCaption");
        QVERIFY(view->isShowingFile());
        QVERIFY(caption->isVisible());
        QVERIFY2(caption->text().contains(QStringLiteral("quadrants.bin")),
                 qPrintable(caption->text()));

        auto* hFlip = child<QAbstractButton>("hFlipButton");
        auto* playPause = child<QPushButton>("playPauseButton");
        const QPoint by(-player->width() / 5, 0);
        if (change == QLatin1String("drag")) {
            drag(player, by);
        } else if (change == QLatin1String("zoom")) {
            QTest::keyClick(player, Qt::Key_Plus);
        } else if (change == QLatin1String("hflip")) {
            hFlip->click();
        } else if (change == QLatin1String("model")) {
            child<QComboBox>("modelSelector")->setCurrentText(QStringLiteral("BELLATRIX"));
        } else {
            playPause->click();
        }
        QTRY_VERIFY(!view->isShowingFile());
        QVERIFY(view->isActive());
        QVERIFY(button->isChecked());
        QVERIFY(caption->isHidden());
        const int seen = view->updateCount();
        QTRY_VERIFY_WITH_TIMEOUT(view->updateCount() > seen, 10000);

        if (change == QLatin1String("drag"))
            drag(player, -by);
        else if (change == QLatin1String("zoom"))
            QTest::keyClick(player, Qt::Key_0);
        else if (change == QLatin1String("hflip"))
            hFlip->click();
        else if (change == QLatin1String("pause")) {
            playPause->click();
            load(quadrantsPath, QSize(400, 400));
        }
    }
};

QTEST_MAIN(TestFanViewWindow)
#include "tst_fan_view_window.moc"
