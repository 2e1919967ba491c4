// The uploader's own handle on an upload: the end report that follows the
// last result, and the abort that stops a transfer for good.
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "FanSimProcess.h"
#include "Uploader.h"

namespace {

// A valid fan file: the fixed header and `frames` zero records of the VEGA
// geometry (116 lights, 520 lines, 6 bits), padded to a multiple of 28800.
QByteArray makeFanFile(int frames)
{
    QByteArray data(812, '\0');
    memcpy(data.data(), "POVFILE1", 8);
    const quint32 values[] = {812, 1600, 28800, 32000, 20, 3};
    for (int i = 0; i < 6; i++)
        qToLittleEndian(values[i], data.data() + 8 + 4 * i);
    data += QByteArray(frames * (520 * 6 * ((3 * 116 + 7) / 8) + 1600), '\0');
    data += QByteArray((28800 - data.size() % 28800) % 28800, '\0');
    return data;
}

struct Reports {
    QList<bool> oks;
    QList<QVariant> data;
    int ends = 0;
    bool endOk = false;
    QVariant endData;
    QList<int> progress;
};

} // namespace

class UploaderTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void endFollowsLastReport_data();
    void endFollowsLastReport();
    void abortStopsTransfer();
    void missingFileHasNoId();

private:
    int start(Uploader& up, const QString& name, int timeoutMs, Reports* r, int frames = 2);
    QTemporaryDir* dir = nullptr;
};

void UploaderTest::init() { dir = new QTemporaryDir; }

void UploaderTest::cleanup()
{
    delete dir;
    dir = nullptr;
}

int UploaderTest::start(Uploader& up, const QString& name, int timeoutMs, Reports* r, int frames)
{
    const QString path = dir->filePath(QStringLiteral("fan.bin"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(makeFanFile(frames)) < 0)
        return -1;
    f.close();
    return up.uploadFile(
        path, name,
        [r](bool ok, QVariant data) {
            r->oks << ok;
            r->data << data;
        },
        [r](int p) { r->progress << p; }, timeoutMs,
        [r](bool ok, QVariant data) {
            ++r->ends;
            r->endOk = ok;
            r->endData = data;
        });
}

void UploaderTest::endFollowsLastReport_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("lastText"); // empty: an answer object
    QTest::newRow("stored") << QStringList {} << 10000 << true << QString();
    QTest::newRow("refused") << QStringList {"--upload-code", "7"} << 10000 << false << QString();
    QTest::newRow("http error") << QStringList {"--http-status", "500"} << 10000 << false
                                << QStringLiteral("Internal Server Error");
    QTest::newRow("time-out") << QStringList {"--upload-delay", "3000"} << 300 << false
                              << QString::fromUtf8("网络超时");
}

void UploaderTest::endFollowsLastReport()
{
    QFETCH(QStringList, args);
    QFETCH(int, timeoutMs);
    QFETCH(bool, ok);
    QFETCH(QString, lastText);
    FanSimProcess sim;
    QVERIFY2(sim.start(args), qPrintable(sim.errorText));
    Uploader up(sim.endpoint());
    Reports r;
    const int id = start(up, QStringLiteral("a.bin"), timeoutMs, &r);
    QVERIFY(id > 0);
    QVERIFY(up.isRunning(id));
    QTRY_COMPARE_WITH_TIMEOUT(r.ends, 1, 15000);
    QVERIFY(!up.isRunning(id));
    // The end carries the last report and comes after every report.
    QVERIFY(!r.oks.isEmpty());
    QCOMPARE(r.endOk, r.oks.last());
    QCOMPARE(r.endData, r.data.last());
    QCOMPARE(r.endOk, ok);
    if (lastText.isEmpty())
        QCOMPARE(r.endData.userType(), int(QMetaType::QJsonObject));
    else
        QVERIFY2(r.endData.toString().contains(lastText), qPrintable(r.endData.toString()));
    const int reports = r.oks.size();
    QVERIFY(FanSimProcess::holdFor(300, [&] { return r.ends == 1 && r.oks.size() == reports; }));
    QVERIFY(!up.abort(id));
}

void UploaderTest::abortStopsTransfer()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({"--upload-rate", "50000"}), qPrintable(sim.errorText));
    Uploader up(sim.endpoint());
    Reports r;
    // 80 frames (11 MB) outgrow the sender's socket buffer, so the body
    // cannot all leave at once however the kernel tunes it.
    const int id = start(up, QStringLiteral("slow.bin"), 60000, &r, 80);
    QVERIFY(id > 0);
    // Under way: some of the body has gone out, not all of it.
    QVERIFY(FanSimProcess::waitUntil([&] { return !r.progress.isEmpty(); }, 10000));
    QVERIFY(r.progress.last() < 100);
    QVERIFY(up.abort(id));
    QVERIFY(!up.isRunning(id));
    QVERIFY(!up.abort(id));
    // Nothing of this upload reports any more, and the device keeps no file.
    const int seen = r.progress.size();
    QVERIFY(FanSimProcess::holdFor(
        500, [&] { return r.oks.isEmpty() && r.ends == 0 && r.progress.size() == seen; }));
    QVERIFY(!QFile::exists(QDir(sim.storeDir()).filePath(QStringLiteral("slow.bin"))));

    // The uploader is ready for the next one.
    sim.stop();
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    Uploader next(sim.endpoint());
    Reports again;
    QVERIFY(start(next, QStringLiteral("next.bin"), 10000, &again) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(again.ends, 1, 15000);
    QVERIFY(again.endOk);
}

void UploaderTest::missingFileHasNoId()
{
    FanSimProcess sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorText));
    Uploader up(sim.endpoint());
    Reports r;
    const int id = up.uploadFile(
        dir->filePath(QStringLiteral("nothing-here.bin")), QStringLiteral("x.bin"),
        [&r](bool ok, QVariant data) {
            r.oks << ok;
            r.data << data;
        },
        {}, 1000, [&r](bool, QVariant) { ++r.ends; });
    QCOMPARE(id, 0);
    QCOMPARE(r.oks, QList<bool> {false});
    QCOMPARE(r.data.first().toString(), QString::fromUtf8("无法打开文件"));
    QVERIFY(FanSimProcess::holdFor(200, [&] { return r.ends == 0; }));
}

QTEST_GUILESS_MAIN(UploaderTest)
#include "tst_uploader.moc"
