// Cancelling a job in each of its stages through the conversion controller
// while the fan simulator misbehaves (its WebSocket dropped again and again,
// an upload held without an answer, uploads refused, the device killed and
// started again): the job ends once, as cancelled; no partial fan file stays
// behind, locally or on the device; and the next job runs normally and
// reaches the device byte for byte. A cancel during the upload runs on the
// real pipeline (a real file meets the faults, and no temporary file stays);
// one while decoding or converting runs on the stand-in pipeline, since the
// device's faults cannot reach the conversion itself (the real pipeline's
// cancel in each stage is tested in tests/media).
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "FakePipeline.h"
#include "FanCheck.h"
#include "FanSimProcess.h"
#include "Uploader.h"

#include <QDirIterator>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace apptest;

namespace {

enum class Fault { DroppedSocket, StalledUpload, RefusedUpload, Restart };

struct Ended {
    int id;
    JobOutcome outcome;
    QString path;
};

// Every file in the simulator's store, the hidden temporary uploads too.
QStringList storeFiles(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class CancelUnderFault : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cancelInEveryStage_data();
    void cancelInEveryStage();

private:
    // The whole clip on the VEGA geometry.
    ConvertRequest request(const QString& input, int seconds, int width, int height) const;
    // Changes fan-sim's faults through its control endpoint; true when it agreed.
    bool setFaults(FanSimProcess& sim, const QString& query);

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString shortClip;
    QString outDir;
};

void CancelUnderFault::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateSettings(configDir);
    // A temporary folder of our own, so that leftovers can be counted.
    const QString tmp = useOwnTempFolder(workDir);
    QVERIFY(!tmp.isEmpty());
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::TempLocation), tmp);

    shortClip = workDir.filePath(uniqueName(QStringLiteral("cufshort"), QStringLiteral("mp4")));
    QVERIFY(makeClip(shortClip, 2));
    outDir = workDir.filePath(QStringLiteral("out"));
}

ConvertRequest CancelUnderFault::request(const QString& input, int seconds, int width,
                                         int height) const
{
    ConvertRequest r;
    r.media.isVideo = true;
    r.media.inputPath = input;
    r.media.outputDir = outDir;
    r.modelName = QStringLiteral("VEGA");
    r.lights = 116;
    r.lines = 520;
    r.colorDeep = 6;
    r.gamma = 1.0;
    r.minBrightness = 0.0;
    r.media.mediaWidth = width;
    r.media.mediaHeight = height;
    r.media.scale = 2.0 * r.lights / qMax(width, height);
    r.media.centerX = width * 0.5;
    r.media.centerY = height * 0.5;
    r.media.durationSeconds = seconds;
    return r;
}

bool CancelUnderFault::setFaults(FanSimProcess& sim, const QString& query)
{
    return sim.fault(query).value("code").toInt(-1) == 0;
}

void CancelUnderFault::cancelInEveryStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<int>("fault");
    const QList<QPair<JobStage, const char*>> stages = {{JobStage::Decoding, "decoding"},
                                                        {JobStage::Converting, "converting"},
                                                        {JobStage::Uploading, "uploading"}};
    const QList<QPair<Fault, const char*>> faults = {{Fault::DroppedSocket, "socket dropped"},
                                                     {Fault::StalledUpload, "upload stalled"},
                                                     {Fault::RefusedUpload, "upload refused"},
                                                     {Fault::Restart, "device restarted"}};
    for (const auto& s : stages) {
        for (const auto& f : faults) {
            QTest::addRow("%s, %s", s.second, f.second) << int(s.first) << int(f.first);
        }
    }
}

void CancelUnderFault::cancelInEveryStage()
{
    QFETCH(int, stage);
    QFETCH(int, fault);
    const JobStage when = JobStage(stage);
    const Fault what = Fault(fault);

    QDir(outDir).removeRecursively();
    QVERIFY(QDir().mkpath(outDir));
    // A slow device, so that an upload is under way when it is cancelled.
    const QStringList simArgs = {QStringLiteral("--control"), QStringLiteral("--upload-rate"),
                                 QStringLiteral("400000")};
    FanSimProcess sim;
    QVERIFY2(sim.start(simArgs), qPrintable(sim.errorText));
    ConnectionTiming timing;
    timing.checkPeriodMs = 100;
    timing.heartbeatSpacingMs = 150;
    timing.restartDelayMs = 50;
    timing.requestTimeoutMs = 1000;
    ConnectionManager connection(sim.endpoint(), timing);
    Uploader uploader(sim.endpoint());
    uploader.setProbeTimeout(1000);
    const bool uploads = when == JobStage::Uploading;
    ConversionController controller(
        &connection, &uploader,
        uploads ? std::unique_ptr<ConversionPipeline>(std::make_unique<MediaConvertPipeline>())
                : std::make_unique<FakePipeline>());
    controller.setUploadTimeout(FanSimProcess::scaled(30000));
    QVERIFY(FanSimProcess::waitUntil([&] { return connection.isConnected(); },
                                     FanSimProcess::scaled(20000)));

    // Every 300 ms the device drops its WebSocket connections, until the
    // job is over.
    QNetworkAccessManager dropNet;
    dropNet.setProxy(QNetworkProxy::NoProxy);
    QTimer dropper;
    connect(&dropper, &QTimer::timeout, this, [&] {
        QNetworkReply* r = dropNet.get(QNetworkRequest(
            QUrl(QStringLiteral("http://127.0.0.1:%1/sim/fault?drop-ws=now").arg(sim.httpPort()))));
        connect(r, &QNetworkReply::finished, r, &QObject::deleteLater);
    });
    switch (what) {
    case Fault::DroppedSocket:
        QVERIFY(setFaults(sim, QStringLiteral("drop-ws=now")));
        dropper.start(300);
        break;
    case Fault::StalledUpload:
        QVERIFY(setFaults(sim, QStringLiteral("stall=upload")));
        break;
    case Fault::RefusedUpload:
        QVERIFY(setFaults(sim, QStringLiteral("upload-code=5")));
        break;
    case Fault::Restart:
        break;
    }

    QList<Ended> ended;
    bool cancelNow = true;
    int cancelledAt = 0;
    connect(&controller, &ConversionController::jobProgress, this, [&](int id, JobStage at, int) {
        if (!cancelNow || at != when)
            return;
        cancelNow = false;
        cancelledAt = id;
        // The device goes away in the same moment as the cancel.
        if (what == Fault::Restart)
            sim.kill();
        controller.cancel();
    });
    connect(&controller, &ConversionController::jobFinished, this,
            [&](int id, JobOutcome outcome, const QString& path, const QString&) {
                ended << Ended {id, outcome, path};
            });
    const int first = controller.enqueue(request(shortClip, 2, 160, 120));
    QVERIFY2(
        FanSimProcess::waitUntil([&] { return !ended.isEmpty(); }, FanSimProcess::scaled(120000)),
        "the job never ended");
    QCOMPARE(cancelledAt, first);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended[0].id, first);
    QCOMPARE(ended[0].outcome, JobOutcome::Cancelled);

    // Once the pipeline has let go, nothing of the job is left here: only a
    // cancel during the upload keeps the converted file, and whole.
    QVERIFY(FanSimProcess::waitUntil([&] { return !controller.isBusy(); },
                                     FanSimProcess::scaled(60000)));
    QVERIFY2(tempLeftovers(shortClip).isEmpty(), qPrintable(tempLeftovers(shortClip).join(", ")));
    const QStringList outputs = fanFilesIn(outDir);
    if (uploads) {
        QCOMPARE(outputs.size(), 1);
        FanGeometry vega;
        vega.lights = 116;
        vega.lines = 520;
        vega.colorDeep = 6;
        const FanCheckResult check = checkFanFile(outputs[0].toStdString(), vega);
        QVERIFY2(check.ok, check.reason.c_str());
    } else {
        QVERIFY2(outputs.isEmpty(), qPrintable(outputs.join(", ")));
    }

    dropper.stop();
    // The device back to normal: it keeps nothing of the cancelled upload,
    // not even the part it had received.
    if (what == Fault::Restart) {
        QVERIFY2(sim.start(simArgs, sim.httpPort(), sim.wsPort()), qPrintable(sim.errorText));
    } else {
        QVERIFY(setFaults(sim, QStringLiteral("reset=1")));
    }
    QVERIFY(setFaults(sim, QStringLiteral("upload-rate=0")));
    QVERIFY2(FanSimProcess::waitUntil([&] { return storeFiles(sim.storeDir()).isEmpty(); },
                                      FanSimProcess::scaled(20000)),
             qPrintable(storeFiles(sim.storeDir()).join(", ")));

    // The next job runs normally and the device stores exactly what was made.
    QVERIFY(FanSimProcess::waitUntil([&] { return connection.isConnected(); },
                                     FanSimProcess::scaled(20000)));
    const int next = controller.enqueue(request(shortClip, 1, 160, 120));
    QVERIFY2(
        FanSimProcess::waitUntil([&] { return ended.size() == 2; }, FanSimProcess::scaled(120000)),
        "the next job never ended");
    QCOMPARE(ended[1].id, next);
    QCOMPARE(ended[1].outcome, JobOutcome::Succeeded);
    const QString name = QFileInfo(ended[1].path).fileName();
    QVERIFY(sim.waitForCount(QStringLiteral("STORED ") + name, 1, FanSimProcess::scaled(20000)));
    const QByteArray made = readAll(ended[1].path);
    QVERIFY(!made.isEmpty());
    QVERIFY(readAll(QDir(sim.storeDir()).filePath(name)) == made);
    QCOMPARE(storeFiles(sim.storeDir()).size(), 1);
    QVERIFY(FanSimProcess::waitUntil([&] { return !controller.isBusy(); },
                                     FanSimProcess::scaled(30000)));
    QVERIFY(tempLeftovers(shortClip).isEmpty());
    // Exactly one end per job, also a little later.
    QVERIFY(FanSimProcess::holdFor(FanSimProcess::scaled(200), [&] { return ended.size() == 2; }));
}

QTEST_MAIN(CancelUnderFault)
#include "tst_cancel_under_fault.moc"
