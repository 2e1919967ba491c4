// The fan view: the LEDs convert_fast_plan_leds computes for a raw frame are,
// byte for byte, those decoded from the record the fast worker writes for it,
// for built-in models and several framings, with every kernel; they render
// to the same picture; frames are never read past their last byte. The
// benchmark's probe converts like the worker.
#include <QtTest>

#include <random>
#include <thread>

#include <sys/mman.h>
#include <unistd.h>

#include "../engine/engine_test_support.h"
#include "convert_fast.h"
#include "convert_fast_probe.h"
#include "fan_models.h"
#include "fan_render.h"
#include "fan_view.h"

using namespace enginetest;

namespace {

// A buffer whose last byte sits just before an inaccessible page, so that a
// read past its end faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size)
        : size(size)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        mapped = ((size + page - 1) / page + 1) * page;
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        base = static_cast<uint8_t*>(p);
        mprotect(base + mapped - page, page, PROT_NONE);
        data = base + mapped - page - size;
    }
    ~GuardedBuffer()
    {
        if (base)
            munmap(base, mapped);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    uint8_t* data = nullptr;
    size_t size;

private:
    uint8_t* base = nullptr;
    size_t mapped = 0;
};

QByteArray noisyFrame(std::mt19937& rng, int width, int height, int k)
{
    QByteArray frame(width * height * 3, '\0');
    std::uniform_int_distribution<int> noise(-40, 40);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int v[3] = {(x * 255) / std::max(1, width - 1),
                              (y * 255) / std::max(1, height - 1), (x * y + 37 * k) % 256};
            for (int c = 0; c < 3; ++c)
                frame[3 * (y * width + x) + c] = char(std::clamp(v[c] + noise(rng), 0, 255));
        }
    return frame;
}

bool kernelAvailable(int kernel)
{
    return convert_fast_kernel_runs(convert_fast_kernel(kernel)) == kernel;
}

const int kKernels[] = {CONVERT_FAST_KERNEL_GENERIC, CONVERT_FAST_KERNEL_AVX2,
                        CONVERT_FAST_KERNEL_AVX512};

// Runs a flat job on the fast worker with the given kernel and threads;
// whether the job's callback reported a failure (-1: it did not parse).
int runFastJob(const QJsonObject& job, unsigned threads, int kernel)
{
    CallbackRecord record;
    convert_parsed_job parsed;
    StdoutCapture capture;
    if (convert_parse_job(toJson(job).constData(), recordCallback, &record, &parsed) != 0)
        return -1;
    const convert_fast_options options {threads, convert_fast_kernel(kernel)};
    convert_fast_worker_with(parsed.flat, &options);
    return record.failed;
}

} // namespace

class TestFanView : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void matchesWrittenFile_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("framing");
        QTest::addColumn<int>("kernel");
        const char* models[] = {"CASTOR", "VEGA", "BELLATRIX", "CANOPUS"};
        const char* framings[] = {"centred", "wide, off centre", "centre on the edge"};
        for (const char* model : models)
            for (const char* framing : framings)
                for (int kernel : kKernels)
                    QTest::newRow(qPrintable(QStringLiteral("%1, %2, %3")
                                                 .arg(QLatin1String(model), QLatin1String(framing),
                                                      QLatin1String(convert_fast_kernel_name(
                                                          convert_fast_kernel(kernel))))))
                        << QString::fromLatin1(model) << QString::fromLatin1(framing) << kernel;
    }
    void matchesWrittenFile()
    {
        QFETCH(QString, model);
        QFETCH(QString, framing);
        QFETCH(int, kernel);
        if (!kernelAvailable(kernel))
            QSKIP("this processor lacks the kernel");
        const fan_model* fan = fan_model_find(model.toLatin1().constData());
        QVERIFY(fan);
        const int side = 2 * fan->lights;
        int width = side, height = side, cx = side / 2, cy = side / 2;
        double gamma = 1.0, minimum = 1.0;
        int ramp = 0;
        if (framing == QLatin1String("wide, off centre")) {
            width = side * 16 / 9 + 1;
            cx = width / 3;
            cy = side / 2 + 7;
            gamma = 2.2;
            minimum = 0.35;
            ramp = fan->lights / 3;
        } else if (framing == QLatin1String("centre on the edge")) {
            height = side - 5;
            cx = width - 1;
            cy = 0;
            gamma = 0.6;
            minimum = 1.4;
            ramp = 1;
        }
        std::mt19937 rng(fan->lights + width);
        const int count = 2;
        QVector<QByteArray> frames;
        QByteArray data;
        for (int k = 0; k < count; ++k) {
            frames.append(noisyFrame(rng, width, height, k));
            data += frames.last();
        }
        const QString input = path(QStringLiteral("view.bgr"));
        const QString out = path(QStringLiteral("view.bin"));
        QVERIFY(writeFile(input, data));
        QJsonObject job =
            flatJob(input, width, height, out, fan->lights, fan->lines, fan->colorDeep, cx, cy);
        job.insert(QStringLiteral("gamma"), gamma);
        job.insert(QStringLiteral("min_brightness"), minimum);
        job.insert(QStringLiteral("change_brightness_lights"), ramp);
        QCOMPARE(runFastJob(job, 2, kernel), 0);
        const DecodedFile file = decodeFile(out, fan->lines, fan->lights, fan->colorDeep);
        QCOMPARE(file.status, int(FAN_FILE_OK));
        QCOMPARE(file.framesMin, quint64(count));

        convert_fast_plan* plan = convert_fast_plan_create_for(
            uint32_t(width), uint32_t(height), cx, cy, uint32_t(fan->lights), uint32_t(fan->lines),
            uint32_t(fan->colorDeep), gamma, minimum, ramp);
        QVERIFY(plan);
        QCOMPARE(convert_fast_plan_lights(plan), uint32_t(fan->lights));
        QCOMPARE(convert_fast_plan_lines(plan), uint32_t(fan->lines));
        QCOMPARE(convert_fast_plan_frame_bytes(plan), size_t(frames[0].size()));
        const size_t ledBytes = convert_fast_plan_led_bytes(plan);
        QCOMPARE(ledBytes, size_t(fan->lines) * fan->lights * 3);
        GuardedBuffer frame(convert_fast_plan_frame_bytes(plan));
        QVERIFY(frame.data);
        QByteArray leds(int(ledBytes), '\x5a');
        for (int k = 0; k < count; ++k) {
            memcpy(frame.data, frames[k].constData(), frame.size);
            convert_fast_plan_leds_with(plan, frame.data, reinterpret_cast<uint8_t*>(leds.data()),
                                        convert_fast_kernel(kernel));
            if (leds != file.values[k]) {
                int at = 0;
                while (leds[at] == file.values[k][at])
                    ++at;
                QFAIL(
                    qPrintable(QStringLiteral("frame %1, line %2, LED %3, channel %4: %5, file %6")
                                   .arg(k)
                                   .arg(at / 3 / fan->lights)
                                   .arg(at / 3 % fan->lights)
                                   .arg(at % 3)
                                   .arg(quint8(leds[at]))
                                   .arg(quint8(file.values[k][at]))));
            }
        }

        // The picture of the last frame, rendered from both.
        QByteArray fromFile = file.values[count - 1];
        fan_render_expand_all(reinterpret_cast<uint8_t*>(leds.data()), ledBytes,
                              uint32_t(fan->colorDeep));
        fan_render_expand_all(reinterpret_cast<uint8_t*>(fromFile.data()), ledBytes,
                              uint32_t(fan->colorDeep));
        fan_render_plan* render =
            fan_render_plan_create(uint32_t(fan->lines), uint32_t(fan->lights), 2 * uint32_t(side));
        QVERIFY(render);
        const int size = int(fan_render_plan_size(render));
        QByteArray a(size * size * 3, '\0'), b(size * size * 3, '\1');
        fan_render_frame(render, reinterpret_cast<const uint8_t*>(leds.constData()),
                         reinterpret_cast<uint8_t*>(a.data()), size_t(size) * 3);
        fan_render_frame(render, reinterpret_cast<const uint8_t*>(fromFile.constData()),
                         reinterpret_cast<uint8_t*>(b.data()), size_t(size) * 3);
        fan_render_plan_free(render);
        convert_fast_plan_free(plan);
        QVERIFY(a == b);
    }

    // The benchmark's probe runs the kernel it names, converts a frame in
    // memory into the very bytes the worker writes for it (in any split of
    // the lines), and its floor reads without writing.
    void probeConvertsLikeTheWorker_data()
    {
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("ramp");
        for (int kernel : kKernels)
            for (int ramp : {0, 40})
                QTest::newRow(qPrintable(
                    QStringLiteral("%1, ramp %2")
                        .arg(QLatin1String(convert_fast_kernel_name(convert_fast_kernel(kernel))))
                        .arg(ramp)))
                    << kernel << ramp;
    }
    void probeConvertsLikeTheWorker()
    {
        QFETCH(int, kernel);
        QFETCH(int, ramp);
        if (!kernelAvailable(kernel))
            QSKIP("this processor lacks the kernel");
        const int width = 233, height = 229, cx = 101, cy = 130, lights = 116, lines = 64, deep = 6;
        std::mt19937 rng(uint32_t(kernel * 100 + ramp));
        const QByteArray raw = noisyFrame(rng, width, height, 3);
        const QString input = path(QStringLiteral("probe.bgr"));
        const QString out = path(QStringLiteral("probe.bin"));
        QVERIFY(writeFile(input, raw));
        QJsonObject job = flatJob(input, width, height, out, lights, lines, deep, cx, cy);
        job.insert(QStringLiteral("gamma"), 2.2);
        job.insert(QStringLiteral("min_brightness"), 0.35);
        job.insert(QStringLiteral("change_brightness_lights"), ramp);
        QCOMPARE(runFastJob(job, 1, kernel), 0);
        const int lightBytes = lines * deep * int(convert_plane_bytes(lights));
        const QByteArray written = readFile(out).mid(int(FAN_HEADER_SIZE), lightBytes);

        convert_fast_plan* plan = convert_fast_plan_create_for(width, height, cx, cy, lights, lines,
                                                               deep, 2.2, 0.35, ramp);
        QVERIFY(plan);
        convert_fast_probe* probe = convert_fast_probe_create(plan, convert_fast_kernel(kernel), 0);
        convert_fast_probe* floor = convert_fast_probe_create(plan, convert_fast_kernel(kernel), 1);
        QVERIFY(probe && floor);
        QCOMPARE(int(convert_fast_probe_kernel(probe)), kernel);
        const auto* frame = reinterpret_cast<const uint8_t*>(raw.constData());
        convert_fast_probe_set_frame(probe, frame);
        convert_fast_probe_set_frame(floor, frame);
        convert_fast_probe_run(probe, 0, 13);
        convert_fast_probe_run(probe, 13, lines + 5); // the end is limited to the lines
        const QByteArray converted(reinterpret_cast<const char*>(convert_fast_probe_planes(probe)),
                                   lightBytes);
        const QByteArray before(reinterpret_cast<const char*>(convert_fast_probe_planes(floor)),
                                lightBytes);
        const uint32_t seen = convert_fast_probe_run(floor, 0, lines);
        QCOMPARE(convert_fast_probe_run(floor, 0, lines), seen);
        const QByteArray after(reinterpret_cast<const char*>(convert_fast_probe_planes(floor)),
                               lightBytes);
        convert_fast_probe_free(probe);
        convert_fast_probe_free(floor);
        convert_fast_plan_free(plan);
        QVERIFY(converted == written);
        QVERIFY(after == before);
    }

    // Tiny frames: every tap on the last row and column, with every kernel.
    void tinyFrames_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("1 x 1") << 1 << 1;
        QTest::newRow("1 x 5") << 1 << 5;
        QTest::newRow("7 x 1") << 7 << 1;
        QTest::newRow("3 x 2") << 3 << 2;
    }
    void tinyFrames()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        std::mt19937 rng(width * 10 + height);
        const QByteArray raw = noisyFrame(rng, width, height, 1);
        convert_fast_plan* plan = convert_fast_plan_create_for(
            uint32_t(width), uint32_t(height), width / 2, height / 2, 9, 12, 7, 1.0, 0.5, 4);
        QVERIFY(plan);
        GuardedBuffer frame(size_t(raw.size()));
        memcpy(frame.data, raw.constData(), frame.size);
        QByteArray generic(int(convert_fast_plan_led_bytes(plan)), '\0');
        QByteArray best(generic.size(), '\1');
        convert_fast_plan_leds_with(plan, frame.data, reinterpret_cast<uint8_t*>(generic.data()),
                                    CONVERT_FAST_KERNEL_GENERIC);
        convert_fast_plan_leds(plan, frame.data, reinterpret_cast<uint8_t*>(best.data()));
        QVERIFY(generic == best);
        for (int kernel : kKernels) {
            QByteArray other(generic.size(), '\1');
            convert_fast_plan_leds_with(plan, frame.data, reinterpret_cast<uint8_t*>(other.data()),
                                        convert_fast_kernel(kernel));
            QVERIFY2(generic == other, convert_fast_kernel_name(convert_fast_kernel(kernel)));
        }
        convert_fast_plan_free(plan);
        for (char v : generic)
            QCOMPARE(quint8(v) & 1, 0); // seven bits kept
    }

    void unsupported_data()
    {
        QTest::addColumn<uint>("width");
        QTest::addColumn<uint>("height");
        QTest::addColumn<uint>("lights");
        QTest::addColumn<uint>("lines");
        QTest::addColumn<uint>("deep");
        QTest::addColumn<int>("ramp");
        QTest::newRow("width 0") << 0u << 10u << 8u << 8u << 6u << 0;
        QTest::newRow("height 0") << 10u << 0u << 8u << 8u << 6u << 0;
        QTest::newRow("lights 0") << 10u << 10u << 0u << 8u << 6u << 0;
        QTest::newRow("lines 0") << 10u << 10u << 8u << 0u << 6u << 0;
        QTest::newRow("lines above INT32_MAX") << 10u << 10u << 8u << 0x80000000u << 6u << 0;
        QTest::newRow("colorDeep 0") << 10u << 10u << 8u << 8u << 0u << 0;
        QTest::newRow("colorDeep 9") << 10u << 10u << 8u << 8u << 9u << 0;
        QTest::newRow("wider than single precision")
            << (1u << 24) + 1u << 1u << 8u << 8u << 6u << 0;
        QTest::newRow("frame of 2 GiB") << 30000u << 30000u << 8u << 8u << 6u << 0;
        QTest::newRow("brightness ramp over 2^20 LEDs")
            << 10u << 10u << (1u << 20) << 8u << 6u << (1 << 20);
    }
    void unsupported()
    {
        QFETCH(uint, width);
        QFETCH(uint, height);
        QFETCH(uint, lights);
        QFETCH(uint, lines);
        QFETCH(uint, deep);
        QFETCH(int, ramp);
        QVERIFY(!convert_fast_plan_create_for(width, height, 5, 5, lights, lines, deep, 1.0, 1.0,
                                              ramp));
        QCOMPARE(convert_fast_plan_led_bytes(nullptr), size_t(0));
    }

    // One plan, two threads at once: the plan is only read.
    void sharedPlan()
    {
        const fan_model* fan = fan_model_find("VEGA");
        const int side = 2 * fan->lights;
        std::mt19937 rng(3);
        const QByteArray a = noisyFrame(rng, side, side, 0), b = noisyFrame(rng, side, side, 1);
        convert_fast_plan* plan = convert_fast_plan_create_for(
            uint32_t(side), uint32_t(side), side / 2, side / 2, uint32_t(fan->lights),
            uint32_t(fan->lines), uint32_t(fan->colorDeep), 2.2, 0.35, fan->lights / 3);
        QVERIFY(plan);
        const int bytes = int(convert_fast_plan_led_bytes(plan));
        QByteArray alone(bytes, '\0'), together(bytes, '\0'), other(bytes, '\0');
        convert_fast_plan_leds(plan, reinterpret_cast<const uint8_t*>(a.constData()),
                               reinterpret_cast<uint8_t*>(alone.data()));
        std::thread second([&] {
            for (int i = 0; i < 5; ++i)
                convert_fast_plan_leds(plan, reinterpret_cast<const uint8_t*>(b.constData()),
                                       reinterpret_cast<uint8_t*>(other.data()));
        });
        for (int i = 0; i < 5; ++i)
            convert_fast_plan_leds(plan, reinterpret_cast<const uint8_t*>(a.constData()),
                                   reinterpret_cast<uint8_t*>(together.data()));
        second.join();
        convert_fast_plan_free(plan);
        QVERIFY(alone == together);
        QVERIFY(alone != other);
    }
};

QTEST_GUILESS_MAIN(TestFanView)
#include "tst_fan_view.moc"
