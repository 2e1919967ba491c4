// Round trips: upright pictures go through the engine into a fan file and
// come back through the preview. What comes back must be the picture the
// right way up and unmirrored, in the fan's colours: the engine's tone curve
// applied, the kept bits widened as the fan shows them.
#include "FanFileMaker.h"
#include "FanPreview.h"

#include "convert_internal.h"
#include "fan_render.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

int fanValue(int source, int depth)
{
    return fan_render_expand(tone_table[source], uint32_t(depth));
}

QImage quadrants(int side,
                 const QColor colours[4]) // top right, top left, bottom left, bottom right
{
    QImage image(side, side, QImage::Format_RGB888);
    const int h = side / 2;
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++)
            image.setPixel(x, y, colours[y < h ? (x >= h ? 0 : 1) : (x < h ? 2 : 3)].rgb());
    }
    return image;
}

QImage smoothPicture(int side)
{
    QImage image(side, side, QImage::Format_RGB888);
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++) {
            const double u = double(x) / side, v = double(y) / side;
            image.setPixel(x, y,
                           qRgb(int(128 + 100 * std::sin(2 * M_PI * u)), int(40 + 200 * v),
                                int(128 + 90 * std::cos(2 * M_PI * (u + v) / 2))));
        }
    }
    return image;
}

} // namespace

class TestPreviewRoundTrip : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    // Converts and opens; the job's pictures are the given frames.
    bool convert(const FanFileJob& job, FanPreview& preview)
    {
        const QString out = dir.filePath(QStringLiteral("out.bin"));
        QString error;
        if (!makeFanFile(job, dir.path(), out, &error)) {
            qWarning() << error;
            return false;
        }
        if (!preview.open(out, {job.lights, job.lines, job.colorDeep}, &error)) {
            qWarning() << error;
            return false;
        }
        return true;
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void smooth_picture_resembles_the_original_data()
    {
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("depth");
        QTest::addColumn<double>("maxMeanError");
        QTest::newRow("all bits kept") << 100 << 600 << 8 << 1.0;
        QTest::newRow("ARCTURUS") << 128 << 520 << 6 << 1.5;
        QTest::newRow("BELLATRIX") << 48 << 300 << 5 << 2.5;
    }

    // The rendered pixel (i, j) sits half a pixel off the source pixel grid
    // (the engine's centre is a pixel centre, the picture's centre a corner),
    // so the reference is the source sampled at (i + 0.5, j - 0.5).
    void smooth_picture_resembles_the_original()
    {
        QFETCH(int, lights);
        QFETCH(int, lines);
        QFETCH(int, depth);
        QFETCH(double, maxMeanError);
        const QImage source = smoothPicture(2 * lights);
        FanFileJob job;
        job.lights = lights;
        job.lines = lines;
        job.colorDeep = depth;
        job.frames = {source};
        FanPreview preview;
        QVERIFY(convert(job, preview));
        QString error;
        const QImage shown = preview.renderFrame(0, 2 * lights, &error);
        QVERIFY2(!shown.isNull(), qPrintable(error));

        double sum = 0, flippedSum = 0, mirroredSum = 0;
        long count = 0;
        for (int j = 0; j < shown.height(); j++) {
            for (int i = 0; i < shown.width(); i++) {
                if (std::hypot(i + 0.5 - lights, j + 0.5 - lights) > lights - 2)
                    continue;
                const QRgb got = shown.pixel(i, j);
                double want[3], flipped[3], mirrored[3];
                sampleBilinear(source, i + 0.5, j - 0.5, want);
                sampleBilinear(source, i + 0.5, 2 * lights - 1 - (j - 0.5), flipped);
                sampleBilinear(source, 2 * lights - 1 - (i + 0.5), j - 0.5, mirrored);
                const int channels[3] = {qRed(got), qGreen(got), qBlue(got)};
                for (int c = 0; c < 3; c++) {
                    sum += std::abs(channels[c] - fanValue(int(want[c]), depth));
                    flippedSum += std::abs(channels[c] - fanValue(int(flipped[c]), depth));
                    mirroredSum += std::abs(channels[c] - fanValue(int(mirrored[c]), depth));
                }
                count += 3;
            }
        }
        const double mean = sum / count;
        qInfo("mean absolute error %.2f (upside down %.1f, mirrored %.1f)", mean,
              flippedSum / count, mirroredSum / count);
        QVERIFY2(mean <= maxMeanError,
                 qPrintable(QStringLiteral("mean absolute error %1").arg(mean)));
        // The same picture upside down or mirrored must be far off.
        QVERIFY2(flippedSum / count > 5 * maxMeanError,
                 qPrintable(QString::number(flippedSum / count)));
        QVERIFY2(mirroredSum / count > 5 * maxMeanError,
                 qPrintable(QString::number(mirroredSum / count)));
    }

    void quadrants_come_back_where_they_were_data()
    {
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("depth");
        QTest::newRow("BELLATRIX") << 48 << 300 << 5;
        QTest::newRow("ACRUX") << 64 << 520 << 6;
        QTest::newRow("all bits kept, few lines") << 40 << 64 << 8;
    }

    void quadrants_come_back_where_they_were()
    {
        QFETCH(int, lights);
        QFETCH(int, lines);
        QFETCH(int, depth);
        const QColor colours[4] = {QColor(220, 60, 30), QColor(40, 200, 90), QColor(30, 60, 220),
                                   QColor(240, 240, 120)};
        FanFileJob job;
        job.lights = lights;
        job.lines = lines;
        job.colorDeep = depth;
        job.frames = {quadrants(2 * lights, colours)};
        FanPreview preview;
        QVERIFY(convert(job, preview));
        const int size = FanPreview::defaultSize(lights);
        QString error;
        const QImage shown = preview.renderFrame(0, size, &error);
        QVERIFY2(!shown.isNull(), qPrintable(error));
        QCOMPARE(shown.width(), size);

        struct Probe {
            double degrees; // counter-clockwise from the right, as seen
            double radius;  // share of the disc's radius
            int quadrant;
        };
        const Probe probes[] = {
            {45, 0.5, 0},       {135, 0.5, 1},      {225, 0.5, 2}, {315, 0.5, 3},
            {12, 0.75, 0},      {-12, 0.75, 3}, // right of the centre: upper half top right, lower
                                                // bottom right
            {90 + 12, 0.75, 1}, {90 - 12, 0.75, 0},
        };
        for (const Probe& p : probes) {
            const double a = p.degrees * M_PI / 180.0;
            const double x = size / 2.0 + std::cos(a) * p.radius * size / 2.0;
            const double y = size / 2.0 - std::sin(a) * p.radius * size / 2.0;
            const QRgb got = shown.pixel(int(x), int(y));
            const QColor& c = colours[p.quadrant];
            const QString where = QStringLiteral("at %1 degrees: got %2,%3,%4")
                                      .arg(p.degrees)
                                      .arg(qRed(got))
                                      .arg(qGreen(got))
                                      .arg(qBlue(got));
            QVERIFY2(std::abs(qRed(got) - fanValue(c.red(), depth)) <= 1, qPrintable(where));
            QVERIFY2(std::abs(qGreen(got) - fanValue(c.green(), depth)) <= 1, qPrintable(where));
            QVERIFY2(std::abs(qBlue(got) - fanValue(c.blue(), depth)) <= 1, qPrintable(where));
        }
    }

    void constant_colour_stays_constant_data()
    {
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("depth");
        QTest::newRow("grey, 8 bits") << QColor(128, 128, 128) << 8;
        QTest::newRow("teal, 5 bits") << QColor(10, 170, 160) << 5;
        QTest::newRow("white, 1 bit") << QColor(255, 255, 255) << 1;
    }

    void constant_colour_stays_constant()
    {
        QFETCH(QColor, colour);
        QFETCH(int, depth);
        const int lights = 48;
        QImage source(2 * lights, 2 * lights, QImage::Format_RGB888);
        source.fill(colour);
        FanFileJob job;
        job.lights = lights;
        job.lines = 300;
        job.colorDeep = depth;
        job.frames = {source};
        FanPreview preview;
        QVERIFY(convert(job, preview));
        const int size = 200;
        QString error;
        const QImage shown = preview.renderFrame(0, size, &error);
        QVERIFY2(!shown.isNull(), qPrintable(error));
        const QRgb want = qRgb(fanValue(colour.red(), depth), fanValue(colour.green(), depth),
                               fanValue(colour.blue(), depth));
        const double inner = (lights - 1.0) / lights * size / 2.0;
        for (int j = 0; j < size; j++) {
            for (int i = 0; i < size; i++) {
                const double r = std::hypot(i + 0.5 - size / 2.0, j + 0.5 - size / 2.0);
                const QRgb got = shown.pixel(i, j) & 0xffffff;
                if (r <= inner)
                    QVERIFY2(got == (want & 0xffffff),
                             qPrintable(
                                 QStringLiteral("pixel %1,%2: %3").arg(i).arg(j).arg(got, 6, 16)));
                else if (r > size / 2.0)
                    QVERIFY2(
                        got == 0,
                        qPrintable(QStringLiteral("pixel %1,%2 outside the disc").arg(i).arg(j)));
            }
        }
    }

    // Frames, their order and their sound survive; a contact sheet places
    // every k-th frame left to right, top to bottom.
    void frames_audio_and_contact_sheet()
    {
        const int lights = 24;
        const QColor colours[5] = {Qt::red, Qt::green, Qt::blue, Qt::white, Qt::yellow};
        FanFileJob job;
        job.lights = lights;
        job.lines = 120;
        job.colorDeep = 6;
        for (const QColor& c : colours) {
            QImage frame(2 * lights, 2 * lights, QImage::Format_RGB888);
            frame.fill(c);
            job.frames << frame;
        }
        for (int n = 0; n < 5 * 1600; n++)
            job.audio.append(char(n * 7 % 251));
        FanPreview preview;
        QVERIFY(convert(job, preview));
        QCOMPARE(preview.frameCount(), 5);
        QString error;
        QCOMPARE(preview.audioBlock(3, &error), job.audio.mid(3 * 1600, 1600));
        QVERIFY(preview.renderFrame(5, 40, &error).isNull());
        QVERIFY2(error.contains(QStringLiteral("frame 5 does not exist")), qPrintable(error));

        const QString sheetPath = dir.filePath(QStringLiteral("sheet.png"));
        QVERIFY2(preview.writeContactSheet(2, 0, 40, sheetPath, &error), qPrintable(error));
        const QImage sheet(sheetPath);
        // frames 0, 2, 4 in a 2 x 2 grid of 40-pixel tiles with 4-pixel gaps
        QCOMPARE(sheet.size(), QSize(2 * 40 + 3 * 4, 2 * 40 + 3 * 4));
        const QPoint centres[3] = {{4 + 20, 4 + 20}, {4 + 44 + 20, 4 + 20}, {4 + 20, 4 + 44 + 20}};
        const int frameOf[3] = {0, 2, 4};
        for (int t = 0; t < 3; t++) {
            const QColor c = colours[frameOf[t]];
            const QRgb got = sheet.pixel(centres[t]);
            QCOMPARE(qRed(got), fanValue(c.red(), 6));
            QCOMPARE(qGreen(got), fanValue(c.green(), 6));
            QCOMPARE(qBlue(got), fanValue(c.blue(), 6));
        }
    }
};

QTEST_GUILESS_MAIN(TestPreviewRoundTrip)
#include "tst_preview_roundtrip.moc"
