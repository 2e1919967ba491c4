// The fan file reader: the checks it makes, bit-plane decoding against the
// packer, memory and file sources, offsets past 4 GiB, and the audio blocks
// taken from a sound file that may be missing or short.
#include <QtTest>

#include <QRandomGenerator>

#include "engine_test_support.h"
#include "fan_audio.h"

using namespace enginetest;

class TestFanFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

    // A converted file of three frames, lines 6, lights 5, colorDeep 4.
    QByteArray sampleFile()
    {
        QByteArray frames;
        for (int k = 0; k < 3; ++k)
            frames += solidFrame(12, 12, quint8(90 + 40 * k), 140, 220);
        writeFile(path(QStringLiteral("sample.bgr")), frames);
        QByteArray audio(3 * 1600, '\x55');
        writeFile(path(QStringLiteral("sample.pcm")), audio);
        QJsonObject job = flatJob(path(QStringLiteral("sample.bgr")), 12, 12,
                                  path(QStringLiteral("sample.bin")), 5, 6, 4, 6, 6);
        job.insert(QStringLiteral("in_aud_path"), path(QStringLiteral("sample.pcm")));
        CallbackRecord record;
        StdoutCapture capture;
        runSync(toJson(job), &record);
        return readFile(path(QStringLiteral("sample.bin")));
    }

    // A sound file of `bytes` bytes, no byte zero, differing along the file.
    QString soundFile(const QString& name, int bytes)
    {
        QByteArray sound(bytes, '\0');
        for (int i = 0; i < bytes; ++i)
            sound[i] = char(1 + i % 251);
        writeFile(path(name), sound);
        return path(name);
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void headerBytes()
    {
        const QByteArray header(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE));
        QCOMPARE(header.left(8), QByteArray("POVFILE1"));
        const quint32 fields[] = {812, 1600, 28800, 32000, 20, 3};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(qFromLittleEndian<quint32>(header.constData() + 8 + 4 * i), fields[i]);
        QCOMPARE(header.mid(32), QByteArray(int(FAN_HEADER_SIZE) - 32, '\0'));
    }

    void layoutSizes()
    {
        // 100 lights, 200 lines, 6 planes: 38-byte planes with 4 pad bits;
        // ten frames end at 472812 and pad to 489600.
        fan_file_layout layout;
        QCOMPARE(fan_file_layout_init(&layout, 200, 100, 6), int(FAN_FILE_OK));
        QCOMPARE(layout.plane_bytes, 38u);
        QCOMPARE(layout.pad_bits, 4u);
        QCOMPARE(layout.light_bytes, quint64(45600));
        QCOMPARE(layout.record_bytes, quint64(47200));
        QCOMPARE(fan_file_padded_size(&layout, 10), quint64(489600));
        QCOMPARE(fan_file_padded_size(&layout, 0), quint64(28800));
        QCOMPARE(fan_file_layout_init(&layout, 0, 100, 6), int(FAN_FILE_ERR_GEOMETRY));
        QCOMPARE(fan_file_layout_init(&layout, 10, 0xffffffffu, 6), int(FAN_FILE_ERR_GEOMETRY));
        QCOMPARE(fan_file_layout_init(&layout, 10, 10, 9), int(FAN_FILE_ERR_GEOMETRY));
        QCOMPARE(fan_file_layout_init(&layout, 10, 10, 0), int(FAN_FILE_ERR_GEOMETRY));
    }

    void memoryAndFileAgree()
    {
        const QByteArray data = sampleFile();
        fan_file mem;
        fan_file disk;
        QCOMPARE(fan_file_open_memory(&mem, data.constData(), size_t(data.size()), 6, 5, 4),
                 int(FAN_FILE_OK));
        QCOMPARE(fan_file_open(&disk,
                               QFile::encodeName(path(QStringLiteral("sample.bin"))).constData(), 6,
                               5, 4),
                 int(FAN_FILE_OK));
        QCOMPARE(mem.frame_count_min, quint64(3));
        QCOMPARE(disk.frame_count, mem.frame_count);
        QCOMPARE(disk.frame_count_min, quint64(3));
        QCOMPARE(mem.size, quint64(data.size()));
        QByteArray light(int(mem.layout.light_bytes), '\0'), light2 = light;
        QByteArray audio(1600, '\0'), audio2 = audio;
        for (quint64 k = 0; k < 3; ++k) {
            QCOMPARE(fan_file_read_frame(&mem, k, reinterpret_cast<uint8_t*>(light.data()),
                                         reinterpret_cast<uint8_t*>(audio.data())),
                     int(FAN_FILE_OK));
            QCOMPARE(fan_file_read_frame(&disk, k, reinterpret_cast<uint8_t*>(light2.data()),
                                         reinterpret_cast<uint8_t*>(audio2.data())),
                     int(FAN_FILE_OK));
            QCOMPARE(light, light2);
            QCOMPARE(audio, QByteArray(1600, '\x55'));
            QCOMPARE(audio2, audio);
            const uint8_t* record = fan_file_frame_data(&mem, k);
            QVERIFY(record);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(record), light.size()), light);
            QByteArray values(6 * 5 * 3, '\0');
            QCOMPARE(fan_file_decode_frame(&mem.layout, record,
                                           reinterpret_cast<uint8_t*>(values.data())),
                     int(FAN_FILE_OK));
            QCOMPARE(quint8(values[0]), quint8(tone_table[90 + 40 * k] & 0xf0));
            QCOMPARE(quint8(values[2]), quint8(tone_table[220] & 0xf0));
        }
        QVERIFY(!fan_file_frame_data(&disk, 0));
        QCOMPARE(fan_file_read_frame(&mem, mem.frame_count, nullptr, nullptr),
                 int(FAN_FILE_ERR_RANGE));
        fan_file_close(&mem);
        fan_file_close(&disk);
        fan_file_close(&disk); // closing twice is harmless
    }

    void rejectedFiles_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("status");
        QTest::newRow("one byte short") << "truncate" << int(FAN_FILE_ERR_SIZE);
        QTest::newRow("one granule more") << "granule" << int(FAN_FILE_OK);
        QTest::newRow("header byte") << "header" << int(FAN_FILE_ERR_HEADER);
        QTest::newRow("data in the padding") << "padding" << int(FAN_FILE_ERR_PADDING);
        QTest::newRow("empty") << "empty" << int(FAN_FILE_ERR_SIZE);
        QTest::newRow("header only") << "header-only" << int(FAN_FILE_ERR_SIZE);
    }
    void rejectedFiles()
    {
        QFETCH(QString, damage);
        QFETCH(int, status);
        QByteArray data = sampleFile();
        if (damage == QLatin1String("truncate"))
            data.chop(1);
        else if (damage == QLatin1String("granule"))
            data.append(QByteArray(int(FAN_PAD_GRANULE), '\0')); // whole zero records (F < 28800)
        else if (damage == QLatin1String("header"))
            data[20] = '\x01';
        else if (damage == QLatin1String("padding"))
            data[data.size() - 1] = '\x01';
        else if (damage == QLatin1String("empty"))
            data.clear();
        else if (damage == QLatin1String("header-only"))
            data = data.left(int(FAN_HEADER_SIZE));
        fan_file f;
        QCOMPARE(fan_file_open_memory(&f, data.constData(), size_t(data.size()), 6, 5, 4), status);
        QVERIFY(QByteArray(fan_file_status_text(status)).size() > 0);
        if (status == FAN_FILE_OK) {
            // A writer adds less than one granule of padding, so the zero
            // records of the extra granule count as (black, silent) frames.
            const quint64 fewest =
                (quint64(data.size()) - FAN_PAD_GRANULE - FAN_HEADER_SIZE) / f.layout.record_bytes +
                1;
            QCOMPARE(f.frame_count_min, fewest);
            fan_file_close(&f);
        } else {
            QCOMPARE(f.frame_count, quint64(0));
        }
    }

    void paddingLongerThanWriterMakes()
    {
        // Records of 47200 bytes: one frame pads to 57600; 86400 bytes would
        // hold 38388 bytes of padding, more than a writer ever adds.
        fan_file_layout layout;
        fan_file_layout_init(&layout, 200, 100, 6);
        QByteArray data(int(fan_file_padded_size(&layout, 1)), '\0');
        data.replace(0, int(FAN_HEADER_SIZE),
                     QByteArray(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE)));
        data[int(FAN_HEADER_SIZE)] = '\x0f';
        fan_file f;
        QCOMPARE(fan_file_open_memory(&f, data.constData(), size_t(data.size()), 200, 100, 6),
                 int(FAN_FILE_OK));
        QCOMPARE(f.frame_count, quint64(1));
        data.append(QByteArray(int(FAN_PAD_GRANULE), '\0'));
        QCOMPARE(fan_file_open_memory(&f, data.constData(), size_t(data.size()), 200, 100, 6),
                 int(FAN_FILE_ERR_PADDING));
        QCOMPARE(fan_file_open_memory(&f, data.constData(), size_t(data.size()), 200, 100, 0),
                 int(FAN_FILE_ERR_GEOMETRY));
    }

    void planesRoundTrip_data()
    {
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("colorDeep");
        QTest::newRow("1 light, deep 8") << 1 << 8;
        QTest::newRow("8 lights, deep 1") << 8 << 1;
        QTest::newRow("13 lights, deep 5") << 13 << 5;
        QTest::newRow("100 lights, deep 6") << 100 << 6;
    }
    void planesRoundTrip()
    {
        QFETCH(int, lights);
        QFETCH(int, colorDeep);
        fan_file_layout layout;
        QCOMPARE(fan_file_layout_init(&layout, 1, uint32_t(lights), uint32_t(colorDeep)),
                 int(FAN_FILE_OK));
        QCOMPARE(quint64(layout.plane_bytes), convert_plane_bytes(uint32_t(lights)));
        QVector<convert_bgr> values(lights);
        QRandomGenerator random(uint(lights * 31 + colorDeep));
        for (convert_bgr& v : values) {
            v.b = quint8(random.bounded(256));
            v.g = quint8(random.bounded(256));
            v.r = quint8(random.bounded(256));
        }
        QByteArray planes(int(layout.line_bytes), '\0');
        for (int i = 0; i < colorDeep; ++i)
            convert_pack_plane(values.constData(), uint32_t(lights), uint32_t(i),
                               reinterpret_cast<uint8_t*>(planes.data()) +
                                   i * int(layout.plane_bytes));
        QByteArray decoded(lights * 3, '\0');
        QCOMPARE(fan_file_decode_line(&layout, reinterpret_cast<const uint8_t*>(planes.constData()),
                                      reinterpret_cast<uint8_t*>(decoded.data())),
                 int(FAN_FILE_OK));
        const quint8 mask = quint8(0xff00 >> colorDeep);
        for (int t = 0; t < lights; ++t) {
            QCOMPARE(quint8(decoded[3 * t]), quint8(values[t].b & mask));
            QCOMPARE(quint8(decoded[3 * t + 1]), quint8(values[t].g & mask));
            QCOMPARE(quint8(decoded[3 * t + 2]), quint8(values[t].r & mask));
        }
        if (layout.pad_bits > 0) {
            planes[0] = char(planes[0] | 0x80);
            QCOMPARE(fan_file_decode_line(&layout,
                                          reinterpret_cast<const uint8_t*>(planes.constData()),
                                          reinterpret_cast<uint8_t*>(decoded.data())),
                     int(FAN_FILE_ERR_PAD_BITS));
        }
    }

    void offsetsPast4GiB()
    {
        // A sparse file whose last record starts beyond 4 GiB.
        fan_file_layout layout;
        fan_file_layout_init(&layout, 200, 100, 6);
        const quint64 frames = 91000; // 812 + 91000 * 47200 > 2^32
        const quint64 size = fan_file_padded_size(&layout, frames);
        QVERIFY(size > (quint64(1) << 32));
        const QString file = path(QStringLiteral("huge.bin"));
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE));
            if (!out.resize(qint64(size)))
                QSKIP("the temporary folder cannot hold a sparse 4 GiB file");
            QVERIFY(out.seek(qint64(FAN_HEADER_SIZE + (frames - 1) * layout.record_bytes)));
            out.write("\xab", 1);
            QVERIFY(out.seek(
                qint64(FAN_HEADER_SIZE + (frames - 1) * layout.record_bytes + layout.light_bytes)));
            out.write("\xcd", 1);
        }
        fan_file f;
        QCOMPARE(fan_file_open(&f, QFile::encodeName(file).constData(), 200, 100, 6),
                 int(FAN_FILE_OK));
        QCOMPARE(f.size, size);
        QCOMPARE(f.frame_count, frames);
        QCOMPARE(f.frame_count_min, frames);
        QByteArray light(int(layout.light_bytes), '\0');
        QByteArray audio(1600, '\0');
        QCOMPARE(fan_file_read_frame(&f, frames - 1, reinterpret_cast<uint8_t*>(light.data()),
                                     reinterpret_cast<uint8_t*>(audio.data())),
                 int(FAN_FILE_OK));
        QCOMPARE(quint8(light[0]), quint8(0xab));
        QCOMPARE(quint8(audio[0]), quint8(0xcd));
        fan_file_close(&f);
        QFile::remove(file);
    }

    void audioBlocks_data()
    {
        QTest::addColumn<int>("soundBytes"); // -1: no sound file
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("fromFile"); // bytes of the block from the file
        QTest::newRow("no sound") << -1 << 0 << 0;
        QTest::newRow("whole first block") << 4000 << 0 << 1600;
        QTest::newRow("whole second block") << 4000 << 1 << 1600;
        QTest::newRow("short last block") << 4000 << 2 << 800;
        QTest::newRow("block past the end") << 4000 << 3 << 0;
        QTest::newRow("empty sound file") << 0 << 0 << 0;
        QTest::newRow("far past the end") << 1600 << 1000000 << 0;
    }

    void audioBlocks()
    {
        QFETCH(int, soundBytes);
        QFETCH(int, index);
        QFETCH(int, fromFile);
        FILE* sound = nullptr;
        if (soundBytes >= 0) {
            sound = std::fopen(
                QFile::encodeName(soundFile(QStringLiteral("blocks.pcm"), soundBytes)).constData(),
                "rb");
            QVERIFY(sound);
        }
        QByteArray block(FAN_AUDIO_BLOCK, '\x77');
        const size_t read =
            fan_audio_block(sound, uint64_t(index), reinterpret_cast<uint8_t*>(block.data()));
        if (sound)
            std::fclose(sound);
        QCOMPARE(int(read), fromFile);
        for (int j = 0; j < int(FAN_AUDIO_BLOCK); ++j) {
            const qint64 at = qint64(index) * FAN_AUDIO_BLOCK + j;
            const char expected = j < fromFile ? char(1 + at % 251) : '\0';
            QVERIFY2(block[j] == expected, qPrintable(QStringLiteral("byte %1").arg(j)));
        }
    }

    void converterWritesTheSameBlocks()
    {
        // Three frames, sound for one and a half: the converter's records
        // carry exactly the blocks fan_audio_block gives.
        QByteArray frames;
        for (int k = 0; k < 3; ++k)
            frames += solidFrame(12, 12, 100, 150, 200);
        writeFile(path(QStringLiteral("short.bgr")), frames);
        const QString sound = soundFile(QStringLiteral("short.pcm"), 2400);
        QJsonObject job = flatJob(path(QStringLiteral("short.bgr")), 12, 12,
                                  path(QStringLiteral("short.bin")), 5, 6, 4, 6, 6);
        job.insert(QStringLiteral("in_aud_path"), sound);
        CallbackRecord record;
        {
            StdoutCapture capture;
            runSync(toJson(job), &record);
        }
        QCOMPARE(record.failed, 0);
        const QByteArray file = readFile(path(QStringLiteral("short.bin")));
        fan_file f;
        QCOMPARE(fan_file_open_memory(&f, file.constData(), size_t(file.size()), 6, 5, 4),
                 int(FAN_FILE_OK));
        QVERIFY(f.frame_count >= 3); // the padding may hold more whole records
        FILE* in = std::fopen(QFile::encodeName(sound).constData(), "rb");
        QVERIFY(in);
        for (uint64_t k = 0; k < 3; ++k) {
            QByteArray expected(FAN_AUDIO_BLOCK, '\0');
            fan_audio_block(in, k, reinterpret_cast<uint8_t*>(expected.data()));
            QByteArray audio(FAN_AUDIO_BLOCK, '\0');
            QCOMPARE(fan_file_read_frame(&f, k, nullptr, reinterpret_cast<uint8_t*>(audio.data())),
                     int(FAN_FILE_OK));
            QCOMPARE(audio, expected);
        }
        std::fclose(in);
        fan_file_close(&f);
    }
};

QTEST_GUILESS_MAIN(TestFanFile)
#include "tst_fan_file.moc"
