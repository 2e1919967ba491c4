// The 360 worker: column windows of up to three inputs, black outside the
// inputs, shorter inputs repeating their last frame, and its job check.
#include <QtTest>

#include "engine_test_support.h"

using namespace enginetest;

namespace {

const int kWidth = 7;
const int kHeight = 6;

// Pixel of input i, frame f: every position and frame tells itself apart.
void pixelOf(int i, int f, int x, int y, quint8* bgr)
{
    bgr[0] = quint8(60 + i * 60 + x * 8 + y);
    bgr[1] = quint8(40 + f * 8);
    bgr[2] = quint8(250 - x * 20 - y * 5);
}

QByteArray inputFrames(int i, int frames)
{
    QByteArray data;
    for (int f = 0; f < frames; ++f)
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                quint8 bgr[3];
                pixelOf(i, f, x, y, bgr);
                data.append(reinterpret_cast<const char*>(bgr), 3);
            }
    return data;
}

struct Input {
    int frames;
    int centerX;
    int centerY;
};

} // namespace

Q_DECLARE_METATYPE(QVector<int>)

class TestConvert360 : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

    QJsonObject job360(const QVector<Input>& inputs, int lights, int lines, int itemWidth,
                       int itemHeight)
    {
        QJsonArray list;
        for (int i = 0; i < inputs.size(); ++i) {
            const QString file = path(QStringLiteral("in%1.bgr").arg(i));
            writeFile(file, inputFrames(i, inputs[i].frames));
            list.append(wideItem(file, kWidth, kHeight, inputs[i].centerX, inputs[i].centerY));
        }
        QJsonObject job = wideJob(list, path(QStringLiteral("wide.bin")), lights, lines, 8,
                                  itemWidth, itemHeight);
        job.insert(QStringLiteral("in_aud_path"), QString());
        job.insert(QStringLiteral("destTotalWidth"), lines);
        job.insert(QStringLiteral("destTotalHeight"), lights);
        return job;
    }

    int run(const QJsonObject& job, QString* log)
    {
        CallbackRecord record;
        StdoutCapture capture;
        const int rc = runSync(toJson(job), &record);
        capture.stop();
        *log = capture.text();
        if (rc != 0 || record.calls != 1 || record.outputOpenAtCallback)
            return -1;
        return record.failed;
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void layout_data()
    {
        QTest::addColumn<int>("inputCount");
        QTest::addColumn<QVector<int>>("frameCounts");
        QTest::addColumn<QVector<int>>("centers"); // x, y per input
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("itemWidth");
        QTest::addColumn<int>("itemHeight");
        QTest::newRow("three inputs")
            << 3 << QVector<int> {1, 1, 1} << QVector<int> {3, 2, 3, 3, 4, 2} << 4 << 12 << 4 << 4;
        QTest::newRow("two inputs, last lines black")
            << 2 << QVector<int> {1, 1} << QVector<int> {3, 2, 3, 2} << 4 << 12 << 4 << 4;
        QTest::newRow("10 and 25 frames")
            << 2 << QVector<int> {10, 25} << QVector<int> {3, 3, 3, 3} << 3 << 6 << 3 << 3;
        QTest::newRow("window outside the frame")
            << 1 << QVector<int> {1} << QVector<int> {0, 0} << 4 << 5 << 5 << 4;
        QTest::newRow("window past the last column and row")
            << 1 << QVector<int> {1} << QVector<int> {6, 5} << 5 << 5 << 5 << 2;
        QTest::newRow("odd width, negative height")
            << 2 << QVector<int> {2, 1} << QVector<int> {1, 4, 5, 1} << 2 << 6 << 3 << -3;
    }
    void layout()
    {
        QFETCH(int, inputCount);
        QFETCH(QVector<int>, frameCounts);
        QFETCH(QVector<int>, centers);
        QFETCH(int, lights);
        QFETCH(int, lines);
        QFETCH(int, itemWidth);
        QFETCH(int, itemHeight);
        QVector<Input> inputs;
        int frames = 0;
        for (int i = 0; i < inputCount; ++i) {
            inputs.append({frameCounts[i], centers[2 * i], centers[2 * i + 1]});
            frames = qMax(frames, frameCounts[i]);
        }
        QString log;
        QCOMPARE(run(job360(inputs, lights, lines, itemWidth, itemHeight), &log), 0);
        const QString out = path(QStringLiteral("wide.bin"));
        QCOMPARE(QFileInfo(out).size(),
                 expectedSize(uint32_t(lines), uint32_t(lights), 8, uint64_t(frames)));
        const DecodedFile file = decodeFile(out, uint32_t(lines), uint32_t(lights), 8);
        QCOMPARE(file.status, int(FAN_FILE_OK));
        QCOMPARE(file.framesMin, quint64(frames));
        QCOMPARE(log.count(QStringLiteral("[MEDIA] #### write one frame")), frames);
        for (const char* stage : {"1", "2", "3", "4", "5", "6"})
            QVERIFY(log.contains(QStringLiteral("[MEDIA] #### %1\n").arg(QLatin1String(stage))));
        QVERIFY(log.endsWith(QStringLiteral("[MEDIA] >> finish convert_360_worker\n")));

        int lit = 0;
        for (int k = 0; k < frames; ++k)
            for (int c = 0; c < lines; ++c) {
                const int q = c / itemWidth;
                for (int t = 0; t < lights; ++t) {
                    quint8 bgr[3] = {0, 0, 0};
                    if (q < inputCount) {
                        // Each input shows itemWidth columns centred on its
                        // center_x; LED 0 takes the window's last row.
                        const int x = inputs[q].centerX - itemWidth / 2 + (c - q * itemWidth);
                        const int y = inputs[q].centerY - itemHeight / 2 + (lights - 1 - t);
                        if (x >= 0 && x < kWidth && y >= 0 && y < kHeight) {
                            pixelOf(q, qMin(k, inputs[q].frames - 1), x, y, bgr);
                            ++lit;
                        }
                    }
                    for (int ch = 0; ch < 3; ++ch)
                        QVERIFY2(
                            file.at(k, c, t, ch) == tone_table[bgr[ch]],
                            qPrintable(
                                QStringLiteral("frame %1 line %2 led %3").arg(k).arg(c).arg(t)));
                }
            }
        QVERIFY(lit > 0);
    }

    void explicitPositions()
    {
        // Three inputs, two columns each, a three-row window around row 2:
        // line 3 is input 1's column center_x (4) and LED 0 its row 3.
        QString log;
        QCOMPARE(run(job360({{1, 1, 1}, {1, 4, 2}, {1, 2, 2}}, 3, 6, 2, 3), &log), 0);
        const DecodedFile file = decodeFile(path(QStringLiteral("wide.bin")), 6, 3, 8);
        quint8 bgr[3];
        pixelOf(1, 0, 4, 3, bgr);
        QCOMPARE(file.at(0, 3, 0, 0), int(tone_table[bgr[0]]));
        pixelOf(1, 0, 4, 1, bgr);
        QCOMPARE(file.at(0, 3, 2, 2), int(tone_table[bgr[2]]));
        pixelOf(2, 0, 1, 2, bgr);
        QCOMPARE(file.at(0, 4, 1, 1), int(tone_table[bgr[1]]));
    }

    void brightnessKeysIgnored()
    {
        QString log;
        QJsonObject job = job360({{2, 3, 3}}, 4, 8, 8, 4);
        QCOMPARE(run(job, &log), 0);
        const QByteArray plain = readFile(path(QStringLiteral("wide.bin")));
        job.insert(QStringLiteral("gamma"), 3.0);
        job.insert(QStringLiteral("min_brightness"), 0.1);
        job.insert(QStringLiteral("change_brightness_lights"), 4);
        QCOMPARE(run(job, &log), 0);
        QCOMPARE(readFile(path(QStringLiteral("wide.bin"))), plain);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("message");
        const QString check = QStringLiteral("[MEDIA] input or output path is invalid");
        QTest::newRow("destItemWidth 0") << "destItemWidth=0" << check;
        QTest::newRow("destItemWidth negative") << "destItemWidth=-2" << check;
        QTest::newRow("lines missing") << "lines=" << check;
        QTest::newRow("lights missing") << "lights=" << check;
        QTest::newRow("colorDeep 9") << "colorDeep=9" << check;
        QTest::newRow("empty list") << "list=" << check;
        QTest::newRow("no output path") << "out_path=" << check;
        QTest::newRow("input width 0") << "in_width=0"
                                       << "[MEDIA] paramas invalid, in_width:0, in_height:6";
        QTest::newRow("input frame above 32 bits")
            << "in_width=65536,in_height=21846"
            << "[MEDIA] paramas invalid, in_width:65536, in_height:21846";
        QTest::newRow("empty input") << "empty"
                                     << "[MEDIA] not found images on ";
        QTest::newRow("missing input") << "missing"
                                       << "[MEDIA] open in /nonexistent/in.bgr failed, reasone:";
    }
    void failures()
    {
        QFETCH(QString, change);
        QFETCH(QString, message);
        QJsonObject job = job360({{1, 3, 3}}, 4, 4, 4, 4);
        QJsonArray list = job.value(QStringLiteral("list")).toArray();
        QJsonObject item = list.at(0).toObject();
        if (change == QLatin1String("empty")) {
            writeFile(path(QStringLiteral("in0.bgr")), QByteArray());
        } else if (change == QLatin1String("missing")) {
            item.insert(QStringLiteral("frames_resized_file"),
                        QStringLiteral("/nonexistent/in.bgr"));
        } else {
            for (const QString& part : change.split(QLatin1Char(','))) {
                const QString key = part.section(QLatin1Char('='), 0, 0);
                const QString value = part.section(QLatin1Char('='), 1);
                QJsonObject& target = key.startsWith(QLatin1String("in_")) ? item : job;
                if (key == QLatin1String("list"))
                    list = QJsonArray();
                else if (value.isEmpty())
                    target.remove(key);
                else
                    target.insert(key, value.toInt());
            }
        }
        if (!list.isEmpty())
            list.replace(0, item);
        job.insert(QStringLiteral("list"), list);
        const QString out = job.value(QStringLiteral("out_path")).toString();
        QFile::remove(path(QStringLiteral("wide.bin")));
        QString log;
        QCOMPARE(run(job, &log), 1);
        QVERIFY2(log.contains(message), qPrintable(log));
        QVERIFY(log.endsWith(QStringLiteral("[MEDIA] >> finish convert_360_worker\n")));
        // Failing before or after it created its output, the job leaves no file.
        QVERIFY(!QFile::exists(path(QStringLiteral("wide.bin"))));
    }
};

QTEST_GUILESS_MAIN(TestConvert360)
#include "tst_convert_360.moc"
