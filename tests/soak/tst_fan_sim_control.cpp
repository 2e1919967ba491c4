// fan-sim's run-time fault control (GET /sim/fault, with --control), driven
// the way a soak run drives it, against the device link's own connection
// manager and upload.
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "ConnectionManager.h"
#include "FanFileMaker.h"
#include "FanSimProcess.h"
#include "Uploader.h"

namespace {

struct Report {
    bool ok;
    QVariant data;
};

// A fan file for VEGA with one frame record.
QByteArray vegaFanFile() { return fanFileBytes(QStringLiteral("VEGA"), 1); }

ConnectionTiming quickTiming()
{
    ConnectionTiming t;
    t.checkPeriodMs = 40;
    t.silenceLimitMs = 5000;
    t.heartbeatSpacingMs = 60;
    t.restartDelayMs = 30;
    return t;
}

} // namespace

class FanSimControlTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void badRequestsChangeNothing_data();
    void badRequestsChangeNothing();
    void controlNeedsTheOption();
    void refusedUploadThenReset();
    void stalledUploadIsReleased();
    void stalledUploadTimesOut();
    void droppedSocketNow();

private:
    void upload(Uploader& up, int timeoutMs, QList<Report>* reports);

    QTemporaryDir* dir = nullptr;
    QString fanPath;
};

void FanSimControlTest::init()
{
    dir = new QTemporaryDir;
    fanPath = dir->filePath(QStringLiteral("00_00001.bin"));
    QVERIFY(saveBytes(fanPath, vegaFanFile()));
}

void FanSimControlTest::cleanup()
{
    delete dir;
    dir = nullptr;
}

void FanSimControlTest::upload(Uploader& up, int timeoutMs, QList<Report>* reports)
{
    up.uploadFile(
        fanPath, QStringLiteral("00_00001.bin"),
        [reports](bool ok, QVariant data) {
            reports->append({ok, data});
        },
        nullptr, timeoutMs);
}

void FanSimControlTest::badRequestsChangeNothing_data()
{
    QTest::addColumn<QString>("query");
    QTest::newRow("unknown fault") << "upload-code=7&nonsense=1";
    QTest::newRow("not a number") << "upload-code=seven";
    QTest::newRow("unknown endpoint key") << "stall=upload,kitchen";
    QTest::newRow("drop later") << "drop-ws=later";
    QTest::newRow("http status out of range") << "http-status=99";
    QTest::newRow("reset with a value") << "reset=yes";
}

void FanSimControlTest::badRequestsChangeNothing()
{
    QFETCH(QString, query);
    FanSimProcess sim;
    QVERIFY2(sim.start({"--control", "--upload-code", "3"}), qPrintable(sim.errorText));
    const QJsonObject before = sim.fault(QString()).value("faults").toObject();
    QCOMPARE(before.value("upload-code").toInt(), 3);
    int status = 0;
    const QJsonObject answer = sim.fault(query, &status);
    QCOMPARE(status, 400);
    QCOMPARE(answer.value("code").toInt(), 4);
    QVERIFY(!answer.value("msg").toString().isEmpty());
    // All or nothing: the valid part of a refused request is not applied.
    QCOMPARE(answer.value("faults").toObject(), before);
    QCOMPARE(sim.count(QStringLiteral("WS drop")), 0);
}

void FanSimControlTest::controlNeedsTheOption()
{
    FanSimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    int status = 0;
    sim.fault(QStringLiteral("upload-code=7"), &status);
    QCOMPARE(status, 404);
}

void FanSimControlTest::refusedUploadThenReset()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--control"}), qPrintable(sim.errorText));
    ConnectionTiming t = quickTiming();
    t.checkPeriodMs = 3600 * 1000;
    ConnectionManager m(sim.endpoint(), t);
    Uploader up(sim.endpoint());

    QCOMPARE(
        sim.fault(QStringLiteral("upload-code=7")).value("faults").toObject().value("upload-code"),
        QJsonValue(7));
    QList<Report> reports;
    upload(up, FanSimProcess::scaled(10000), &reports);
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }));
    QCOMPARE(reports[0].ok, false);
    QCOMPARE(answerCode(reports[0].data.toJsonObject()), 7);

    const QJsonObject reset = sim.fault(QStringLiteral("reset=1"));
    QCOMPARE(reset.value("code").toInt(), 0);
    QCOMPARE(reset.value("faults").toObject().value("upload-code").toInt(), 0);
    reports.clear();
    upload(up, FanSimProcess::scaled(10000), &reports);
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }));
    QVERIFY2(reports[0].ok, qPrintable(reports[0].data.toString()));
    QVERIFY(QFile::exists(QDir(sim.storeDir()).filePath(QStringLiteral("00_00001.bin"))));
}

void FanSimControlTest::stalledUploadIsReleased()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--control"}), qPrintable(sim.errorText));
    ConnectionTiming t = quickTiming();
    t.checkPeriodMs = 3600 * 1000;
    ConnectionManager m(sim.endpoint(), t);
    Uploader up(sim.endpoint());
    sim.fault(QStringLiteral("stall=upload"));
    QList<Report> reports;
    upload(up, FanSimProcess::scaled(20000), &reports);
    QVERIFY(sim.waitForCount(QStringLiteral("/DCIM/upload stalled"), 1));
    // Held: no answer while the stall lasts.
    QVERIFY(
        FanSimProcess::holdFor(FanSimProcess::scaled(300), [&]() { return reports.isEmpty(); }));
    sim.fault(QStringLiteral("stall="));
    QVERIFY(sim.waitForCount(QStringLiteral("/DCIM/upload released"), 1));
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }));
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports[0].ok, qPrintable(reports[0].data.toString()));
}

void FanSimControlTest::stalledUploadTimesOut()
{
    // The soak's stalled upload: the client gives up and resets the
    // connection. Once the stall is lifted the simulator reads what reached
    // it: a whole body is stored whole, a cut one not at all; no temporary
    // file stays behind either way.
    FanSimProcess sim;
    QVERIFY2(sim.start({"--control", "--stall", "upload"}), qPrintable(sim.errorText));
    ConnectionTiming t = quickTiming();
    t.checkPeriodMs = 3600 * 1000;
    ConnectionManager m(sim.endpoint(), t);
    Uploader up(sim.endpoint());
    QList<Report> reports;
    upload(up, 300, &reports);
    QVERIFY(FanSimProcess::waitUntil([&]() {
        return !reports.isEmpty() &&
            reports.last().data.toString() == QString::fromUtf8("网络超时");
    }));
    sim.fault(QStringLiteral("stall="));
    QVERIFY(sim.waitForCount(QStringLiteral("HTTP POST /DCIM/upload 200"), 1));
    const QStringList left =
        QDir(sim.storeDir()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left.size(), sim.count(QStringLiteral("STORED")));
    for (const QString& name : left) {
        QCOMPARE(name, QStringLiteral("00_00001.bin"));
        QFile stored(QDir(sim.storeDir()).filePath(name));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(stored.readAll() == vegaFanFile());
    }
}

void FanSimControlTest::droppedSocketNow()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--control"}), qPrintable(sim.errorText));
    ConnectionManager m(sim.endpoint(), quickTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QVERIFY(sim.waitForCount(QStringLiteral("WS open"), 1));
    QVERIFY(FanSimProcess::waitUntil([&]() { return m.isConnected(); }));
    // Nothing is dropped until asked.
    QVERIFY(FanSimProcess::holdFor(FanSimProcess::scaled(200),
                                   [&]() { return sim.count(QStringLiteral("WS drop")) == 0; }));
    QCOMPARE(sim.fault(QStringLiteral("drop-ws=now")).value("code").toInt(), 0);
    QVERIFY(sim.waitForCount(QStringLiteral("WS drop 1"), 1));
    // The manager opens a new socket on the same session.
    QVERIFY(sim.waitForCount(QStringLiteral("WS open"), 2));
    QCOMPARE(sim.count(QStringLiteral("HTTP GET /ctrl/session")), 1);
    QCOMPARE(state.count(), 1);
    QVERIFY(m.isConnected());
    // Once: the drop does not repeat.
    QVERIFY(FanSimProcess::holdFor(FanSimProcess::scaled(300),
                                   [&]() { return sim.count(QStringLiteral("WS drop")) == 1; }));
}

QTEST_GUILESS_MAIN(FanSimControlTest)
#include "tst_fan_sim_control.moc"
