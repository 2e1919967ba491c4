// The pipeline's frames on the fan, with real FFmpeg and the real engine:
// the stored frames cover the whole disc, so that the fan shows black where
// the picture does not reach instead of the picture's outermost pixels
// stretched out to the rim; the streamed pipeline writes the same bytes as
// the straightforward one (every frame decoded into a file, then one engine
// job) while no frame touches the disk, and it decodes a clip with sound in
// one FFmpeg run, frames and sound together.
#include "JobBuilder.h"
#include "JobGeometry.h"
#include "MediaConvert.h"
#include "ReferencePipeline.h"
#include "MediaTestSupport.h"
#include "fan_file.h"

#include <QDirIterator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <mutex>
#include <vector>

using namespace mediatest;

namespace {

// VEGA: the first fan model.
constexpr int kLights = 116;
constexpr int kLines = 520;
constexpr int kDeep = 6;

struct Outcome {
    std::mutex mutex;
    ConvertResult result;
    int results = 0;
};

} // namespace

class TestPipeline : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void window_data();
    void window();
    void blackOutsideThePicture_data();
    void blackOutsideThePicture();
    void sameBytes_data();
    void sameBytes();

private:
    // Converts through the whole pipeline; the fan file's path, or empty.
    // onProgress, when given, is called with every progress report.
    // log, when given, receives the job's log lines (the job then runs in
    // debug mode).
    QString convert(const MediaInfo& media, const QString& fileName,
                    const MediaConvert::ProgressCallback& onProgress = {},
                    QStringList* log = nullptr);
    // LED values (blue, green, red per LED, line after line) of frame 0.
    std::vector<uint8_t> firstFrame(const QString& fanPath);

    QTemporaryDir dir;
    QString portrait;
    QString still;
    QString tone;
    QString mute;
    QString shortSound;
    QString lateSound;
    QString pattern;
    QString tmp;
};

void TestPipeline::initTestCase()
{
    QVERIFY(dir.isValid());
    tmp = dir.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", tmp.toUtf8());
    qunsetenv("SPINDRA_FFMPEG");
    portrait = dir.filePath(QStringLiteral("white.mp4"));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=white:size=180x320:rate=25:duration=1", "-c:v",
                    "mpeg4", "-q:v", "2", "-pix_fmt", "yuv420p", portrait}));
    still = dir.filePath(QStringLiteral("white.png"));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i", "color=white:size=180x320", "-frames:v", "1", still}));
    tone = makeVideo(dir.path(), QStringLiteral("tone.mp4"), 3, true, QStringLiteral("320x240"));
    mute = makeVideo(dir.path(), QStringLiteral("mute.mp4"), 2, false, QStringLiteral("320x240"));
    pattern = makeImage(dir.path(), QStringLiteral("pattern.png"), QStringLiteral("320x240"));
    QVERIFY(!tone.isEmpty() && !mute.isEmpty() && !pattern.isEmpty());
    // 3 s of picture, 1.3 s of sound.
    shortSound = dir.filePath(QStringLiteral("short.mp4"));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=3", "-f", "lavfi",
                    "-i", "sine=frequency=300:duration=1.3", "-c:v", "mpeg4", "-q:v", "3", "-c:a",
                    "aac", "-pix_fmt", "yuv420p", shortSound}));
    // The sound begins 1.1 s after the picture.
    lateSound = dir.filePath(QStringLiteral("late.mkv"));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=3", "-itsoffset",
                    "1.1", "-f", "lavfi", "-i", "sine=frequency=500:duration=1.5", "-c:v", "mpeg4",
                    "-q:v", "3", "-c:a", "aac", "-pix_fmt", "yuv420p", lateSound}));
}

void TestPipeline::window_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("cx");
    QTest::addColumn<int>("cy");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("expected"); // crop w:h:x:y pad w:h:x:y centre x,y
    // lights 10: the engine reads pixels c - 10 .. c + 9.
    QTest::newRow("picture holds the disc") << 20 << 20 << 10 << 10 << false << "";
    QTest::newRow("wide picture, disc inside") << 100 << 20 << 60 << 10 << false << "";
    QTest::newRow("one pixel short on the right")
        << 19 << 20 << 10 << 10 << true << "19:20:0:0 22:20:1:0 11,10";
    QTest::newRow("portrait: pad left and right")
        << 8 << 40 << 4 << 20 << true << "8:40:0:0 22:40:7:0 11,20";
    QTest::newRow("wide picture, centre near its left end")
        << 300 << 20 << 3 << 10 << true << "14:20:0:0 22:20:8:0 11,10";
    QTest::newRow("centre far outside: the frame is the disc")
        << 64 << 48 << -5000 << 24 << true << "1:48:0:0 22:48:21:0 11,24";
    QTest::newRow("centre near the right edge and far below")
        << 64 << 48 << 60 << 900 << true << "15:1:49:0 22:22:0:21 11,11";
}

void TestPipeline::window()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, cx);
    QFETCH(int, cy);
    QFETCH(bool, active);
    QFETCH(QString, expected);
    JobGeometry g;
    g.width = width;
    g.height = height;
    g.centerX = cx;
    g.centerY = cy;
    const FrameWindow w = fitFrameWindow(g, 10);
    QCOMPARE(w.active, active);
    if (!active) {
        QCOMPARE(g.centerX, cx);
        QCOMPARE(g.centerY, cy);
        return;
    }
    QCOMPARE(QStringLiteral("%1:%2:%3:%4 %5:%6:%7:%8 %9,%10")
                 .arg(w.cropWidth)
                 .arg(w.cropHeight)
                 .arg(w.cropX)
                 .arg(w.cropY)
                 .arg(w.width)
                 .arg(w.height)
                 .arg(w.padX)
                 .arg(w.padY)
                 .arg(g.centerX)
                 .arg(g.centerY),
             expected);
    // Every pixel the engine reads lies in the frame.
    QVERIFY(g.centerX - 10 >= 0 && g.centerX + 10 <= w.width);
    QVERIFY(g.centerY - 10 >= 0 && g.centerY + 10 <= w.height);
}

QString TestPipeline::convert(const MediaInfo& media, const QString& fileName,
                              const MediaConvert::ProgressCallback& onProgress, QStringList* log)
{
    ConvertRequest request;
    request.media = media;
    request.fileName = fileName;
    request.modelName = QStringLiteral("VEGA");
    request.lights = kLights;
    request.lines = kLines;
    request.colorDeep = kDeep;
    request.gamma = 1.0;
    request.minBrightness = 1.0;
    request.debugMode = log != nullptr;
    auto outcome = std::make_shared<Outcome>();
    MediaConvert::Callbacks callbacks;
    callbacks.onProgress = onProgress;
    if (log)
        callbacks.onLog = [log](const QString& line) { log->append(line); };
    callbacks.onResult = [outcome](const ConvertResult& r) {
        std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->result = r;
        ++outcome->results;
    };
    MediaConvert().startConvert(request, callbacks);
    if (!QThreadPool::globalInstance()->waitForDone(120000))
        return QString();
    std::lock_guard<std::mutex> lock(outcome->mutex);
    if (outcome->results != 1 || outcome->result.outcome != ConvertOutcome::Succeeded)
        return QString();
    return outcome->result.path;
}

std::vector<uint8_t> TestPipeline::firstFrame(const QString& fanPath)
{
    fan_file f;
    std::vector<uint8_t> bgr;
    if (fan_file_open(&f, fanPath.toUtf8().constData(), kLines, kLights, kDeep) != FAN_FILE_OK)
        return bgr;
    std::vector<uint8_t> light(f.layout.light_bytes);
    bgr.resize(size_t(kLines) * kLights * 3);
    if (f.frame_count == 0 || fan_file_read_frame(&f, 0, light.data(), nullptr) != FAN_FILE_OK ||
        fan_file_decode_frame(&f.layout, light.data(), bgr.data()) != FAN_FILE_OK)
        bgr.clear();
    fan_file_close(&f);
    return bgr;
}

void TestPipeline::blackOutsideThePicture_data()
{
    QTest::addColumn<bool>("isVideo");
    QTest::addColumn<bool>("hFlip");
    QTest::newRow("clip") << true << false;
    QTest::newRow("image, mirrored") << false << true;
}

void TestPipeline::blackOutsideThePicture()
{
    // A white 180 x 320 portrait picture framed whole: 132 x 232 job pixels
    // around the centre (65, 116), so the disc of radius 116 reaches past the
    // picture's left and right edges but not past its top and bottom.
    QFETCH(bool, isVideo);
    QFETCH(bool, hFlip);
    MediaInfo media;
    media.isVideo = isVideo;
    media.inputPath = isVideo ? portrait : still;
    media.outputDir = dir.filePath(QStringLiteral("out"));
    media.mediaWidth = 180;
    media.mediaHeight = 320;
    media.centerX = 90;
    media.centerY = 160;
    media.scale = 2.0 * kLights / 320.0;
    media.durationSeconds = 1;
    media.hFlip = hFlip;
    const QString fan = convert(media, QStringLiteral("%1.bin").arg(QTest::currentDataTag()));
    QVERIFY(!fan.isEmpty());
    const std::vector<uint8_t> bgr = firstFrame(fan);
    QVERIFY(!bgr.empty());

    // LED t of line l: r = lights - 1 - t from the centre at angle 2 pi l / L.
    const auto led = [&](int l, int r) {
        const size_t at = (size_t(l) * kLights + size_t(kLights - 1 - r)) * 3;
        return std::min({bgr[at], bgr[at + 1], bgr[at + 2]});
    };
    const auto brightest = [&](int l, int r) {
        const size_t at = (size_t(l) * kLights + size_t(kLights - 1 - r)) * 3;
        return std::max({bgr[at], bgr[at + 1], bgr[at + 2]});
    };
    for (int r = 0; r < 60; ++r) {
        QVERIFY2(led(0, r) >= 200, qPrintable(QStringLiteral("right spoke, r %1").arg(r)));
        QVERIFY2(led(kLines / 2, r) >= 200, qPrintable(QStringLiteral("left, r %1").arg(r)));
    }
    for (int r = 70; r < kLights; ++r) {
        QVERIFY2(brightest(0, r) == 0, qPrintable(QStringLiteral("right spoke, r %1").arg(r)));
        QVERIFY2(brightest(kLines / 2, r) == 0, qPrintable(QStringLiteral("left, r %1").arg(r)));
    }
    // Upward and downward the picture reaches (almost) to the rim.
    for (int r = 0; r < kLights - 2; ++r) {
        QVERIFY2(led(kLines / 4, r) >= 200, qPrintable(QStringLiteral("up, r %1").arg(r)));
        QVERIFY2(led(3 * kLines / 4, r) >= 200, qPrintable(QStringLiteral("down, r %1").arg(r)));
    }
}

void TestPipeline::sameBytes_data()
{
    QTest::addColumn<QString>("input"); // "tone", "mute", "short", "late" or "image"
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("duration");
    QTest::addColumn<bool>("hFlip");
    QTest::addColumn<bool>("vFlip");
    QTest::addColumn<double>("centerX");
    QTest::addColumn<double>("centerY");
    QTest::addColumn<double>("scale");
    // The streamed job's FFmpeg runs: "one" (frames and sound together),
    // "silent" (a clip whose probe found no sound stream: frames only),
    // "image".
    QTest::addColumn<QString>("runs");

    // 2 x 116 / 240: the 320 x 240 picture covers the disc.
    const double covering = 232.0 / 240.0;
    const double whole = 232.0 / 320.0;
    QTest::newRow("clip with sound, covering")
        << "tone" << 0 << 3 << false << false << 160.0 << 120.0 << covering << "one";
    QTest::newRow("excerpt, both flips")
        << "tone" << 1 << 2 << true << true << 150.0 << 110.0 << covering << "one";
    QTest::newRow("excerpt past the end")
        << "tone" << 2 << 4 << false << false << 160.0 << 120.0 << covering << "one";
    QTest::newRow("clip framed whole, mirrored")
        << "tone" << 0 << 3 << true << false << 160.0 << 120.0 << whole << "one";
    QTest::newRow("clip without sound")
        << "mute" << 0 << 2 << false << true << 160.0 << 120.0 << covering << "silent";
    QTest::newRow("sound shorter than the clip")
        << "short" << 0 << 3 << false << false << 160.0 << 120.0 << covering << "one";
    QTest::newRow("excerpt past the end of the sound, framed whole")
        << "short" << 1 << 2 << true << true << 160.0 << 120.0 << whole << "one";
    QTest::newRow("sound starting late")
        << "late" << 0 << 3 << false << false << 160.0 << 120.0 << covering << "one";
    QTest::newRow("sound starting late, excerpt, window")
        << "late" << 1 << 2 << true << false << 140.0 << 100.0 << covering << "one";
    QTest::newRow("image, covering, mirrored")
        << "image" << 0 << 0 << true << false << 160.0 << 120.0 << covering << "image";
    QTest::newRow("image, centre far outside")
        << "image" << 0 << 0 << false << false << -2000.0 << 100.0 << covering << "image";
}

void TestPipeline::sameBytes()
{
    // The streamed pipeline against the straightforward one (all frames
    // decoded into one raw file, one engine job over them).
    QFETCH(QString, input);
    QFETCH(int, start);
    QFETCH(int, duration);
    QFETCH(bool, hFlip);
    QFETCH(bool, vFlip);
    QFETCH(double, centerX);
    QFETCH(double, centerY);
    QFETCH(double, scale);
    QFETCH(QString, runs);
    MediaInfo media;
    media.isVideo = input != QLatin1String("image");
    media.inputPath = input == QLatin1String("tone") ? tone
        : input == QLatin1String("mute")             ? mute
        : input == QLatin1String("short")            ? shortSound
        : input == QLatin1String("late")             ? lateSound
                                                     : pattern;
    media.outputDir = dir.filePath(QStringLiteral("same"));
    media.mediaWidth = 320;
    media.mediaHeight = 240;
    media.centerX = centerX;
    media.centerY = centerY;
    media.scale = scale;
    media.startSeconds = start;
    media.durationSeconds = duration;
    media.hFlip = hFlip;
    media.vFlip = vFlip;

    ConvertRequest request;
    request.media = media;
    request.lights = kLights;
    request.lines = kLines;
    request.colorDeep = kDeep;
    request.gamma = 1.0;
    request.minBrightness = 1.0;
    const QString reference = dir.filePath(QStringLiteral("reference.bin"));
    QVERIFY(referenceConvert(request, dir.path(), reference));

    // What the temporary folder holds while the job runs: never a frame,
    // only the sound of a clip that has sound.
    const QString temp = mediaTempFolder();
    QStringList seen;
    qint64 peak = 0;
    QStringList log;
    const auto progress = [&](MediaStage, int) {
        qint64 bytes = 0;
        QDirIterator it(temp, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            bytes += it.fileInfo().size();
            if (!seen.contains(it.fileName()))
                seen << it.fileName();
        }
        peak = std::max(peak, bytes);
    };
    const QString streamed = convert(media, QStringLiteral("streamed.bin"), progress, &log);
    QVERIFY(!streamed.isEmpty());
    // Which FFmpeg runs the job made, from the lines that start them.
    QStringList started;
    for (const QString& line : qAsConst(log)) {
        if (line.contains(QLatin1String("] >> : ")))
            started << line.section(QLatin1String(" >> : "), 0, 0).trimmed();
    }
    const QStringList expectedRuns = runs == QLatin1String("one")
        ? QStringList {"[STEP 1 VIDEO+AUDIO->RAW]"}
        : runs == QLatin1String("silent")
        ? QStringList {"[STEP 1 VIDEO->RAW]"}
        : QStringList {"[STEP IMAGE->RAW]"};
    QCOMPARE(started, expectedRuns);
    const QByteArray a = readAll(reference);
    const QByteArray b = readAll(streamed);
    QVERIFY(a.size() > int(FAN_PAD_GRANULE) || !media.isVideo);
    QCOMPARE(b.size(), a.size());
    QVERIFY2(a == b, "the fan files differ");
    QVERIFY2(seen.isEmpty() || seen == QStringList {QStringLiteral("sound.u8")},
             qPrintable(seen.join(QLatin1Char(' '))));
    QVERIFY(peak <= qint64(duration) * FAN_AUDIO_RATE);
    QVERIFY(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

QTEST_GUILESS_MAIN(TestPipeline)
#include "tst_pipeline.moc"
