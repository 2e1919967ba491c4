// The job as a whole: framing in job pixels, the engine's job text, and every
// way a job can end (with a stand-in engine, so that the callback order and
// the clean-up can be checked without the real one).
#include "FfmpegRunner.h"
#include "JobBuilder.h"
#include "JobGeometry.h"
#include "JobText.h"
#include "MediaConvert.h"
#include "MediaInfo.h"
#include "MediaTestSupport.h"
#include "ResultPlacement.h"
#include "StreamingJob.h"
#include "fan_file.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace mediatest;

namespace {

// What the stand-in engine does with a job.
enum class EngineMode { Refuse, Fail, Succeed };
std::atomic<EngineMode> g_mode {EngineMode::Succeed};
std::atomic<int> g_engineCalls {0};

// What the job handed the engine: its output path and the sound file given
// after the frames (empty: none).
std::mutex g_jobMutex;
QString g_outPath;
QString g_soundAfter;

// A stand-in stream: takes the frames and, on finish, writes a file of the
// right size (header and padding around zero records) or fails.
struct FakeStream {
    std::vector<uint8_t> frame;
    uint64_t frames = 0;
    QString out;
    fan_file_layout layout {};
};

FakeStream* fake(convert_stream* s) { return reinterpret_cast<FakeStream*>(s); }

convert_stream* fakeOpen(const convert_stream_spec* spec)
{
    ++g_engineCalls;
    {
        std::lock_guard<std::mutex> lock(g_jobMutex);
        g_outPath = QString::fromUtf8(spec->out_path);
        g_soundAfter.clear();
    }
    if (g_mode == EngineMode::Refuse)
        return nullptr;
    auto* s = new FakeStream;
    s->frame.resize(size_t(spec->in_width) * spec->in_height * 3);
    s->out = QString::fromUtf8(spec->out_path);
    fan_file_layout_init(&s->layout, spec->lines, spec->lights, spec->colorDeep);
    return reinterpret_cast<convert_stream*>(s);
}
size_t fakeFrameSize(const convert_stream* s)
{
    return reinterpret_cast<const FakeStream*>(s)->frame.size();
}
uint8_t* fakeFrame(convert_stream* s) { return fake(s)->frame.data(); }
int fakePush(convert_stream* s)
{
    ++fake(s)->frames;
    return 0;
}
int fakeSoundAfter(convert_stream*, const char* path)
{
    std::lock_guard<std::mutex> lock(g_jobMutex);
    g_soundAfter = QString::fromUtf8(path);
    return 0;
}
int fakeFinish(convert_stream* s)
{
    std::unique_ptr<FakeStream> stream(fake(s));
    if (g_mode == EngineMode::Fail)
        return 1;
    QFile f(stream->out);
    if (f.open(QIODevice::WriteOnly))
        f.write(QByteArray(int(fan_file_padded_size(&stream->layout, stream->frames)), '\0'));
    return 0;
}
void fakeDiscard(convert_stream* s) { delete fake(s); }
const char* fakeReason()
{
    return g_mode == EngineMode::Refuse ? "refused by the stand-in" : "failed in the stand-in";
}
const EngineStreamApi kFakeEngine = {fakeOpen,       fakeFrameSize, fakeFrame,   fakePush,
                                     fakeSoundAfter, fakeFinish,    fakeDiscard, fakeReason};

// The real engine, but the job's cancel is requested just as the engine is
// handed the job, so that it is the engine that stops.
std::shared_ptr<ConvertCancel> g_cancelOnEngineStart;
convert_stream* cancellingOpen(const convert_stream_spec* spec)
{
    if (g_cancelOnEngineStart)
        g_cancelOnEngineStart->request();
    return convert_stream_open(spec);
}
const EngineStreamApi kCancellingEngine = {
    cancellingOpen,         convert_stream_frame_size,  convert_stream_frame,
    convert_stream_push,    convert_stream_sound_after, convert_stream_finish,
    convert_stream_discard, convert_failure_reason};

// Everything one job reported, in order, from whichever thread.
struct Record {
    std::mutex mutex;
    QStringList events; // "start", "log:<line>", "result:<ok>:<path>", "progress:<stage>:<p>"
    int results = 0;
    bool success = false;
    QString path;
    ConvertResult result;

    void add(const QString& e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events << e;
    }
    int resultCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return results;
    }
};

} // namespace

class TestMediaJob : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void geometry_data();
    void geometry();
    void jobText();
    void jobTextEscapesPaths_data();
    void jobTextEscapesPaths();
    void endings_data();
    void endings();
    void outputTarget_data();
    void outputTarget();
    void modelFolderUnavailable_data();
    void modelFolderUnavailable();
    void emptyFileName();
    void silentJobCleansUp();
    void realEngine();
    void inputNames_data();
    void inputNames();
    void cancelInEachStage_data();
    void cancelInEachStage();

private:
    MediaInfo request(const QString& input, bool isVideo);
    void run(Record& rec, const MediaInfo& info, const QString& fileName, bool debug = false,
             const QString& model = QStringLiteral("VEGA"),
             std::shared_ptr<ConvertCancel> cancel = nullptr, int cancelAtStage = -1);
    QString tempFolder() const { return mediaTempFolder(); }

    QTemporaryDir dir;
    QString tmpRoot;
    QString outRoot;
    QString home;
    QString clip;
    QString image;
    QString failingFfmpeg;
    QString muteClip;
    QString longClip;
    int jobLights = 8;
    int jobLines = 16;
};

void TestMediaJob::initTestCase()
{
    QVERIFY(dir.isValid());
    tmpRoot = dir.filePath(QStringLiteral("tmp"));
    home = dir.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(tmpRoot) && QDir().mkpath(home));
    qputenv("TMPDIR", tmpRoot.toUtf8());
    qputenv("HOME", home.toUtf8());
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("SPINDRA_FFMPEG");
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::TempLocation), tmpRoot);
    clip = makeVideo(dir.path(), QStringLiteral("clip.mp4"), 1, true, QStringLiteral("48x32"));
    image = makeImage(dir.path(), QStringLiteral("pic.png"), QStringLiteral("48x32"));
    muteClip = makeVideo(dir.path(), QStringLiteral("mute.mp4"), 1, false, QStringLiteral("48x32"));
    failingFfmpeg =
        writeScript(dir.path(), QStringLiteral("ffmpeg-fails"), "echo broken >&2; exit 1");
    longClip =
        makeVideo(dir.path(), QStringLiteral("long.mp4"), 3, true, QStringLiteral("320x240"));
    QVERIFY(!clip.isEmpty() && !image.isEmpty() && !muteClip.isEmpty() && !longClip.isEmpty());
    setEngineStreamApi(&kFakeEngine);
}

void TestMediaJob::init()
{
    jobLights = 8;
    jobLines = 16;
    setEngineStreamApi(&kFakeEngine);
    g_cancelOnEngineStart.reset();
    outRoot = dir.filePath(QStringLiteral("out-%1").arg(QTest::currentTestFunction()));
    QDir(outRoot).removeRecursively();
    QVERIFY(QDir().mkpath(outRoot));
    g_engineCalls = 0;
    g_mode = EngineMode::Succeed;
}

void TestMediaJob::cleanup() { qunsetenv("SPINDRA_FFMPEG"); }

void TestMediaJob::geometry_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<QPointF>("center");
    QTest::addColumn<QSize>("media");
    QTest::addColumn<QPoint>("newCenter");
    QTest::addColumn<QSize>("newSize");
    QTest::newRow("halves round up, odd sizes made even")
        << 0.5 << QPointF(5, 5) << QSize(1921, 1081) << QPoint(3, 3) << QSize(962, 542);
    QTest::newRow("negative centre")
        << 0.5 << QPointF(-3, 4) << QSize(100, 100) << QPoint(-1, 2) << QSize(50, 50);
    QTest::newRow("fallback framing") << 2.0 * 116 / 1920 << QPointF(960, 540) << QSize(1920, 1080)
                                      << QPoint(116, 65) << QSize(232, 132);
}

void TestMediaJob::geometry()
{
    QFETCH(double, scale);
    QFETCH(QPointF, center);
    QFETCH(QSize, media);
    QFETCH(QPoint, newCenter);
    QFETCH(QSize, newSize);
    const JobGeometry g =
        computeJobGeometry(scale, center.x(), center.y(), media.width(), media.height());
    QCOMPARE(QPoint(g.centerX, g.centerY), newCenter);
    QCOMPARE(QSize(g.width, g.height), newSize);
}

void TestMediaJob::jobText()
{
    JobTextValues v;
    v.videoPath = QStringLiteral("/t/Vortiq/a_vid.bgr");
    v.width = 232;
    v.height = 132;
    v.audioPath = QString();
    v.outPath = QStringLiteral("/o/VEGA/00_00001.bin");
    v.lights = 116;
    v.centerX = 116;
    v.centerY = -3;
    v.lines = 520;
    v.colorDeep = 6;
    v.gamma = 2.2;
    v.minBrightness = 0.0;
    v.changeBrightnessLights = 10;
    const QString text = buildJobText(v);
    QVERIFY(!text.contains(QLatin1Char('\n')));

    const QStringList keys {"is_360",
                            "frames_resized_file",
                            "in_width",
                            "in_height",
                            "in_aud_path",
                            "out_path",
                            "radius",
                            "center_x",
                            "center_y",
                            "lights",
                            "lines",
                            "colorDeep",
                            "gamma",
                            "min_brightness",
                            "change_brightness_lights"};
    int at = 0;
    for (const QString& key : keys) {
        const int found = text.indexOf(QLatin1Char('"') + key + QLatin1Char('"'), at);
        QVERIFY2(found >= at, qPrintable(key));
        at = found;
    }
    QVERIFY(text.startsWith(QLatin1Char('{')) && text.endsWith(QLatin1Char('}')));
    QVERIFY(text.contains(QStringLiteral("\"is_360\": false,")));
    QVERIFY(text.contains(QStringLiteral("\"gamma\" : 2.20,")));
    QVERIFY(text.contains(QStringLiteral("\"min_brightness\" : 0.00,")));
    QVERIFY(text.contains(QStringLiteral("\"in_aud_path\" : \"\",")));
    QVERIFY(text.contains(QStringLiteral("\"center_y\" : -3,")));

    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o.size(), keys.size());
    QCOMPARE(o.value("radius").toInt(), 116);
    QCOMPARE(o.value("lights").toInt(), 116);
    QCOMPARE(o.value("lines").toInt(), 520);
    QCOMPARE(o.value("colorDeep").toInt(), 6);
    QCOMPARE(o.value("change_brightness_lights").toInt(), 10);
    QCOMPARE(o.value("in_width").toInt(), 232);
    QCOMPARE(o.value("out_path").toString(), v.outPath);
}

void TestMediaJob::jobTextEscapesPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("quote") << QStringLiteral("/m/say \"hi\"_vid.bgr");
    QTest::newRow("backslash") << QStringLiteral("/m/a\\b_vid.bgr");
    QTest::newRow("control characters") << QStringLiteral("/m/line\nbreak\ttab\x01.bgr");
    QTest::newRow("placeholder lookalike") << QStringLiteral("/m/100%2 sure %14_vid.bgr");
    QTest::newRow("non-ASCII") << QStringLiteral("/m/视频 ролик_vid.bgr");
}

void TestMediaJob::jobTextEscapesPaths()
{
    QFETCH(QString, path);
    JobTextValues v;
    v.videoPath = path;
    v.audioPath = path + QStringLiteral(".pcm");
    v.outPath = path + QStringLiteral(".bin");
    v.width = 2;
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(buildJobText(v).toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o.value("frames_resized_file").toString(), v.videoPath);
    QCOMPARE(o.value("in_aud_path").toString(), v.audioPath);
    QCOMPARE(o.value("out_path").toString(), v.outPath);
    QCOMPARE(o.value("in_width").toInt(), 2);
}

MediaInfo TestMediaJob::request(const QString& input, bool isVideo)
{
    MediaInfo media;
    MediaInfo* info = &media;
    info->isVideo = isVideo;
    info->inputPath = input;
    info->outputDir = outRoot;
    info->mediaWidth = 48;
    info->mediaHeight = 32;
    info->centerX = 24;
    info->centerY = 16;
    info->scale = 0.5;
    info->startSeconds = 0;
    info->durationSeconds = 1;
    return media;
}

void TestMediaJob::run(Record& rec, const MediaInfo& info, const QString& fileName, bool debug,
                       const QString& model, std::shared_ptr<ConvertCancel> cancel,
                       int cancelAtStage)
{
    MediaConvert convert;
    std::atomic_bool started {false};
    ConvertRequest job;
    job.media = info;
    job.fileName = fileName;
    job.modelName = model;
    job.lights = jobLights;
    job.lines = jobLines;
    job.colorDeep = 3;
    job.gamma = 2.2;
    job.minBrightness = 0.3;
    job.debugMode = debug;
    job.cancel = cancel;
    job.runIndex = QStringLiteral("00001");
    MediaConvert::Callbacks callbacks;
    callbacks.onStart = [&rec, &started]() {
        started = true;
        rec.add(QStringLiteral("start"));
    };
    callbacks.onLog = [&rec](const QString& l) { rec.add(QStringLiteral("log:") + l); };
    callbacks.onResult = [&rec](const ConvertResult& result) {
        std::lock_guard<std::mutex> lock(rec.mutex);
        const bool ok = result.outcome == ConvertOutcome::Succeeded;
        rec.events << QStringLiteral("result:%1:%2").arg(ok).arg(result.path)
                   << QStringLiteral("fallback:%1").arg(result.fallbackFolder);
        ++rec.results;
        rec.success = ok;
        rec.path = result.path;
        rec.result = result;
    };
    callbacks.onProgress = [&rec, cancel, cancelAtStage](MediaStage stage, int percent) {
        rec.add(QStringLiteral("progress:%1:%2").arg(int(stage)).arg(percent));
        if (cancel && int(stage) == cancelAtStage)
            cancel->request();
    };
    convert.startConvert(job, callbacks);
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QCOMPARE(rec.resultCount(), 1);
    QCOMPARE(rec.events.first(), QStringLiteral("start"));
}

void TestMediaJob::endings_data()
{
    QTest::addColumn<QString>("input");  // "video", "mute" (no sound track) or "image"
    QTest::addColumn<QString>("ffmpeg"); // "real", "fails", "hangs" or "no sound output"
    QTest::addColumn<int>("engine");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("expectedLine");
    QTest::addColumn<QString>("reason"); // what the failure's reason contains

    const int refuse = int(EngineMode::Refuse), fail = int(EngineMode::Fail),
              ok = int(EngineMode::Succeed);
    QTest::newRow("decode fails") << "video"
                                  << "fails" << ok << false << false << QString()
                                  << "FFmpeg failed (exit code 1): broken";
    QTest::newRow("decode hangs, debug")
        << "image"
        << "hangs" << ok << true << false << "Error while running FFmpeg command."
        << "FFmpeg stopped answering";
    QTest::newRow("engine refuses") << "video"
                                    << "real" << refuse << false << false << "start_convert_failed"
                                    << "refused by the stand-in";
    QTest::newRow("engine fails, debug")
        << "image"
        << "real" << fail << true << false << "rsult:FAILED path:%1 msg:failed"
        << "failed in the stand-in";
    QTest::newRow("video converts") << "video"
                                    << "real" << ok << false << true << "\n文件输出路径：%1\n"
                                    << QString();
    QTest::newRow("silent video converts")
        << "mute"
        << "real" << ok << false << true << "No audio track detected." << QString();
    QTest::newRow("image converts, debug")
        << "image"
        << "real" << ok << true << true << "rsult:SUCCESS path:%1 msg:ok" << QString();
    // A clip with sound whose sound cannot be written is a failure, never a
    // silent fan file.
    QTest::newRow("sound output fails") << "video"
                                        << "no sound output" << ok << false << false << QString()
                                        << "/nonexistent/sound.u8: No such file or directory";
}

void TestMediaJob::endings()
{
    QFETCH(QString, input);
    QFETCH(QString, ffmpeg);
    QFETCH(int, engine);
    QFETCH(bool, debug);
    QFETCH(bool, success);
    QFETCH(QString, expectedLine);
    QFETCH(QString, reason);
    const int refuse = int(EngineMode::Refuse);

    if (ffmpeg == QLatin1String("fails"))
        qputenv("SPINDRA_FFMPEG", failingFfmpeg.toUtf8());
    if (ffmpeg == QLatin1String("hangs")) {
        qputenv("SPINDRA_FFMPEG",
                writeScript(dir.path(), QStringLiteral("ffmpeg-hangs"), "exec sleep 30").toUtf8());
        FfmpegRunner::setDefaultSilenceLimitMs(200);
    }
    // The real FFmpeg, its sound output sent where it cannot be written.
    if (ffmpeg == QLatin1String("no sound output"))
        qputenv("SPINDRA_FFMPEG",
                writeScript(dir.path(), QStringLiteral("ffmpeg-no-sound"),
                            "for a; do shift; [ \"$a\" = pipe:3 ] && a=/nonexistent/sound.u8; "
                            "set -- \"$@\" \"$a\"; done; exec ffmpeg \"$@\"")
                    .toUtf8());
    const bool ffmpegFails = ffmpeg == QLatin1String("fails") || ffmpeg == QLatin1String("hangs");
    g_mode = EngineMode(engine);
    const bool isVideo = input != QLatin1String("image");
    const QString path = input == QLatin1String("video") ? clip
        : input == QLatin1String("mute")                 ? muteClip
                                                         : image;
    const MediaInfo info = request(path, isVideo);
    Record rec;
    run(rec, info, QStringLiteral("00_00001.bin"), debug);
    FfmpegRunner::setDefaultSilenceLimitMs(FfmpegRunner::kDefaultSilenceLimitMs);

    const QString planned = outRoot + QStringLiteral("/VEGA/00_00001.bin");
    QCOMPARE(rec.success, success);
    QCOMPARE(rec.path, planned);
    QCOMPARE(QFileInfo::exists(planned), success);
    // The engine's stream is opened before the one FFmpeg run: the probe
    // says whether there is sound, so nothing is run a second time.
    QCOMPARE(g_engineCalls.load(), 1);
    if (!expectedLine.isEmpty())
        QVERIFY2(rec.events.contains(QStringLiteral("log:") + expectedLine.arg(planned)),
                 qPrintable(rec.events.join(QLatin1Char('|'))));
    QCOMPARE(rec.events.contains(QStringLiteral("log:No audio track detected.")),
             input == QLatin1String("mute"));
    // Why it failed, in the result and the log.
    QVERIFY2(reason.isEmpty() ? rec.result.reason.isEmpty() : rec.result.reason.contains(reason),
             qPrintable(rec.result.reason));
    if (!success && !reason.isEmpty())
        QVERIFY(rec.events.contains(QStringLiteral("log:failed: ") + rec.result.reason));
    {
        std::lock_guard<std::mutex> lock(g_jobMutex);
        QCOMPARE(g_outPath, planned);
        // The sound of a clip with sound, from the same FFmpeg run as the
        // frames, goes into the records once that run has ended.
        if (success)
            QCOMPARE(g_soundAfter.startsWith(tempFolder() + QLatin1Char('/')),
                     input == QLatin1String("video"));
    }

    // Opening lines first, the result before the closing lines, nothing after.
    QCOMPARE(rec.events.at(1), QStringLiteral("log:") + QString(54, QLatin1Char('#')));
    QCOMPARE(rec.events.at(2), QStringLiteral("log:### START PROCESS VIDEO \n"));
    QCOMPARE(rec.events.last(), QStringLiteral("log:") + QString(54, QLatin1Char('#')));
    QCOMPARE(rec.events.at(rec.events.size() - 2), QStringLiteral("log:### FINISH PROCESS VIDEO"));
    const int result = rec.events.indexOf(QStringLiteral("result:%1:%2").arg(success).arg(planned));
    QVERIFY(result > 0);
    QCOMPARE(rec.events.at(result + 1), QStringLiteral("fallback:"));
    for (int i = result; i < rec.events.size(); ++i)
        QVERIFY(!rec.events.at(i).startsWith(QStringLiteral("progress:")));

    // Progress: decoding reports, then converting reports, never backwards.
    if (!ffmpegFails) {
        if (engine != refuse && success)
            QVERIFY(rec.events.contains(QStringLiteral("progress:0:100")));
        int lastStage = 0, lastPercent = -1;
        for (const QString& e : qAsConst(rec.events)) {
            if (!e.startsWith(QStringLiteral("progress:")))
                continue;
            const QStringList parts = e.split(QLatin1Char(':'));
            const int stage = parts.at(1).toInt(), percent = parts.at(2).toInt();
            QVERIFY(stage >= lastStage);
            if (stage != lastStage)
                lastPercent = -1;
            QVERIFY(percent > lastPercent && percent <= 100);
            lastStage = stage;
            lastPercent = percent;
        }
    }

    // Nothing of the job is left in the temp folder.
    QVERIFY2(entries(tempFolder()).isEmpty(),
             qPrintable(entries(tempFolder()).join(QLatin1Char(' '))));
}

void TestMediaJob::outputTarget_data()
{
    // Files planted where the model folder and the Desktop folder would be.
    QTest::addColumn<bool>("blockModel");
    QTest::addColumn<bool>("blockDesktop");
    QTest::newRow("model folder") << false << false;
    QTest::newRow("model folder blocked: the Desktop, saying why") << true << false;
    QTest::newRow("neither can be written: a failure, saying why") << true << true;
}

void TestMediaJob::outputTarget()
{
    QFETCH(bool, blockModel);
    QFETCH(bool, blockDesktop);
    const QString desktop = home + QStringLiteral("/Desktop");
    QDir(desktop).removeRecursively();
    QFile::remove(desktop);
    if (blockModel)
        QVERIFY(writeFile(outRoot + QStringLiteral("/VEGA"), "a file"));
    if (blockDesktop)
        QVERIFY(writeFile(desktop, "a file"));
    MediaInfo media;
    media.outputDir = outRoot;
    const OutputTarget target = planOutput(media, QStringLiteral("VEGA"), QStringLiteral("f.bin"));
    QCOMPARE(target.path, (blockModel && !blockDesktop ? desktop : outRoot + "/VEGA") + "/f.bin");
    QCOMPARE(target.fallbackReason.isEmpty(), !blockModel || blockDesktop);
    if (!target.fallbackReason.isEmpty())
        QVERIFY(target.fallbackReason.endsWith(outRoot + QStringLiteral("/VEGA (not a folder)")));
    QCOMPARE(target.error.isEmpty(), !blockDesktop);
    if (blockDesktop)
        QCOMPARE(target.error,
                 QStringLiteral("cannot write to %1/VEGA (not a folder) nor to %2 "
                                "(not a folder)")
                     .arg(outRoot, desktop));
    QFile::remove(desktop);
}

void TestMediaJob::modelFolderUnavailable_data()
{
    QTest::addColumn<bool>("nameTaken"); // a file of the same name in the output folder
    QTest::newRow("moved into the output folder") << false;
    QTest::newRow("a file of that name there: kept, the result stays") << true;
}

void TestMediaJob::modelFolderUnavailable()
{
    // A file where the model folder should be: the engine writes to the
    // Desktop and the result is moved into the output folder, never over a
    // file of the same name.
    QFETCH(bool, nameTaken);
    QFile blocker(outRoot + QStringLiteral("/VEGA"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString moved = outRoot + QStringLiteral("/00_00002.bin");
    const QString onDesktop = home + QStringLiteral("/Desktop/00_00002.bin");
    QFile::remove(moved);
    QFile::remove(onDesktop);
    if (nameTaken) {
        QFile old(moved);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old");
        old.close();
    }

    Record rec;
    run(rec, request(image, false), QStringLiteral("00_00002.bin"));
    const QString landed = nameTaken ? onDesktop : moved;
    QVERIFY(rec.success);
    QCOMPARE(rec.path, landed);
    // The result says where the file went instead, and why.
    QCOMPARE(rec.result.fallbackFolder, QFileInfo(landed).absolutePath());
    QVERIFY(rec.result.fallbackReason.contains(outRoot + QStringLiteral("/VEGA")));
    QCOMPARE(QFileInfo(landed).size(), qint64(28800));
    QCOMPARE(QFileInfo::exists(onDesktop), nameTaken);
    if (nameTaken)
        QCOMPARE(readAll(moved), QByteArray("old"));
    QVERIFY(rec.events.contains(QStringLiteral("log:\n文件输出路径：%1\n").arg(landed)));
    {
        std::lock_guard<std::mutex> lock(g_jobMutex);
        QCOMPARE(g_outPath, onDesktop);
    }
    QFile::remove(onDesktop);
}

void TestMediaJob::emptyFileName()
{
    const QString marker = dir.filePath(QStringLiteral("ffmpeg-ran"));
    QFile::remove(marker);
    qputenv("SPINDRA_FFMPEG",
            writeScript(dir.path(), QStringLiteral("ffmpeg-marks"),
                        "touch '" + marker.toUtf8() + "'; exit 0")
                .toUtf8());
    QDir(tempFolder()).removeRecursively();
    Record rec;
    run(rec, request(clip, true), QString());
    QVERIFY(!rec.success);
    QCOMPARE(g_engineCalls.load(), 0);
    QVERIFY(!QFileInfo::exists(marker));
    QVERIFY(entries(outRoot).isEmpty());
    QVERIFY(entries(tempFolder()).isEmpty());
    QCOMPARE(rec.events.at(rec.events.size() - 2), QStringLiteral("log:### FINISH PROCESS VIDEO"));
}

void TestMediaJob::silentJobCleansUp()
{
    MediaConvert convert;
    ConvertRequest job;
    job.media = request(clip, true);
    job.fileName = QStringLiteral("00_00003.bin");
    job.modelName = QStringLiteral("RIGEL");
    job.lights = 8;
    job.lines = 16;
    job.colorDeep = 3;
    job.gamma = 2.2;
    job.minBrightness = 0.3;
    job.debugMode = true;
    job.runIndex = QStringLiteral("00003");
    convert.startConvert(job, {});
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    QVERIFY(QFileInfo::exists(outRoot + QStringLiteral("/RIGEL/00_00003.bin")));
    QVERIFY(entries(tempFolder()).isEmpty());
}

void TestMediaJob::realEngine()
{
    // The whole road with the real engine: 1 s of video with sound becomes
    // 20 frame records of an 8-LED, 16-line, 3-bit fan.
    setEngineStreamApi(nullptr);
    Record rec;
    run(rec, request(clip, true), QStringLiteral("real.bin"), true);
    setEngineStreamApi(&kFakeEngine);
    QVERIFY2(rec.success, qPrintable(rec.events.join(QLatin1Char('|'))));
    const QByteArray fan = readAll(rec.path);
    const int record = 16 * 3 * 3 + 1600;
    QCOMPARE(fan.size(), 57600); // 812 + 20 records, padded to 28800
    for (int k = 0; k < 20; ++k) {
        const QByteArray audio = fan.mid(812 + k * record + record - 1600, 1600);
        QVERIFY2(audio.count('\0') < 1600 && audio.count(char(128)) < 1600,
                 qPrintable(QString::number(k)));
    }
    QVERIFY(fan.mid(812 + 20 * record).count('\0') == fan.size() - 812 - 20 * record);
    QVERIFY(rec.events.contains(QStringLiteral("log:rsult:SUCCESS path:%1 msg:ok").arg(rec.path)));
    QVERIFY(entries(tempFolder()).isEmpty());
}

void TestMediaJob::inputNames_data()
{
    // Temporary names never come from the input's name.
    QTest::addColumn<QStringList>("inputs"); // converted at the same time
    QTest::newRow("same base name, two at once")
        << QStringList {QStringLiteral("a/clip.mp4"), QStringLiteral("b/clip.mp4")};
    // 83 Chinese letters: 249 bytes of UTF-8 before ".mp4".
    QTest::newRow("base name of 249 bytes") << QStringList {QString(83, QChar(0x89c6)) + ".mp4"};
}

void TestMediaJob::inputNames()
{
    QFETCH(QStringList, inputs);
    setEngineStreamApi(nullptr);
    std::vector<std::unique_ptr<Record>> records;
    MediaConvert convert;
    for (int i = 0; i < inputs.size(); ++i) {
        const QString input = dir.filePath(QStringLiteral("names/") + inputs.at(i));
        QVERIFY(QDir().mkpath(QFileInfo(input).absolutePath()));
        QFile::remove(input);
        QVERIFY(QFile::copy(clip, input));
        records.push_back(std::make_unique<Record>());
        Record* rec = records.back().get();
        ConvertRequest job;
        job.media = request(input, true);
        job.fileName = QStringLiteral("name_%1.bin").arg(i);
        job.modelName = QStringLiteral("VEGA");
        job.lights = jobLights;
        job.lines = jobLines;
        job.colorDeep = 3;
        MediaConvert::Callbacks callbacks;
        callbacks.onResult = [rec](const ConvertResult& result) {
            std::lock_guard<std::mutex> lock(rec->mutex);
            ++rec->results;
            rec->result = result;
        };
        convert.startConvert(job, callbacks);
    }
    QVERIFY(QThreadPool::globalInstance()->waitForDone(60000));
    setEngineStreamApi(&kFakeEngine);
    for (const auto& rec : records) {
        QCOMPARE(rec->resultCount(), 1);
        ConvertResult result;
        {
            std::lock_guard<std::mutex> lock(rec->mutex);
            result = rec->result;
        }
        QVERIFY2(result.outcome == ConvertOutcome::Succeeded, qPrintable(result.reason));
        // 1 s of sound in 20 records of 16 x 3 x 3 bytes and 1600 of sound.
        const QByteArray fan = readAll(result.path);
        const int record = 16 * 3 * 3 + 1600;
        for (int k = 0; k < 20; ++k)
            QVERIFY(fan.mid(812 + k * record + record - 1600, 1600).count('\0') < 1600);
    }
    QVERIFY(entries(tempFolder()).isEmpty());
}

void TestMediaJob::cancelInEachStage_data()
{
    // stage -1: cancelled before the job starts; -2: as the engine gets a job
    QTest::addColumn<int>("stage");
    QTest::addColumn<bool>("isVideo");
    QTest::newRow("before the start") << -1 << true;
    QTest::newRow("decoding a clip") << int(MediaStage::Decoding) << true;
    QTest::newRow("converting a clip") << int(MediaStage::Converting) << true;
    QTest::newRow("engine running") << -2 << true;
    QTest::newRow("decoding an image") << int(MediaStage::Decoding) << false;
    QTest::newRow("converting an image") << int(MediaStage::Converting) << false;
}

void TestMediaJob::cancelInEachStage()
{
    // A cancel, requested at the first report of a stage, ends the job as
    // cancelled with nothing left behind; the next job then runs normally.
    QFETCH(int, stage);
    QFETCH(bool, isVideo);
    setEngineStreamApi(stage == -2 ? &kCancellingEngine : nullptr);
    jobLights = 116;
    jobLines = 520;
    MediaInfo info = request(isVideo ? longClip : image, isVideo);
    info.mediaWidth = 320;
    info.mediaHeight = 240;
    info.centerX = 160;
    info.centerY = 120;
    info.scale = 232.0 / 320.0;
    info.durationSeconds = 3;
    auto cancel = std::make_shared<ConvertCancel>();
    if (stage == -1)
        cancel->request();
    if (stage == -2)
        g_cancelOnEngineStart = cancel;
    Record rec;
    run(rec, info, QStringLiteral("cancelled.bin"), true, QStringLiteral("VEGA"), cancel, stage);
    QCOMPARE(int(rec.result.outcome), int(ConvertOutcome::Cancelled));
    QVERIFY(rec.result.path.isEmpty());
    QVERIFY2(rec.events.contains(QStringLiteral("log:cancelled")),
             qPrintable(rec.events.join(QLatin1Char('|'))));
    QVERIFY(!rec.events.contains(QStringLiteral("log:\n文件输出路径：%1\n")
                                     .arg(outRoot + QStringLiteral("/VEGA/cancelled.bin"))));
    QVERIFY2(entries(outRoot + QStringLiteral("/VEGA")).isEmpty(),
             qPrintable(entries(outRoot).join(QLatin1Char(' '))));
    QVERIFY2(entries(tempFolder()).isEmpty(),
             qPrintable(entries(tempFolder()).join(QLatin1Char(' '))));
    // A clip with sound is decoded by one run, frames and sound together.
    if (stage == int(MediaStage::Decoding) && isVideo)
        QVERIFY2(rec.events.contains(QStringLiteral("log:[STEP 1 VIDEO+AUDIO->RAW] <<: cancelled")),
                 qPrintable(rec.events.join(QLatin1Char('|'))));
    // It was the engine that stopped.
    if (stage == -2)
        QVERIFY(rec.events.contains(QStringLiteral("log:rsult:FAILED path:%1 msg:cancelled")
                                        .arg(outRoot + QStringLiteral("/VEGA/cancelled.bin"))));
    // The closing lines still end the job.
    QCOMPARE(rec.events.last(), QStringLiteral("log:") + QString(54, QLatin1Char('#')));

    g_cancelOnEngineStart.reset();
    setEngineStreamApi(nullptr);
    Record next;
    run(next, info, QStringLiteral("next.bin"));
    setEngineStreamApi(&kFakeEngine);
    QCOMPARE(int(next.result.outcome), int(ConvertOutcome::Succeeded));
    QVERIFY(QFileInfo(next.path).size() > 28800);
    QVERIFY(entries(tempFolder()).isEmpty());
}

QTEST_GUILESS_MAIN(TestMediaJob)
#include "tst_mediajob.moc"
