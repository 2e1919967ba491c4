// The FFmpeg runner against small shell scripts standing in for FFmpeg.
#include "ConvertRequest.h"
#include "FfmpegRunner.h"
#include "MediaTestSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <thread>
#include <QtTest>

using mediatest::writeScript;

class TestFfmpegRunner : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void logging_data();
    void logging();
    void failureReason_data();
    void failureReason();
    void emptyLogCallback();
    void givesUpOnSilence_data();
    void givesUpOnSilence();
    void slowButSteadyRunSucceeds_data();
    void slowButSteadyRunSucceeds();
    void standardInputIsClosed();
    void reportsWatchedFileGrowth();
    void programChoice();
    void streaming_data();
    void streaming();
    void cancelEndsTheProgram_data();
    void cancelEndsTheProgram();

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

void TestFfmpegRunner::failureReason_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("reason");
    QTest::newRow("one line") << QByteArray("echo 'Invalid data found' >&2; exit 1")
                              << "FFmpeg failed (exit code 1): Invalid data found";
    // FFmpeg's report of the streams, then its words on the error and its
    // closing line.
    QTest::newRow("its last lines, after the streams")
        << QByteArray("printf 'Input #0, png_pipe, from a.png:\n  Stream #0:0: Video: png\n"
                      "Stream mapping:\n  Stream #0:0 -> #0:0 (png -> rawvideo)\n"
                      "[rawvideo @ 0x5609] [IMGUTILS @ 0x7ffd] Picture size 19200x14400 is "
                      "invalid\nError initializing output stream 0:0\nConversion failed!\n' "
                      ">&2; exit 1")
        << "FFmpeg failed (exit code 1): Picture size 19200x14400 is invalid; Error initializing "
           "output stream 0:0";
    QTest::newRow("progress is no reason")
        << QByteArray("printf 'frame=  1 fps=0\rframe=  2 fps=0\r\nfile.mp4: No space left on "
                      "device\nvideo:1kB audio:0kB\n' >&2; exit 1")
        << "FFmpeg failed (exit code 1): file.mp4: No space left on device";
    QTest::newRow("killed") << QByteArray("kill -9 $$") << "FFmpeg crashed";
}

void TestFfmpegRunner::failureReason()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, reason);
    const FfmpegRunner runner(false, {}, script("failing", body));
    QVERIFY(!runner.runFfmpeg({QStringLiteral("out")}, QStringLiteral("[STEP X]")));
    QCOMPARE(runner.failureReason(), reason);
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

void TestFfmpegRunner::streaming_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>(
        "refuseAfter"); // the consumer refuses once it holds this much; -1 never
    QTest::addColumn<bool>("expected");
    QTest::addColumn<qint64>("bytes"); // what the consumer received, at least
    // 3 MiB in pieces, with a pause in between: everything arrives in order.
    QTest::newRow("whole output") << QByteArray(
                                         "head -c 2097152 /dev/zero | tr '\\0' 'a'; sleep 0.2; "
                                         "head -c 1048576 /dev/zero | tr '\\0' 'b'")
                                  << qint64(-1) << true << qint64(3145728);
    QTest::newRow("failing program")
        << QByteArray("printf abc; exit 2") << qint64(-1) << false << qint64(3);
    // A consumer that cannot take more (a full disk) ends a program that would
    // write for minutes.
    QTest::newRow("consumer refuses")
        << QByteArray("exec cat /dev/zero") << qint64(65536) << false << qint64(65536);
}

void TestFfmpegRunner::streaming()
{
    QFETCH(QByteArray, body);
    QFETCH(qint64, refuseAfter);
    QFETCH(bool, expected);
    QFETCH(qint64, bytes);
    const FfmpegRunner runner(false, {}, script("ffmpeg-streams", body));
    QByteArray received;
    bool ordered = true;
    QElapsedTimer timer;
    timer.start();
    const bool ok =
        runner.runFfmpegStreaming({}, QStringLiteral("[STEP S]"), [&](const QByteArray& data) {
            if (received.size() >= 2097152 && data.contains('a'))
                ordered = false;
            received += data;
            return refuseAfter < 0 || received.size() < refuseAfter;
        });
    QCOMPARE(ok, expected);
    QVERIFY(received.size() >= bytes);
    if (refuseAfter < 0) {
        QCOMPARE(received.size(), bytes);
        QVERIFY(ordered);
    }
    QVERIFY(timer.elapsed() < 20000);
}

void TestFfmpegRunner::cancelEndsTheProgram_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<bool>("before"); // requested before the run
    QTest::newRow("file output") << false << false;
    QTest::newRow("streamed output") << true << false;
    QTest::newRow("requested before the run") << false << true;
}

void TestFfmpegRunner::cancelEndsTheProgram()
{
    QFETCH(bool, streaming);
    QFETCH(bool, before);
    const QString marker = dir.filePath(QStringLiteral("started"));
    QFile::remove(marker);
    FfmpegRunner runner(
        false, {},
        script("ffmpeg-lingers",
               "touch '" + marker.toUtf8() + "'; while :; do printf x; sleep 0.05; done"));
    auto cancel = std::make_shared<ConvertCancel>();
    runner.setCancel(cancel);
    if (before)
        cancel->request();
    std::thread requester([&]() {
        // Once the program runs, cancel it from another thread.
        for (int i = 0; i < 2000 && !before && !QFileInfo::exists(marker); ++i)
            QThread::msleep(5);
        cancel->request();
    });
    QElapsedTimer timer;
    timer.start();
    const bool ok = streaming ? runner.runFfmpegStreaming({}, QStringLiteral("[STEP C]"),
                                                          [](const QByteArray&) { return true; })
                              : runner.runFfmpeg({}, QStringLiteral("[STEP C]"));
    requester.join();
    QVERIFY(!ok);
    QVERIFY(timer.elapsed() < 10000);
    QCOMPARE(QFileInfo::exists(marker), !before);
}

QTEST_GUILESS_MAIN(TestFfmpegRunner)
#include "tst_ffmpegrunner.moc"
