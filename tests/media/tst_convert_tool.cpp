// spindra-convert's main mode, run as a program: refusals of bad command
// lines and unreadable media, and real conversions of tiny generated media.
#include "MediaTestSupport.h"
#include "fan_file.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

using namespace mediatest;

namespace {

struct ToolRun {
    int code = -1;
    QString out;
    QString err;
};

} // namespace

class TestConvertTool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void refuses_data();
    void refuses();
    void convertsVideo();
    void convertsImage();
    void framing_data();
    void framing();
    void quarterTurnedClip_data();
    void quarterTurnedClip();
    void failureSaysWhy();
    void interruptedRunLeavesNothing_data();
    void interruptedRunLeavesNothing();

private:
    ToolRun run(const QStringList& args);
    // For a fan of 8 LEDs, 16 lines and 1 bit: whether every LED of every line
    // of the first frame shows pure red.
    static bool allRed(const QByteArray& fan);
    // The folder that holds the jobs' private temporary folders.
    QString userTemp() const
    {
        return dir.filePath(QStringLiteral("tmp/spindra-%1").arg(::geteuid()));
    }

    QTemporaryDir dir;
    QString tool;
    QString clip;
    QString png;
    QString redCorner;
    QString turned;
};

void TestConvertTool::initTestCase()
{
    QVERIFY(dir.isValid());
    tool = QStringLiteral(SPINDRA_BINARY_DIR "/tools/spindra-convert/spindra-convert");
    QVERIFY2(QFileInfo(tool).isExecutable(), qPrintable(tool));
    const QString tmp = dir.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tmp));
    qputenv("TMPDIR", tmp.toUtf8());
    qunsetenv("SPINDRA_FFMPEG");
    clip = makeVideo(dir.path(), QStringLiteral("clip.mp4"), 2, true, QStringLiteral("48x32"));
    png = makeImage(dir.path(), QStringLiteral("still.png"), QStringLiteral("48x32"));
    redCorner = dir.filePath(QStringLiteral("corner.png"));
    const QString red = QStringLiteral("color=red:s=32x32"),
                  blue = QStringLiteral("color=blue:s=32x32");
    const QString lavfi = QStringLiteral("lavfi"), f = QStringLiteral("-f"),
                  i = QStringLiteral("-i");
    QVERIFY(ffmpeg({f,
                    lavfi,
                    i,
                    red,
                    f,
                    lavfi,
                    i,
                    blue,
                    f,
                    lavfi,
                    i,
                    blue,
                    f,
                    lavfi,
                    i,
                    blue,
                    QStringLiteral("-filter_complex"),
                    QStringLiteral("[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack"),
                    QStringLiteral("-frames:v"),
                    QStringLiteral("1"),
                    redCorner}));
    QVERIFY(!clip.isEmpty() && !png.isEmpty());
    // Stored 96 x 64 with a red top-left quarter, marked to be shown turned a
    // quarter clockwise: upright it is 64 x 96 with the red quarter top right.
    turned = dir.filePath(QStringLiteral("turned.mp4"));
    const QString redQ = QStringLiteral("color=red:s=48x32:r=25:d=1");
    const QString blueQ = QStringLiteral("color=blue:s=48x32:r=25:d=1");
    QVERIFY(ffmpeg({f,
                    lavfi,
                    i,
                    redQ,
                    f,
                    lavfi,
                    i,
                    blueQ,
                    f,
                    lavfi,
                    i,
                    blueQ,
                    f,
                    lavfi,
                    i,
                    blueQ,
                    QStringLiteral("-filter_complex"),
                    QStringLiteral("[0][1]hstack[t];[2][3]hstack[b];[t][b]vstack"),
                    QStringLiteral("-c:v"),
                    QStringLiteral("mpeg4"),
                    QStringLiteral("-q:v"),
                    QStringLiteral("2"),
                    QStringLiteral("-pix_fmt"),
                    QStringLiteral("yuv420p"),
                    turned}));
    QVERIFY(rotateVideoQuarter(turned));
    QFile text(dir.filePath(QStringLiteral("notes.mp4")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("this is not a video\n");
}

ToolRun TestConvertTool::run(const QStringList& args)
{
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(tool, args);
    p.closeWriteChannel();
    ToolRun r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

void TestConvertTool::refuses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");

    const QString c = QStringLiteral("clip.mp4");
    QTest::newRow("no input") << QStringList {} << 2 << "no input given";
    QTest::newRow("missing input") << QStringList {"gone.mp4"} << 2 << "input not found: gone.mp4";
    QTest::newRow("two inputs") << QStringList {c, c} << 2 << "one input at a time";
    QTest::newRow("unknown option") << QStringList {c, "--frobnicate"} << 2 << "frobnicate";
    QTest::newRow("unknown model")
        << QStringList {c, "--model", "ORION"} << 2 << "unknown model ORION (known: VEGA,";
    QTest::newRow("lights not a number")
        << QStringList {c, "--lights", "many"} << 2 << "bad --lights many";
    QTest::newRow("colour depth too deep")
        << QStringList {c, "--color-depth", "9"} << 2 << "bad --color-depth 9";
    QTest::newRow("bad start") << QStringList {c, "--start", "1:99"} << 2 << "bad --start 1:99";
    QTest::newRow("bad centre") << QStringList {c, "--center", "12"} << 2 << "bad --center 12";
    QTest::newRow("zero scale") << QStringList {c, "--scale", "0"} << 2 << "bad --scale 0";
    // Scales FFmpeg would refuse, said before it runs.
    QTest::newRow("scale beyond FFmpeg")
        << QStringList {c, "--scale", "500"} << 2
        << "bad --scale 500: the 48x32 picture would become 24000x16000 pixels, more than FFmpeg";
    QTest::newRow("scale to nothing")
        << QStringList {c, "--scale", "0.01"} << 2 << "would become 0x0 pixels, too small";
    QTest::newRow("gamma out of range") << QStringList {c, "--gamma", "9"} << 2 << "bad --gamma 9";
    QTest::newRow("radius beyond lights") << QStringList {c, "--brightness-radius", "117"} << 2
                                          << "bad --brightness-radius 117 (0 to 116)";
    QTest::newRow("name with folder")
        << QStringList {c, "--name", "a/b.bin"} << 2 << "bad --name a/b.bin";
    QTest::newRow("start after end") << QStringList {c, "--start", "2", "--end", "1"} << 2
                                     << "start (2 s) must lie before end (1 s)";
    QTest::newRow("end beyond the clip")
        << QStringList {c, "--end", "00:00:09"} << 2 << "--end 9 s lies beyond the clip";
    QTest::newRow("not media") << QStringList {"notes.mp4"} << 1 << "cannot read media";
    QTest::newRow("job file missing")
        << QStringList {"--job", "nojob.json"} << 2 << "cannot read the job file";
}

void TestConvertTool::refuses()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, reason);
    const QStringList before = entries(dir.path());
    const ToolRun r = run(args);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.startsWith(QStringLiteral("spindra-convert: ")) && r.err.contains(reason),
             qPrintable(r.err));
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QCOMPARE(entries(dir.path()), before);
}

void TestConvertTool::convertsVideo()
{
    const QString out = dir.filePath(QStringLiteral("out"));
    const ToolRun r =
        run({clip, "--model", "rigel", "--lights", "8", "--lines", "16", "--color-depth", "3",
             "--out", out, "--name", "clip two.bin", "--start", "0", "--end", "0:02", "--verbose"});
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    const QString fanPath = out + QStringLiteral("/RIGEL/clip two.bin");
    QCOMPARE(r.out.trimmed().section(QLatin1Char('\n'), -1), fanPath);
    QVERIFY(r.out.contains(QStringLiteral("progress: decoding 100%")));
    QVERIFY(r.out.contains(QStringLiteral("progress: converting 100%")));
    QVERIFY(r.out.contains(QStringLiteral("### FINISH PROCESS VIDEO")));

    // 40 frame records of 16 lines x 3 planes x 3 bytes + 1600 audio bytes.
    const QByteArray fan = readAll(fanPath);
    const int record = 16 * 3 * 3 + 1600;
    QCOMPARE(fan.size(), 28800 * ((812 + 40 * record + 28799) / 28800));
    for (int k = 0; k < 40; ++k) {
        const QByteArray audio = fan.mid(812 + k * record + record - 1600, 1600);
        QVERIFY(audio.count(char(128)) < 1600 && audio.count('\0') < 1600);
    }
    QVERIFY(entries(userTemp()).isEmpty());
    QCOMPARE(entries(out + QStringLiteral("/RIGEL")), QStringList {QStringLiteral("clip two.bin")});
}

void TestConvertTool::convertsImage()
{
    const ToolRun r = run({png, "--lights", "8", "--lines", "16", "--color-depth", "3"});
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    const QString fanPath = dir.filePath(QStringLiteral("VEGA/still.bin"));
    // Without --verbose, only the result.
    QCOMPARE(r.out, fanPath + QLatin1Char('\n'));
    QCOMPARE(r.err, QString());
    const QByteArray fan = readAll(fanPath);
    QCOMPARE(fan.size(), 28800);
    // Two frames with silent (zero) audio blocks.
    const int record = 16 * 3 * 3 + 1600;
    QCOMPARE(fan.mid(812 + record - 1600, 1600), QByteArray(1600, '\0'));
    QCOMPARE(fan.mid(812 + 2 * record - 1600, 1600), QByteArray(1600, '\0'));
    QVERIFY(fan.mid(812, 144).count('\0') < 144);
}

bool TestConvertTool::allRed(const QByteArray& fan)
{
    // B = 3 bytes per plane, no pad bits; LED t holds bits 3t (blue), 3t+1
    // (green), 3t+2 (red), most significant bit first.
    for (int line = 0; line < 16; ++line) {
        const QByteArray plane = fan.mid(812 + line * 3, 3);
        const quint32 bits =
            (quint32(uchar(plane[0])) << 16) | (quint32(uchar(plane[1])) << 8) | uchar(plane[2]);
        for (int t = 0; t < 8; ++t) {
            const int shift = 23 - 3 * t;
            const bool blue = bits & (1u << shift);
            const bool red = bits & (1u << (shift - 2));
            if (blue || !red)
                return false;
        }
    }
    return true;
}

void TestConvertTool::framing_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<bool>("red");
    // The picture is blue with a red top-left quarter; a disc of radius 8
    // source pixels around the chosen centre lies wholly in one quarter, which
    // the flips must not change: the centre is a point of the source.
    QTest::newRow("red quarter") << QStringList {"--center", "16,16"} << true;
    QTest::newRow("top right") << QStringList {"--center", "48,16"} << false;
    QTest::newRow("bottom left") << QStringList {"--center", "16,48"} << false;
    QTest::newRow("red quarter, upside down")
        << QStringList {"--center", "16,16", "--vflip"} << true;
    QTest::newRow("red quarter, mirrored") << QStringList {"--center", "16,16", "--hflip"} << true;
    QTest::newRow("red quarter, both flips")
        << QStringList {"--center", "16,16", "--hflip", "--vflip"} << true;
    QTest::newRow("bottom right, both flips")
        << QStringList {"--center", "48,48", "--hflip", "--vflip"} << false;
}

void TestConvertTool::framing()
{
    QFETCH(QStringList, extra);
    QFETCH(bool, red);
    const QString out = dir.filePath(QStringLiteral("framing"));
    const ToolRun r = run(QStringList {redCorner, "--lights", "8", "--lines", "16", "--color-depth",
                                       "1", "--scale", "1", "--out", out, "--name", "f.bin"} +
                          extra);
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    QCOMPARE(allRed(readAll(out + QStringLiteral("/VEGA/f.bin"))), red);
}

void TestConvertTool::quarterTurnedClip_data()
{
    QTest::addColumn<QString>("center");
    QTest::addColumn<bool>("red");
    // Centres in the upright 64 x 96 picture, disc of radius 8. On the
    // upright picture squeezed to the stored 96 x 64, both red discs would
    // straddle the red quarter's edge.
    QTest::newRow("red quarter, top right") << "48,24" << true;
    QTest::newRow("red quarter, lower") << "52,36" << true;
    QTest::newRow("top left") << "16,24" << false;
    QTest::newRow("below the red quarter") << "48,72" << false;
}

// A phone's portrait clip: FFmpeg turns its frames upright while decoding, so
// the job must be sized and framed on the upright picture.
void TestConvertTool::quarterTurnedClip()
{
    QFETCH(QString, center);
    QFETCH(bool, red);
    const QString out = dir.filePath(QStringLiteral("turned"));
    const ToolRun r =
        run({turned, "--lights", "8", "--lines", "16", "--color-depth", "1", "--scale", "1",
             "--center", center, "--out", out, "--name", "t.bin", "--verbose"});
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    QVERIFY2(r.out.contains(QStringLiteral("turned.mp4 64x96")), qPrintable(r.out));
    const QByteArray fanBytes = readAll(out + QStringLiteral("/VEGA/t.bin"));
    fan_file fan;
    QCOMPARE(fan_file_open_memory(&fan, fanBytes.constData(), size_t(fanBytes.size()), 16, 8, 1),
             int(FAN_FILE_OK));
    QCOMPARE(fan.frame_count_min, quint64(20)); // 1 s at 20 frames per second
    fan_file_close(&fan);
    QCOMPARE(allRed(fanBytes), red);
}

void TestConvertTool::failureSaysWhy()
{
    // A conversion that fails ends with its reason on standard error.
    qputenv("SPINDRA_FFMPEG",
            writeScript(dir.path(), QStringLiteral("ffmpeg-broken"),
                        "echo 'Invalid data found' >&2; exit 1")
                .toUtf8());
    const ToolRun r = run({clip, "--out", dir.filePath(QStringLiteral("broken"))});
    qunsetenv("SPINDRA_FFMPEG");
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("FFmpeg failed (exit code 1): Invalid data found")),
             qPrintable(r.err));
    QVERIFY(entries(dir.filePath(QStringLiteral("broken/VEGA"))).isEmpty());
}

void TestConvertTool::interruptedRunLeavesNothing_data()
{
    QTest::addColumn<int>("signal");
    // Terminated: the job is cancelled and cleans up before the tool ends.
    QTest::newRow("terminated") << int(SIGTERM);
    // Killed: what it leaves is removed by the next conversion.
    QTest::newRow("killed") << int(SIGKILL);
}

void TestConvertTool::interruptedRunLeavesNothing()
{
    QFETCH(int, signal);
    // A stand-in FFmpeg that starts the sound (its second output) and then
    // takes its time.
    const QString slow =
        writeScript(dir.path(), QStringLiteral("ffmpeg-slow"), "printf x >&3; exec sleep 5");
    const QString out = dir.filePath(QStringLiteral("stopped"));
    const QString model = out + QStringLiteral("/VEGA");
    // A fan file of an earlier run at the same path stays as it was.
    QVERIFY(QDir().mkpath(model));
    const QString earlierPath = model + QStringLiteral("/clip.bin");
    QVERIFY(writeFile(earlierPath, "an earlier fan file"));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SPINDRA_FFMPEG"), slow);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());
    p.start(tool, {clip, QStringLiteral("--out"), out});
    QVERIFY(p.waitForStarted());
    const auto soundStarted = [&]() {
        QDirIterator it(userTemp(), {QStringLiteral("sound.u8")}, QDir::Files,
                        QDirIterator::Subdirectories);
        return it.hasNext() && QFileInfo(it.next()).size() > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(soundStarted(), 20000);
    // The unfinished fan file lies beside the result under a name of its own.
    QCOMPARE(entries(model).size(), 2);
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
    if (signal == SIGKILL) {
        QVERIFY(!entries(userTemp()).isEmpty());
        // The next conversion into that folder removes what the killed one
        // left, and only that.
        const ToolRun next = run({png, "--lights", "8", "--lines", "16", "--color-depth", "3",
                                  "--out", out, "--name", "next.bin"});
        QVERIFY2(next.code == 0, qPrintable(next.out + next.err));
    }
    QVERIFY2(entries(userTemp()).isEmpty(), qPrintable(entries(userTemp()).join(QLatin1Char(' '))));
    QCOMPARE(readAll(earlierPath), QByteArray("an earlier fan file"));
    QStringList expected {QStringLiteral("clip.bin")};
    if (signal == SIGKILL)
        expected << QStringLiteral("next.bin");
    QCOMPARE(entries(model), expected);
}

QTEST_GUILESS_MAIN(TestConvertTool)
#include "tst_convert_tool.moc"
