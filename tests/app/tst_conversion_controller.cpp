// The conversion controller without widgets: a queue runs in order with one
// result per job; a cancel in each stage (decoding, converting, uploading to
// fan-sim) ends the job as Cancelled, leaves no temporary or partial file
// behind, and the next job runs normally; a dropped file is framed whole.
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "FanSimProcess.h"
#include "Uploader.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QScopeGuard>
#include <QtTest>

#include <memory>
#include <optional>

using namespace apptest;

namespace {

struct Ended {
    int id;
    JobOutcome outcome;
    QString path;
    QString message;
};

} // namespace

class TestConversionController : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void queueRunsInOrder();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void clearedQueueEndsCancelled();
    void droppedFileIsFramedWhole();
    void cancelFromAReceiver_data();
    void cancelFromAReceiver();

private:
    // A request for the VEGA geometry of the whole clip, framed whole.
    ConvertRequest request(const QString& input, int seconds, bool isVideo = true) const;
    // The controller's record of every signal.
    void watch(ConversionController& c);
    // Files of the pipeline's temporary folder that belong to input.
    QStringList leftovers(const QString& input) const;
    QStringList fanFiles() const;
    void useDevice(const DeviceEndpoint& endpoint);

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clipPath;
    QString longClipPath;
    QString imagePath;
    QString outDir;
    std::unique_ptr<ConnectionManager> connection;
    std::unique_ptr<Uploader> uploader;
    std::unique_ptr<ConversionController> controller;
    QList<int> started;
    QList<Ended> ended;
    QList<QPair<int, JobStage>> stages;
    int idles = 0;
    // When set, the first report of this stage cancels the job at once, from
    // the report itself: the stage may be over by the time a waiting test
    // would look (the last chunk converts in moments).
    std::optional<JobStage> cancelOn;
};

void TestConversionController::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateSettings(configDir);
    // A temporary folder of our own, so that leftovers can be counted.
    const QString tmp = useOwnTempFolder(workDir);
    QVERIFY(!tmp.isEmpty());
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::TempLocation), tmp);

    clipPath = workDir.filePath(uniqueName(QStringLiteral("ctlclip"), QStringLiteral("mp4")));
    longClipPath = workDir.filePath(uniqueName(QStringLiteral("ctllong"), QStringLiteral("mp4")));
    imagePath = workDir.filePath(uniqueName(QStringLiteral("ctlstill"), QStringLiteral("png")));
    QVERIFY(makeClip(clipPath, 2));
    QVERIFY(makeClip(longClipPath, 20, QStringLiteral("640x480")));
    QVERIFY(makeImage(imagePath));
    outDir = workDir.filePath(QStringLiteral("out"));
}

void TestConversionController::useDevice(const DeviceEndpoint& endpoint)
{
    controller.reset();
    uploader.reset();
    connection.reset();
    ConnectionTiming timing;
    timing.checkPeriodMs = 100;
    connection = std::make_unique<ConnectionManager>(endpoint, timing);
    uploader = std::make_unique<Uploader>(endpoint);
    controller = std::make_unique<ConversionController>(connection.get(), uploader.get());
    watch(*controller);
}

void TestConversionController::init()
{
    QDir(outDir).removeRecursively();
    QVERIFY(QDir().mkpath(outDir));
    started.clear();
    ended.clear();
    stages.clear();
    idles = 0;
    // Nothing listens on the discard port of loopback: never connected.
    DeviceEndpoint nobody;
    nobody.host = QStringLiteral("127.0.0.1");
    nobody.httpPort = 9;
    nobody.wsPort = 9;
    useDevice(nobody);
}

void TestConversionController::cleanup()
{
    if (controller)
        QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 60000);
    controller.reset();
    uploader.reset();
    connection.reset();
    qunsetenv("SPINDRA_FFMPEG");
}

void TestConversionController::watch(ConversionController& c)
{
    connect(&c, &ConversionController::jobStarted, this, [this](int id) { started << id; });
    connect(&c, &ConversionController::jobProgress, this, [this, &c](int id, JobStage stage, int) {
        stages << qMakePair(id, stage);
        if (cancelOn && *cancelOn == stage) {
            cancelOn.reset();
            c.cancel();
        }
    });
    connect(&c, &ConversionController::jobFinished, this,
            [this](int id, JobOutcome outcome, const QString& path, const QString& message) {
                ended << Ended {id, outcome, path, message};
            });
    connect(&c, &ConversionController::idle, this, [this] { ++idles; });
}

ConvertRequest TestConversionController::request(const QString& input, int seconds,
                                                 bool isVideo) const
{
    ConvertRequest r;
    r.media.isVideo = isVideo;
    r.media.inputPath = input;
    r.media.outputDir = outDir;
    r.modelName = QStringLiteral("VEGA");
    r.lights = 116;
    r.lines = 520;
    r.colorDeep = 6;
    r.gamma = 1.0;
    r.minBrightness = 0.0;
    const int w = input == longClipPath ? 640 : input == imagePath ? 120 : 160;
    const int h = input == longClipPath ? 480 : input == imagePath ? 90 : 120;
    r.media.mediaWidth = w;
    r.media.mediaHeight = h;
    r.media.scale = 2.0 * r.lights / qMax(w, h);
    r.media.centerX = w * 0.5;
    r.media.centerY = h * 0.5;
    r.media.durationSeconds = isVideo ? seconds : 0;
    return r;
}

QStringList TestConversionController::leftovers(const QString& input) const
{
    return tempLeftovers(input);
}

QStringList TestConversionController::fanFiles() const { return fanFilesIn(outDir); }

void TestConversionController::queueRunsInOrder()
{
    QSignalSpy queue(controller.get(), &ConversionController::queueChanged);
    const int a = controller->enqueue(request(clipPath, 2));
    const int b = controller->enqueue(request(imagePath, 0, false));
    const int c = controller->enqueue(request(clipPath, 1));
    QVERIFY(a > 0 && b > a && c > b);
    QCOMPARE(controller->currentJob(), a);
    QCOMPARE(controller->waitingJobs(), (QList<int> {b, c}));
    QVERIFY(queue.count() >= 3);

    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 120000);
    QCOMPARE(started, (QList<int> {a, b, c}));
    QCOMPARE(ended.size(), 3);
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ended[i].id, started[i]);
        QCOMPARE(ended[i].outcome, JobOutcome::Succeeded);
        QVERIFY2(QFileInfo(ended[i].path).size() > 0, qPrintable(ended[i].path));
        paths << ended[i].path;
    }
    // One job at a time: no progress of a job after the next one started.
    for (int i = 1; i < stages.size(); ++i)
        QVERIFY(stages[i].first >= stages[i - 1].first);
    // Each got a name of its own, in the model's folder.
    QCOMPARE(QSet<QString>(paths.begin(), paths.end()).size(), 3);
    QVERIFY2(paths[0].contains(QStringLiteral("/VEGA/")), qPrintable(paths[0]));
    QVERIFY(QFileInfo(paths[0]).fileName().startsWith(QStringLiteral("00_")));
    QVERIFY(QFileInfo(paths[1]).fileName().startsWith(QStringLiteral("01_")));
    QVERIFY(QFileInfo(paths[2]).fileName().startsWith(QStringLiteral("02_")));
    QVERIFY(!controller->isBusy());
    QVERIFY(leftovers(clipPath).isEmpty());
    QVERIFY(leftovers(imagePath).isEmpty());
    QVERIFY(FanSimProcess::holdFor(200, [&] { return ended.size() == 3 && idles == 1; }));
}

void TestConversionController::cancelInEachStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::newRow("decoding") << int(JobStage::Decoding);
    QTest::newRow("converting") << int(JobStage::Converting);
    QTest::newRow("uploading") << int(JobStage::Uploading);
    QTest::newRow("waiting for the fan") << int(JobStage::WaitingForFan);
}

void TestConversionController::cancelInEachStage()
{
    QFETCH(int, stage);
    const JobStage when = JobStage(stage);
    const bool uploads = when == JobStage::Uploading || when == JobStage::WaitingForFan;
    FanSimProcess sim;
    if (uploads) {
        // A slow device: the transfer takes long enough to be cancelled; or
        // one that takes the whole file at once and answers late.
        const QStringList slow = when == JobStage::Uploading
            ? QStringList {QStringLiteral("--upload-rate"), QStringLiteral("500000")}
            : QStringList {QStringLiteral("--upload-delay"), QStringLiteral("1500")};
        QVERIFY2(sim.start(slow), qPrintable(sim.errorText));
        useDevice(sim.endpoint());
        QTRY_VERIFY_WITH_TIMEOUT(connection->isConnected(), 20000);
    }
    if (when == JobStage::Decoding) {
        // FFmpeg reading the clip at its own pace keeps the job decoding.
        QVERIFY(useSlowFfmpeg(workDir.path()));
    }

    const QString input = uploads ? clipPath : longClipPath;
    cancelOn = when;
    const auto cancelOnGuard = qScopeGuard([this] { cancelOn.reset(); });
    const int id = controller->enqueue(request(input, uploads ? 2 : 20));
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(stages.begin(), stages.end(),
                                         [&](const QPair<int, JobStage>& s) {
                                             return s.first == id && s.second == when;
                                         }),
                             120000);
    // Cancelled at once, exactly once, and never as a success or failure.
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].id, id);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    controller->cancel(); // nothing more to cancel
    QCOMPARE(ended.size(), 1);

    // Once the pipeline has let go, nothing of the job is left behind.
    QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 60000);
    QCOMPARE(idles, 1);
    QVERIFY2(leftovers(input).isEmpty(), qPrintable(leftovers(input).join(", ")));
    if (uploads) {
        // The converted file is whole and kept, and the job names it and says
        // what the device has: the part it had received is dropped and
        // nothing is stored; a file the device had taken whole it may store
        // (this one does, once its late answer is due).
        QCOMPARE(fanFiles().size(), 1);
        QCOMPARE(ended[0].path, fanFiles()[0]);
        if (when == JobStage::Uploading) {
            QCOMPARE(ended[0].message, QCoreApplication::translate("ConversionController",
                                                                   "upload_cancelled_not_stored"));
            QTRY_VERIFY_WITH_TIMEOUT(
                QDir(sim.storeDir())
                    .entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty(),
                20000);
            QCOMPARE(sim.count(QStringLiteral("STORED")), 0);
        } else {
            QCOMPARE(ended[0].message, QCoreApplication::translate(
                                           "ConversionController", "upload_cancelled_may_be_stored"));
            QVERIFY(sim.waitForCount(QStringLiteral("STORED"), 1, 20000));
        }
    } else {
        QVERIFY2(fanFiles().isEmpty(), qPrintable(fanFiles().join(", ")));
    }

    // The next job runs normally.
    qunsetenv("SPINDRA_FFMPEG");
    const int next = controller->enqueue(request(clipPath, 1));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 120000);
    QCOMPARE(ended[1].id, next);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    QVERIFY(QFileInfo(ended[1].path).size() > 0);
    if (uploads)
        QTRY_COMPARE_WITH_TIMEOUT(QDir(sim.storeDir()).entryList(QDir::Files).size(),
                                  when == JobStage::Uploading ? 1 : 2, 60000);
}

void TestConversionController::clearedQueueEndsCancelled()
{
    const int a = controller->enqueue(request(clipPath, 1));
    const int b = controller->enqueue(request(clipPath, 1));
    const int c = controller->enqueue(request(imagePath, 0, false));
    controller->clearQueue();
    QVERIFY(controller->waitingJobs().isEmpty());
    QCOMPARE(ended.size(), 2);
    QCOMPARE(ended[0].id, b);
    QCOMPARE(ended[1].id, c);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    QCOMPARE(ended[1].outcome, JobOutcome::Cancelled);
    // The running one goes on to its end.
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 120000);
    QCOMPARE(ended.size(), 3);
    QCOMPARE(ended[2].id, a);
    QCOMPARE(ended[2].outcome, JobOutcome::Succeeded);
    QCOMPARE(started, QList<int> {a});
}

void TestConversionController::droppedFileIsFramedWhole()
{
    QSignalSpy converted(controller.get(), &ConversionController::jobConverted);
    QSignalSpy ready(controller.get(), &ConversionController::fanFileReady);
    ConvertRequest r = request(longClipPath, 0);
    r.media.mediaWidth = 0; // all of this comes from the probe
    r.media.mediaHeight = 0;
    r.media.scale = 0.0;
    r.media.isVideo = false;
    r.lights = 48;
    r.lines = 300;
    r.modelName = QStringLiteral("BELLATRIX");
    const int id = controller->enqueueWhole(r);
    // A file that cannot be read fails without converting anything.
    ConvertRequest broken = r;
    broken.media.inputPath = workDir.filePath(QStringLiteral("not-media.mp4"));
    QFile junk(broken.media.inputPath);
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("no media here");
    junk.close();
    const int bad = controller->enqueueWhole(broken);
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 120000);
    QCOMPARE(ended.size(), 2);
    QCOMPARE(ended[0].id, id);
    QCOMPARE(ended[0].outcome, JobOutcome::Succeeded);
    QCOMPARE(ended[1].id, bad);
    QCOMPARE(ended[1].outcome, JobOutcome::Failed);
    QCOMPARE(converted.count(), 1);
    QCOMPARE(ready.count(), 1);
    QCOMPARE(ready.first().at(0).toString(), ended[0].path);
    QCOMPARE(ready.first().at(1).toString(), QStringLiteral("BELLATRIX"));
    // The whole 20 s clip at 20 frames per second: 400 frame records after
    // the 812-byte header (48 lights, 300 lines, 6 bits, 1600 bytes of sound).
    const qint64 record = 300 * 6 * ((3 * 48 + 7) / 8) + 1600;
    const qint64 size = QFileInfo(ended[0].path).size();
    QVERIFY2(size >= 812 + 399 * record && size <= 812 + 401 * record + 28800,
             qPrintable(QString::number(size)));
}

void TestConversionController::cancelFromAReceiver_data()
{
    QTest::addColumn<QString>("signal");
    QTest::newRow("started") << "started";
    QTest::newRow("converted") << "converted";
}

void TestConversionController::cancelFromAReceiver()
{
    QFETCH(QString, signal);
    int first = 0;
    if (signal == QLatin1String("started"))
        connect(controller.get(), &ConversionController::jobStarted, this, [&](int id) {
            if (id == first || first == 0)
                controller->cancel();
        });
    else
        connect(controller.get(), &ConversionController::jobConverted, this,
                [&](int id, const ConvertResult&, bool) {
                    if (id == first)
                        controller->cancel();
                });
    first = controller->enqueue(request(clipPath, 1));
    if (signal == QLatin1String("started"))
        QCOMPARE(ended.size(), 1); // at once, inside enqueue
    const int second = controller->enqueue(request(imagePath, 0, false));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 120000);
    QCOMPARE(ended[0].id, first);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    QCOMPARE(ended[1].id, second);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 30000);
    // A job cancelled before its conversion started leaves no file.
    QCOMPARE(fanFiles().size(), signal == QLatin1String("started") ? 1 : 2);
}

QTEST_MAIN(TestConversionController)
#include "tst_conversion_controller.moc"
