// The connection manager and the upload against a misbehaving fan: every fault
// mode of fan-sim, a simulator killed and started again, and uploads that are
// refused, slow, stalled, oversized or cut off. Each case checks the state
// shown (connected flag, model, signals) while the fault lasts, that nothing
// crashes or leaks (the sanitizer suite runs this too), and that the manager
// is connected again within 10 s once a well-behaved device is back.
//
// The manager runs with its periods shortened twentyfold, so a case takes
// about a second; every wait is bounded.
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
#include "FanSimProcess.h"
#include "Uploader.h"
#include "fan_file.h"
#include "fan_models.h"

namespace {

// The product's periods divided by 20.
ConnectionTiming fastTiming()
{
    ConnectionTiming t;
    t.checkPeriodMs = 150;
    t.silenceLimitMs = 1000;
    t.heartbeatSpacingMs = 250;
    t.restartDelayMs = 100;
    t.requestTimeoutMs = 500;
    return t;
}

// How long a fault is watched, and the longest a reconnection may take.
const int kFaultWindowMs = 1000;
const int kReconnectLimitMs = 10000;

// A model other than the default one, so that a right model is visible.
QString simModel() { return QString::fromLatin1(fan_model_at(1)->name); }

enum class During {
    NeverConnected, // never shown connected, the default model throughout
    ResetsOnInfo,   // like NeverConnected, and every "/info" resets the manager
    Flaps,          // connected by "/info", reset by the play status, again and again
    StaysConnected, // connected with the device's model for the whole window
    GoesSilent,     // connected, then shown gone after the silence limit
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

class HostileDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
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
    // The device link logs every request and answer at debug level.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QVERIFY(work.isValid());
    QVERIFY(fan_model_count() > 1);
}

QString HostileDevice::writeFanFile(int frames)
{
    const fan_model* m = fan_model_find(simModel().toLatin1().constData());
    fan_file_layout layout;
    if (!m || fan_file_layout_init(&layout, m->lines, m->lights, m->colorDeep) != FAN_FILE_OK)
        return QString();
    QByteArray bytes(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE));
    bytes.append(QByteArray(int(fan_file_padded_size(&layout, frames)) - bytes.size(), '\0'));
    for (int i = FAN_HEADER_SIZE; i < int(FAN_HEADER_SIZE + frames * layout.record_bytes); ++i)
        bytes[i] = char(i * 7);
    const QString path = work.filePath(QStringLiteral("clip_%1.bin").arg(frames));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

void HostileDevice::connectionFaults_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<During>("during");

    QTest::newRow("refused sessions")
        << QStringList {"--session-code", "5"} << During::NeverConnected;
    QTest::newRow("session not JSON")
        << QStringList {"--not-json", "session"} << During::NeverConnected;
    QTest::newRow("session never answered")
        << QStringList {"--stall", "session"} << During::NeverConnected;
    QTest::newRow("session answer too large")
        << QStringList {"--pad-answers", "2000000"} << During::NeverConnected;
    QTest::newRow("session answer chunked, too large")
        << QStringList {"--pad-answers", "2000000", "--chunked"} << During::NeverConnected;
    QTest::newRow("info code 1") << QStringList {"--info-code", "1"} << During::ResetsOnInfo;
    QTest::newRow("info not JSON") << QStringList {"--not-json", "info"} << During::NeverConnected;
    QTest::newRow("info array") << QStringList {"--answer", "info=[0]"} << During::NeverConnected;
    QTest::newRow("play status code 1") << QStringList {"--status-code", "1"} << During::Flaps;
    QTest::newRow("play status not JSON")
        << QStringList {"--not-json", "status"} << During::StaysConnected;
    // The socket's connect handler clears the last sign of life, so a device
    // that answers "/info" but never a heartbeat is not timed out.
    QTest::newRow("no heartbeat answers")
        << QStringList {"--no-heartbeat"} << During::StaysConnected;
    QTest::newRow("heartbeats stop") << QStringList {"--heartbeats", "2"} << During::GoesSilent;
    // Every second at product speed.
    QTest::newRow("socket dropped every second")
        << QStringList {"--drop-ws", "0.05"} << During::StaysConnected;
    // Markup, a direction override, control characters and 10 kB of text in
    // what the device says about itself.
    QTest::newRow("hostile texts")
        << QStringList {"--sw", QString::fromUtf8("1.0\u202E<b>2</b>\x07\t3"), "--desc",
                        QStringLiteral("<img src=\"/etc/x.png\" width=300>") +
                            QString(10000, QLatin1Char('x'))}
        << During::StaysConnected;
}

void HostileDevice::connectionFaults()
{
    QFETCH(QStringList, fault);
    QFETCH(During, during);
    const QString model = simModel();
    const QString fallback = defaultDeviceModel();

    FanSimProcess sim;
    QVERIFY2(sim.start(fault + QStringList {"--model", model}), qPrintable(sim.errorText));

    auto manager = std::make_unique<ConnectionManager>(sim.endpoint(), fastTiming());
    QSignalSpy changes(manager.get(), &ConnectionManager::connectStateChanged);
    QSignalSpy plays(manager.get(), &ConnectionManager::playInfoChanged);

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

    switch (during) {
    case During::NeverConnected:
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QVERIFY(!sawTrue());
        // Requests do not pile up: at most one session request per check.
        QVERIFY2(sim.count(QStringLiteral("/ctrl/session")) <=
                     kFaultWindowMs / fastTiming().checkPeriodMs + 2,
                 qPrintable(QString::number(sim.count(QStringLiteral("/ctrl/session")))));
        break;
    case During::ResetsOnInfo:
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QVERIFY(!sawTrue());
        QVERIFY(falseCount() >= 2);
        QVERIFY(sim.count(QStringLiteral("GET /info")) >= 2);
        QCOMPARE(sim.count(QStringLiteral("WS open")), 0);
        break;
    case During::Flaps:
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs, consistent));
        QVERIFY(sawTrue());
        QVERIFY(falseCount() >= 1);
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
        QVERIFY(FanSimProcess::holdFor(kFaultWindowMs / 2,
                                       [&]() { return !manager->isConnected() && consistent(); }));
        QCOMPARE(falseCount(), 1);
        break;
    }
    QVERIFY(emissionsRight());

    // The fault stops: a well-behaved device comes back on the same ports.
    const int http = sim.httpPort(), ws = sim.wsPort();
    QElapsedTimer phase;
    phase.start();
    sim.stop();
    const qint64 stopMs = phase.restart();
    QVERIFY2(sim.start({"--model", model}, http, ws), qPrintable(sim.errorText));
    qInfo("simulator stopped in %lld ms, started again in %lld ms", stopMs, phase.elapsed());
    QElapsedTimer back;
    back.start();
    // Connected, and alive by a heartbeat answered by the new device.
    const bool recovered = FanSimProcess::waitUntil(
        [&]() {
            return manager->isConnected() && manager->currentModel() == model &&
                sim.count(QStringLiteral("WS > {\"cmd\":\"heartbeat\"")) >= 1;
        },
        kReconnectLimitMs);
    qInfo("connected again after %lld ms", back.elapsed());
    QVERIFY2(
        recovered,
        qPrintable(
            QStringLiteral("not connected %1 ms after the fault stopped").arg(back.elapsed())));
    QVERIFY(consistent());
    QVERIFY(emissionsRight());

    manager.reset();
    sim.stop();
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
    // No check cycle traffic of interest here; the manager is only the uploader.
    ConnectionManager manager(sim.endpoint(), fastTiming());
    Uploader uploader(manager.endpoint());
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

    QVERIFY(FanSimProcess::waitUntil(
        [&]() {
            if (reports.isEmpty())
                return false;
            if (ok || lastReport.isEmpty() || lastReport == QLatin1String("*"))
                return true;
            return reports.last().second.toString() == lastReport;
        },
        15000));
    // Nothing more arrives later: the timer is stopped, the reply is gone.
    QTest::qWait(timeoutMs < 1000 ? timeoutMs + 300 : 300);

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
        for (const auto& r : reports)
            QVERIFY(!r.first);
        if (lastReport.isEmpty()) {
            QCOMPARE(reports.size(), 1);
            QCOMPARE(last.second.toJsonObject().value(QStringLiteral("code")).toInt(-1), lastCode);
        } else if (lastReport != QLatin1String("*")) {
            QCOMPARE(last.second.toString(), lastReport);
        } else {
            QVERIFY(!last.second.toString().isEmpty());
        }
    }
    if (stored >= 0)
        QCOMPARE(sim.count(QStringLiteral("STORED clip.bin")), stored);
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
    QTest::qWait(200);
    for (const auto& r : reports) {
        QVERIFY(!r.first);
        QVERIFY(!r.second.toString().isEmpty());
    }

    // Nobody listens on the port any more: refused at once.
    reports.clear();
    uploader.uploadFile(
        path, QStringLiteral("clip.bin"),
        [&](bool good, QVariant data) {
            reports.append({good, data});
        },
        {}, 10000);
    QVERIFY(FanSimProcess::waitUntil([&]() { return reports.size() >= 2; }, 10000));
    QTest::qWait(100);
    QCOMPARE(reports.size(), 2); // the error handler, then the completion
    QVERIFY(!reports.at(0).first && !reports.at(1).first);
    QCOMPARE(reports.at(0).second.toString(), reports.at(1).second.toString());
}

QTEST_GUILESS_MAIN(HostileDevice)
#include "tst_hostile_device.moc"
