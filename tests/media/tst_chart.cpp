// A colour chart of flat patches in every kind of input people put on a fan,
// converted for one model through the media pipeline as the tools and the
// drop queue convert a file (probed, framed whole): the LED values of the fan
// file at every patch against the source colour through the engine's tone
// curve, and where every patch lands (the orientation, with each flip); a
// file that ends early converts with a warning that names the length, one
// FFmpeg cannot read fails with a reason that says what to do.
#include "ColourChart.h"
#include "JobBuilder.h"
#include "MediaConvert.h"
#include "MediaProbe.h"

#include "fan_file.h"
#include "fan_view.h"

#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <cmath>
#include <mutex>
#include <vector>

using chart::Kind;

Q_DECLARE_METATYPE(chart::Kind)

namespace {

// VEGA, with the window's brightness values.
constexpr int kLights = 116;
constexpr int kLines = 520;
constexpr int kDeep = 6;
constexpr double kGamma = 2.2;
constexpr double kMinBrightness = 0.3;

struct Rgb8 {
    int r, g, b;
};

// What the fan shows for a flat picture of this colour: the engine's own
// sampling, tone curve and colour depth.
Rgb8 throughToneCurve(const chart::Rgb& c)
{
    const uint32_t side = 2 * kLights;
    convert_fast_plan* plan = convert_fast_plan_create_for(
        side, side, kLights, kLights, kLights, kLines, kDeep, kGamma, kMinBrightness, 0);
    std::vector<uint8_t> frame(convert_fast_plan_frame_bytes(plan));
    for (size_t i = 0; i + 2 < frame.size(); i += 3) {
        frame[i] = uint8_t(c.b);
        frame[i + 1] = uint8_t(c.g);
        frame[i + 2] = uint8_t(c.r);
    }
    std::vector<uint8_t> leds(convert_fast_plan_led_bytes(plan));
    convert_fast_plan_leds(plan, frame.data(), leds.data());
    convert_fast_plan_free(plan);
    const size_t at = size_t(kLights / 2) * 3;
    return {leds[at + 2], leds[at + 1], leds[at]};
}

struct Converted {
    ConvertResult result;
    int results = 0;
};

} // namespace

class TestChart : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void chart_data();
    void chart();

private:
    QString chartFile(Kind kind);
    Converted convert(const QString& path, const MediaFacts& facts, bool hFlip, bool vFlip);

    QTemporaryDir dir;
    QMap<Kind, QString> made;
};

void TestChart::initTestCase()
{
    QVERIFY(dir.isValid());
    qunsetenv("SPINDRA_FFMPEG");
    qunsetenv("SPINDRA_FFPROBE");
}

QString TestChart::chartFile(Kind kind)
{
    if (!made.contains(kind))
        made.insert(kind, chart::makeChart(dir.path(), kind));
    return made.value(kind);
}

Converted TestChart::convert(const QString& path, const MediaFacts& facts, bool hFlip, bool vFlip)
{
    // As spindra-convert and the drop queue take a file: framed whole, a
    // time-based one from its start to its end.
    ConvertRequest request;
    MediaInfo& media = request.media;
    media.inputPath = path;
    media.outputDir = dir.filePath(QStringLiteral("out"));
    media.isVideo = MediaProbe::treatAsVideo(path, facts);
    media.mediaWidth = facts.width;
    media.mediaHeight = facts.height;
    media.scale = 2.0 * kLights / std::max(std::max(facts.width, facts.height), 1);
    media.centerX = facts.width / 2.0;
    media.centerY = facts.height / 2.0;
    media.durationSeconds = media.isVideo ? int(std::ceil(facts.duration)) : 0;
    media.hFlip = hFlip;
    media.vFlip = vFlip;
    media.facts = facts;
    request.fileName = QStringLiteral("%1.bin").arg(QTest::currentDataTag()).replace(' ', '_');
    request.modelName = QStringLiteral("VEGA");
    request.lights = kLights;
    request.lines = kLines;
    request.colorDeep = kDeep;
    request.gamma = kGamma;
    request.minBrightness = kMinBrightness;

    auto converted = std::make_shared<Converted>();
    auto mutex = std::make_shared<std::mutex>();
    MediaConvert::Callbacks callbacks;
    callbacks.onResult = [converted, mutex](const ConvertResult& r) {
        std::lock_guard<std::mutex> lock(*mutex);
        converted->result = r;
        ++converted->results;
    };
    MediaConvert().startConvert(request, callbacks);
    QThreadPool::globalInstance()->waitForDone(120000);
    std::lock_guard<std::mutex> lock(*mutex);
    return *converted;
}

void TestChart::chart_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<bool>("hFlip");
    QTest::addColumn<bool>("vFlip");
    for (const Kind kind : chart::allKinds()) {
        const QString name = QString::fromLatin1(chart::chartOf(kind).name);
        QTest::newRow(qPrintable(name)) << kind << false << false;
        if (kind == Kind::RotatedClip) {
            QTest::newRow(qPrintable(name + QStringLiteral(", mirrored"))) << kind << true << false;
            QTest::newRow(qPrintable(name + QStringLiteral(", upside down")))
                << kind << false << true;
            QTest::newRow(qPrintable(name + QStringLiteral(", both flips")))
                << kind << true << true;
        }
    }
}

void TestChart::chart()
{
    QFETCH(Kind, kind);
    QFETCH(bool, hFlip);
    QFETCH(bool, vFlip);
    const chart::Chart& c = chart::chartOf(kind);
    const QString path = chartFile(kind);
    QVERIFY(!path.isEmpty());
    const MediaFacts facts = MediaProbe::probe(path);
    const Converted converted = convert(path, facts, hFlip, vFlip);
    QCOMPARE(converted.results, 1);
    const ConvertResult& result = converted.result;

    // FFmpeg cannot read a HEIC photo: the job says so and what to do.
    if (kind == Kind::Heic) {
        QCOMPARE(result.outcome, ConvertOutcome::Failed);
        QVERIFY2(result.reason.contains(QLatin1String("HEIC")) &&
                     result.reason.contains(QLatin1String("JPEG")),
                 qPrintable(result.reason));
        return;
    }
    QVERIFY2(result.outcome == ConvertOutcome::Succeeded, qPrintable(result.reason));
    // A clip cut short converts what it holds and says how much.
    if (kind == Kind::Truncated) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("only ([0-9.]+) s of 6.0 s")).match(result.warning);
        QVERIFY2(m.hasMatch(), qPrintable(result.warning));
        QVERIFY(m.captured(1).toDouble() > 1.0 && m.captured(1).toDouble() < 5.0);
    } else {
        QVERIFY2(result.warning.isEmpty(), qPrintable(result.warning));
    }

    fan_file fan;
    QCOMPARE(
        fan_file_open(&fan, QFile::encodeName(result.path).constData(), kLines, kLights, kDeep),
        int(FAN_FILE_OK));
    const uint64_t frames = fan.frame_count;
    // A song is its cover for the song's length; a GIF plays its frames.
    if (kind == Kind::Song)
        QVERIFY2(frames >= 40, qPrintable(QString::number(frames)));
    if (c.animated)
        QVERIFY2(frames >= 20, qPrintable(QString::number(frames)));
    std::vector<uint8_t> light(fan.layout.light_bytes);
    std::vector<uint8_t> leds(size_t(kLines) * kLights * 3);

    // The animation's second chart shows from 0.5 s on.
    QList<int> shown {0};
    if (c.animated)
        shown << 15;
    const int tolerance = c.hdr ? 16 : 4;
    const double scale = 2.0 * kLights / std::max(c.width, c.height);
    QStringList wrong;
    for (const int index : shown) {
        QCOMPARE(fan_file_read_frame(&fan, uint64_t(index), light.data(), nullptr),
                 int(FAN_FILE_OK));
        QCOMPARE(fan_file_decode_frame(&fan.layout, light.data(), leds.data()), int(FAN_FILE_OK));
        for (int patch = 0; patch < chart::kPatches; ++patch) {
            // Where the patch lies in the fan's picture (the chart as shown,
            // flipped as asked), seen from the centre: line 0 points right,
            // lines go round counter-clockwise, LED t is lights - 1 - t from
            // the centre.
            const QPointF centre = chart::patchCentre(patch);
            const double u = hFlip ? 1.0 - centre.x() : centre.x();
            const double v = vFlip ? 1.0 - centre.y() : centre.y();
            const double dx = (u - 0.5) * c.width * scale;
            const double dy = (0.5 - v) * c.height * scale;
            const int line =
                int(std::lround(std::atan2(dy, dx) / (2 * M_PI) * kLines) + kLines) % kLines;
            const int led = kLights - 1 - int(std::lround(std::hypot(dx, dy)));
            QVERIFY(led >= 0);
            const uint8_t* at = leds.data() + (size_t(line) * kLights + size_t(led)) * 3;
            const Rgb8 got {at[2], at[1], at[0]};
            const Rgb8 want = throughToneCurve(chart::shownColour(c, patch, index > 0));
            if (std::abs(got.r - want.r) > tolerance || std::abs(got.g - want.g) > tolerance ||
                std::abs(got.b - want.b) > tolerance)
                wrong << QStringLiteral("frame %1 patch %2: (%3,%4,%5) instead of (%6,%7,%8)")
                             .arg(index)
                             .arg(patch)
                             .arg(got.r)
                             .arg(got.g)
                             .arg(got.b)
                             .arg(want.r)
                             .arg(want.g)
                             .arg(want.b);
        }
    }
    fan_file_close(&fan);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QStringLiteral("; "))));
}

QTEST_GUILESS_MAIN(TestChart)
#include "tst_chart.moc"
