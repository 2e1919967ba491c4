// Uploads of fan files to the fan simulator.
#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "ConnectionManager.h"
#include "FanFileMaker.h"
#include "FanSimProcess.h"
#include "Uploader.h"

namespace {

struct Report {
    bool ok;
    QVariant data;
};

// The simulator and an uploader pointed at it through a connection manager
// whose own check cycle does not come round during a test.
struct IdleLink {
    FanSimProcess sim;
    std::unique_ptr<ConnectionManager> manager;
    std::unique_ptr<Uploader> uploader;

    bool start(const QStringList& args = QStringList())
    {
        if (!sim.start(args))
            return false;
        ConnectionTiming t;
        t.checkPeriodMs = 3600 * 1000;
        manager = std::make_unique<ConnectionManager>(sim.endpoint(), t);
        uploader = std::make_unique<Uploader>(manager->endpoint());
        return true;
    }
};

} // namespace

class UploadTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void storesFile_data();
    void storesFile();
    void missingFile();
    void timeOut_data();
    void timeOut();
    void deviceAnswers_data();
    void deviceAnswers();
    void badFanFiles_data();
    void badFanFiles();
    void namesStayInTheStore_data();
    void namesStayInTheStore();

private:
    QString writeFile(const QByteArray& bytes, const QString& name = QStringLiteral("fan.bin"));
    // Uploads and collects reports until settleMs pass after the last one.
    void upload(Uploader& m, const QString& path, const QString& name, int timeoutMs,
                QList<Report>* reports, QList<int>* progress, int waitMs = 10000);

    QTemporaryDir* dir = nullptr;
};

void UploadTest::init() { dir = new QTemporaryDir; }

void UploadTest::cleanup()
{
    delete dir;
    dir = nullptr;
}

QString UploadTest::writeFile(const QByteArray& bytes, const QString& name)
{
    const QString path = dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

void UploadTest::upload(Uploader& m, const QString& path, const QString& name, int timeoutMs,
                        QList<Report>* reports, QList<int>* progress, int waitMs)
{
    m.uploadFile(
        path, name,
        [reports](bool ok, QVariant data) {
            reports->append({ok, data});
        },
        [progress](int p) { progress->append(p); }, timeoutMs);
    FanSimProcess::waitUntil([&]() { return !reports->isEmpty(); }, waitMs);
    QTest::qWait(150); // later reports of the same upload, if any
}

void UploadTest::storesFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("hex");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("rate");
    QTest::newRow("ascii") << "00_00001.bin"
                           << "30305f30303030312e62696e" << 3 << "0";
    QTest::newRow("chinese") << QString::fromUtf8("中文_风扇.bin") << "d6d0cec45fb7e7c9c82e62696e"
                             << 1 << "0";
    QTest::newRow("large, slow device") << "01_00002.bin"
                                        << "30315f30303030322e62696e" << 40 << "12000000";
}

void UploadTest::storesFile()
{
    QFETCH(QString, name);
    QFETCH(QString, hex);
    QFETCH(int, frames);
    QFETCH(QString, rate);
    // Slower builds (SPINDRA_TEST_SCALE) send fewer frames; the slow device
    // keeps its size, which must outgrow the loopback socket buffers for the
    // progress steps to show.
    if (rate == "0")
        frames = qMax(1, int(frames / FanSimProcess::testScale()));
    FanSimProcess sim;
    QVERIFY2(sim.start({"--model", "VEGA", "--upload-rate", rate}), qPrintable(sim.errorText));
    ConnectionTiming t;
    t.checkPeriodMs = 40;
    ConnectionManager m(sim.endpoint(), t);
    Uploader up(m.endpoint());
    QSignalSpy play(&m, &ConnectionManager::playInfoChanged);
    QVERIFY(FanSimProcess::waitUntil([&]() { return m.isConnected() && play.count() > 0; }));

    const QByteArray bytes = fanFileBytes(QStringLiteral("VEGA"), frames);
    const QString path = writeFile(bytes);
    QList<Report> reports;
    QList<int> progress;
    upload(up, path, name, FanSimProcess::scaled(20000), &reports, &progress);

    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports[0].ok, qPrintable(reports[0].data.toString()));
    const QJsonObject answer = reports[0].data.toJsonObject();
    QCOMPARE(answer.value("code").toInt(-1), 0);
    QCOMPARE(answer.value("frames").toInt(), frames);

    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last(), 100);
    if (rate != "0") // half a second of transfer: the steps in between show
        QVERIFY2(QSet<int>(progress.begin(), progress.end()).size() >= 3,
                 qPrintable(QString::number(progress.size())));
    for (int i = 0; i < progress.size(); i++) {
        QVERIFY(progress[i] >= 0 && progress[i] <= 100);
        if (i)
            QVERIFY(progress[i] >= progress[i - 1]);
    }

    // The name went out in hex GBK, as the name field and as the file name.
    QCOMPARE(sim.count(
                 QStringLiteral("UPLOAD name=%1 filename=%1 bytes=%2 cache=\"no-cache|no-cache|0\"")
                     .arg(hex)
                     .arg(bytes.size())),
             1);
    QFile stored(QDir(sim.storeDir()).filePath(name));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == bytes);

    // The device pushes its new playback state; the name comes back decoded.
    QVERIFY(FanSimProcess::waitUntil([&]() {
        return !play.isEmpty() && play.last().at(0).value<PlayInfo*>() &&
            play.last().at(0).value<PlayInfo*>()->current == name;
    }));
    QCOMPARE(play.last().at(0).value<PlayInfo*>()->cmd, QStringLiteral("onPlayInfoUpdate"));
}

void UploadTest::missingFile()
{
    IdleLink link;
    FanSimProcess& sim = link.sim;
    QVERIFY2(link.start(), qPrintable(sim.errorText));
    Uploader& up = *link.uploader;
    QList<Report> reports;
    up.uploadFile(
        dir->filePath("nothing-here.bin"), "x.bin",
        [&](bool ok, QVariant data) {
            reports.append({ok, data});
        },
        nullptr, 1000);
    // Reported like every other end, from the event loop.
    QVERIFY(reports.isEmpty());
    QVERIFY(FanSimProcess::waitUntil([&]() { return !reports.isEmpty(); }));
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].ok, false);
    QCOMPARE(reports[0].data.toString(), QString::fromUtf8("无法打开文件"));
    // The reachability probe still goes out; no upload does.
    QVERIFY(sim.waitForCount(QStringLiteral("HTTP GET /info"), 2));
    QTest::qWait(100);
    QCOMPARE(reports.size(), 1);
    QCOMPARE(sim.count(QStringLiteral("POST")), 0);
    QCOMPARE(sim.count(QStringLiteral("UPLOAD")), 0);
}

void UploadTest::timeOut_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("late answer") << QStringList {"--upload-delay", "3000"};
    QTest::newRow("slow reading") << QStringList {"--upload-rate", "50000"};
}

void UploadTest::timeOut()
{
    QFETCH(QStringList, args);
    IdleLink link;
    FanSimProcess& sim = link.sim;
    QVERIFY2(link.start(args), qPrintable(sim.errorText));
    Uploader& up = *link.uploader;
    QList<Report> reports;
    QList<int> progress;
    upload(up, writeFile(fanFileBytes(QStringLiteral("VEGA"), 1)), "slow.bin", 300, &reports, &progress);
    // One report: the time-out.
    QCOMPARE(reports.size(), 1);
    QVERIFY(!reports[0].ok);
    QCOMPARE(reports[0].data.toString(), QString::fromUtf8("网络超时"));
    const int seen = progress.size();
    QTest::qWait(200);
    QCOMPARE(progress.size(), seen);
}

void UploadTest::deviceAnswers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<bool>>("oks");
    QTest::addColumn<QString>("text"); // error text, or empty when an answer object is expected
    QTest::addColumn<int>("code");     // the answer object's "code"
    QTest::newRow("refused with code 7")
        << QStringList {"--upload-code", "7"} << QList<bool> {false} << "" << 7;
    QTest::newRow("no code is success")
        << QStringList {"--answer", R"(upload={"msg":"ok"})"} << QList<bool> {true} << "" << 0;
    QTest::newRow("code as string is success")
        << QStringList {"--answer", R"(upload={"code":"1"})"} << QList<bool> {true} << "" << 0;
    QTest::newRow("not json") << QStringList {"--not-json", "upload"} << QList<bool> {false}
                              << QString::fromUtf8("解析响应失败") << 0;
    QTest::newRow("wrong model") << QStringList {"--model", "RIGEL"} << QList<bool> {false} << ""
                                 << 3;
    QTest::newRow("http error") << QStringList {"--http-status", "500"} << QList<bool> {false}
                                << "Internal Server Error" << 0;
    QTest::newRow("answer too large") << QStringList {"--pad-answers", "2000000"}
                                      << QList<bool> {false} << "device answer too large" << 0;
}

void UploadTest::deviceAnswers()
{
    QFETCH(QStringList, args);
    QFETCH(QList<bool>, oks);
    QFETCH(QString, text);
    QFETCH(int, code);
    IdleLink link;
    FanSimProcess& sim = link.sim;
    QVERIFY2(link.start(args), qPrintable(sim.errorText));
    Uploader& up = *link.uploader;
    QList<Report> reports;
    QList<int> progress;
    upload(up, writeFile(fanFileBytes(QStringLiteral("VEGA"), 2)), "a.bin", 10000, &reports, &progress);
    QList<bool> seen;
    for (const Report& r : reports)
        seen.append(r.ok);
    QCOMPARE(seen, oks);
    for (const Report& r : reports) {
        if (text.isEmpty()) {
            QCOMPARE(r.data.userType(), int(QMetaType::QJsonObject));
            QCOMPARE(answerCode(r.data.toJsonObject()), code);
        } else {
            QVERIFY2(r.data.toString().contains(text), qPrintable(r.data.toString()));
        }
    }
}

void UploadTest::badFanFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = fanFileBytes(QStringLiteral("VEGA"), 2);
    QByteArray header = good;
    header[3] = 'X';
    QByteArray trailing = good;
    trailing[trailing.size() - 1] = 1;
    QTest::newRow("size not a multiple of 28800") << good.left(good.size() - 1);
    QTest::newRow("wrong header") << header;
    QTest::newRow("partial record") << trailing;
    QTest::newRow("header only") << fanFileBytes(QStringLiteral("VEGA"), 0);
}

void UploadTest::badFanFiles()
{
    QFETCH(QByteArray, bytes);
    IdleLink link;
    FanSimProcess& sim = link.sim;
    QVERIFY2(link.start(), qPrintable(sim.errorText));
    Uploader& up = *link.uploader;
    QList<Report> reports;
    QList<int> progress;
    upload(up, writeFile(bytes), "bad.bin", 10000, &reports, &progress);
    QCOMPARE(reports.size(), 1);
    QVERIFY(!reports[0].ok);
    const QJsonObject answer = reports[0].data.toJsonObject();
    QCOMPARE(answerCode(answer), 3);
    QVERIFY(!answer.value("msg").toString().isEmpty());
    QCOMPARE(QDir(sim.storeDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

void UploadTest::namesStayInTheStore_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent folder") << "../escape.bin";
    QTest::newRow("sub folder") << "sub/escape.bin";
    QTest::newRow("absolute") << "/tmp/escape.bin";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("empty") << "";
}

void UploadTest::namesStayInTheStore()
{
    QFETCH(QString, name);
    IdleLink link;
    FanSimProcess& sim = link.sim;
    QVERIFY2(link.start(), qPrintable(sim.errorText));
    Uploader& up = *link.uploader;
    QList<Report> reports;
    QList<int> progress;
    upload(up, writeFile(fanFileBytes(QStringLiteral("VEGA"), 1)), name, 10000, &reports, &progress);
    QCOMPARE(reports.size(), 1);
    QVERIFY(!reports[0].ok);
    QVERIFY(answerCode(reports[0].data.toJsonObject()) != 0);
    QDir store(sim.storeDir());
    QCOMPARE(store.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QVERIFY(!QFile::exists(QDir(sim.storeDir() + "/..").filePath("escape.bin")));
}

QTEST_GUILESS_MAIN(UploadTest)
#include "tst_upload.moc"
