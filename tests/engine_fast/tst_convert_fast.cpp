// The fast workers against the reference workers: the same fan file, the
// same log lines and the same callback for random flat and 360 jobs, constant
// pictures and every way a job can fail, with every kernel the processor
// has and with one or more threads. Both workers run synchronously on the
// test thread.
#include <QtTest>

#include <QJsonArray>

#include <atomic>
#include <random>

#include "../engine/engine_test_support.h"
#include "convert_fast.h"
#include "fan_models.h"

using namespace enginetest;

namespace {

// The frame before which cancelAtHook sets the job's cancel flag.
std::atomic<int> g_cancelAt {-1};

void cancelAtHook(convert_cancel* cancel, uint64_t frame)
{
    if (int(frame) == g_cancelAt.load())
        convert_cancel_request(cancel);
}

// What one run of a worker left behind.
struct RunResult {
    int parse = -1;
    int calls = 0;
    int failed = -1;
    QString message;
    QString outPath;
    bool outputExists = false;
    QByteArray output;
    QStringList log;
};

enum class Worker { Reference, Fast };

// Runs a flat or a 360 job with the reference worker or its fast
// counterpart.
RunResult runWorker(Worker worker, const QByteArray& json, const convert_fast_options& options,
                    convert_cancel* cancel = nullptr)
{
    RunResult result;
    CallbackRecord record;
    convert_parsed_job job;
    {
        StdoutCapture capture;
        result.parse = convert_parse_job(json.constData(), recordCallback, &record, &job);
        if (result.parse == 0 && job.is_360)
            job.wide->cancel = cancel;
        else if (result.parse == 0)
            job.flat->cancel = cancel;
        if (result.parse == 0 && job.is_360) {
            if (worker == Worker::Reference)
                convert_360_worker(job.wide);
            else
                convert_fast_360_worker_with(job.wide, &options);
        } else if (result.parse == 0) {
            if (worker == Worker::Reference)
                convert_worker(job.flat);
            else
                convert_fast_worker_with(job.flat, &options);
        }
        capture.stop();
        result.log = capture.lines();
    }
    result.calls = record.calls;
    result.failed = record.failed;
    result.message = record.message;
    result.outPath = record.outPath;
    // Only regular files are read back (an output on a device such as
    // /dev/full reads as endless zeros).
    const QFileInfo output(record.outPath);
    result.outputExists = output.exists();
    if (result.outputExists && output.isFile() &&
        !record.outPath.startsWith(QLatin1String("/dev/")))
        result.output = readFile(record.outPath);
    return result;
}

// Compares two runs and names the first difference.
QString difference(const RunResult& a, const RunResult& b)
{
    if (a.parse != b.parse)
        return QStringLiteral("parse code %1 / %2").arg(a.parse).arg(b.parse);
    if (a.calls != b.calls || a.failed != b.failed || a.message != b.message ||
        a.outPath != b.outPath)
        return QStringLiteral("callback %1 %2 %3 / %4 %5 %6")
            .arg(a.calls)
            .arg(a.failed)
            .arg(a.message)
            .arg(b.calls)
            .arg(b.failed)
            .arg(b.message);
    if (a.outputExists != b.outputExists)
        return QStringLiteral("output exists %1 / %2").arg(a.outputExists).arg(b.outputExists);
    if (a.output.size() != b.output.size())
        return QStringLiteral("output size %1 / %2").arg(a.output.size()).arg(b.output.size());
    for (int i = 0; i < a.output.size(); ++i) {
        if (a.output[i] != b.output[i])
            return QStringLiteral("output byte %1: %2 / %3")
                .arg(i)
                .arg(quint8(a.output[i]))
                .arg(quint8(b.output[i]));
    }
    if (a.log != b.log)
        return QStringLiteral("log\n  %1\n/\n  %2")
            .arg(a.log.join(QStringLiteral("\n  ")), b.log.join(QStringLiteral("\n  ")));
    return QString();
}

QByteArray randomBytes(std::mt19937& rng, qint64 size)
{
    QByteArray data(int(size), '\0');
    std::uniform_int_distribution<int> byte(0, 255);
    for (char& c : data)
        c = char(byte(rng));
    return data;
}

// A smooth picture with some noise: neighbouring taps differ a little, as
// in real frames, so that interpolation and rounding are exercised.
QByteArray gradientFrame(std::mt19937& rng, int width, int height)
{
    QByteArray frame(width * height * 3, '\0');
    std::uniform_int_distribution<int> noise(-6, 6);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int base = (x * 255) / std::max(1, width - 1);
            const int other = (y * 255) / std::max(1, height - 1);
            const int v[3] = {base, other, (base + other) / 2};
            for (int c = 0; c < 3; ++c)
                frame[3 * (y * width + x) + c] = char(std::clamp(v[c] + noise(rng), 0, 255));
        }
    }
    return frame;
}

} // namespace

class TestConvertFast : public QObject {
    Q_OBJECT

private:
    // Rows of a kernel this processor lacks would only repeat a fallback.
    static bool lacks(int kernel)
    {
        return kernel != CONVERT_FAST_KERNEL_AUTO &&
            convert_fast_kernel_runs(convert_fast_kernel(kernel)) != kernel;
    }

    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

    // Runs the reference and then the fast worker on the same job (the same
    // paths, so that the log lines compare literally); fails on the first
    // difference.
    void compareWorkers(const QJsonObject& job, const convert_fast_options& options,
                        const QString& what, convert_cancel* cancel = nullptr)
    {
        const QByteArray json = toJson(job);
        const QString out = job.value(QStringLiteral("out_path")).toString();
        // Only files of this test are removed (never a device such as /dev/full).
        const auto clear = [&] {
            if (!out.isEmpty() && out.startsWith(tempDir.path()))
                QFile::remove(out);
        };
        clear();
        const RunResult reference = runWorker(Worker::Reference, json, options, cancel);
        clear();
        const RunResult fast = runWorker(Worker::Fast, json, options, cancel);
        clear();
        QCOMPARE(reference.calls, 1);
        const QString diff = difference(reference, fast);
        if (!diff.isEmpty())
            QFAIL(qPrintable(
                QStringLiteral("%1 (%2 kernel, %3 threads): %4\njob: %5")
                    .arg(what, QString::fromUtf8(convert_fast_kernel_name(options.kernel)))
                    .arg(options.threads)
                    .arg(diff, QString::fromUtf8(json))));
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void randomJobs_data()
    {
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("seed");
        QTest::newRow("generic, 1 thread") << int(CONVERT_FAST_KERNEL_GENERIC) << 1 << 11;
        QTest::newRow("generic, 3 threads") << int(CONVERT_FAST_KERNEL_GENERIC) << 3 << 12;
        QTest::newRow("best kernel, 1 thread") << int(CONVERT_FAST_KERNEL_AUTO) << 1 << 13;
        QTest::newRow("best kernel, 2 threads") << int(CONVERT_FAST_KERNEL_AUTO) << 2 << 14;
        QTest::newRow("best kernel, 5 threads") << int(CONVERT_FAST_KERNEL_AUTO) << 5 << 15;
        QTest::newRow("avx2, 1 thread") << int(CONVERT_FAST_KERNEL_AVX2) << 1 << 16;
        QTest::newRow("avx2, 3 threads") << int(CONVERT_FAST_KERNEL_AVX2) << 3 << 17;
        QTest::newRow("avx512, 1 thread") << int(CONVERT_FAST_KERNEL_AVX512) << 1 << 18;
        QTest::newRow("avx512, 3 threads") << int(CONVERT_FAST_KERNEL_AVX512) << 3 << 19;
    }
    void randomJobs()
    {
        QFETCH(int, kernel);
        QFETCH(int, threads);
        QFETCH(int, seed);
        if (lacks(kernel))
            QSKIP("this processor lacks the kernel");
        const convert_fast_options options {unsigned(threads), convert_fast_kernel(kernel)};
        std::mt19937 rng(seed);
        auto pick = [&rng](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(rng);
        };
        const int lightChoices[] = {1, 7, 8, 9, 100, 256, 2, 3, 15, 16, 17, 33};
        const double gammas[] = {1.0, 0.45, 2.2, 0.1, 3.7};
        const double minimums[] = {1.0, 0.0, 0.3, 0.75, 1.6, -0.4, 3.0};
        const QString frames = path(QStringLiteral("random.bgr"));
        const QString audio = path(QStringLiteral("random.pcm"));
        const QString out = path(QStringLiteral("random.bin"));

        for (int i = 0; i < 50; ++i) {
            // Sizes from 1 x 1 up, odd widths included.
            const int width = pick(0, 9) == 0 ? 1 : pick(1, 70);
            const int height = pick(0, 9) == 0 ? 1 : pick(1, 70);
            const int lights = lightChoices[pick(0, int(std::size(lightChoices)) - 1)];
            const int lines = lights > 100 ? pick(1, 12) : pick(1, 48);
            const int deep = pick(1, 8);
            // Centres inside, on the edge and well outside the frame.
            const int cx = pick(-width, 2 * width);
            const int cy = pick(-height, 2 * height);
            const qint64 frameSize = qint64(width) * height * 3;
            const int whole = pick(1, 3);
            const qint64 tail = pick(0, 2) == 0 ? pick(1, int(frameSize)) - 1 : 0;
            QByteArray data;
            for (int k = 0; k < whole; ++k)
                data +=
                    pick(0, 1) ? gradientFrame(rng, width, height) : randomBytes(rng, frameSize);
            data += randomBytes(rng, tail);
            QVERIFY(writeFile(frames, data));

            QJsonObject job = flatJob(frames, width, height, out, lights, lines, deep, cx, cy);
            switch (pick(0, 3)) {
            case 0: // no audio
                break;
            case 1: // audio shorter than the video, ending inside a block
                QVERIFY(writeFile(audio, randomBytes(rng, pick(0, whole * int(FAN_AUDIO_BLOCK)))));
                job.insert(QStringLiteral("in_aud_path"), audio);
                break;
            case 2: // enough audio
                QVERIFY(writeFile(audio, randomBytes(rng, (whole + 1) * qint64(FAN_AUDIO_BLOCK))));
                job.insert(QStringLiteral("in_aud_path"), audio);
                break;
            default: // an audio file that does not exist
                job.insert(QStringLiteral("in_aud_path"), path(QStringLiteral("missing.pcm")));
                break;
            }
            const int ramp[] = {0, 1, 2, pick(2, std::max(2, lights)), lights, lights + 7, -3};
            job.insert(QStringLiteral("change_brightness_lights"),
                       ramp[pick(0, int(std::size(ramp)) - 1)]);
            job.insert(QStringLiteral("gamma"),
                       pick(0, 3) ? gammas[pick(0, int(std::size(gammas)) - 1)]
                                  : pick(1, 400) / 100.0);
            job.insert(QStringLiteral("min_brightness"),
                       minimums[pick(0, int(std::size(minimums)) - 1)]);
            compareWorkers(job, options, QStringLiteral("job %1").arg(i));
            if (QTest::currentTestFailed())
                return;
        }
    }

    // The frame sizes the job builder produces for the built-in models.
    void modelJobs_data()
    {
        QTest::addColumn<int>("model");
        for (int m = 0; m < fan_model_count(); ++m)
            QTest::newRow(fan_model_at(m)->name) << m;
    }
    void modelJobs()
    {
        QFETCH(int, model);
        const fan_model* fan = fan_model_at(model);
        std::mt19937 rng(100 + model);
        const int size = 2 * fan->lights;
        const QString frames = path(QStringLiteral("model.bgr"));
        QVERIFY(writeFile(frames, gradientFrame(rng, size, size)));
        QJsonObject job = flatJob(frames, size, size, path(QStringLiteral("model.bin")),
                                  fan->lights, fan->lines, fan->colorDeep, size / 2, size / 2);
        job.insert(QStringLiteral("gamma"), 2.2);
        job.insert(QStringLiteral("min_brightness"), 0.35);
        job.insert(QStringLiteral("change_brightness_lights"), fan->lights / 3);
        compareWorkers(job, convert_fast_options {2, CONVERT_FAST_KERNEL_AUTO},
                       QString::fromUtf8(fan->name));
    }

    // Geometry at the kernels' edges: LED counts that leave blocks part
    // empty, every depth, a brightness ramp over none, some, all and more
    // than all LEDs, squares clamped into tiny frames and corners, and
    // columns so far out that a quarter pixel is at the limit of single
    // precision (the two sub-sample columns may then fall a whole pixel
    // apart).
    void edgeJobs_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("cx");
        QTest::addColumn<int>("cy");
        QTest::addColumn<int>("lights");
        QTest::addColumn<int>("deep");
        QTest::addColumn<int>("ramp");
        QTest::addColumn<double>("minimum");
        QTest::addColumn<int>("frames");
        QTest::newRow("13 lights, depth 1") << 30 << 30 << 15 << 15 << 13 << 1 << 0 << 1.0 << 2;
        QTest::newRow("13 lights, depth 8, ramp over all")
            << 30 << 30 << 15 << 15 << 13 << 8 << 13 << 0.2 << 2;
        QTest::newRow("29 lights, depth 5, ramp past the line")
            << 31 << 27 << 14 << 12 << 29 << 5 << 200 << 1.8 << 2;
        QTest::newRow("one LED, ramp 1") << 5 << 4 << 2 << 2 << 1 << 3 << 1 << 0.5 << 3;
        QTest::newRow("centre in a corner") << 24 << 18 << 0 << 17 << 30 << 6 << 10 << 0.35 << 2;
        QTest::newRow("64 lights on 2 x 2 pixels") << 2 << 2 << 1 << 1 << 64 << 7 << 5 << 0.6 << 2;
        QTest::newRow("columns near 2^22")
            << (1 << 22) + 40 << 3 << (1 << 22) << 1 << 40 << 6 << 12 << 0.35 << 1;
        QTest::newRow("columns near 2^23")
            << (1 << 23) + 40 << 2 << (1 << 23) - 3 << 0 << 40 << 6 << 0 << 1.0 << 1;
    }
    void edgeJobs()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, cx);
        QFETCH(int, cy);
        QFETCH(int, lights);
        QFETCH(int, deep);
        QFETCH(int, ramp);
        QFETCH(double, minimum);
        QFETCH(int, frames);
        // Every byte differs from its neighbours, so that each tap counts.
        QByteArray data(int(qint64(width) * height * 3 * frames), '\0');
        quint32 state = 12345;
        for (char& c : data) {
            state = state * 1103515245u + 12345u;
            c = char(state >> 24);
        }
        const QString input = path(QStringLiteral("edge.bgr"));
        QVERIFY(writeFile(input, data));
        QJsonObject job = flatJob(input, width, height, path(QStringLiteral("edge.bin")), lights,
                                  24, deep, cx, cy);
        job.insert(QStringLiteral("change_brightness_lights"), ramp);
        job.insert(QStringLiteral("min_brightness"), minimum);
        job.insert(QStringLiteral("gamma"), 1.7);
        // The fast path takes the job (a refused one would go to the
        // reference worker and compare equal without a test).
        convert_fast_plan* plan =
            convert_fast_plan_create_for(uint32_t(width), uint32_t(height), cx, cy,
                                         uint32_t(lights), 24, uint32_t(deep), 1.7, minimum, ramp);
        QVERIFY(plan);
        convert_fast_plan_free(plan);
        for (const convert_fast_options options :
             {convert_fast_options {1, CONVERT_FAST_KERNEL_GENERIC},
              convert_fast_options {2, CONVERT_FAST_KERNEL_AVX2},
              convert_fast_options {3, CONVERT_FAST_KERNEL_AVX512}}) {
            if (convert_fast_kernel_runs(options.kernel) != options.kernel)
                continue;
            compareWorkers(job, options, QStringLiteral("edge"));
            if (QTest::currentTestFailed())
                return;
        }
    }

    // One colour everywhere: every LED shows the tone-mapped colour. The
    // sampler truncates sums whose weights may add up to a hair below 1, so
    // an LED may read the colour one step lower; nothing else is allowed.
    void constantPicture_data()
    {
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("threads");
        QTest::addColumn<int>("size");
        QTest::newRow("generic, centred") << int(CONVERT_FAST_KERNEL_GENERIC) << 1 << 20;
        QTest::newRow("best, centred") << int(CONVERT_FAST_KERNEL_AUTO) << 1 << 20;
        QTest::newRow("best, 3 threads, odd size") << int(CONVERT_FAST_KERNEL_AUTO) << 3 << 17;
        QTest::newRow("best, 1 x 1 frame") << int(CONVERT_FAST_KERNEL_AUTO) << 2 << 1;
        QTest::newRow("avx2, odd size") << int(CONVERT_FAST_KERNEL_AVX2) << 2 << 17;
        QTest::newRow("avx512, odd size") << int(CONVERT_FAST_KERNEL_AVX512) << 2 << 17;
    }
    void constantPicture()
    {
        QFETCH(int, kernel);
        QFETCH(int, threads);
        QFETCH(int, size);
        if (lacks(kernel))
            QSKIP("this processor lacks the kernel");
        const convert_fast_options options {unsigned(threads), convert_fast_kernel(kernel)};
        const int lights = 10, lines = 24, deep = 8;
        const quint8 colour[3] = {37, 128, 251};
        const QString frames = path(QStringLiteral("solid.bgr"));
        QVERIFY(
            writeFile(frames, solidFrame(size, size, colour[0], colour[1], colour[2]).repeated(2)));
        const QString out = path(QStringLiteral("solid.bin"));
        const QJsonObject job =
            flatJob(frames, size, size, out, lights, lines, deep, size / 2, size / 2);
        compareWorkers(job, options, QStringLiteral("constant"));
        if (QTest::currentTestFailed())
            return;

        QFile::remove(out);
        const RunResult fast = runWorker(Worker::Fast, toJson(job), options);
        QCOMPARE(fast.failed, 0);
        const DecodedFile file = decodeFile(out, lines, lights, deep);
        QCOMPARE(file.status, int(FAN_FILE_OK));
        QCOMPARE(file.framesMin, quint64(2));
        for (int k = 0; k < 2; ++k)
            for (int l = 0; l < lines; ++l)
                for (int t = 0; t < lights; ++t)
                    for (int c = 0; c < 3; ++c) {
                        const int v = file.at(k, l, t, c);
                        if (v != tone_table[colour[c]])
                            QCOMPARE(v, int(tone_table[colour[c] - 1]));
                    }
    }

    // Every way a job ends badly, and the ones the fast path hands to the
    // reference worker: same callback, same log lines, same file left behind.
    void failures_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("0.9 frames") << QStringLiteral("partial");
        QTest::newRow("empty frame file") << QStringLiteral("empty");
        QTest::newRow("frame file missing") << QStringLiteral("no frames");
        QTest::newRow("audio file missing") << QStringLiteral("no audio");
        QTest::newRow("audio shorter than video") << QStringLiteral("short audio");
        QTest::newRow("output folder missing") << QStringLiteral("no folder");
        QTest::newRow("empty output path") << QStringLiteral("no out path");
        QTest::newRow("colorDeep 0") << QStringLiteral("deep 0");
        QTest::newRow("colorDeep 9") << QStringLiteral("deep 9");
        QTest::newRow("lights 0") << QStringLiteral("lights 0");
        QTest::newRow("lines missing") << QStringLiteral("no lines");
        QTest::newRow("radius 0") << QStringLiteral("radius 0");
        QTest::newRow("frame wider than single precision") << QStringLiteral("wide");
        QTest::newRow("disk full") << QStringLiteral("full");
    }
    void failures()
    {
        QFETCH(QString, what);
        const int width = 9, height = 7;
        const QString frames = path(QStringLiteral("fail.bgr"));
        const QString audio = path(QStringLiteral("fail.pcm"));
        std::mt19937 rng(7);
        const QByteArray frame = randomBytes(rng, width * height * 3);
        QVERIFY(writeFile(frames, frame + frame + frame));
        QJsonObject job =
            flatJob(frames, width, height, path(QStringLiteral("fail.bin")), 9, 16, 6, 4, 3);

        if (what == QLatin1String("partial"))
            QVERIFY(writeFile(frames, frame.left(frame.size() * 9 / 10)));
        else if (what == QLatin1String("empty"))
            QVERIFY(writeFile(frames, QByteArray()));
        else if (what == QLatin1String("no frames"))
            job.insert(QStringLiteral("frames_resized_file"), path(QStringLiteral("nothing.bgr")));
        else if (what == QLatin1String("no audio"))
            job.insert(QStringLiteral("in_aud_path"), path(QStringLiteral("nothing.pcm")));
        else if (what == QLatin1String("short audio")) {
            QVERIFY(writeFile(audio, randomBytes(rng, FAN_AUDIO_BLOCK + 100)));
            job.insert(QStringLiteral("in_aud_path"), audio);
        } else if (what == QLatin1String("no folder"))
            job.insert(QStringLiteral("out_path"), path(QStringLiteral("no/such/folder/fail.bin")));
        else if (what == QLatin1String("no out path"))
            job.insert(QStringLiteral("out_path"), QString());
        else if (what == QLatin1String("deep 0"))
            job.insert(QStringLiteral("colorDeep"), 0);
        else if (what == QLatin1String("deep 9"))
            job.insert(QStringLiteral("colorDeep"), 9);
        else if (what == QLatin1String("lights 0"))
            job.insert(QStringLiteral("lights"), 0);
        else if (what == QLatin1String("no lines"))
            job.remove(QStringLiteral("lines"));
        else if (what == QLatin1String("radius 0"))
            job.insert(QStringLiteral("radius"), 0);
        else if (what == QLatin1String("full")) {
            if (!QFileInfo(QStringLiteral("/dev/full")).exists())
                QSKIP("no /dev/full here");
            // Enough frames that the writes overflow the stream's buffer.
            job.insert(QStringLiteral("lights"), 100);
            job.insert(QStringLiteral("lines"), 200);
            job.insert(QStringLiteral("out_path"), QStringLiteral("/dev/full"));
        } else if (what == QLatin1String("wide")) {
            job.insert(QStringLiteral("in_width"), (1 << 24) + 3);
            job.insert(QStringLiteral("in_height"), 1);
        }
        for (const convert_fast_options options :
             {convert_fast_options {1, CONVERT_FAST_KERNEL_AUTO},
              convert_fast_options {3, CONVERT_FAST_KERNEL_AUTO}}) {
            compareWorkers(job, options, what);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // A job cancelled before a given frame: the same log lines and callback,
    // and no file left behind, whichever worker ran it.
    void cancelled_data()
    {
        QTest::addColumn<bool>("wide");
        QTest::addColumn<int>("at"); // -1: before the start
        QTest::addColumn<int>("threads");
        QTest::newRow("flat, before the start") << false << -1 << 1;
        QTest::newRow("flat, before frame 0") << false << 0 << 3;
        QTest::newRow("flat, before frame 2, 1 thread") << false << 2 << 1;
        QTest::newRow("flat, before frame 2, 3 threads") << false << 2 << 3;
        QTest::newRow("360, before the start") << true << -1 << 1;
        QTest::newRow("360, before frame 2") << true << 2 << 1;
    }
    void cancelled()
    {
        QFETCH(bool, wide);
        QFETCH(int, at);
        QFETCH(int, threads);
        std::mt19937 rng(31);
        const QString frames = path(QStringLiteral("cancel.bgr"));
        const QString audio = path(QStringLiteral("cancel.pcm"));
        const int width = 20, height = 16, count = 4;
        QVERIFY(writeFile(frames, randomBytes(rng, qint64(width) * height * 3 * count)));
        // Audio for one frame only: every later frame logs its missing block.
        QVERIFY(writeFile(audio, randomBytes(rng, FAN_AUDIO_BLOCK)));
        QJsonObject job;
        if (wide) {
            job = wideJob({wideItem(frames, width, height, 10, 8)},
                          path(QStringLiteral("cancel.bin")), 9, 20, 4, 20, 9);
        } else {
            job =
                flatJob(frames, width, height, path(QStringLiteral("cancel.bin")), 9, 20, 4, 10, 8);
        }
        job.insert(QStringLiteral("in_aud_path"), audio);
        convert_cancel* cancel = convert_cancel_create();
        QVERIFY(cancel);
        if (at < 0)
            convert_cancel_request(cancel);
        g_cancelAt.store(at);
        convert_set_frame_hook(cancelAtHook);
        const QByteArray json = toJson(job);
        const convert_fast_options options {unsigned(threads), CONVERT_FAST_KERNEL_AUTO};
        const RunResult reference = runWorker(Worker::Reference, json, options, cancel);
        convert_cancel* second = convert_cancel_create();
        if (at < 0)
            convert_cancel_request(second);
        const RunResult fast = runWorker(Worker::Fast, json, options, second);
        convert_set_frame_hook(nullptr);
        convert_cancel_free(cancel);
        convert_cancel_free(second);
        QCOMPARE(reference.failed, CONVERT_CANCELLED);
        QVERIFY(!reference.outputExists);
        const QString diff = difference(reference, fast);
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    // 360 jobs: up to three inputs of different sizes and lengths, windows
    // reaching past their frames, lines beyond the inputs, every depth.
    void random360Jobs_data()
    {
        QTest::addColumn<int>("kernel");
        QTest::addColumn<int>("seed");
        QTest::newRow("generic") << int(CONVERT_FAST_KERNEL_GENERIC) << 21;
        QTest::newRow("best kernel") << int(CONVERT_FAST_KERNEL_AUTO) << 22;
        QTest::newRow("avx2") << int(CONVERT_FAST_KERNEL_AVX2) << 23;
        QTest::newRow("avx512") << int(CONVERT_FAST_KERNEL_AVX512) << 24;
    }
    void random360Jobs()
    {
        QFETCH(int, kernel);
        QFETCH(int, seed);
        if (lacks(kernel))
            QSKIP("this processor lacks the kernel");
        const convert_fast_options options {1, convert_fast_kernel(kernel)};
        std::mt19937 rng(seed);
        auto pick = [&rng](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(rng);
        };
        const int lightChoices[] = {1, 7, 8, 9, 100, 256, 2, 31};
        const QString audio = path(QStringLiteral("wide.pcm"));
        const QString out = path(QStringLiteral("wide.bin"));
        for (int i = 0; i < 40; ++i) {
            const int lights = lightChoices[pick(0, int(std::size(lightChoices)) - 1)];
            const int itemWidth = pick(1, 12);
            QJsonObject job;
            job.insert(QStringLiteral("is_360"), true);
            job.insert(QStringLiteral("out_path"), out);
            job.insert(QStringLiteral("lights"), lights);
            job.insert(QStringLiteral("lines"), pick(1, 40));
            job.insert(QStringLiteral("colorDeep"), pick(1, 8));
            job.insert(QStringLiteral("destTotalWidth"), 0);
            job.insert(QStringLiteral("destTotalHeight"), 0);
            job.insert(QStringLiteral("destItemWidth"), itemWidth);
            job.insert(QStringLiteral("destItemHeight"), pick(-4, lights + 8));
            if (pick(0, 2)) {
                QVERIFY(writeFile(audio, randomBytes(rng, pick(0, 4 * int(FAN_AUDIO_BLOCK)))));
                job.insert(QStringLiteral("in_aud_path"), audio);
            }
            QJsonArray list;
            const int items = pick(1, 3);
            for (int k = 0; k < items; ++k) {
                const int width = pick(1, 30), height = pick(1, 30);
                const QString frames = path(QStringLiteral("wide%1.bgr").arg(k));
                QVERIFY(writeFile(
                    frames,
                    randomBytes(rng, qint64(width) * height * 3 * pick(1, 3) + pick(0, 5))));
                QJsonObject item;
                item.insert(QStringLiteral("frames_resized_file"), frames);
                item.insert(QStringLiteral("in_width"), width);
                item.insert(QStringLiteral("in_height"), height);
                item.insert(QStringLiteral("center_x"), pick(-5, width + 5));
                item.insert(QStringLiteral("center_y"), pick(-5, height + 5));
                list.append(item);
            }
            job.insert(QStringLiteral("list"), list);
            compareWorkers(job, options, QStringLiteral("360 job %1").arg(i));
            if (QTest::currentTestFailed())
                return;
        }
    }

    void failures360_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("empty list") << QStringLiteral("empty list");
        QTest::newRow("input of zero length") << QStringLiteral("zero");
        QTest::newRow("input missing") << QStringLiteral("missing");
        QTest::newRow("audio missing") << QStringLiteral("no audio");
        QTest::newRow("destItemWidth 0") << QStringLiteral("width 0");
        QTest::newRow("output folder missing") << QStringLiteral("no folder");
        QTest::newRow("in_width 0") << QStringLiteral("in_width 0");
    }
    void failures360()
    {
        QFETCH(QString, what);
        const QString frames = path(QStringLiteral("wfail.bgr"));
        std::mt19937 rng(5);
        QVERIFY(writeFile(frames, randomBytes(rng, 6 * 5 * 3 * 2)));
        QJsonObject item = wideItem(frames, 6, 5, 3, 2);
        QJsonObject job = wideJob({}, path(QStringLiteral("wfail.bin")), 9, 12, 5, 4, 9);
        if (what == QLatin1String("zero"))
            QVERIFY(writeFile(frames, QByteArray()));
        else if (what == QLatin1String("missing"))
            item.insert(QStringLiteral("frames_resized_file"), path(QStringLiteral("nothing.bgr")));
        else if (what == QLatin1String("no audio"))
            job.insert(QStringLiteral("in_aud_path"), path(QStringLiteral("nothing.pcm")));
        else if (what == QLatin1String("width 0"))
            job.insert(QStringLiteral("destItemWidth"), 0);
        else if (what == QLatin1String("no folder"))
            job.insert(QStringLiteral("out_path"),
                       path(QStringLiteral("no/such/folder/wfail.bin")));
        else if (what == QLatin1String("in_width 0"))
            item.insert(QStringLiteral("in_width"), 0);
        QJsonArray list;
        if (what != QLatin1String("empty list"))
            list.append(item);
        job.insert(QStringLiteral("list"), list);
        compareWorkers(job, convert_fast_options {1, CONVERT_FAST_KERNEL_AUTO}, what);
    }

    // The kernel a choice runs on processors with and without AVX2 and
    // AVX-512: the best one there is, never one the processor lacks.
    void kernelChoice_data()
    {
        QTest::addColumn<int>("asked");
        QTest::addColumn<bool>("avx2");
        QTest::addColumn<bool>("avx512");
        QTest::addColumn<int>("runs");
        const int automatic = CONVERT_FAST_KERNEL_AUTO, generic = CONVERT_FAST_KERNEL_GENERIC,
                  avx2 = CONVERT_FAST_KERNEL_AVX2, avx512 = CONVERT_FAST_KERNEL_AVX512;
        QTest::newRow("auto, both") << automatic << true << true << avx512;
        QTest::newRow("auto, AVX2 only") << automatic << true << false << avx2;
        QTest::newRow("auto, neither") << automatic << false << false << generic;
        QTest::newRow("auto, AVX-512 without AVX2") << automatic << false << true << generic;
        QTest::newRow("avx512, both") << avx512 << true << true << avx512;
        QTest::newRow("avx512, AVX2 only") << avx512 << true << false << avx2;
        QTest::newRow("avx512, neither") << avx512 << false << false << generic;
        QTest::newRow("avx2, both") << avx2 << true << true << avx2;
        QTest::newRow("avx2, neither") << avx2 << false << false << generic;
        QTest::newRow("generic, both") << generic << true << true << generic;
        QTest::newRow("unknown value, both") << 17 << true << true << generic;
    }
    void kernelChoice()
    {
        QFETCH(int, asked);
        QFETCH(bool, avx2);
        QFETCH(bool, avx512);
        QFETCH(int, runs);
        QCOMPARE(int(convert_fast_kernel_choose(convert_fast_kernel(asked), avx2, avx512)), runs);
        // This processor's choice is one of those, and AUTO is the best one.
        QCOMPARE(convert_fast_kernel_runs(CONVERT_FAST_KERNEL_AUTO), convert_fast_best_kernel());
    }

    void threadCount_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected"); // -1: the processor count
        QTest::newRow("unset") << QByteArray() << -1;
        QTest::newRow("1") << QByteArrayLiteral("1") << 1;
        QTest::newRow("0 is ignored") << QByteArrayLiteral("0") << -1;
        QTest::newRow("negative is ignored") << QByteArrayLiteral("-2") << -1;
        QTest::newRow("text is ignored") << QByteArrayLiteral("two") << -1;
        QTest::newRow("above the processor count") << QByteArrayLiteral("100000") << -1;
    }
    void threadCount()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        const QByteArray saved = qgetenv(CONVERT_FAST_THREADS_ENV);
        const bool had = qEnvironmentVariableIsSet(CONVERT_FAST_THREADS_ENV);
        qunsetenv(CONVERT_FAST_THREADS_ENV);
        const unsigned cores = convert_fast_default_threads();
        if (!value.isNull())
            qputenv(CONVERT_FAST_THREADS_ENV, value);
        const unsigned got = convert_fast_default_threads();
        if (had)
            qputenv(CONVERT_FAST_THREADS_ENV, saved);
        else
            qunsetenv(CONVERT_FAST_THREADS_ENV);
        QVERIFY(cores >= 1);
        QCOMPARE(got, expected < 0 ? cores : unsigned(expected));
    }

    // The plan is per job and small: a few MiB for the largest model, and
    // the same however long the clip is.
    void planSize()
    {
        size_t largest = 0;
        for (int m = 0; m < fan_model_count(); ++m) {
            const fan_model* fan = fan_model_at(m);
            convert_job job {};
            qstrncpy(job.frames_resized_file, "frames.bgr", sizeof job.frames_resized_file);
            qstrncpy(job.out_path, "out.bin", sizeof job.out_path);
            job.in_width = job.in_height = uint32_t(2 * fan->lights);
            job.radius = job.lights = uint32_t(fan->lights);
            job.lines = uint32_t(fan->lines);
            job.colorDeep = uint32_t(fan->colorDeep);
            job.center_x = job.center_y = fan->lights;
            job.gamma = job.min_brightness = 1.0;
            job.change_brightness_lights = fan->lights;
            convert_fast_plan* plan = convert_fast_plan_create(&job);
            QVERIFY(plan);
            largest = std::max(largest, convert_fast_plan_bytes(plan));
            QVERIFY(convert_fast_job_bytes(plan, 2) < 16u * 1024 * 1024);
            convert_fast_plan_free(plan);
        }
        QVERIFY2(largest <= 6u * 1024 * 1024, qPrintable(QString::number(largest)));
    }
};

QTEST_GUILESS_MAIN(TestConvertFast)
#include "tst_convert_fast.moc"
