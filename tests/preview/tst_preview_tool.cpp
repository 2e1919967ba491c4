// spindra-preview as a user runs it: pictures, contact sheets and videos come
// out; every bad input ends with one clear line and nothing written.
#include "FanFileMaker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <cmath>

namespace {

const int kLights = 48, kLines = 300, kDepth = 5; // the BELLATRIX model

struct Run {
    int code = -1;
    QString out;
    QString err;
};

Run runTool(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(SPINDRA_BINARY_DIR "/tools/spindra-preview/spindra-preview"), args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QImage quadrants(int side)
{
    // top right red, top left green, bottom left blue, bottom right white
    const QRgb colours[4] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255),
                             qRgb(255, 255, 255)};
    QImage image(side, side, QImage::Format_RGB888);
    const int h = side / 2;
    for (int y = 0; y < side; y++) {
        for (int x = 0; x < side; x++)
            image.setPixel(x, y, colours[y < h ? (x >= h ? 0 : 1) : (x < h ? 2 : 3)]);
    }
    return image;
}

} // namespace

class TestPreviewTool : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString fanFile;    // 3 frames of quadrants, with sound
    QString silentFile; // 30 frames, no sound

    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        FanFileJob job;
        job.lights = kLights;
        job.lines = kLines;
        job.colorDeep = kDepth;
        job.frames = {quadrants(96), quadrants(96), quadrants(96)};
        for (int n = 0; n < 3 * 1600; n++)
            job.audio.append(char(128 + 100 * std::sin(n * 0.05)));
        fanFile = path(QStringLiteral("clip.bin"));
        QString error;
        QVERIFY2(makeFanFile(job, dir.path(), fanFile, &error), qPrintable(error));

        job.audio.clear();
        job.frames.clear();
        for (int n = 0; n < 30; n++) {
            QImage frame(96, 96, QImage::Format_RGB888);
            frame.fill(QColor::fromHsv(n * 12, 200, 230));
            job.frames << frame;
        }
        silentFile = path(QStringLiteral("silent.bin"));
        QVERIFY2(makeFanFile(job, dir.path(), silentFile, &error), qPrintable(error));
    }

    void picture_of_one_frame_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<int>("side");
        QTest::newRow("default size: 4 x lights") << QStringList() << 4 * kLights;
        QTest::newRow("geometry by hand, chosen frame and size")
            << QStringList {QStringLiteral("--lights"),      QString::number(kLights),
                            QStringLiteral("--lines"),       QString::number(kLines),
                            QStringLiteral("--color-depth"), QString::number(kDepth),
                            QStringLiteral("--frame"),       QStringLiteral("2"),
                            QStringLiteral("--size"),        QStringLiteral("301")}
            << 301;
    }

    void picture_of_one_frame()
    {
        QFETCH(QStringList, extra);
        QFETCH(int, side);
        const QString out = path(QStringLiteral("frame.png"));
        QFile::remove(out);
        QStringList args {fanFile, QStringLiteral("-o"), out};
        if (!extra.contains(QStringLiteral("--lights")))
            args << QStringLiteral("--model") << QStringLiteral("BELLATRIX");
        const Run r = runTool(args + extra);
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QImage image(out);
        QCOMPARE(image.size(), QSize(side, side));
        // Upright and unmirrored: red top right, green top left, blue bottom
        // left, white bottom right; black in the corners.
        const int q = side / 4;
        QCOMPARE(image.pixel(side - q, q) & 0xffffff, 0xff0000u);
        QCOMPARE(image.pixel(q, q) & 0xffffff, 0x00ff00u);
        QCOMPARE(image.pixel(q, side - q) & 0xffffff, 0x0000ffu);
        QCOMPARE(image.pixel(side - q, side - q) & 0xffffff, 0xffffffu);
        QCOMPARE(image.pixel(0, 0) & 0xffffff, 0u);
    }

    void contact_sheet()
    {
        const QString out = path(QStringLiteral("sheet.png"));
        const Run r =
            runTool({silentFile, QStringLiteral("--model"), QStringLiteral("BELLATRIX"),
                     QStringLiteral("--contact-sheet"), QStringLiteral("--every"),
                     QStringLiteral("5"), QStringLiteral("--columns"), QStringLiteral("3"),
                     QStringLiteral("--size"), QStringLiteral("64"), QStringLiteral("-o"), out});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        // frames 0, 5, ..., 25: six tiles, three per row
        QCOMPARE(QImage(out).size(), QSize(3 * 64 + 4 * 4, 2 * 64 + 3 * 4));
    }

    // The sound track lasts as long as the pictures: 1600 samples at 32000 Hz
    // per frame at 20 frames per second.
    void video_with_sound_data()
    {
        QTest::addColumn<bool>("withSound");
        QTest::addColumn<int>("frames");
        QTest::newRow("with sound") << true << 3;
        QTest::newRow("without sound") << false << 30;
    }

    void video_with_sound()
    {
        QFETCH(bool, withSound);
        QFETCH(int, frames);
        const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
        if (ffprobe.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
            QSKIP("FFmpeg is not installed");
        const QString out = path(QStringLiteral("clip.mp4"));
        QFile::remove(out);
        const Run r = runTool({withSound ? fanFile : silentFile, QStringLiteral("--model"),
                               QStringLiteral("BELLATRIX"), QStringLiteral("-o"), out});
        QVERIFY2(r.code == 0, qPrintable(r.err));

        QProcess probe;
        probe.start(ffprobe,
                    {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                     QStringLiteral("-show_entries"),
                     QStringLiteral("stream=codec_type,duration,nb_read_frames,width"),
                     QStringLiteral("-of"), QStringLiteral("json"), out});
        QVERIFY(probe.waitForFinished(30000));
        const QJsonArray streams = QJsonDocument::fromJson(probe.readAllStandardOutput())
                                       .object()
                                       .value(QStringLiteral("streams"))
                                       .toArray();
        QCOMPARE(streams.size(), 2);
        double videoSeconds = -1, audioSeconds = -1;
        for (const QJsonValue& v : streams) {
            const QJsonObject s = v.toObject();
            if (s.value(QStringLiteral("codec_type")).toString() == QLatin1String("video")) {
                QCOMPARE(s.value(QStringLiteral("nb_read_frames")).toString().toInt(), frames);
                QCOMPARE(s.value(QStringLiteral("width")).toInt(), 4 * kLights);
                videoSeconds = s.value(QStringLiteral("duration")).toString().toDouble();
            } else {
                audioSeconds = s.value(QStringLiteral("duration")).toString().toDouble();
            }
        }
        const double expected = frames / 20.0;
        QVERIFY2(std::fabs(videoSeconds - expected) < 0.01,
                 qPrintable(QString::number(videoSeconds)));
        // AAC works in blocks of 1024 samples: allow one block.
        QVERIFY2(std::fabs(audioSeconds - expected) <= 1024.0 / 32000 + 0.001,
                 qPrintable(QString::number(audioSeconds)));
    }

    void bad_input_gives_one_clear_line_data()
    {
        QTest::addColumn<QString>("file"); // which input to damage
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        const QString model = QStringLiteral("--model");
        QTest::newRow("missing file")
            << "missing" << QStringList {model, "BELLATRIX"} << 1 << "cannot read the file";
        QTest::newRow("empty file")
            << "empty" << QStringList {model, "BELLATRIX"} << 1 << "truncated";
        QTest::newRow("truncated")
            << "truncated" << QStringList {model, "BELLATRIX"} << 1 << "truncated";
        QTest::newRow("bad header")
            << "badheader" << QStringList {model, "BELLATRIX"} << 1 << "header does not match";
        // Refused at once, never waited on.
        QTest::newRow("a FIFO") << "fifo" << QStringList {model, "BELLATRIX"} << 1
                                << "not a regular file";
        QTest::newRow("wrong model")
            << "good" << QStringList {model, "VEGA"} << 1 << "another model";
        QTest::newRow("frame out of range")
            << "good" << QStringList {model, "BELLATRIX", "--frame", "3"} << 1
            << "frame 3 does not exist";
        QTest::newRow("no FFmpeg")
            << "good"
            << QStringList {model, "BELLATRIX", "--ffmpeg", "/nonexistent/ffmpeg", "-o", "@out.mp4"}
            << 1 << "cannot start FFmpeg";
        QTest::newRow("unknown model")
            << "good" << QStringList {model, "NOPE"} << 2 << "unknown model \"NOPE\"";
        QTest::newRow("no geometry")
            << "good" << QStringList {"--lights", "48"} << 2 << "give --model";
        QTest::newRow("depth above 8")
            << "good" << QStringList {model, "BELLATRIX", "--color-depth", "9"} << 2 << "1 to 8";
        QTest::newRow("not a number") << "good" << QStringList {model, "BELLATRIX", "--frame", "x"}
                                      << 2 << "--frame needs a whole number";
        QTest::newRow("unknown output kind")
            << "good" << QStringList {model, "BELLATRIX", "-o", "@out.gif"} << 2 << "choose a .png";
        QTest::newRow("video of one frame")
            << "good" << QStringList {model, "BELLATRIX", "--frame", "1", "-o", "@out.mp4"} << 2
            << "--frame and --contact-sheet need a picture";
    }

    void bad_input_gives_one_clear_line()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, message);

        QFile good(fanFile);
        QVERIFY(good.open(QIODevice::ReadOnly));
        QByteArray bytes = good.readAll();
        QString input = path(QStringLiteral("damaged.bin"));
        if (file == QLatin1String("good")) {
            input = fanFile;
        } else if (file == QLatin1String("missing")) {
            input = path(QStringLiteral("missing.bin"));
        } else if (file == QLatin1String("fifo")) {
            input = path(QStringLiteral("fifo.bin"));
            QFile::remove(input);
            QVERIFY(::mkfifo(QFile::encodeName(input).constData(), 0600) == 0);
        } else {
            if (file == QLatin1String("empty"))
                bytes.clear();
            else if (file == QLatin1String("truncated"))
                bytes.chop(1000);
            else if (file == QLatin1String("badheader"))
                bytes[0] = 'X';
            QFile damaged(input);
            QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
            damaged.write(bytes);
        }

        QString out = path(QStringLiteral("bad.png"));
        for (QString& a : args) {
            if (a.startsWith(QLatin1Char('@')))
                out = a = path(a.mid(1));
        }
        QFile::remove(out);
        if (!args.contains(QStringLiteral("-o")))
            args << QStringLiteral("-o") << out;
        const Run r = runTool(QStringList {input} + args);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.endsWith(QLatin1Char('\n')) && r.err.count(QLatin1Char('\n')) == 1,
                 qPrintable(r.err));
        QVERIFY2(r.err.startsWith(QStringLiteral("spindra-preview: ")), qPrintable(r.err));
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QVERIFY(!QFile::exists(out));
    }
};

QTEST_GUILESS_MAIN(TestPreviewTool)
#include "tst_preview_tool.moc"
