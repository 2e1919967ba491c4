// The conversion controller without widgets, on a stand-in pipeline: a queue
// runs in order, one job at a time, with one end per job; the pipeline's
// outcome becomes the job's; a cancel in each stage (probing, decoding,
// converting, uploading to fan-sim) ends the job as Cancelled at once and the
// next job waits until the pipeline has let go; a result that crosses the
// cancel leaves no file; a dropped file is probed and framed whole, as shown.
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "ExifOrientation.h"
#include "FakePipeline.h"
#include "FanSimProcess.h"
#include "MediaTestSupport.h"
#include "Uploader.h"

#include <QSignalSpy>
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
    void counterNotStoredIsSaidOnce();
    void pipelineOutcomeEndsTheJob_data();
    void pipelineOutcomeEndsTheJob();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void cancelWhileThePipelineHoldsOn_data();
    void cancelWhileThePipelineHoldsOn();
    void clearedQueueEndsCancelled();
    void droppedFileIsFramedWhole_data();
    void droppedFileIsFramedWhole();
    void cancelFromAReceiver_data();
    void cancelFromAReceiver();

private:
    // A request for the VEGA geometry of the whole input, framed whole.
    ConvertRequest request(const QString& input, int seconds, bool isVideo = true) const;
    // A controller on a new fake pipeline and a link to endpoint.
    void useDevice(const DeviceEndpoint& endpoint);
    bool stageReached(int id, JobStage stage) const;

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clipPath;
    QString imagePath;
    QString outDir;
    std::unique_ptr<ConnectionManager> connection;
    std::unique_ptr<Uploader> uploader;
    std::unique_ptr<ConversionController> controller;
    FakePipeline* pipeline = nullptr; // owned by the controller
    QList<int> started;
    QList<Ended> ended;
    QList<QPair<int, JobStage>> stages;
    QList<int> runningAtStart; // the pipeline's unfinished runs as each job started
    int idles = 0;
    // When set, the first report of this stage cancels the job at once, from
    // the report itself.
    std::optional<JobStage> cancelOn;
};

void TestConversionController::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateSettings(configDir);
    clipPath = workDir.filePath(uniqueName(QStringLiteral("ctlclip"), QStringLiteral("mp4")));
    imagePath = workDir.filePath(uniqueName(QStringLiteral("ctlstill"), QStringLiteral("png")));
    QVERIFY(makeClip(clipPath, 2));
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
    auto fake = std::make_unique<FakePipeline>();
    pipeline = fake.get();
    controller =
        std::make_unique<ConversionController>(connection.get(), uploader.get(), std::move(fake));
    ConversionController& c = *controller;
    connect(&c, &ConversionController::jobStarted, this, [this](int id) {
        started << id;
        runningAtStart << pipeline->runningCount();
    });
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

void TestConversionController::init()
{
    QDir(outDir).removeRecursively();
    QVERIFY(QDir().mkpath(outDir));
    started.clear();
    ended.clear();
    stages.clear();
    runningAtStart.clear();
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
    cancelOn.reset();
    if (controller)
        QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 30000);
    controller.reset();
    uploader.reset();
    connection.reset();
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
    r.media.mediaWidth = 160;
    r.media.mediaHeight = 120;
    r.media.scale = 2.0 * r.lights / 160;
    r.media.centerX = 80;
    r.media.centerY = 60;
    r.media.durationSeconds = isVideo ? seconds : 0;
    return r;
}

bool TestConversionController::stageReached(int id, JobStage stage) const
{
    return stages.contains(qMakePair(id, stage));
}

void TestConversionController::queueRunsInOrder()
{
    QSettings s = store();
    s.setValue("convert_index", 0);
    s.sync();
    QSignalSpy queue(controller.get(), &ConversionController::queueChanged);
    QSignalSpy converted(controller.get(), &ConversionController::jobConverted);
    QSignalSpy ready(controller.get(), &ConversionController::fanFileReady);
    const int a = controller->enqueue(request(clipPath, 2));
    const int b = controller->enqueue(request(imagePath, 0, false));
    const int c = controller->enqueue(request(clipPath, 1));
    QVERIFY(a > 0 && b > a && c > b);
    QCOMPARE(controller->currentJob(), a);
    QCOMPARE(controller->waitingJobs(), (QList<int> {b, c}));
    QCOMPARE(controller->inputOf(b), imagePath);
    QVERIFY(queue.count() >= 3);

    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 30000);
    QCOMPARE(started, (QList<int> {a, b, c}));
    // One job at a time: each started once the pipeline had let go of the one
    // before, and its progress came in its own stages, in order.
    QCOMPARE(runningAtStart, (QList<int> {0, 0, 0}));
    QCOMPARE(pipeline->runCount(), 3);
    const QList<QPair<int, JobStage>> first {{a, JobStage::Decoding},
                                             {a, JobStage::Decoding},
                                             {a, JobStage::Converting},
                                             {a, JobStage::Converting}};
    QCOMPARE(stages.mid(0, 4), first);
    for (int i = 1; i < stages.size(); ++i)
        QVERIFY(stages[i].first >= stages[i - 1].first);
    QCOMPARE(ended.size(), 3);
    QStringList names;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(ended[i].id, started[i]);
        QCOMPARE(ended[i].outcome, JobOutcome::Succeeded);
        QCOMPARE(ended[i].path,
                 pipeline->request(i).media.outputDir + QStringLiteral("/VEGA/") +
                     pipeline->request(i).fileName);
        // Each got a name of its own: identifier and sequence number.
        names << pipeline->request(i).fileName;
        QCOMPARE(pipeline->request(i).runIndex, QStringLiteral("%1").arg(i, 5, 10, QChar('0')));
        QVERIFY(pipeline->request(i).cancel);
    }
    QCOMPARE(names, (QStringList {"00_00000.bin", "01_00001.bin", "02_00002.bin"}));
    QCOMPARE(converted.count(), 3);
    QCOMPARE(ready.count(), 3);
    QVERIFY(!converted.first().at(2).toBool()); // not connected: no upload
    QVERIFY(!controller->isBusy());
    QVERIFY(FanSimProcess::holdFor(200, [&] { return ended.size() == 3 && idles == 1; }));
}

void TestConversionController::counterNotStoredIsSaidOnce()
{
    // A file where the settings folder should be: the counter can be read
    // (as nothing) and never stored, whoever runs the test.
    const QString blocked = workDir.filePath(QStringLiteral("blocked-config"));
    QFile blocker(blocked);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       blocked + QStringLiteral("/config"));
    const auto restore = qScopeGuard([this] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
    });
    init(); // a controller on the blocked settings
    QSignalSpy notices(controller.get(), &ConversionController::notice);
    for (int i = 0; i < 3; ++i)
        controller->enqueue(request(imagePath, 0, false));
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 30000);
    QCOMPARE(notices.count(), 1);
    QVERIFY2(notices.first().at(0).toString().contains(QStringLiteral("convert_index")),
             qPrintable(notices.first().at(0).toString()));
    // The session counts on in memory; every file has a name of its own.
    QStringList names;
    for (const Ended& e : qAsConst(ended)) {
        QCOMPARE(e.outcome, JobOutcome::Succeeded);
        names << QFileInfo(e.path).fileName();
    }
    QCOMPARE(names, (QStringList {"00_00000.bin", "01_00001.bin", "02_00002.bin"}));
    QCOMPARE(fanFilesIn(outDir).size(), 3);
}

void TestConversionController::pipelineOutcomeEndsTheJob_data()
{
    QTest::addColumn<int>("scripted");
    QTest::addColumn<bool>("inputExists");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("hasPath");
    QTest::newRow("succeeded") << int(ConvertOutcome::Succeeded) << true
                               << int(JobOutcome::Succeeded) << true;
    QTest::newRow("failed, the planned path")
        << int(ConvertOutcome::Failed) << true << int(JobOutcome::Failed) << true;
    QTest::newRow("missing input")
        << int(ConvertOutcome::Succeeded) << false << int(JobOutcome::Failed) << true;
    QTest::newRow("cancelled by the pipeline")
        << int(ConvertOutcome::Cancelled) << true << int(JobOutcome::Cancelled) << false;
}

void TestConversionController::pipelineOutcomeEndsTheJob()
{
    QFETCH(int, scripted);
    QFETCH(bool, inputExists);
    QFETCH(int, outcome);
    QFETCH(bool, hasPath);
    QSignalSpy converted(controller.get(), &ConversionController::jobConverted);
    QSignalSpy ready(controller.get(), &ConversionController::fanFileReady);
    pipeline->script.outcome = ConvertOutcome(scripted);
    const int id = controller->enqueue(
        request(inputExists ? clipPath : workDir.filePath(QStringLiteral("gone.mp4")), 1));
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 30000);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].id, id);
    QCOMPARE(int(ended[0].outcome), outcome);
    QCOMPARE(!ended[0].path.isEmpty(), hasPath);
    QCOMPARE(converted.count(), 1);
    QCOMPARE(converted.first().at(1).value<ConvertResult>().path, ended[0].path);
    // Only a made file is announced.
    QCOMPARE(ready.count(), outcome == int(JobOutcome::Succeeded) ? 1 : 0);
    QCOMPARE(fanFilesIn(outDir).size(), outcome == int(JobOutcome::Succeeded) ? 1 : 0);
}

void TestConversionController::cancelInEachStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<bool>("dropped"); // probed before it converts
    QTest::newRow("probing") << int(JobStage::Decoding) << true;
    QTest::newRow("decoding") << int(JobStage::Decoding) << false;
    QTest::newRow("converting") << int(JobStage::Converting) << false;
    QTest::newRow("uploading") << int(JobStage::Uploading) << false;
    QTest::newRow("waiting for the fan") << int(JobStage::WaitingForFan) << false;
}

void TestConversionController::cancelInEachStage()
{
    QFETCH(int, stage);
    QFETCH(bool, dropped);
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

    cancelOn = when;
    const auto cancelOnGuard = qScopeGuard([this] { cancelOn.reset(); });
    const int id = dropped ? controller->enqueueWhole(request(clipPath, 0))
                           : controller->enqueue(request(clipPath, 2));
    QTRY_VERIFY_WITH_TIMEOUT(stageReached(id, when), 20000);
    // Cancelled at once, exactly once, and never as a success or failure.
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].id, id);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    QCOMPARE(ended[0].path.isEmpty(), !uploads);
    controller->cancel(); // nothing more to cancel
    QCOMPARE(ended.size(), 1);
    // A probed file never reached the pipeline; a converting one was told.
    QCOMPARE(pipeline->runCount(), dropped ? 0 : 1);
    if (!dropped)
        QCOMPARE(pipeline->request(0).cancel->requested(), !uploads);

    QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 20000);
    QCOMPARE(idles, 1);
    if (uploads) {
        // The converted file is whole and kept, and the job names it and says
        // what the device has: the part it had received is dropped and
        // nothing is stored; a file the device had taken whole it may store
        // (this one does, once its late answer is due).
        QCOMPARE(fanFilesIn(outDir).size(), 1);
        QCOMPARE(QFileInfo(ended[0].path).absoluteFilePath(),
                 QFileInfo(fanFilesIn(outDir)[0]).absoluteFilePath());
        if (when == JobStage::Uploading) {
            QCOMPARE(
                ended[0].message,
                QCoreApplication::translate("ConversionController", "upload_cancelled_not_stored"));
            QTRY_VERIFY_WITH_TIMEOUT(
                QDir(sim.storeDir())
                    .entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden)
                    .isEmpty(),
                20000);
            QCOMPARE(sim.count(QStringLiteral("STORED")), 0);
        } else {
            QCOMPARE(ended[0].message,
                     QCoreApplication::translate("ConversionController",
                                                 "upload_cancelled_may_be_stored"));
            QVERIFY(sim.waitForCount(QStringLiteral("STORED"), 1, 20000));
        }
    } else {
        QVERIFY(fanFilesIn(outDir).isEmpty());
    }

    // The next job runs normally (a still: one frame to send to the slow
    // device).
    const int next = controller->enqueue(request(imagePath, 0, false));
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 30000);
    QCOMPARE(ended[1].id, next);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    QVERIFY(QFileInfo(ended[1].path).size() > 0);
    if (uploads)
        QTRY_COMPARE_WITH_TIMEOUT(QDir(sim.storeDir()).entryList(QDir::Files).size(),
                                  when == JobStage::Uploading ? 1 : 2, 30000);
}

void TestConversionController::cancelWhileThePipelineHoldsOn_data()
{
    QTest::addColumn<bool>("resultCrossesCancel");
    QTest::newRow("pipeline still cleaning up") << false;
    QTest::newRow("result crossed the cancel") << true;
}

void TestConversionController::cancelWhileThePipelineHoldsOn()
{
    QFETCH(bool, resultCrossesCancel);
    QSignalSpy ready(controller.get(), &ConversionController::fanFileReady);
    pipeline->script.holdAt = MediaStage::Converting;
    pipeline->script.letsGoAfterCancel = false;
    pipeline->script.noticesCancel = !resultCrossesCancel;
    const int a = controller->enqueue(request(clipPath, 1));
    QTRY_VERIFY_WITH_TIMEOUT(pipeline->runCount() == 1 && pipeline->isHeld(0), 30000);
    pipeline->script = FakePipeline::Script();

    controller->cancel();
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    const int b = controller->enqueue(request(imagePath, 0, false));
    // The next job waits while the pipeline still holds the cancelled one.
    QVERIFY(FanSimProcess::holdFor(200, [&] {
        return controller->isBusy() && controller->currentJob() == a && started == QList<int> {a};
    }));
    if (resultCrossesCancel)
        pipeline->resume(0); // the run converts to its end and reports success
    else
        pipeline->release(0);
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 30000);
    QCOMPARE(started, (QList<int> {a, b}));
    QCOMPARE(ended[1].id, b);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    // The cancelled job's file, made or not, is not kept nor announced.
    QVERIFY(pipeline->hasEnded(0));
    QCOMPARE(fanFilesIn(outDir), QStringList {ended[1].path});
    QCOMPARE(ready.count(), 1);
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
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 30000);
    QCOMPARE(ended.size(), 3);
    QCOMPARE(ended[2].id, a);
    QCOMPARE(ended[2].outcome, JobOutcome::Succeeded);
    QCOMPARE(started, QList<int> {a});
    QCOMPARE(pipeline->runCount(), 1);
}

void TestConversionController::droppedFileIsFramedWhole_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("video");
    QTest::addColumn<QSize>("shown"); // empty: the file fails, unconverted
    QTest::addColumn<int>("seconds");
    QTest::newRow("clip") << "clip" << true << QSize(160, 120) << 2;
    QTest::newRow("image") << "image" << false << QSize(120, 90) << 0;
    QTest::newRow("phone clip turned a quarter") << "turned" << true << QSize(120, 160) << 2;
    QTest::newRow("phone photo, EXIF orientation 6") << "photo" << false << QSize(90, 120) << 0;
    QTest::newRow("sound only") << "sound" << false << QSize() << 0;
    QTest::newRow("text named .mp4") << "text" << false << QSize() << 0;
}

void TestConversionController::droppedFileIsFramedWhole()
{
    QFETCH(QString, kind);
    QFETCH(bool, video);
    QFETCH(QSize, shown);
    QFETCH(int, seconds);
    QString input = kind == QLatin1String("image") ? imagePath : clipPath;
    if (kind == QLatin1String("turned")) {
        input = workDir.filePath(QStringLiteral("turned.mp4"));
        QVERIFY(QFile::copy(clipPath, input));
        QVERIFY(mediatest::rotateVideoQuarter(input));
    } else if (kind == QLatin1String("photo")) {
        input = workDir.filePath(QStringLiteral("photo.jpg"));
        QVERIFY(makeImage(input));
        QVERIFY(mediatest::addExifOrientation(input, 6));
    } else if (kind == QLatin1String("sound")) {
        input = workDir.filePath(QStringLiteral("tone.mp3"));
        QVERIFY(mediatest::ffmpeg({"-f", "lavfi", "-i", "sine=d=1", input}));
    } else if (kind == QLatin1String("text")) {
        input = workDir.filePath(QStringLiteral("notes.mp4"));
        QFile junk(input);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("no media here");
    }
    ConvertRequest r = request(input, 0);
    r.media.mediaWidth = 0; // all of this comes from the probe
    r.media.mediaHeight = 0;
    r.media.scale = 0.0;
    r.media.isVideo = !video;
    r.lights = 48;
    r.lines = 300;
    r.modelName = QStringLiteral("BELLATRIX");
    const int id = controller->enqueueWhole(r);
    QTRY_COMPARE_WITH_TIMEOUT(idles, 1, 30000);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].id, id);
    if (shown.isEmpty()) {
        // Nothing is converted; the message says why.
        QCOMPARE(ended[0].outcome, JobOutcome::Failed);
        QVERIFY2(ended[0].message.startsWith(QStringLiteral("cannot read media ") + input),
                 qPrintable(ended[0].message));
        QCOMPARE(pipeline->runCount(), 0);
        return;
    }
    QCOMPARE(ended[0].outcome, JobOutcome::Succeeded);
    QCOMPARE(pipeline->runCount(), 1);
    const MediaInfo& m = pipeline->request(0).media;
    QCOMPARE(m.isVideo, video);
    QCOMPARE(QSize(m.mediaWidth, m.mediaHeight), shown);
    // The picture whole in the circle: the longer side across it.
    QCOMPARE(m.scale, 2.0 * 48 / qMax(shown.width(), shown.height()));
    QCOMPARE(m.centerX, shown.width() * 0.5);
    QCOMPARE(m.centerY, shown.height() * 0.5);
    QCOMPARE(m.startSeconds, 0);
    // From its start to its end (the sound may run a little longer).
    QVERIFY2(m.durationSeconds >= seconds && m.durationSeconds <= seconds + 1,
             qPrintable(QString::number(m.durationSeconds)));
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
    QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 2, 30000);
    QCOMPARE(ended[0].id, first);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);
    QCOMPARE(ended[1].id, second);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 30000);
    // A job cancelled before its conversion started never reached the
    // pipeline; one cancelled as its result came keeps its file.
    QCOMPARE(pipeline->runCount(), signal == QLatin1String("started") ? 1 : 2);
    QCOMPARE(fanFilesIn(outDir).size(), signal == QLatin1String("started") ? 1 : 2);
}

QTEST_MAIN(TestConversionController)
#include "tst_conversion_controller.moc"
