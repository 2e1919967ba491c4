// The FFmpeg runner against small shell scripts standing in for FFmpeg.
#include "FfmpegRunner.h"
#include "MediaTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using mediatest::writeScript;

class TestFfmpegRunner : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void logging_data();
    void logging();
    void emptyLogCallback();
    void givesUpOnSilence_data();
    void givesUpOnSilence();
    void slowButSteadyRunSucceeds_data();
    void slowButSteadyRunSucceeds();
    void standardInputIsClosed();
    void reportsWatchedFileGrowth();
    void programChoice();

private:
    QTemporaryDir dir;
    QString script(const char* name, const QByteArray& body)
    {
        return writeScript(dir.path(), QString::fromLatin1(name), body);
    }
};

void TestFfmpegRunner::initTestCase() { QVERIFY(dir.isValid()); }

void TestFfmpegRunner::logging_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("missing");
    QTest::addColumn<bool>("debug");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("lines");

    const QString cmd = QStringLiteral(" [STEP X] >> : -i in put.mp4 out");
    const QString end = QStringLiteral("[STEP X] <<: -i in put.mp4 out");
    QTest::newRow("ok with banner, debug")
        << QByteArray("echo 'banner é' >&2; exit 0") << false << true << true
        << QStringList {cmd, QStringLiteral("FFmpeg Error output: banner é\n"), end};
    QTest::newRow("ok silent, debug")
        << QByteArray("exit 0") << false << true << true << QStringList {cmd, end};
    QTest::newRow("ok, quiet") << QByteArray("echo banner >&2; exit 0") << false << false << true
                               << QStringList {};
    QTest::newRow("exit 3, debug")
        << QByteArray("echo 'bad input' >&2; exit 3") << false << true << false
        << QStringList {cmd, QStringLiteral("FFmpeg Error output: bad input\n"),
                        QStringLiteral("FFmpeg command failed with exit code: 3"), end};
    QTest::newRow("exit 3, quiet")
        << QByteArray("exit 3") << false << false << false << QStringList {};
    QTest::newRow("killed by signal")
        << QByteArray("kill -9 $$") << false << true << false
        << QStringList {cmd, QStringLiteral("FFmpeg command failed with exit code: 9"), end};
    QTest::newRow("missing program, debug")
        << QByteArray() << true << true << false
        << QStringList {cmd, QStringLiteral("Error while running FFmpeg command."), end};
    QTest::newRow("missing program, quiet")
        << QByteArray() << true << false << false << QStringList {};
}

void TestFfmpegRunner::logging()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, missing);
    QFETCH(bool, debug);
    QFETCH(bool, expected);
    QFETCH(QStringList, lines);

    const QString program =
        missing ? dir.filePath(QStringLiteral("no-such-ffmpeg")) : script("fake", body);
    QStringList logged;
    const std::function<void(const QString&)> onLog = [&](const QString& l) { logged << l; };
    const FfmpegRunner runner(debug, onLog, program);
    QCOMPARE(runner.runFfmpeg(
                 {QStringLiteral("-i"), QStringLiteral("in put.mp4"), QStringLiteral("out")},
                 QStringLiteral("[STEP X]")),
             expected);
    QCOMPARE(logged, lines);
}

void TestFfmpegRunner::emptyLogCallback()
{
    const std::function<void(const QString&)> none;
    const QString marker = dir.filePath(QStringLiteral("ran"));
    const FfmpegRunner runner(true, none, script("touching", "touch \"$1\"; echo x >&2"));
    QVERIFY(runner.runFfmpeg({marker}, QStringLiteral("[T]")));
    QVERIFY(QFileInfo::exists(marker));
}

void TestFfmpegRunner::givesUpOnSilence_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("hangs at once") << QByteArray("exec sleep 30");
    QTest::newRow("talks, then hangs")
        << QByteArray("echo start >&2; printf abc > \"$1\"; exec sleep 30");
}

void TestFfmpegRunner::givesUpOnSilence()
{
    QFETCH(QByteArray, body);
    QStringList logged;
    const std::function<void(const QString&)> onLog = [&](const QString& l) { logged << l; };
    const QString out = dir.filePath(QStringLiteral("hang.out"));
    FfmpegRunner runner(true, onLog, script("hang", body));
    runner.setSilenceLimitMs(300);
    QVERIFY(!runner.runFfmpeg({out}, QStringLiteral("[H]"), out));
    QVERIFY(logged.size() >= 3);
    QCOMPARE(logged.at(logged.size() - 2), QStringLiteral("Error while running FFmpeg command."));
    QCOMPARE(logged.last(), QStringLiteral("[H] <<: %1").arg(out));
}

void TestFfmpegRunner::slowButSteadyRunSucceeds_data()
{
    QTest::addColumn<QByteArray>("body");
    // Each runs about 1.2 s, four times the silence limit, but never pauses
    // for longer than 100 ms.
    QTest::newRow("growing file") << QByteArray(
        "i=0; while [ $i -lt 12 ]; do printf x >> \"$1\"; sleep 0.1; i=$((i+1)); done; exit 0");
    QTest::newRow("progress on stderr") << QByteArray(
        "i=0; while [ $i -lt 12 ]; do echo \"frame=$i\" >&2; sleep 0.1; i=$((i+1)); done; exit 0");
}

void TestFfmpegRunner::slowButSteadyRunSucceeds()
{
    QFETCH(QByteArray, body);
    const QString out = dir.filePath(QStringLiteral("steady.out"));
    QFile::remove(out);
    const bool debug = false;
    const std::function<void(const QString&)> none;
    FfmpegRunner runner(debug, none, script("steady", body));
    runner.setSilenceLimitMs(300);
    QVERIFY(runner.runFfmpeg({out}, QStringLiteral("[S]"), out));
}

void TestFfmpegRunner::standardInputIsClosed()
{
    // Like FFmpeg's overwrite question: a program that waits for an answer
    // must see the end of its input instead of waiting for the limit.
    const bool debug = false;
    const std::function<void(const QString&)> none;
    FfmpegRunner runner(debug, none, script("asks", "if read -r answer; then exit 5; fi; exit 0"));
    runner.setSilenceLimitMs(2000);
    QVERIFY(runner.runFfmpeg({}, QStringLiteral("[Q]")));
}

void TestFfmpegRunner::reportsWatchedFileGrowth()
{
    const QString out = dir.filePath(QStringLiteral("grow.out"));
    QFile::remove(out);
    const bool debug = false;
    const std::function<void(const QString&)> none;
    FfmpegRunner runner(
        debug, none,
        script("grow", "for n in 1 2 3 4; do printf 0123456789 >> \"$1\"; sleep 0.15; done"));
    QList<qint64> sizes;
    QVERIFY(runner.runFfmpeg({out}, QStringLiteral("[G]"), out, [&](qint64 s) { sizes << s; }));
    QVERIFY(!sizes.isEmpty());
    QCOMPARE(sizes.last(), qint64(40));
    QVERIFY(std::is_sorted(sizes.begin(), sizes.end()));
}

void TestFfmpegRunner::programChoice()
{
    const QByteArray saved = qgetenv("SPINDRA_FFMPEG");
    qputenv("SPINDRA_FFMPEG", "/opt/other/ffmpeg-x");
    QCOMPARE(FfmpegRunner::defaultFfmpegPath(), QStringLiteral("/opt/other/ffmpeg-x"));
    qunsetenv("SPINDRA_FFMPEG");
    // No ffmpeg beside the test executable: the one on PATH.
    QCOMPARE(FfmpegRunner::defaultFfmpegPath(), QStringLiteral("ffmpeg"));
    if (!saved.isNull())
        qputenv("SPINDRA_FFMPEG", saved);
}

QTEST_GUILESS_MAIN(TestFfmpegRunner)
#include "tst_ffmpegrunner.moc"
