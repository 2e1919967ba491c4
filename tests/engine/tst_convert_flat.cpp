// The reference flat worker: geometry, tone curve, bit planes, brightness
// ramp, audio blocks, partial input and the rejected parameters.
#include <QtTest>

#include "engine_test_support.h"

using namespace enginetest;

class TestConvertFlat : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

    // Runs job synchronously, returns the callback record's failed flag.
    int run(const QJsonObject& job, QString* log = nullptr)
    {
        CallbackRecord record;
        StdoutCapture capture;
        const int rc = runSync(toJson(job), &record);
        capture.stop();
        if (log)
            *log = capture.text();
        if (rc != 0 || record.calls != 1)
            return -1;
        return record.failed;
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void constantColour_data()
    {
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("colorDeep");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("g");
        QTest::addColumn<int>("r");
        QTest::newRow("deep 8") << 8 << 16 << 8 << 10 << 200 << 255;
        QTest::newRow("deep 1") << 8 << 16 << 1 << 10 << 200 << 255;
        QTest::newRow("deep 6, odd lines") << 5 << 7 << 6 << 128 << 64 << 32;
        QTest::newRow("one light") << 1 << 4 << 8 << 90 << 160 << 250;
        QTest::newRow("100 lights") << 100 << 8 << 3 << 255 << 255 << 255;
    }
    void constantColour()
    {
        QFETCH(int, lights);
        QFETCH(int, lines);
        QFETCH(int, colorDeep);
        QFETCH(int, b);
        QFETCH(int, g);
        QFETCH(int, r);
        const int size = 2 * lights + 2;
        const QString frames = path(QStringLiteral("solid.bgr"));
        QVERIFY(writeFile(frames, solidFrame(size, size, b, g, r).repeated(2)));
        const QString out = path(QStringLiteral("solid.bin"));
        QCOMPARE(
            run(flatJob(frames, size, size, out, lights, lines, colorDeep, size / 2, size / 2)), 0);

        QCOMPARE(QFileInfo(out).size(), expectedSize(lines, lights, colorDeep, 2));
        const DecodedFile file = decodeFile(out, lines, lights, colorDeep);
        QCOMPARE(file.status, int(FAN_FILE_OK));
        QCOMPARE(file.framesMin, quint64(2));
        QCOMPARE(file.padBitStatus, int(FAN_FILE_OK));
        const int mask = (0xff00 >> colorDeep) & 0xff;
        const int expected[3] = {tone_table[b] & mask, tone_table[g] & mask, tone_table[r] & mask};
        for (int k = 0; k < 2; ++k)
            for (int l = 0; l < lines; ++l)
                for (int t = 0; t < lights; ++t)
                    for (int c = 0; c < 3; ++c)
                        QCOMPARE(file.at(k, l, t, c), expected[c]);
    }

    void planeLayout_data()
    {
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("planeBytes");
        QTest::addColumn<int>("firstByte");
        QTest::addColumn<int>("lastByte");
        // White everywhere: every data bit is set, only pad bits stay clear.
        QTest::newRow("1 light, 5 pad bits") << 1 << 1 << 0x07 << 0x07;
        QTest::newRow("8 lights, no pad bits") << 8 << 3 << 0xff << 0xff;
        QTest::newRow("100 lights, 4 pad bits") << 100 << 38 << 0x0f << 0xff;
    }
    void planeLayout()
    {
        QFETCH(int, lights);
        QFETCH(int, planeBytes);
        QFETCH(int, firstByte);
        QFETCH(int, lastByte);
        const int lines = 4;
        const int deep = 2;
        const int size = 2 * lights + 1;
        const QString frames = path(QStringLiteral("white.bgr"));
        QVERIFY(writeFile(frames, solidFrame(size, size, 255, 255, 255)));
        const QString out = path(QStringLiteral("white.bin"));
        QCOMPARE(run(flatJob(frames, size, size, out, lights, lines, deep, lights, lights)), 0);

        const QByteArray data = readFile(out);
        QCOMPARE(data.size(), int(expectedSize(lines, lights, deep, 1)));
        QCOMPARE(data.left(int(FAN_HEADER_SIZE)),
                 QByteArray(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE)));
        for (int p = 0; p < lines * deep; ++p) {
            const int at = int(FAN_HEADER_SIZE) + p * planeBytes;
            QCOMPARE(quint8(data[at]), quint8(firstByte));
            QCOMPARE(quint8(data[at + planeBytes - 1]), quint8(lastByte));
        }
        // The audio block follows the light data directly; then padding.
        const int audioAt = int(FAN_HEADER_SIZE) + lines * deep * planeBytes;
        QCOMPARE(data.mid(audioAt), QByteArray(data.size() - audioAt, '\0'));
    }

    void centreLedBits()
    {
        // One LED on the centre: each plane is one byte whose three lowest
        // bits are, high to low, bit 7 - i of blue, green and red.
        const QString frames = path(QStringLiteral("centre.bgr"));
        QVERIFY(writeFile(frames, solidFrame(3, 3, 255, 0, 160))); // tone: 255, 0, 157 = 0b10011101
        const QString out = path(QStringLiteral("centre.bin"));
        QCOMPARE(run(flatJob(frames, 3, 3, out, 1, 4, 8, 1, 1)), 0);
        const QByteArray data = readFile(out);
        const int red = tone_table[160];
        for (int l = 0; l < 4; ++l)
            for (int i = 0; i < 8; ++i) {
                const int expected = 0x4 | (((red >> (7 - i)) & 1));
                QCOMPARE(quint8(data[int(FAN_HEADER_SIZE) + l * 8 + i]), quint8(expected));
            }
    }

    void brightPixelDirection_data()
    {
        QTest::addColumn<int>("dx");
        QTest::addColumn<int>("dy");
        QTest::addColumn<int>("line");
        QTest::newRow("increasing x is line 0") << 3 << 0 << 0;
        QTest::newRow("increasing y is line lines/4") << 0 << 3 << 4;
        QTest::newRow("decreasing x is line lines/2") << -3 << 0 << 8;
        QTest::newRow("decreasing y is line 3 lines/4") << 0 << -3 << 12;
    }
    void brightPixelDirection()
    {
        QFETCH(int, dx);
        QFETCH(int, dy);
        QFETCH(int, line);
        const int lights = 6, lines = 16, size = 15, cx = 7, cy = 7;
        QByteArray frame = solidFrame(size, size, 0, 0, 0);
        setPixel(frame, size, cx + dx, cy + dy, 255, 255, 255);
        const QString frames = path(QStringLiteral("dot.bgr"));
        QVERIFY(writeFile(frames, frame));
        const QString out = path(QStringLiteral("dot.bin"));
        QCOMPARE(run(flatJob(frames, size, size, out, lights, lines, 8, cx, cy)), 0);

        const DecodedFile file = decodeFile(out, lines, lights, 8);
        QCOMPARE(file.framesMin, quint64(1));
        // LED t sits at distance lights - 1 - t: distance 3 is LED 2. Its four
        // quarter-pixel samples each see the pixel with weight 0.5625.
        const int lit = lights - 1 - 3;
        const int peak = tone_table[int(255 * 0.5625f)];
        for (int c = 0; c < 3; ++c)
            QCOMPARE(file.at(0, line, lit, c), peak);
        for (int l = 0; l < lines; ++l)
            for (int t = 0; t < lights; ++t)
                if (l != line || t != lit)
                    QVERIFY2(file.at(0, l, t, 0) < peak,
                             qPrintable(QStringLiteral("line %1 led %2").arg(l).arg(t)));
        // The opposite direction stays dark.
        QCOMPARE(file.at(0, (line + lines / 2) % lines, lit, 0), 0);
    }

    void edgeRepeatsOutsideFrame()
    {
        // Centre on the left edge: samples left of column 0 read column 0.
        const int size = 9;
        QByteArray frame = solidFrame(size, size, 0, 0, 0);
        for (int y = 0; y < size; ++y)
            setPixel(frame, size, 0, y, 200, 200, 200);
        const QString frames = path(QStringLiteral("edge.bgr"));
        QVERIFY(writeFile(frames, frame));
        const QString out = path(QStringLiteral("edge.bin"));
        QCOMPARE(run(flatJob(frames, size, size, out, 4, 4, 8, 0, 4)), 0);
        const DecodedFile file = decodeFile(out, 4, 4, 8);
        // Line 2 points toward decreasing x: every LED but the centre one
        // (whose samples reach column 1) reads only the edge column.
        for (int t = 0; t < 3; ++t)
            QCOMPARE(file.at(0, 2, t, 1), int(tone_table[200]));
    }

    void brightnessRamp_data()
    {
        QTest::addColumn<int>("q");
        QTest::addColumn<double>("gamma");
        QTest::addColumn<double>("minBrightness");
        QTest::addColumn<bool>("writeMin");
        QTest::addColumn<QVector<int>>("expected"); // by distance r = 0..7 from the centre
        // The tone curve maps 200 to 233; factors: (1/4)^2 * 0.5 + 0.5 = 0.53125,
        // 0.625, 0.78125, then 1; 233 * 0.53125 + 0.5 = 124.28 and so on.
        const int v = tone_table[200];
        QTest::newRow("Q 4, gamma 2, min 0.5")
            << 4 << 2.0 << 0.5 << true << QVector<int> {124, 146, 182, v, v, v, v, v};
        QTest::newRow("Q 4, linear, min 0")
            << 4 << 1.0 << 0.0 << true << QVector<int> {58, 117, 175, v, v, v, v, v};
        QTest::newRow("Q 1 halves the centre only")
            << 1 << 3.0 << 0.5 << true << QVector<int> {117, v, v, v, v, v, v, v};
        QTest::newRow("Q 0 changes nothing")
            << 0 << 1.0 << 0.2 << true << QVector<int> {v, v, v, v, v, v, v, v};
        QTest::newRow("negative Q changes nothing")
            << -3 << 1.0 << 0.2 << true << QVector<int> {v, v, v, v, v, v, v, v};
        QTest::newRow("min above 1 clamps at 255")
            << 8 << 1.0 << 2.0 << true << QVector<int> {255, 255, 255, 255, 255, 255, 255, v};
        QTest::newRow("missing min is 1.0")
            << 8 << 3.0 << 0.0 << false << QVector<int> {v, v, v, v, v, v, v, v};
    }
    void brightnessRamp()
    {
        QFETCH(int, q);
        QFETCH(double, gamma);
        QFETCH(double, minBrightness);
        QFETCH(bool, writeMin);
        QFETCH(QVector<int>, expected);
        const int lights = 8, size = 17;
        const QString frames = path(QStringLiteral("ramp.bgr"));
        QVERIFY(writeFile(frames, solidFrame(size, size, 200, 200, 200)));
        const QString out = path(QStringLiteral("ramp.bin"));
        QJsonObject job = flatJob(frames, size, size, out, lights, 4, 8, 8, 8);
        job.insert(QStringLiteral("change_brightness_lights"), q);
        job.insert(QStringLiteral("gamma"), gamma);
        if (writeMin)
            job.insert(QStringLiteral("min_brightness"), minBrightness);
        else
            job.remove(QStringLiteral("min_brightness"));
        QCOMPARE(run(job), 0);
        const DecodedFile file = decodeFile(out, 4, lights, 8);
        for (int l = 0; l < 4; ++l)
            for (int r = 0; r < lights; ++r)
                QCOMPARE(file.at(0, l, lights - 1 - r, 2), expected[r]);
    }

    void partialFrames_data()
    {
        QTest::addColumn<double>("frameCount");
        QTest::addColumn<int>("failed");
        QTest::addColumn<int>("written");
        QTest::newRow("2.5 frames give 2") << 2.5 << 0 << 2;
        QTest::newRow("3 frames") << 3.0 << 0 << 3;
        QTest::newRow("0.9 frames fail") << 0.9 << 1 << 0;
        QTest::newRow("empty input fails") << 0.0 << 1 << 0;
    }
    void partialFrames()
    {
        QFETCH(double, frameCount);
        QFETCH(int, failed);
        QFETCH(int, written);
        const int size = 6;
        const QByteArray frame = solidFrame(size, size, 50, 100, 150);
        const QString frames = path(QStringLiteral("partial.bgr"));
        QVERIFY(writeFile(frames, frame.repeated(3).left(int(frame.size() * frameCount))));
        const QString out = path(QStringLiteral("partial.bin"));
        // A failed job leaves whatever was at the output path before.
        const QByteArray earlier("an earlier fan file");
        QVERIFY(writeFile(out, earlier));
        QString log;
        QCOMPARE(run(flatJob(frames, size, size, out, 3, 4, 4, 3, 3), &log), failed);
        QVERIFY(log.contains(
            QStringLiteral("[MEDIA] read:%1 len:%2 failed.").arg(frames).arg(size * size * 3)));
        QCOMPARE(log.contains(QStringLiteral("[MEDIA] convert failed, not have one frame success")),
                 written == 0);
        if (written == 0) {
            QCOMPARE(readFile(out), earlier);
            return;
        }
        QCOMPARE(QFileInfo(out).size(), expectedSize(4, 3, 4, written));
        const DecodedFile file = decodeFile(out, 4, 3, 4);
        QCOMPARE(file.status, int(FAN_FILE_OK));
        QCOMPARE(file.framesMin, quint64(written));
    }

    void audioBlocks_data()
    {
        QTest::addColumn<int>("audioBytes"); // -1: no audio path, -2: a path that does not exist
        QTest::newRow("no audio") << -1;
        QTest::newRow("missing audio file") << -2;
        QTest::newRow("full audio") << 3 * 1600;
        QTest::newRow("audio shorter than video") << 1600 + 800;
    }
    void audioBlocks()
    {
        QFETCH(int, audioBytes);
        const int size = 4;
        const QString frames = path(QStringLiteral("av.bgr"));
        QVERIFY(writeFile(frames, solidFrame(size, size, 100, 150, 200).repeated(3)));
        QByteArray audio;
        for (int i = 0; i < qMax(audioBytes, 0); ++i)
            audio.append(char(1 + i % 251));
        const QString audioPath = path(QStringLiteral("av.pcm"));
        QJsonObject job =
            flatJob(frames, size, size, path(QStringLiteral("av.bin")), 2, 4, 2, 2, 2);
        if (audioBytes >= 0) {
            QVERIFY(writeFile(audioPath, audio));
            job.insert(QStringLiteral("in_aud_path"), audioPath);
        } else if (audioBytes == -2) {
            job.insert(QStringLiteral("in_aud_path"), path(QStringLiteral("nothing.pcm")));
        }
        QString log;
        QCOMPARE(run(job, &log), 0);
        const DecodedFile file = decodeFile(path(QStringLiteral("av.bin")), 4, 2, 2);
        QCOMPARE(file.framesMin, quint64(3));
        for (int k = 0; k < 3; ++k) {
            QByteArray expected = audio.mid(k * 1600, 1600);
            expected.append(QByteArray(1600 - expected.size(), '\0'));
            QCOMPARE(file.audio[k], expected);
            const bool short_ = audioBytes >= 0 && audioBytes < (k + 1) * 1600;
            QCOMPARE(
                log.contains(
                    QStringLiteral("[MEDIA] read:%1 at:%2 failed.").arg(audioPath).arg(k * 1600)),
                short_);
        }
        if (audioBytes == -2)
            QVERIFY(log.contains(
                QStringLiteral("[MEDIA] open in %1 failed, reasone:No such file or directory")
                    .arg(path(QStringLiteral("nothing.pcm")))));
    }

    void rejectedParameters_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("message");
        const QString params = QStringLiteral("[MEDIA] paramas invalid, ");
        const QString paths = QStringLiteral("[MEDIA] input or output path is invalid");
        QTest::newRow("colorDeep 0") << "colorDeep" << QJsonValue(0) << params;
        QTest::newRow("colorDeep 9") << "colorDeep" << QJsonValue(9) << params;
        QTest::newRow("lines 0") << "lines" << QJsonValue(0) << params;
        QTest::newRow("radius 0") << "radius" << QJsonValue(0) << params;
        QTest::newRow("lights missing") << "lights" << QJsonValue() << params;
        QTest::newRow("lines missing") << "lines" << QJsonValue() << params;
        QTest::newRow("in_width missing") << "in_width" << QJsonValue() << params;
        QTest::newRow("in_height negative") << "in_height" << QJsonValue(-7) << params;
        QTest::newRow("frame above 4 GiB") << "in_width" << QJsonValue(2147483647) << params;
        QTest::newRow("frame just above 32 bits") << "in_height" << QJsonValue(21846) << params;
        QTest::newRow("no frame path") << "frames_resized_file" << QJsonValue() << paths;
        QTest::newRow("empty out path") << "out_path" << QJsonValue(QString()) << paths;
        QTest::newRow("frame file missing")
            << "frames_resized_file" << QJsonValue(QStringLiteral("/nonexistent/f.bgr"))
            << QStringLiteral("[MEDIA] open in /nonexistent/f.bgr failed, reasone:");
        QTest::newRow("output not creatable")
            << "out_path" << QJsonValue(QStringLiteral("/nonexistent/o.bin"))
            << QStringLiteral("[MEDIA] open out /nonexistent/o.bin failed, reasone:");
    }
    void rejectedParameters()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(QString, message);
        const QString frames = path(QStringLiteral("ok.bgr"));
        QVERIFY(writeFile(frames, solidFrame(65536, 1, 9, 9, 9)));
        const QString out = path(QStringLiteral("rejected.bin"));
        QFile::remove(out);
        // 65536 x 21846 x 3 is just above 2^32 - 1.
        QJsonObject job = flatJob(frames, 65536, 1, out, 4, 4, 4, 2, 0);
        if (value.isUndefined() || value.isNull())
            job.remove(key);
        else
            job.insert(key, value);
        if (key == QLatin1String("in_height") && value.toInt() == 21846)
            job.insert(QStringLiteral("in_width"), 65536);
        QString log;
        QCOMPARE(run(job, &log), 1);
        QVERIFY2(log.contains(message), qPrintable(log));
        QVERIFY(log.contains(QStringLiteral("[MEDIA] >> finish")));
        QVERIFY(!QFile::exists(out));
    }

    void noFrameLeavesNoFile()
    {
        const QString frames = path(QStringLiteral("short.bgr"));
        QVERIFY(writeFile(frames, QByteArray(10, '\x7f')));
        const QString out = path(QStringLiteral("short.bin"));
        QCOMPARE(run(flatJob(frames, 4, 4, out, 2, 2, 2, 2, 2)), 1);
        QVERIFY(!QFile::exists(out));
        QVERIFY(QDir(tempDir.path())
                    .entryList({QStringLiteral(".spindra-*")}, QDir::Hidden | QDir::Files)
                    .isEmpty());
    }

    void sampleStaysInsideFrame_data()
    {
        QTest::addColumn<float>("x");
        QTest::addColumn<float>("y");
        QTest::addColumn<int>("expected");
        // Columns hold 0, 100, 200; rows are equal.
        QTest::newRow("exact pixel") << 1.0f << 0.0f << 100;
        QTest::newRow("between columns") << 1.5f << 0.5f << 150;
        QTest::newRow("left of the frame") << -5.0f << 1.0f << 0;
        QTest::newRow("right of the frame") << 1e9f << -1e9f << 200;
        QTest::newRow("quarter") << 0.25f << 1.75f << 25;
    }
    void sampleStaysInsideFrame()
    {
        QFETCH(float, x);
        QFETCH(float, y);
        QFETCH(int, expected);
        const uint8_t frame[] = {0, 0, 0, 100, 100, 100, 200, 200, 200,
                                 0, 0, 0, 100, 100, 100, 200, 200, 200};
        const convert_bgr v = sample_bilinear(frame, 3, 2, x, y);
        QCOMPARE(int(v.b), expected);
        QCOMPARE(int(v.r), expected);
    }
};

QTEST_GUILESS_MAIN(TestConvertFlat)
#include "tst_convert_flat.moc"
