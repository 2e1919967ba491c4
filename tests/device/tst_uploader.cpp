// The uploader against the fan simulator: exactly one end per upload, never
// before the call returns; a progress that follows what the fan has taken;
// and an abort that stops the transfer at once and says what became of the
// file on the fan.
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include "FanFileMaker.h"
#include "FanSimProcess.h"
#include "Uploader.h"

namespace {

struct Reports {
    QList<bool> oks;
    QList<QVariant> data;
    QList<int> progress;
    QList<qint64> progressAtMs; // when each progress report came, since the start
    QElapsedTimer clock;
};

DeviceEndpoint nobodyListens()
{
    DeviceEndpoint e;
    e.host = QStringLiteral("127.0.0.1");
    e.httpPort = 9; // discard port: nothing listens in the test namespace
    e.wsPort = 9;
    return e;
}

} // namespace

Q_DECLARE_METATYPE(Uploader::Fate)

class UploaderTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void oneEndPerUpload_data();
    void oneEndPerUpload();
    void progressFollowsTheFan();
    void abortSaysWhatTheFanHas_data();
    void abortSaysWhatTheFanHas();

private:
    // A VEGA fan file of `frames` records in the test's folder.
    QString fanFile(int frames);
    int start(Uploader& up, const QString& path, int timeoutMs, Reports* r);

    QTemporaryDir* dir = nullptr;
};

void UploaderTest::init() { dir = new QTemporaryDir; }

void UploaderTest::cleanup()
{
    delete dir;
    dir = nullptr;
}

QString UploaderTest::fanFile(int frames)
{
    const QString path = dir->filePath(QStringLiteral("fan.bin"));
    return saveBytes(path, fanFileBytes(QStringLiteral("VEGA"), frames)) ? path : QString();
}

int UploaderTest::start(Uploader& up, const QString& path, int timeoutMs, Reports* r)
{
    r->clock.start();
    return up.uploadFile(
        path, QStringLiteral("a.bin"),
        [r](bool ok, QVariant data) {
            r->oks << ok;
            r->data << data;
        },
        [r](int p) {
            r->progress << p;
            r->progressAtMs << r->clock.elapsed();
        },
        timeoutMs);
}

void UploaderTest::oneEndPerUpload_data()
{
    QTest::addColumn<QStringList>("args"); // of the simulator; none: nobody listens
    QTest::addColumn<bool>("missing");     // the file does not exist
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("text"); // in the error text; empty: an answer object
    QTest::newRow("stored") << QStringList {"--upload-rate", "0"} << false << 10000 << true
                            << QString();
    QTest::newRow("refused") << QStringList {"--upload-code", "7"} << false << 10000 << false
                             << QString();
    QTest::newRow("http error") << QStringList {"--http-status", "500"} << false << 10000 << false
                                << QStringLiteral("HTTP 500 Internal Server Error");
    QTest::newRow("time-out") << QStringList {"--upload-delay", "3000"} << false << 300 << false
                              << QString::fromUtf8("网络超时");
    QTest::newRow("missing file") << QStringList {"--upload-rate", "0"} << true << 10000 << false
                                  << QString::fromUtf8("无法打开文件");
    QTest::newRow("nobody listens") << QStringList() << false << 10000 << false
                                    << QStringLiteral("refused");
}

void UploaderTest::oneEndPerUpload()
{
    QFETCH(QStringList, args);
    QFETCH(bool, missing);
    QFETCH(int, timeoutMs);
    QFETCH(bool, ok);
    QFETCH(QString, text);
    FanSimProcess sim;
    if (!args.isEmpty())
        QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    Uploader up(args.isEmpty() ? nobodyListens() : sim.endpoint());
    const QString path = missing ? dir->filePath(QStringLiteral("nothing-here.bin")) : fanFile(2);
    Reports r;
    const int id = start(up, path, timeoutMs, &r);
    // An id for every upload, and no report before the call has returned.
    QVERIFY(id > 0);
    QVERIFY(r.oks.isEmpty());
    QVERIFY(up.isRunning(id));
    QVERIFY(FanSimProcess::waitUntil([&] { return !r.oks.isEmpty(); }, 15000));
    QVERIFY(!up.isRunning(id));
    QCOMPARE(r.oks.first(), ok);
    if (text.isEmpty())
        QCOMPARE(r.data.first().userType(), int(QMetaType::QJsonObject));
    else
        QVERIFY2(r.data.first().toString().contains(text), qPrintable(r.data.first().toString()));
    // Exactly one end, also a while later.
    const int progressSeen = r.progress.size();
    QVERIFY(FanSimProcess::holdFor(
        300, [&] { return r.oks.size() == 1 && r.progress.size() == progressSeen; }));
    QCOMPARE(up.abort(id), Uploader::Fate::Ended);
    if (missing)
        QCOMPARE(sim.count(QStringLiteral("POST")), 0);
}

void UploaderTest::progressFollowsTheFan()
{
    // The fan reads 1 MB/s; the file is 835 kB. The client may never claim
    // more than the fan can have read by then, plus what fits into its
    // receive buffer.
    const qint64 rate = 1000000;
    const qint64 slack = 256 * 1024;
    FanSimProcess sim;
    QVERIFY2(sim.start({"--upload-rate", QString::number(rate)}), qPrintable(sim.errorText));
    Uploader up(sim.endpoint());
    const QString path = fanFile(6);
    const qint64 size = QFileInfo(path).size();
    QVERIFY(size > 800000);
    Reports r;
    QVERIFY(start(up, path, 30000, &r) > 0);
    QVERIFY(FanSimProcess::waitUntil([&] { return !r.oks.isEmpty(); }, 30000));
    QVERIFY2(r.oks.first(), qPrintable(r.data.first().toString()));
    QVERIFY(r.progress.size() >= 3);
    QCOMPARE(r.progress.last(), 100);
    for (int i = 0; i < r.progress.size(); i++) {
        const qint64 claimed = size * r.progress[i] / 100;
        const qint64 possible = rate * r.progressAtMs[i] / 1000 + slack;
        QVERIFY2(claimed <= possible,
                 qPrintable(QStringLiteral("%1% after %2 ms, the fan can have %3 bytes")
                                .arg(r.progress[i])
                                .arg(r.progressAtMs[i])
                                .arg(possible)));
        if (i)
            QVERIFY(r.progress[i] > r.progress[i - 1]);
    }
}

void UploaderTest::abortSaysWhatTheFanHas_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("when"); // sending, all taken, answered
    QTest::addColumn<Uploader::Fate>("fate");
    QTest::addColumn<int>("stored"); // files the fan keeps
    // 40 frames (5.5 MB) at 200 kB/s would take half a minute.
    QTest::newRow("while sending") << QStringList {"--upload-rate", "200000"} << 40 << "sending"
                                   << Uploader::Fate::NotStored << 0;
    QTest::newRow("waiting for the answer") << QStringList {"--upload-delay", "1000"} << 2
                                            << "all taken" << Uploader::Fate::MayBeStored << 1;
    QTest::newRow("answered, not yet read") << QStringList {"--upload-delay", "300"} << 2
                                            << "answered" << Uploader::Fate::Stored << 1;
}

void UploaderTest::abortSaysWhatTheFanHas()
{
    QFETCH(QStringList, args);
    QFETCH(int, frames);
    QFETCH(QString, when);
    QFETCH(Uploader::Fate, fate);
    QFETCH(int, stored);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    Uploader up(sim.endpoint());
    const QString path = fanFile(frames);
    Reports r;
    const int id = start(up, path, 60000, &r);
    QVERIFY(id > 0);
    if (when == QLatin1String("sending")) {
        QVERIFY(FanSimProcess::waitUntil(
            [&] { return !r.progress.isEmpty() && r.progress.last() > 0; }, 10000));
        QVERIFY(r.progress.last() < 100);
    } else {
        QVERIFY(FanSimProcess::waitUntil([&] { return r.progress.contains(100); }, 10000));
    }
    if (when == QLatin1String("answered")) {
        // Without running the event loop, so that the answer stays unread:
        // the fan stores the file and answers.
        const QString kept = QDir(sim.storeDir()).filePath(QStringLiteral("a.bin"));
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(kept) && waited.elapsed() < FanSimProcess::scaled(10000))
            QThread::msleep(5);
        QThread::msleep(200);
        QVERIFY(r.oks.isEmpty());
    }
    QCOMPARE(up.abort(id), fate);
    QVERIFY(!up.isRunning(id));
    QCOMPARE(up.abort(id), Uploader::Fate::Ended);
    if (when == QLatin1String("sending")) {
        // The fan stops receiving at once: its reading of the body ends.
        QVERIFY2(sim.waitForCount(QStringLiteral("UPLOAD name="), 1, FanSimProcess::scaled(1000)),
                 "the fan still receives a second after the abort");
    }
    // Nothing of this upload reports any more, and the fan keeps what it says.
    const int seen = r.progress.size();
    QVERIFY(FanSimProcess::holdFor(300, [&] { return r.oks.isEmpty() && r.progress.size() == seen; }));
    QVERIFY(sim.waitForCount(QStringLiteral("UPLOAD name="), 1, 5000));
    if (stored)
        QVERIFY(sim.waitForCount(QStringLiteral("STORED a.bin"), 1, 5000));
    QCOMPARE(sim.count(QStringLiteral("STORED a.bin")), stored);
    QTRY_COMPARE_WITH_TIMEOUT(
        QDir(sim.storeDir()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot).size(),
        stored, 5000);

    // The uploader is ready for the next one.
    Reports again;
    QVERIFY(start(up, fanFile(1), 10000, &again) > 0);
    QVERIFY(FanSimProcess::waitUntil([&] { return !again.oks.isEmpty(); }, 15000));
}

QTEST_GUILESS_MAIN(UploaderTest)
#include "tst_uploader.moc"
