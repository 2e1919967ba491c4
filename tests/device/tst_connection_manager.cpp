// The connection manager and the request layer against the fan simulator,
// with short periods; the boundary rules with a fake clock.
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>
#include <memory>

#include "ConnectionManager.h"
#include "FanSimProcess.h"
#include "NetworkManagerEx.h"

namespace {

ConnectionTiming fastTiming()
{
    ConnectionTiming t;
    t.checkPeriodMs = 40;
    t.silenceLimitMs = 1500;   // generous: a busy test machine must not look like a lost device
    t.heartbeatSpacingMs = 60; // a heartbeat every second check
    t.restartDelayMs = 30;
    t.requestTimeoutMs = 2000;
    return t;
}

// A timing whose periodic check never fires during a test: checks are run by
// hand with a fake clock.
ConnectionTiming manualTiming(qint64* clock)
{
    ConnectionTiming t = fastTiming();
    t.checkPeriodMs = 3600 * 1000;
    t.silenceLimitMs = 20000;
    t.heartbeatSpacingMs = 5000;
    t.clock = [clock]() { return *clock; };
    return t;
}

DeviceEndpoint deadEndpoint()
{
    DeviceEndpoint e;
    e.host = QStringLiteral("127.0.0.1");
    e.httpPort = 9; // discard port: nothing listens in the test namespace
    e.wsPort = 9;
    return e;
}

const QString kHeartbeatLine = QStringLiteral("WS < {\"msgId\":\"1111\", \"cmd\":\"heartbeat\"}");

QStringList captured;
void captureMessages(QtMsgType, const QMessageLogContext&, const QString& msg)
{
    captured.append(msg);
}

} // namespace

class ConnectionManagerTest : public QObject {
    Q_OBJECT
private slots:
    void initialState();
    void normalStart_data();
    void normalStart();
    void answerVariants_data();
    void answerVariants();
    void infoCodeOneStartsOver();
    void statusCodeOneStartsOver();
    void silentDevice_data();
    void silentDevice();
    void droppedSocketIsRestarted();
    void restartedDeviceIsFoundAgain();
    void anotherDeviceAtTheSameAddress_data();
    void anotherDeviceAtTheSameAddress();
    void refreshAsksTheDevice_data();
    void refreshAsksTheDevice();
    void silenceBoundary();
    void heartbeatSpacingBoundary();
    void deadSocketCheckSendsNoHeartbeat();
    void resetWhileDisconnected();
    void sessionRequestsDoNotPileUp();
    void userAgentAndLog();
    void answerCap_data();
    void answerCap();
    void uniqueFileNames();

private:
    static bool socketConnected(ConnectionManager& m)
    {
        return m.webSocket && m.webSocket->state() == QAbstractSocket::ConnectedState;
    }
};

void ConnectionManagerTest::initialState()
{
    ConnectionManager m(deadEndpoint(), fastTiming());
    QSignalSpy spy(&m, &ConnectionManager::connectStateChanged);
    QCOMPARE(m.currentModel(), QStringLiteral("VEGA"));
    QVERIFY(!m.isConnected());
    // Several checks go by against a device that is not there: still nothing.
    QVERIFY(FanSimProcess::holdFor(FanSimProcess::scaled(150), [&]() {
        return spy.count() == 0 && !m.hasSession && !m.isConnected();
    }));
}

void ConnectionManagerTest::normalStart_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("expected");
    QTest::newRow("reported model") << "RIGEL"
                                    << "RIGEL";
    QTest::newRow("empty model gives the default") << ""
                                                   << "VEGA";
}

void ConnectionManagerTest::normalStart()
{
    QFETCH(QString, model);
    QFETCH(QString, expected);
    FanSimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--model=") + model}), qPrintable(sim.errorText));

    ConnectionManager m(sim.endpoint(), fastTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QSignalSpy play(&m, &ConnectionManager::playInfoChanged);
    QVERIFY(sim.waitForCount(kHeartbeatLine, 3));

    QCOMPARE(state.count(), 1);
    QCOMPARE(state.at(0).at(0).toBool(), true);
    QCOMPARE(state.at(0).at(1).toString(), expected);
    QVERIFY(m.isConnected());
    QCOMPARE(m.currentModel(), expected);
    QCOMPARE(sim.count(QStringLiteral("WS open")), 1);
    QCOMPARE(sim.count(QStringLiteral("HTTP GET /ctrl/session 200")), 1);
    QVERIFY(play.count() >= 1);
    QCOMPARE(sim.count(QStringLiteral("HTTP GET /ctrl/play?action=status 200")), 1);

    // The heartbeat goes out byte for byte (a whole log line, nothing more).
    int exact = 0;
    for (const QString& l : sim.lines()) {
        if (l.startsWith(QStringLiteral("WS < "))) {
            QCOMPARE(l, kHeartbeatLine);
            exact++;
        }
    }
    QVERIFY(exact >= 3);
}

void ConnectionManagerTest::answerVariants_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QString>("model");
    QTest::newRow("info without code")
        << QStringList {"--answer", R"(info={"model":"RIGEL"})"} << true << "RIGEL";
    QTest::newRow("info code as string 1")
        << QStringList {"--answer", R"(info={"code":"1","model":"DENEB"})"} << true << "DENEB";
    QTest::newRow("info code 2") << QStringList {"--info-code", "2"} << false << "VEGA";
    QTest::newRow("session refused") << QStringList {"--session-code", "3"} << false << "VEGA";
    QTest::newRow("session not json") << QStringList {"--not-json", "session"} << false << "VEGA";
    QTest::newRow("info not json") << QStringList {"--not-json", "info"} << false << "VEGA";
}

void ConnectionManagerTest::answerVariants()
{
    QFETCH(QStringList, args);
    QFETCH(bool, connects);
    QFETCH(QString, model);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    ConnectionManager m(sim.endpoint(), fastTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    if (connects) {
        QVERIFY(sim.waitForCount(kHeartbeatLine, 1));
        QCOMPARE(state.count(), 1);
        QCOMPARE(state.at(0).at(1).toString(), model);
    } else {
        // Every check without a session asks again; nothing is ever connected.
        QVERIFY(sim.waitForCount(QStringLiteral("/ctrl/session"), 3));
        QCOMPARE(state.count(), 0);
        QCOMPARE(sim.count(QStringLiteral("WS open")), 0);
    }
    QCOMPARE(m.isConnected(), connects);
    QCOMPARE(m.currentModel(), model);
}

void ConnectionManagerTest::infoCodeOneStartsOver()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--info-code", "1", "--model", "RIGEL"}), qPrintable(sim.errorText));
    ConnectionManager m(sim.endpoint(), fastTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QSignalSpy play(&m, &ConnectionManager::playInfoChanged);
    QVERIFY(sim.waitForCount(QStringLiteral("HTTP GET /ctrl/session"), 3));
    QVERIFY(!m.hasSession);
    QVERIFY(!m.isConnected());
    QCOMPARE(sim.count(QStringLiteral("WS open")), 0);
    // One reset per "/info" answer, each announcing the default model.
    QVERIFY(state.count() >= 2);
    QCOMPARE(play.count(), state.count());
    for (const QList<QVariant>& s : state) {
        QCOMPARE(s.at(0).toBool(), false);
        QCOMPARE(s.at(1).toString(), QStringLiteral("VEGA"));
    }
}

void ConnectionManagerTest::statusCodeOneStartsOver()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--status-code", "1", "--model", "ALTAIR"}), qPrintable(sim.errorText));
    ConnectionManager m(sim.endpoint(), fastTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QVERIFY(sim.waitForCount(QStringLiteral("WS open"), 2));
    QVERIFY(sim.count(QStringLiteral("HTTP GET /ctrl/session")) >= 2);
    QVERIFY(state.count() >= 2);
    QCOMPARE(state.at(0).at(0).toBool(), true);
    QCOMPARE(state.at(0).at(1).toString(), QStringLiteral("ALTAIR"));
    QCOMPARE(state.at(1).at(0).toBool(), false);
    QCOMPARE(state.at(1).at(1).toString(), QStringLiteral("VEGA"));
}

void ConnectionManagerTest::silentDevice_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<bool>>("states");
    // After one heartbeat answer, silence marks the device gone, once.
    QTest::newRow("falls silent") << QStringList {"--heartbeats", "1"} << QList<bool> {true, false};
    // Without any heartbeat answer the connect handler's reset keeps it connected.
    QTest::newRow("never answers heartbeats")
        << QStringList {"--no-heartbeat"} << QList<bool> {true};
}

void ConnectionManagerTest::silentDevice()
{
    QFETCH(QStringList, args);
    QFETCH(QList<bool>, states);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    ConnectionTiming t = fastTiming();
    t.silenceLimitMs = 300;
    ConnectionManager m(sim.endpoint(), t);
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QVERIFY(sim.waitForCount(kHeartbeatLine, 3));
    auto seen = [&]() {
        QList<bool> flags;
        for (const QList<QVariant>& s : state)
            flags.append(s.at(0).toBool());
        return flags;
    };
    QVERIFY(FanSimProcess::waitUntil([&]() { return state.count() >= states.size(); }));
    QCOMPARE(seen(), states);
    // Then nothing more happens for several silence periods: no further
    // change, the same socket.
    QVERIFY2(FanSimProcess::holdFor(FanSimProcess::scaled(int(t.silenceLimitMs) * 3),
                                    [&]() {
                                        return seen() == states &&
                                            m.isConnected() == states.last() &&
                                            sim.count(QStringLiteral("WS open")) == 1;
                                    }),
             qPrintable(QString::number(state.count())));
}

void ConnectionManagerTest::droppedSocketIsRestarted()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--drop-ws", "0.25"}), qPrintable(sim.errorText));
    ConnectionTiming t = fastTiming();
    t.silenceLimitMs = 5000; // the drops must not look like silence
    ConnectionManager m(sim.endpoint(), t);
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QVERIFY(sim.waitForCount(QStringLiteral("WS open"), 3));
    QVERIFY(sim.count(QStringLiteral("WS drop")) >= 2);
    QVERIFY(sim.waitForCount(kHeartbeatLine, sim.count(kHeartbeatLine) + 1));
    QCOMPARE(state.count(), 1); // the session survives; only the socket is renewed
    QCOMPARE(sim.count(QStringLiteral("HTTP GET /ctrl/session")), 1);
    QVERIFY(m.isConnected());
}

void ConnectionManagerTest::restartedDeviceIsFoundAgain()
{
    // The device goes away (killed) and comes back on the same ports.
    auto sim = std::make_unique<FanSimProcess>();
    QVERIFY2(sim->start({"--model", "RIGEL"}), qPrintable(sim->errorText));
    const DeviceEndpoint e = sim->endpoint();
    ConnectionManager m(e, fastTiming());
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QVERIFY(sim->waitForCount(kHeartbeatLine, 2));
    sim->kill();
    QVERIFY(FanSimProcess::waitUntil([&]() { return state.count() == 2; }));
    QCOMPARE(state.at(1).at(0).toBool(), false);

    sim = std::make_unique<FanSimProcess>();
    QVERIFY2(sim->start({"--model", "RIGEL", "--http-port", QString::number(e.httpPort),
                         "--ws-port", QString::number(e.wsPort)}),
             qPrintable(sim->errorText));
    QVERIFY(sim->waitForCount(kHeartbeatLine, 2));
    QVERIFY(FanSimProcess::waitUntil([&]() { return state.count() == 3; }));
    QCOMPARE(state.at(2).at(0).toBool(), true);
    QCOMPARE(state.at(2).at(1).toString(), QStringLiteral("RIGEL"));
}

void ConnectionManagerTest::anotherDeviceAtTheSameAddress_data()
{
    QTest::addColumn<bool>("missedFirst"); // the first device was counted gone before
    QTest::newRow("after the first was lost") << true;
    QTest::newRow("replaced before it was missed") << false;
}

void ConnectionManagerTest::anotherDeviceAtTheSameAddress()
{
    QFETCH(bool, missedFirst);
    auto sim = std::make_unique<FanSimProcess>();
    QVERIFY2(sim->start({"--model", "VEGA", "--sw", "1.0.0"}), qPrintable(sim->errorText));
    const DeviceEndpoint e = sim->endpoint();
    ConnectionTiming t = fastTiming();
    t.silenceLimitMs = missedFirst ? 300 : 60000;
    ConnectionManager m(e, t);
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QSignalSpy info(&m, &ConnectionManager::deviceInfoChanged);
    QVERIFY(sim->waitForCount(kHeartbeatLine, 2));
    QCOMPARE(info.count(), 1);
    QCOMPARE(m.currentFirmware(), QStringLiteral("1.0.0"));
    sim->kill();
    if (missedFirst)
        QVERIFY(FanSimProcess::waitUntil([&]() { return !m.isConnected(); }));

    sim = std::make_unique<FanSimProcess>();
    QVERIFY2(sim->start({"--model", "CASTOR", "--sw", "2.0.0", "--http-port",
                         QString::number(e.httpPort), "--ws-port", QString::number(e.wsPort)}),
             qPrintable(sim->errorText));
    QVERIFY(FanSimProcess::waitUntil(
        [&]() { return m.isConnected() && m.currentModel() == QStringLiteral("CASTOR"); }));
    QCOMPARE(m.currentFirmware(), QStringLiteral("2.0.0"));
    QCOMPARE(info.count(), 2);
    QVERIFY(sim->count(QStringLiteral("HTTP GET /info 200")) >= 1);
    if (missedFirst) {
        // A new session announced the new device, never the old model.
        QVERIFY(sim->count(QStringLiteral("HTTP GET /ctrl/session 200")) >= 1);
        QCOMPARE(state.count(), 3);
        QCOMPARE(state.last().at(0).toBool(), true);
        QCOMPARE(state.last().at(1).toString(), QStringLiteral("CASTOR"));
    } else {
        QCOMPARE(state.count(), 1);
    }
    // Nothing more changes while the new device keeps answering.
    QVERIFY(sim->waitForCount(kHeartbeatLine, 2));
    QCOMPARE(info.count(), 2);
}

void ConnectionManagerTest::refreshAsksTheDevice_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("asked"); // the request a refresh sends
    QTest::newRow("with a session") << QStringList() << "HTTP GET /info 200";
    QTest::newRow("without a session") << QStringList {"--session-code", "5"}
                                       << "HTTP GET /ctrl/session 200";
}

void ConnectionManagerTest::refreshAsksTheDevice()
{
    QFETCH(QStringList, args);
    QFETCH(QString, asked);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    qint64 clock = 1000000;
    // No periodic check: every request after the first one is the refresh's.
    ConnectionManager m(sim.endpoint(), manualTiming(&clock));
    QSignalSpy info(&m, &ConnectionManager::deviceInfoChanged);
    QVERIFY(sim.waitForCount(QStringLiteral("HTTP GET /ctrl/session"), 1));
    if (args.isEmpty())
        QVERIFY(FanSimProcess::waitUntil([&]() { return socketConnected(m); }));
    QVERIFY(FanSimProcess::waitUntil([&]() { return !m.sessionPending; }));
    const int before = sim.count(asked);
    const int infoBefore = info.count();
    m.refreshDeviceInfo();
    QVERIFY(sim.waitForCount(asked, before + 1));
    // The same answer again is no change.
    QVERIFY(FanSimProcess::holdFor(100, [&]() { return info.count() == infoBefore; }));
}

void ConnectionManagerTest::silenceBoundary()
{
    qint64 clock = 1000;
    ConnectionManager m(deadEndpoint(), manualTiming(&clock));
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    m.onWebSocketMessage(QStringLiteral(R"({"cmd":"heartbeat","extra":1})"));
    QCOMPARE(state.count(), 1);
    QCOMPARE(m.lastActiveMs, qint64(1000));

    clock = 1000 + 20000; // exactly 20000 ms: not yet gone
    m.checkConnect();
    QVERIFY(m.isConnected());
    clock += 1;
    m.checkConnect();
    QVERIFY(!m.isConnected());
    QCOMPARE(state.count(), 2);
    QCOMPARE(state.at(1).at(1).toString(), QStringLiteral("VEGA"));
    clock += 20000;
    m.checkConnect();
    QCOMPARE(state.count(), 2);

    // After the loss a heartbeat answer may come from another device at the
    // same address: it starts a new session, and nothing is announced until
    // that has read the device's information.
    QVERIFY(FanSimProcess::waitUntil([&]() { return !m.sessionPending; }));
    m.onWebSocketMessage(QStringLiteral(R"({"cmd":"heartbeat"})"));
    m.onWebSocketMessage(QStringLiteral(R"({"cmd":"heartbeat"})"));
    m.onWebSocketMessage(QStringLiteral("not json"));
    QCOMPARE(state.count(), 2);
    QVERIFY(m.sessionPending);
    QVERIFY(!m.isConnected());
}

void ConnectionManagerTest::heartbeatSpacingBoundary()
{
    FanSimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    qint64 clock = 1000000;
    ConnectionManager m(sim.endpoint(), manualTiming(&clock));
    QVERIFY(FanSimProcess::waitUntil([&]() { return socketConnected(m); }));
    QCOMPARE(sim.count(kHeartbeatLine), 0);

    m.checkConnect(); // first check after connecting: at once
    QVERIFY(sim.waitForCount(kHeartbeatLine, 1));
    clock += 5000; // exactly 5000 ms: not yet
    m.checkConnect();
    clock += 1;
    m.checkConnect();
    QVERIFY(sim.waitForCount(kHeartbeatLine, 2));
    clock += 4000;
    m.checkConnect();
    QVERIFY(FanSimProcess::holdFor(FanSimProcess::scaled(100),
                                   [&]() { return sim.count(kHeartbeatLine) == 2; }));
    QCOMPARE(m.lastHeartbeatMs, qint64(1005001));
}

void ConnectionManagerTest::deadSocketCheckSendsNoHeartbeat()
{
    FanSimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    qint64 clock = 1000000;
    ConnectionManager m(sim.endpoint(), manualTiming(&clock));
    QVERIFY(FanSimProcess::waitUntil([&]() { return socketConnected(m); }));
    m.webSocket->abort();
    QCOMPARE(m.webSocket->state(), QAbstractSocket::UnconnectedState);
    clock += 100000;
    m.checkConnect();
    QVERIFY(!m.webSocket); // stopped; restarted after the delay
    QVERIFY(sim.waitForCount(QStringLiteral("WS open"), 2));
    QVERIFY(FanSimProcess::waitUntil([&]() { return socketConnected(m); }));
    QCOMPARE(sim.count(kHeartbeatLine), 0);
}

void ConnectionManagerTest::resetWhileDisconnected()
{
    qint64 clock = 5000;
    ConnectionManager m(deadEndpoint(), manualTiming(&clock));
    QSignalSpy state(&m, &ConnectionManager::connectStateChanged);
    QSignalSpy play(&m, &ConnectionManager::playInfoChanged);
    m.resetConnection();
    QCOMPARE(state.count(), 1);
    QCOMPARE(state.at(0).at(0).toBool(), false);
    QCOMPARE(state.at(0).at(1).toString(), QStringLiteral("VEGA"));
    QCOMPARE(play.count(), 1);
    auto* info = play.at(0).at(0).value<PlayInfo*>();
    QVERIFY(info);
    QCOMPARE(info->code, 0);
    QVERIFY(info->current.isEmpty());
}

void ConnectionManagerTest::sessionRequestsDoNotPileUp()
{
    // A device that never answers: one request at a time, renewed only when
    // the previous one has timed out.
    FanSimProcess sim;
    QVERIFY2(sim.start({"--stall", "session"}), qPrintable(sim.errorText));
    ConnectionTiming t = fastTiming();
    t.requestTimeoutMs = 300;
    const QString stalled = QStringLiteral("/ctrl/session stalled");
    QElapsedTimer clock;
    clock.start();
    ConnectionManager m(sim.endpoint(), t);
    // The first request times out and is renewed...
    QVERIFY(sim.waitForCount(stalled, 2));
    // ...but at no time is more than one outstanding, although a check runs
    // every 40 ms: at most one request per time-out period has gone out.
    const auto atMostOnePerTimeout = [&]() {
        return !m.isConnected() && sim.count(stalled) <= 2 + clock.elapsed() / t.requestTimeoutMs;
    };
    QVERIFY2(
        FanSimProcess::holdFor(FanSimProcess::scaled(1000), atMostOnePerTimeout),
        qPrintable(
            QStringLiteral("%1 requests in %2 ms").arg(sim.count(stalled)).arg(clock.elapsed())));
}

void ConnectionManagerTest::userAgentAndLog()
{
    FanSimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    NetworkManagerEx net;
    captured.clear();
    QtMessageHandler old = qInstallMessageHandler(captureMessages);
    QNetworkRequest get(QUrl(sim.endpoint().httpUrl(QStringLiteral("/info"))));
    get.setRawHeader("User-Agent", "Caller/2.0");
    QNetworkReply* r1 = net.get(get);
    QNetworkReply* r2 =
        net.head(QNetworkRequest(QUrl(sim.endpoint().httpUrl(QStringLiteral("/info")))));
    QNetworkReply* r3 =
        net.get(QNetworkRequest(QUrl(deadEndpoint().httpUrl(QStringLiteral("/info")))));
    const bool done = FanSimProcess::waitUntil(
        [&]() { return r1->isFinished() && r2->isFinished() && r3->isFinished(); });
    qInstallMessageHandler(old);
    QVERIFY(done);
    QVERIFY(sim.waitForCount(QStringLiteral("ua=\"QtApp/1.0\""), 2));
    QCOMPARE(sim.count(QStringLiteral("Caller/2.0")), 0);
    const QString log = captured.join(QLatin1Char('\n'));
    QVERIFY2(log.contains(
                 QStringLiteral("Request: GET \"%1\" (\"User-Agent\")").arg(get.url().toString())),
             qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("Request: OTHER")), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("status: 200 error: NoError")), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("Data: \"{\\\"code\\\":0")));
    QVERIFY2(log.contains(QStringLiteral("status: 0 error: ConnectionRefusedError")),
             qPrintable(log));
    delete r1;
    delete r2;
    delete r3;
}

void ConnectionManagerTest::answerCap_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("tooLarge");
    QTest::newRow("below the cap") << QStringList {"--pad-answers", "600000"} << false;
    QTest::newRow("above the cap, with length") << QStringList {"--pad-answers", "3000000"} << true;
    QTest::newRow("above the cap, chunked")
        << QStringList {"--pad-answers", "3000000", "--chunked"} << true;
}

void ConnectionManagerTest::answerCap()
{
    QFETCH(QStringList, args);
    QFETCH(bool, tooLarge);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    NetworkManagerEx net;
    QCOMPARE(net.answerCap(), qint64(1024 * 1024));
    QNetworkReply* reply =
        net.get(QNetworkRequest(QUrl(sim.endpoint().httpUrl(QStringLiteral("/info")))));
    QByteArray body;
    bool finished = false;
    connect(reply, &QNetworkReply::finished, this, [&]() {
        body = NetworkManagerEx::readAnswer(reply);
        finished = true;
    });
    QVERIFY(FanSimProcess::waitUntil([&]() { return finished; }, 10000));
    QCOMPARE(NetworkManagerEx::answerTooLarge(reply), tooLarge);
    if (tooLarge) {
        QVERIFY(body.isEmpty());
    } else {
        // The logger only peeked: the caller still reads the whole answer.
        QVERIFY(body.size() > 600000);
        QVERIFY(body.startsWith("{\"code\":0"));
    }
    delete reply;

    // The manager treats an oversized answer as a failed one.
    ConnectionManager m(sim.endpoint(), fastTiming());
    if (tooLarge) {
        QVERIFY(sim.waitForCount(QStringLiteral("/ctrl/session"), 3));
        QVERIFY(!m.isConnected());
    } else {
        QVERIFY(FanSimProcess::waitUntil([&]() { return m.isConnected(); }));
    }
}

void ConnectionManagerTest::uniqueFileNames()
{
    qint64 clock = 0;
    ConnectionManager m(deadEndpoint(), manualTiming(&clock));
    QCOMPARE(m.makeUniqueFileName(QStringLiteral("00007"), QStringLiteral("bin")),
             QStringLiteral("00_00007.bin"));
    QCOMPARE(m.makeUniqueFileName(QStringLiteral("00008"), QString()),
             QStringLiteral("01_00008.bin"));
    QString last;
    for (int i = 2; i < 100; i++)
        last = m.makeUniqueFileName(QStringLiteral("x"), QStringLiteral("bin"));
    QCOMPARE(last, QStringLiteral("99_x.bin"));
    QCOMPARE(m.makeUniqueFileName(QStringLiteral("x"), QStringLiteral("bin")), QString());
}

QTEST_GUILESS_MAIN(ConnectionManagerTest)
#include "tst_connection_manager.moc"
