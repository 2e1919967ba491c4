// The engine's streaming entry: frames handed in from memory give, byte for
// byte, the fan file the reference worker writes from a file of the same
// frames and sound (the sound given at the start or only at the end); every
// way a stream ends without a file leaves the output path as it was, and says
// why.
#include <QtTest>

#include <random>

#include "../engine/engine_test_support.h"
#include "convert_stream.h"

using namespace enginetest;

namespace {

constexpr int kWidth = 23;
constexpr int kHeight = 17;

QByteArray noiseFrames(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray data(count * kWidth * kHeight * 3, '\0');
    for (char& c : data)
        c = char(byte(rng));
    return data;
}

struct Geometry {
    int lights;
    int lines;
    int deep;
    int rampLights;
};

convert_stream_spec specFor(const QByteArray& out, const Geometry& g, convert_cancel* cancel,
                            unsigned threads)
{
    convert_stream_spec spec {};
    spec.out_path = out.constData();
    spec.in_width = kWidth;
    spec.in_height = kHeight;
    spec.center_x = 11;
    spec.center_y = 8;
    spec.radius = uint32_t(g.lights);
    spec.lights = uint32_t(g.lights);
    spec.lines = uint32_t(g.lines);
    spec.colorDeep = uint32_t(g.deep);
    spec.gamma = 2.2;
    spec.min_brightness = 0.3;
    spec.change_brightness_lights = g.rampLights;
    spec.cancel = cancel;
    spec.threads = threads;
    return spec;
}

// Hands in `count` frames of `frames`; the number handed in before the
// engine refused one.
int pushFrames(convert_stream* s, const QByteArray& frames, int count)
{
    const int size = int(convert_stream_frame_size(s));
    for (int k = 0; k < count; ++k) {
        memcpy(convert_stream_frame(s), frames.constData() + k * size, size_t(size));
        if (convert_stream_push(s) != 0)
            return k;
    }
    return count;
}

} // namespace

class TestConvertStream : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }
    QStringList leftovers() const
    {
        return QDir(tempDir.path())
            .entryList({QStringLiteral(".spindra-*")}, QDir::Files | QDir::Hidden);
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void sameBytes_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("sound"); // none, start, after, after short
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("deep");
        QTest::addColumn<int>("ramp");
        QTest::newRow("one frame, silent") << 1 << "none" << 1 << 8 << 16 << 3 << 0;
        QTest::newRow("sound at the start") << 5 << "start" << 3 << 9 << 40 << 6 << 4;
        QTest::newRow("sound at the end") << 5 << "after" << 2 << 9 << 40 << 6 << 4;
        QTest::newRow("sound at the end, shorter than the frames")
            << 6 << "after short" << 3 << 8 << 33 << 8 << 1;
        QTest::newRow("many lines, one thread") << 3 << "after" << 1 << 8 << 520 << 1 << 0;
    }
    void sameBytes()
    {
        QFETCH(int, frames);
        QFETCH(QString, sound);
        QFETCH(int, threads);
        QFETCH(int, lights);
        QFETCH(int, lines);
        QFETCH(int, deep);
        QFETCH(int, ramp);
        const Geometry g {lights, lines, deep, ramp};
        const QByteArray data = noiseFrames(frames, unsigned(frames * 31 + lines));
        const QString framesPath = path(QStringLiteral("frames.bgr"));
        const QString soundPath = path(QStringLiteral("sound.u8"));
        QVERIFY(writeFile(framesPath, data));
        QByteArray soundBytes;
        const int soundLength =
            sound == QLatin1String("after short") ? 2 * 1600 + 700 : frames * 1600;
        for (int i = 0; i < soundLength; ++i)
            soundBytes.append(char(i * 7 + 3));
        QVERIFY(writeFile(soundPath, soundBytes));

        // The reference worker on the frames in a file.
        const QString referencePath = path(QStringLiteral("reference.bin"));
        QJsonObject job =
            flatJob(framesPath, kWidth, kHeight, referencePath, lights, lines, deep, 11, 8);
        job.insert(QStringLiteral("gamma"), 2.2);
        job.insert(QStringLiteral("min_brightness"), 0.3);
        job.insert(QStringLiteral("change_brightness_lights"), ramp);
        if (sound != QLatin1String("none"))
            job.insert(QStringLiteral("in_aud_path"), soundPath);
        CallbackRecord record;
        {
            StdoutCapture quiet;
            QCOMPARE(runSync(toJson(job), &record), 0);
        }
        QCOMPARE(record.failed, 0);

        // The stream, frame by frame from memory.
        const QByteArray out = QFile::encodeName(path(QStringLiteral("streamed.bin")));
        QByteArray start = QFile::encodeName(soundPath);
        convert_stream_spec spec = specFor(out, g, nullptr, unsigned(threads));
        if (sound == QLatin1String("start"))
            spec.sound_path = start.constData();
        StdoutCapture quiet;
        convert_stream* s = convert_stream_open(&spec);
        QVERIFY(s);
        QCOMPARE(convert_stream_frame_size(s), size_t(kWidth * kHeight * 3));
        QCOMPARE(pushFrames(s, data, frames), frames);
        QCOMPARE(convert_stream_frames(s), quint64(frames));
        if (sound.startsWith(QLatin1String("after")))
            QCOMPARE(convert_stream_sound_after(s, start.constData()), 0);
        QCOMPARE(convert_stream_finish(s), 0);
        quiet.stop();
        QCOMPARE(readFile(QFile::decodeName(out)), readFile(referencePath));
        QVERIFY(leftovers().isEmpty());
    }

    void endsWithoutFile_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result"); // -1: convert_stream_open refuses
        QTest::addColumn<QString>("reason");
        QTest::newRow("no frame") << "no frame" << 1 << "no whole frame";
        QTest::newRow("cancelled before frame 2")
            << "cancel at 2" << int(CONVERT_CANCELLED) << "cancelled";
        QTest::newRow("cancelled before the rename")
            << "cancel at the end" << int(CONVERT_CANCELLED) << "cancelled";
        QTest::newRow("discarded") << "discard" << 1 << "";
        QTest::newRow("sound file missing") << "sound missing" << 1 << "No such file or directory";
        QTest::newRow("output folder missing") << "no folder" << -1 << "No such file or directory";
        QTest::newRow("invalid geometry") << "colorDeep 9" << -1 << "invalid job";
        QTest::newRow("disk full") << "full" << 1 << "No space left on device";
    }
    void endsWithoutFile()
    {
        QFETCH(QString, how);
        QFETCH(int, result);
        QFETCH(QString, reason);
        Geometry g {100, 200, 6, 0};
        QString outPath = path(QStringLiteral("kept.bin"));
        if (how == QLatin1String("no folder"))
            outPath = path(QStringLiteral("no/such/folder/x.bin"));
        if (how == QLatin1String("full")) {
            if (!QFileInfo(QStringLiteral("/dev/full")).exists())
                QSKIP("no /dev/full here");
            outPath = QStringLiteral("/dev/full");
        }
        if (how == QLatin1String("colorDeep 9"))
            g.deep = 9;
        // A fan file of an earlier run at the same path stays as it was.
        const QByteArray earlier("an earlier fan file");
        const bool keeps = outPath.startsWith(tempDir.path()) && how != QLatin1String("no folder");
        if (keeps)
            QVERIFY(writeFile(outPath, earlier));
        const QByteArray out = QFile::encodeName(outPath);
        convert_cancel* cancel = convert_cancel_create();
        convert_stream_spec spec = specFor(out, g, cancel, 2);
        StdoutCapture quiet;
        convert_stream* s = convert_stream_open(&spec);
        int got = -1;
        if (s) {
            const QByteArray data = noiseFrames(4, 5);
            const int count = how == QLatin1String("no frame") ? 0 : 4;
            for (int k = 0; k < count; ++k) {
                if (how == QLatin1String("cancel at 2") && k == 2)
                    convert_cancel_request(cancel);
                if (pushFrames(s, data.mid(k * kWidth * kHeight * 3), 1) != 1)
                    break;
            }
            if (how == QLatin1String("cancel at the end"))
                convert_cancel_request(cancel);
            if (how == QLatin1String("sound missing"))
                convert_stream_sound_after(s, QFile::encodeName(path("none.u8")).constData());
            if (how == QLatin1String("discard"))
                convert_stream_discard(s);
            else
                got = convert_stream_finish(s);
        }
        quiet.stop();
        convert_cancel_free(cancel);
        if (how != QLatin1String("discard"))
            QCOMPARE(got, result);
        QVERIFY2(QString::fromUtf8(convert_failure_reason()).contains(reason),
                 convert_failure_reason());
        if (keeps)
            QCOMPARE(readFile(outPath), earlier);
        else
            QVERIFY(outPath == QLatin1String("/dev/full") || !QFileInfo::exists(outPath));
        QVERIFY(leftovers().isEmpty());
    }

    // An output path the caller reserved (a file it created for the job):
    // the finished file replaces that file, or takes the name while it is
    // free, but never a file that took the name meanwhile.
    void reservedOutput_data()
    {
        QTest::addColumn<QString>("meanwhile"); // what becomes of the reservation during the job
        QTest::addColumn<int>("result");
        QTest::newRow("still there: replaced") << "nothing" << 0;
        QTest::newRow("removed: the name taken") << "removed" << 0;
        QTest::newRow("another file in its place: kept") << "another file" << 1;
        QTest::newRow("a link in its place: kept") << "link" << 1;
    }
    void reservedOutput()
    {
        QFETCH(QString, meanwhile);
        QFETCH(int, result);
        const QString outPath = path(QStringLiteral("00_00001.bin"));
        const QString target = path(QStringLiteral("target.txt"));
        QFile::remove(outPath);
        QVERIFY(writeFile(outPath, "reserved"));
        QVERIFY(writeFile(target, "precious"));
        const QByteArray out = QFile::encodeName(outPath);
        convert_stream_spec spec = specFor(out, Geometry {8, 16, 3, 0}, nullptr, 1);
        spec.out_reserved = 1;
        StdoutCapture quiet;
        convert_stream* s = convert_stream_open(&spec);
        QVERIFY(s);
        QCOMPARE(pushFrames(s, noiseFrames(2, 9), 2), 2);
        if (meanwhile != QLatin1String("nothing"))
            QVERIFY(QFile::remove(outPath));
        if (meanwhile == QLatin1String("another file"))
            QVERIFY(writeFile(outPath, "another window's file"));
        if (meanwhile == QLatin1String("link"))
            QVERIFY(QFile::link(target, outPath));
        QCOMPARE(convert_stream_finish(s), result);
        quiet.stop();
        if (result == 0) {
            QCOMPARE(QFileInfo(outPath).size(), qint64(28800));
        } else {
            QVERIFY2(QString::fromUtf8(convert_failure_reason())
                         .endsWith(QStringLiteral("another file took its name")),
                     convert_failure_reason());
            QCOMPARE(readFile(outPath),
                     meanwhile == QLatin1String("link") ? QByteArray("precious")
                                                        : QByteArray("another window's file"));
            QVERIFY(QFile::remove(outPath));
        }
        QCOMPARE(readFile(target), QByteArray("precious"));
        QVERIFY(leftovers().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConvertStream)
#include "tst_convert_stream.moc"
