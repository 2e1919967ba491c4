// The fan view's pipeline against the real conversion: for a still picture and
// a fixed framing, the picture the fan view shows and the first frame of the
// fan file that spindra-convert writes for the same framing (rendered by
// FanPreview) agree closely inside the disc.
#include "ConvertTool.h"
#include "FanPreview.h"
#include "FanViewRenderer.h"
#include "convert_internal.h"
#include "fan_models.h"
#include "fan_render.h"

#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

const fan_model& model(const QString& name)
{
    const fan_model* m = fan_model_find(name.toUtf8().constData());
    if (!m)
        qFatal("unknown model %s", qPrintable(name));
    return *m;
}

// Mean absolute difference per channel over the pixels well inside the disc
// (the antialiased rim is left out).
void discDifference(const QImage& a, const QImage& b, double out[3])
{
    out[0] = out[1] = out[2] = 0;
    const double c = (a.width() - 1) / 2.0, limit = 0.95 * a.width() / 2.0;
    long n = 0;
    for (int y = 0; y < a.height(); y++) {
        for (int x = 0; x < a.width(); x++) {
            if (std::hypot(x - c, y - c) > limit)
                continue;
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            out[0] += std::abs(qRed(p) - qRed(q));
            out[1] += std::abs(qGreen(p) - qGreen(q));
            out[2] += std::abs(qBlue(p) - qBlue(q));
            n++;
        }
    }
    for (int k = 0; k < 3; k++)
        out[k] /= double(n);
}

FanViewParams paramsOf(const fan_model& m, int brightnessRadius)
{
    FanViewParams p;
    p.lights = m.lights;
    p.lines = m.lines;
    p.colorDeep = m.colorDeep;
    p.changeBrightnessLights = brightnessRadius;
    return p;
}

} // namespace

class TestFanViewRenderer : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString input;
    QImage picture;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // A picture with smooth gradients, hard edges and fine detail.
        picture = QImage(640, 480, QImage::Format_RGB888);
        for (int y = 0; y < picture.height(); y++) {
            for (int x = 0; x < picture.width(); x++)
                picture.setPixel(x, y, qRgb(x * 255 / 639, y * 255 / 479, (x + y) % 256));
        }
        QPainter painter(&picture);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(250, 250, 40));
        painter.drawEllipse(QPoint(250, 200), 90, 60);
        painter.setBrush(QColor(20, 20, 160));
        painter.drawRect(380, 260, 120, 90);
        painter.end();
        input = dir.filePath(QStringLiteral("still.png"));
        QVERIFY(picture.save(input));
    }

    void matches_the_conversion_data()
    {
        QTest::addColumn<QString>("modelName");
        QTest::addColumn<QPointF>("centre"); // source pixels from the top left
        QTest::addColumn<double>("scale");   // source pixels to fan pixels
        QTest::addColumn<int>("brightnessRadius");
        QTest::newRow("VEGA centred, whole picture")
            << "VEGA" << QPointF(320, 240) << 232.0 / 640 << 0;
        QTest::newRow("VEGA zoomed in off centre") << "VEGA" << QPointF(270, 210) << 0.9 << 0;
        QTest::newRow("VEGA reaching beyond the picture")
            << "VEGA" << QPointF(100, 400) << 0.5 << 0;
        QTest::newRow("BELLATRIX with a brightness ramp")
            << "BELLATRIX" << QPointF(330, 250) << 0.2 << 30;
        QTest::newRow("CASTOR close up") << "CASTOR" << QPointF(300, 220) << 1.6 << 0;
    }

    void matches_the_conversion()
    {
        QFETCH(QString, modelName);
        QFETCH(QPointF, centre);
        QFETCH(double, scale);
        QFETCH(int, brightnessRadius);
        if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
            QSKIP("FFmpeg is not installed");
        const fan_model& m = model(modelName);

        const QString name =
            QStringLiteral("%1_%2.bin")
                .arg(modelName)
                .arg(QTest::currentDataTag() ? qHash(QString::fromUtf8(QTest::currentDataTag()))
                                             : 0);
        QString err;
        const int code = runConvertTool(
            {input, QStringLiteral("--model"), modelName, QStringLiteral("--out"), dir.path(),
             QStringLiteral("--name"), name, QStringLiteral("--center"),
             QStringLiteral("%1,%2").arg(centre.x()).arg(centre.y()), QStringLiteral("--scale"),
             QString::number(scale, 'g', 17), QStringLiteral("--brightness-radius"),
             QString::number(brightnessRadius)},
            &err);
        QVERIFY2(code == 0, qPrintable(err));

        const int size = FanPreview::defaultSize(m.lights);
        FanPreview file;
        QVERIFY2(file.open(dir.filePath(modelName + QLatin1Char('/') + name),
                           {m.lights, m.lines, m.colorDeep}, &err),
                 qPrintable(err));
        const QImage converted = file.renderFrame(0, size, &err);
        QVERIFY2(!converted.isNull(), qPrintable(err));

        FanViewRenderer view;
        QVERIFY(view.setParams(paramsOf(m, brightnessRadius)));
        const double side = 2.0 * m.lights / scale;
        const QImage shown = view.render(
            picture, QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side), size);
        QCOMPARE(shown.size(), converted.size());

        double mad[3];
        discDifference(shown, converted, mad);
        qInfo("%s: mean absolute difference inside the disc R %.2f G %.2f B %.2f",
              QTest::currentDataTag(), mad[0], mad[1], mad[2]);
        for (double d : mad)
            QVERIFY2(d < 1.5, qPrintable(QString::number(d)));
    }

    // Invariant: a picture of one colour gives that colour wherever the disc
    // shows the picture (no brightness ramp), and black wherever it shows
    // what lies beyond the picture, whatever the framing.
    void constant_colour_stays_constant_data()
    {
        QTest::addColumn<QRectF>("square");
        QTest::newRow("inside") << QRectF(10, 10, 50, 50);
        QTest::newRow("half outside") << QRectF(-40, 30, 120, 120);
        QTest::newRow("beside the picture") << QRectF(300, -200, 80, 80);
        QTest::newRow("far larger than the picture") << QRectF(-500, -500, 1200, 1200);
    }

    void constant_colour_stays_constant()
    {
        QFETCH(QRectF, square);
        const QRectF picture(0, 0, 100, 80);
        QImage flat(int(picture.width()), int(picture.height()), QImage::Format_RGB888);
        flat.fill(QColor(200, 120, 60));
        FanViewRenderer view;
        QVERIFY(view.setParams(paramsOf(model(QStringLiteral("VEGA")), 0)));
        const int size = 240;
        const QImage shown = view.render(flat, square, size);
        QVERIFY(!shown.isNull());
        // The engine's single-precision interpolation may truncate a
        // constant to one less before the tone curve, and the polar picture
        // blends neighbouring LEDs; nothing else varies.
        auto expected = [](int v) { return int(fan_render_expand(tone_table[v], 6)); };
        const int want[3] = {expected(200), expected(120), expected(60)};
        const int low[3] = {expected(199), expected(119), expected(59)};
        // Near the picture's edge the LEDs blend picture and black; a few
        // output pixels either side of it are left out.
        const double unit = square.width() / size;
        const double margin = 4 * unit + 1.5;
        int inside = 0, beyond = 0;
        for (int y = 0; y < size; y += 3) {
            for (int x = 0; x < size; x += 3) {
                if (std::hypot(x - (size - 1) / 2.0, y - (size - 1) / 2.0) >= 0.95 * size / 2)
                    continue;
                const QPointF at(square.left() + (x + 0.5) * unit, square.top() + (y + 0.5) * unit);
                const bool inPicture =
                    picture.adjusted(margin, margin, -margin, -margin).contains(at);
                const bool outside =
                    !picture.adjusted(-margin, -margin, margin, margin).contains(at);
                if (!inPicture && !outside)
                    continue;
                const QRgb p = shown.pixel(x, y);
                const int got[3] = {qRed(p), qGreen(p), qBlue(p)};
                for (int k = 0; k < 3; k++) {
                    const bool ok = inPicture ? got[k] <= want[k] && got[k] >= low[k] : got[k] == 0;
                    QVERIFY2(ok,
                             qPrintable(QStringLiteral("(%1, %2) channel %3: %4, not %5")
                                            .arg(x)
                                            .arg(y)
                                            .arg(k)
                                            .arg(got[k])
                                            .arg(inPicture ? want[k] : 0)));
                }
                ++(inPicture ? inside : beyond);
            }
        }
        QVERIFY(inside + beyond > 0);
    }

    void plan_follows_the_parameters()
    {
        FanViewRenderer view;
        FanViewParams p = paramsOf(model(QStringLiteral("VEGA")), 0);
        QVERIFY(view.setParams(p));
        QVERIFY(view.setParams(p)); // unchanged: no new plan
        QCOMPARE(view.planBuilds(), 1);
        QCOMPARE(view.leds().size(), 520 * 116 * 3);
        p.minBrightness = 0.5;
        QVERIFY(view.setParams(p));
        QCOMPARE(view.planBuilds(), 2);
        p.colorDeep = 9;
        QVERIFY(!view.setParams(p));
        QVERIFY(!view.hasPlan());
        QVERIFY(view.render(picture, QRectF(0, 0, 100, 100), 100).isNull());
    }
};

QTEST_GUILESS_MAIN(TestFanViewRenderer)
#include "tst_fan_view_renderer.moc"
