// The connection manager and the upload against a misbehaving fan: every fault
// mode of fan-sim, a simulator killed and started again, and uploads that are
// refused, slow, stalled, oversized, trickled, redirected or cut off. Each case
// checks the state shown (connected flag, model, signals) while the fault
// lasts, that no device text fills the log, that nothing crashes or leaks (the
// sanitizer suite runs this too), and that the manager is connected again
// within 10 s once a well-behaved device is back.
//
// The manager runs with its periods and deadlines shortened (checks every
// 50 ms), and each case waits for the fault to show in the simulator's log
// before it watches the state for a few checks, so a case takes a fraction
// of a second; every wait is bounded.
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "ConnectionManager.h"
#include "DeviceText.h"
#include "FanFileMaker.h"
#include "FanSimProcess.h"
#include "Uploader.h"
#include "fan_models.h"

namespace {

// The product's check period divided by 60; the silence limit only by 20, so
// that a busy test machine does not look like a lost device.
ConnectionTiming fastTiming()
{
    ConnectionTiming t;
    t.checkPeriodMs = 50;
    t.silenceLimitMs = 1000;
    t.heartbeatSpacingMs = 80;
    t.restartDelayMs = 30;
    t.requestTimeoutMs = 300;
    return t;
}

// How long a fault is watched once it shows (six checks), and the longest a
// reconnection may take.
const int kFaultWindowMs = 300;
const int kReconnectLimitMs = 10000;
// No line of the log may be longer than this, whatever the device sends.
const int kLongestLogLine = 2048;

// The length of the longest message logged since the last reset; debug
// messages are counted and dropped, the rest printed as usual.
int longestLogLine = 0;
QtMessageHandler defaultHandler = nullptr;
void measureMessages(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    longestLogLine = qMax(longestLogLine, msg.size());
    if (type != QtDebugMsg && defaultHandler)
        defaultHandler(type, context, msg);
}

// A model other than the default one, so that a right model is visible.
QString simModel() { return QString::fromLatin1(fan_model_at(1)->name); }

enum class During {
    NeverConnected, // never shown connected, the default model throughout
    ResetsOnInfo,   // like NeverConnected, and every "/info" resets the manager
    Flaps,          // connected by "/info", reset by the play status, again and again
    StaysConnected, // connected with the device's model for the whole window
    GoesSilent,     // connected, then shown gone after the silence limit
};

// A fault row: the simulator's options, the state shown while the fault
// lasts, and a log text that shows the fault at work (it must appear twice
// before the state is watched).
struct Fault {
    QStringList args;
    During during;
    QString evidence;
};

struct StateLog {
    QList<QPair<bool, QString>> changes;
};

// A device text as the window shows it holds no control or direction
// character and keeps within the length limit.
bool shownSafely(const QString& raw)
{
    const QString shown = DeviceText::clean(raw);
    if (shown.size() > DeviceText::kMaxLength + 1)
        return false;
    for (const QChar c : shown) {
        if (c.category() == QChar::Other_Control || c.direction() == QChar::DirLRE ||
            c.direction() == QChar::DirRLE || c.direction() == QChar::DirLRO ||
            c.direction() == QChar::DirRLO || c.direction() == QChar::DirPDF ||
            c.direction() == QChar::DirLRI || c.direction() == QChar::DirRLI ||
            c.direction() == QChar::DirFSI || c.direction() == QChar::DirPDI)
            return false;
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(During)
Q_DECLARE_METATYPE(Fault)

class HostileDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void connectionFaults_data();
    void connectionFaults();
    void killedAndRestarted();
    void uploadFaults_data();
    void uploadFaults();
    void uploadToKilledDevice();

private:
    QString writeFanFile(int frames);
    QTemporaryDir work;
};

void HostileDevice::initTestCase()
{
    // The device link logs every request and answer at debug level: measured
    // (no device text may make a long line), not printed.
    defaultHandler = qInstallMessageHandler(measureMessages);
    QVERIFY(work.isValid());
    QVERIFY(fan_model_count() > 1);
}

void HostileDevice::cleanupTestCase() { qInstallMessageHandler(defaultHandler); }

QString HostileDevice::writeFanFile(int frames)
{
    const QString path = work.filePath(QStringLiteral("clip_%1.bin").arg(frames));
    return saveBytes(path, fanFileBytes(simModel(), frames)) ? path : QString();
}

void HostileDevice::connectionFaults_data()
{
    QTest::addColumn<Fault>("fault");
    auto row = [](const char* name, const QStringList& args, During during, const char* evidence) {
        QTest::newRow(name) << Fault {args, during, QString::fromLatin1(evidence)};
    };
    row("refused sessions", {"--session-code", "5"}, During::NeverConnected, "/ctrl/session");
    row("session not JSON", {"--not-json", "session"}, During::NeverConnected, "/ctrl/session");
    row("session never answered", {"--stall", "session"}, During::NeverConnected,
        "/ctrl/session stalled");
    row("session answer too large", {"--pad-answers", "2000000"}, During::NeverConnected,
        "/ctrl/session");
    row("session answer chunked, too large", {"--pad-answers", "2000000", "--chunked"},
        During::NeverConnected, "/ctrl/session");
    // One byte every 100 ms never lets the transfer time-out run out; the
    // deadline gives the request up, and the next one goes out.
    row("session answer trickled", {"--trickle", "session", "--trickle-ms", "100"},
        During::NeverConnected, "TRICKLE session");
    row("info code 1", {"--info-code", "1"}, During::ResetsOnInfo, "GET /info");
    row("info not JSON", {"--not-json", "info"}, During::NeverConnected, "GET /info");
    row("info array", {"--answer", "info=[0]"}, During::NeverConnected, "GET /info");
    row("info answer trickled", {"--trickle", "info", "--trickle-ms", "100"},
        During::NeverConnected, "TRICKLE info");
    row("play status code 1", {"--status-code", "1"}, During::Flaps, "/ctrl/play");
    row("play status not JSON", {"--not-json", "status"}, During::StaysConnected,
        "\"heartbeat\"");
    // The socket's connect handler clears the last sign of life, so a device
    // that answers "/info" but never a heartbeat is not timed out.
    row("no heartbeat answers", {"--no-heartbeat"}, During::StaysConnected, "\"heartbeat\"");
    row("heartbeats stop", {"--heartbeats", "2"}, During::GoesSilent, "\"heartbeat\"");
    // Every second at product speed.
    row("socket dropped every second", {"--drop-ws", "0.05"}, During::StaysConnected,
        "WS drop");
    // A message far beyond any real one is refused before it is gathered;
    // the socket closes and opens again, the device stays connected.
    row("one huge WebSocket message", {"--ws-junk", "3000000"}, During::StaysConnected,
        "WS open");
    row("a WebSocket message in many fragments",
        {"--ws-junk", "3000000", "--ws-frame", "1024"}, During::StaysConnected, "WS open");
    // Markup, a direction override, control characters and 10 kB of text in
    // what the device says about itself.
    row("hostile texts",
        {"--sw", QString::fromUtf8("1.0\u202E<b>2</b>\x07\t3"), "--desc",
         QStringLiteral("<img src=\"/etc/x.png\" width=300>") + QString(10000, QLatin1Char('x'))},
        During::StaysConnected, "\"heartbeat\"");
}

void HostileDevice::connectionFaults()
{
    QFETCH(Fault, fault);
    const During during = fault.during;
    const QString model = simModel();
    const QString fallback = defaultDeviceModel();

    QElapsedTimer rowClock;
    rowClock.start();
    FanSimProcess sim;
    QVERIFY2(sim.start(fault.args + QStringList {"--model", model}), qPrintable(sim.errorText));

    longestLogLine = 0;
    auto manager = std::make_unique<ConnectionManager>(sim.endpoint(), fastTiming());
    QSignalSpy changes(manager.get(), &ConnectionManager::connectStateChanged);
    QSignalSpy plays(manager.get(), &ConnectionManager::playInfoChanged);
    bool junkPlayed = false;
    connect(manager.get(), &ConnectionManager::playInfoChanged, this, [&](PlayInfo* p) {
        junkPlayed = junkPlayed || (p && p->current == QLatin1String("junk"));
    });

    // The state shown must be consistent at every moment: connected with the
    // device's model, or not connected with the default model.
    auto consistent = [&]() {
        return manager->isConnected() ? manager->currentModel() == model
                                      : manager->currentModel() == fallback;
    };
    // Every emission carries the model that goes with its flag.
    auto emissionsRight = [&]() {
        for (const QList<QVariant>& c : changes) {
            if (c.at(1).toString() != (c.at(0).toBool() ? model : fallback))
                return false;
        }
        return true;
    };
    auto sawTrue = [&]() {
        for (const QList<QVariant>& c : changes)
            if (c.at(0).toBool())
                return true;
        return false;
    };
    auto falseCount = [&]() {
        int n = 0;
        for (const QList<QVariant>& c : changes)
            n += c.at(0).toBool() ? 0 : 1;
        return n;
    };

    // The fault at work, twice (a request given up and sent again, a socket
    // opened again...).
    QVERIFY2(sim.waitForCount(fault.evidence, 2, kReconnectLimitMs),
             qPrintable(QStringLiteral("\"%1\" seen %2 times")
                            .arg(fault.evidence)
                            .arg(sim.count(fault.evidence))));
    switch (during) {
    case During::NeverConnected: {
        const int before = sim.count(QStringLiteral("/ctrl/session"));
        QElapsedTimer held;
        held.start();
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QVERIFY(!sawTrue());
        // Requests do not pile up: at most one session request per check
        // (and one whose log line came late).
        const int during = sim.count(QStringLiteral("/ctrl/session")) - before;
        const qint64 checks = held.elapsed() / fastTiming().checkPeriodMs + 1;
        QVERIFY2(during <= checks + 1,
                 qPrintable(QStringLiteral("%1 requests in %2 checks").arg(during).arg(checks)));
        break;
    }
    case During::ResetsOnInfo:
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QVERIFY(!sawTrue());
        QVERIFY(falseCount() >= 2);
        QCOMPARE(sim.count(QStringLiteral("WS open")), 0);
        break;
    case During::Flaps:
        QVERIFY(FanSimProcess::waitUntil([&]() { return sawTrue() && falseCount() >= 1; },
                                         kReconnectLimitMs));
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs, consistent));
        // Each reset hands out a fresh, default play record.
        QVERIFY(plays.count() >= 1);
        break;
    case During::StaysConnected:
        QVERIFY(
            FanSimProcess::waitUntil([&]() { return manager->isConnected(); }, kReconnectLimitMs));
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return manager->isConnected() && consistent(); }));
        QCOMPARE(falseCount(), 0);
        QVERIFY(shownSafely(manager->currentFirmware()));
        QVERIFY(shownSafely(manager->currentDescription()));
        break;
    case During::GoesSilent:
        QVERIFY(
            FanSimProcess::waitUntil([&]() { return manager->isConnected(); }, kReconnectLimitMs));
        QVERIFY(FanSimProcess::waitUntil(
            [&]() { return sim.count(QStringLiteral("\"heartbeat\"")) >= 4; }, kReconnectLimitMs));
        // Gone after the silence limit, and said so once.
        QVERIFY(FanSimProcess::waitUntil([&]() { return !manager->isConnected(); },
                                         int(fastTiming().silenceLimitMs) * 3));
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QCOMPARE(falseCount(), 1);
        break;
    }
    QVERIFY(emissionsRight());
    QVERIFY(!junkPlayed);
    QVERIFY2(longestLogLine <= kLongestLogLine, qPrintable(QString::number(longestLogLine)));

    // The fault stops: the faulty device is gone at once, and a well-behaved
    // one comes back on the same ports.
    const int http = sim.httpPort(), ws = sim.wsPort();
    qInfo("fault watched after %lld ms", rowClock.elapsed());
    sim.kill();
    QVERIFY2(sim.start({"--model", model}, http, ws), qPrintable(sim.errorText));
    QElapsedTimer back;
    back.start();
    // Connected, and alive by a heartbeat answered by the new device.
    const bool recovered = FanSimProcess::waitUntil(
        [&]() {
            return manager->isConnected() && manager->currentModel() == model &&
                sim.count(QStringLiteral("WS > {\"cmd\":\"heartbeat\"")) >= 1;
        },
        kReconnectLimitMs);
    QVERIFY2(
        recovered,
        qPrintable(
            QStringLiteral("not connected %1 ms after the fault stopped").arg(back.elapsed())));
    qInfo("recovered after %lld ms", back.elapsed());
    QVERIFY(consistent());
    QVERIFY(emissionsRight());

    manager.reset();
    sim.kill();
}

void HostileDevice::killedAndRestarted()
{
    const QString model = simModel();
    FanSimProcess sim;
    QVERIFY2(sim.start({"--model", model}), qPrintable(sim.errorText));
    auto manager = std::make_unique<ConnectionManager>(sim.endpoint(), fastTiming());
    QSignalSpy changes(manager.get(), &ConnectionManager::connectStateChanged);

    QVERIFY(FanSimProcess::waitUntil(
        [&]() {
            return manager->isConnected() &&
                sim.count(QStringLiteral("WS > {\"cmd\":\"heartbeat\"")) >= 2;
        },
        kReconnectLimitMs));
    const int http = sim.httpPort(), ws = sim.wsPort();
    sim.kill();

    // Shown gone once the silence limit has passed, with the default model.
    QElapsedTimer gone;
    gone.start();
    QVERIFY(FanSimProcess::waitUntil([&]() { return !manager->isConnected(); }, kReconnectLimitMs));
    QVERIFY(gone.elapsed() >= fastTiming().silenceLimitMs - 2 * fastTiming().checkPeriodMs);
    QCOMPARE(manager->currentModel(), defaultDeviceModel());
    QCOMPARE(changes.count(), 2);
    QCOMPARE(changes.last().at(0).toBool(), false);
    // The restart cycle keeps running against the dead address.
    QVERIFY(FanSimProcess::holdFor(kFaultWindowMs / 2, [&]() { return !manager->isConnected(); }));

    QVERIFY2(sim.start({"--model", model}, http, ws), qPrintable(sim.errorText));
    QElapsedTimer back;
    back.start();
    const bool recovered = FanSimProcess::waitUntil(
        [&]() {
            return manager->isConnected() &&
                sim.count(QStringLiteral("WS > {\"cmd\":\"heartbeat\"")) >= 1;
        },
        kReconnectLimitMs);
    qInfo("connected again after %lld ms", back.elapsed());
    QVERIFY(recovered);
    QCOMPARE(manager->currentModel(), model);
    QCOMPARE(changes.count(), 3);
    QCOMPARE(changes.last().at(1).toString(), model);
    manager.reset();
    sim.kill();
}

void HostileDevice::uploadFaults_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>(
        "lastReport");                 // text of the last failure report; empty: an answer object
    QTest::addColumn<int>("lastCode"); // "code" of the answer object
    QTest::addColumn<int>("stored");   // files the device kept: 0, 1, or -1 (either)

    QTest::newRow("accepted") << QStringList {} << 5000 << true << QString() << 0 << 1;
    QTest::newRow("rejected") << QStringList {"--upload-code", "3"} << 5000 << false << QString()
                              << 3 << 0;
    QTest::newRow("slow answer within the time-out")
        << QStringList {"--upload-delay", "400"} << 5000 << true << QString() << 0 << 1;
    QTest::newRow("slow answer beyond the time-out")
        << QStringList {"--upload-delay", "3000"} << 300 << false << QStringLiteral("网络超时") << 0
        << -1;
    QTest::newRow("never answered") << QStringList {"--stall", "upload"} << 300 << false
                                    << QStringLiteral("网络超时") << 0 << 0;
    QTest::newRow("answer not JSON") << QStringList {"--not-json", "upload"} << 5000 << false
                                     << QStringLiteral("解析响应失败") << 0 << 1;
    QTest::newRow("answer too large") << QStringList {"--pad-answers", "2000000"} << 5000 << false
                                      << QStringLiteral("device answer too large") << 0 << 1;
    QTest::newRow("HTTP error status")
        << QStringList {"--http-status", "500"} << 5000 << false << QStringLiteral("*") << 0 << 1;
    // The answer object says 0, the status says the file was not taken.
    QTest::newRow("redirected, with code 0")
        << QStringList {"--http-status", "302"} << 5000 << false
        << QStringLiteral("server replied: HTTP 302 Found") << 0 << -1;
    QTest::newRow("answer trickled") << QStringList {"--trickle", "upload", "--trickle-ms", "100"}
                                     << 400 << false << QStringLiteral("网络超时") << 0 << -1;
}

void HostileDevice::uploadFaults()
{
    QFETCH(QStringList, fault);
    QFETCH(int, timeoutMs);
    QFETCH(bool, ok);
    QFETCH(QString, lastReport);
    QFETCH(int, lastCode);
    QFETCH(int, stored);

    FanSimProcess sim;
    QVERIFY2(sim.start(fault + QStringList {"--model", simModel()}), qPrintable(sim.errorText));
    Uploader uploader(sim.endpoint());
    const QString path = writeFanFile(3);
    QVERIFY(!path.isEmpty());

    QList<QPair<bool, QVariant>> reports;
    QList<int> progress;
    uploader.uploadFile(
        path, QStringLiteral("clip.bin"),
        [&](bool good, QVariant data) {
            reports.append({good, data});
        },
        [&](int percent) { progress.append(percent); }, timeoutMs);

    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }, 15000));
    // One report, and nothing more arrives later.
    QVERIFY(FanSimProcess::holdFor(200, [&]() { return reports.size() == 1; }));

    for (int p : progress)
        QVERIFY(p >= 0 && p <= 100);
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    const auto last = reports.last();
    QCOMPARE(last.first, ok);
    if (ok) {
        QCOMPARE(reports.size(), 1);
        QCOMPARE(last.second.toJsonObject().value(QStringLiteral("code")).toInt(-1), 0);
        QVERIFY(!progress.isEmpty() && progress.last() == 100);
        QVERIFY(QFile::exists(sim.storeDir() + QStringLiteral("/clip.bin")));
    } else {
        if (lastReport.isEmpty()) {
            QCOMPARE(last.second.toJsonObject().value(QStringLiteral("code")).toInt(-1), lastCode);
        } else if (lastReport != QLatin1String("*")) {
            QCOMPARE(last.second.toString(), lastReport);
        } else {
            QVERIFY(!last.second.toString().isEmpty());
        }
    }
    if (stored >= 0)
        QCOMPARE(sim.count(QStringLiteral("STORED clip.bin")), stored);
    sim.kill();
}

void HostileDevice::uploadToKilledDevice()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--model", simModel(), "--upload-delay", "5000"}),
             qPrintable(sim.errorText));
    ConnectionManager manager(sim.endpoint(), fastTiming());
    Uploader uploader(manager.endpoint());
    const QString path = writeFanFile(40);
    QVERIFY(!path.isEmpty());

    QList<QPair<bool, QVariant>> reports;
    uploader.uploadFile(
        path, QStringLiteral("clip.bin"),
        [&](bool good, QVariant data) {
            reports.append({good, data});
        },
        {}, 10000);
    QVERIFY(FanSimProcess::waitUntil(
        [&]() { return sim.count(QStringLiteral("UPLOAD name=")) >= 1; }, 10000));
    sim.kill();
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }, 10000));
    QVERIFY(FanSimProcess::holdFor(200, [&]() { return reports.size() == 1; }));
    QVERIFY(!reports.at(0).first);
    QVERIFY(!reports.at(0).second.toString().isEmpty());

    // Nobody listens on the port any more: refused at once.
    reports.clear();
    uploader.uploadFile(
        path, QStringLiteral("clip.bin"),
        [&](bool good, QVariant data) {
            reports.append({good, data});
        },
        {}, 10000);
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }, 10000));
    QVERIFY(FanSimProcess::holdFor(100, [&]() { return reports.size() == 1; }));
    QVERIFY(!reports.at(0).first);
    QVERIFY2(reports.at(0).second.toString().contains(QStringLiteral("refused")),
             qPrintable(reports.at(0).second.toString()));
}

QTEST_GUILESS_MAIN(HostileDevice)
#include "tst_hostile_device.moc"
