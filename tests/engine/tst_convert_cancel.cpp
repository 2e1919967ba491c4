// Cancelling jobs: a flag set before the start or before a chosen frame stops
// every worker (reference and fast, flat and 360) before its next frame, removes
// the output and reports CONVERT_CANCELLED once; a flag never set changes
// nothing. The frame hook makes the moment of cancelling exact.
#include <QtTest>

#include <QJsonArray>

#include <atomic>

#include "convert_fast.h"
#include "engine_test_support.h"

using namespace enginetest;

namespace {

enum class Worker { Reference, Fast, Reference360, Fast360 };

const int kFrames = 5;
const int kWidth = 12;
const int kHeight = 10;

// The frame before which the hook sets the flag (-1: never), and the frames
// whose start the hook saw.
std::atomic<int> g_cancelAt {-1};
std::atomic<int> g_framesStarted {0};
std::atomic<int> g_lastFrame {-1};

void cancelAtHook(convert_cancel* cancel, uint64_t frame)
{
    g_framesStarted.fetch_add(1);
    g_lastFrame.store(int(frame));
    if (int(frame) == g_cancelAt.load())
        convert_cancel_request(cancel);
}

// For the threaded run: before frame 1 the worker waits until the test
// thread has set the flag.
std::mutex g_handMutex;
std::condition_variable g_hand;
bool g_atFrame = false;

void waitForRequestHook(convert_cancel* cancel, uint64_t frame)
{
    if (frame != 1)
        return;
    std::unique_lock<std::mutex> lock(g_handMutex);
    g_atFrame = true;
    g_hand.notify_all();
    g_hand.wait_for(lock, std::chrono::seconds(30),
                    [cancel] { return convert_cancel_requested(cancel) != 0; });
}

QByteArray frames(int count)
{
    QByteArray data;
    for (int k = 0; k < count; ++k)
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                data.append(char(20 * x + k));
                data.append(char(25 * y));
                data.append(char(200 - 10 * x - 5 * k));
            }
    return data;
}

bool is360(Worker w) { return w == Worker::Reference360 || w == Worker::Fast360; }

void addWorkerRows(const char* what)
{
    QTest::newRow(qPrintable(QStringLiteral("reference flat, %1").arg(QLatin1String(what))))
        << int(Worker::Reference);
    QTest::newRow(qPrintable(QStringLiteral("fast flat, %1").arg(QLatin1String(what))))
        << int(Worker::Fast);
    QTest::newRow(qPrintable(QStringLiteral("reference 360, %1").arg(QLatin1String(what))))
        << int(Worker::Reference360);
    QTest::newRow(qPrintable(QStringLiteral("fast 360, %1").arg(QLatin1String(what))))
        << int(Worker::Fast360);
}

// Runs a parsed job with the chosen worker on the calling thread.
void runParsed(Worker worker, convert_parsed_job* job)
{
    const convert_fast_options options {3, CONVERT_FAST_KERNEL_AUTO};
    switch (worker) {
    case Worker::Reference:
        convert_worker(job->flat);
        break;
    case Worker::Fast:
        convert_fast_worker_with(job->flat, &options);
        break;
    case Worker::Reference360:
        convert_360_worker(job->wide);
        break;
    case Worker::Fast360:
        convert_fast_360_worker_with(job->wide, &options);
        break;
    }
}

} // namespace

class TestConvertCancel : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

    QByteArray jobJson(Worker worker)
    {
        const QString input = path(QStringLiteral("in.bgr"));
        writeFile(input, frames(kFrames));
        const QString audio = path(QStringLiteral("in.pcm"));
        writeFile(audio, QByteArray(kFrames * int(FAN_AUDIO_BLOCK), char(0x80)));
        const QString out = path(QStringLiteral("out.bin"));
        QFile::remove(out);
        if (!is360(worker)) {
            QJsonObject job = flatJob(input, kWidth, kHeight, out, 5, 16, 6, 6, 5);
            job.insert(QStringLiteral("in_aud_path"), audio);
            return toJson(job);
        }
        QJsonObject job = wideJob({wideItem(input, kWidth, kHeight, 6, 5)}, out, 8, 12, 5, 12, 8);
        job.insert(QStringLiteral("in_aud_path"), audio);
        return toJson(job);
    }

    // Runs the job synchronously with `cancel` in its record; returns the log.
    QStringList run(Worker worker, const QByteArray& json, convert_cancel* cancel,
                    CallbackRecord* record)
    {
        convert_parsed_job job;
        StdoutCapture capture;
        if (convert_parse_job(json.constData(), recordCallback, record, &job) != 0)
            return QStringList();
        if (job.is_360)
            job.wide->cancel = cancel;
        else
            job.flat->cancel = cancel;
        runParsed(worker, &job);
        capture.stop();
        return capture.lines();
    }

    static void verifyCancelled(const CallbackRecord& record, const QStringList& log,
                                const QString& out)
    {
        QCOMPARE(record.calls, 1);
        QCOMPARE(record.failed, CONVERT_CANCELLED);
        QCOMPARE(record.message, QStringLiteral("cancelled"));
        QCOMPARE(record.outPath, out);
        QVERIFY(!record.outputOpenAtCallback);
        QVERIFY2(!QFileInfo::exists(out), "the partial output is removed");
        QCOMPARE(log.count(QStringLiteral("[MEDIA] >> cancelled")), 1);
        // Cancelling is not the end of the input, nor a failure.
        for (const QString& line : log) {
            QVERIFY2(!line.contains(QLatin1String("len:")), qPrintable(line));
            QVERIFY2(!line.contains(QLatin1String("not have one frame")), qPrintable(line));
        }
        QVERIFY(log.last().startsWith(QLatin1String("[MEDIA] >> finish")));
    }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }
    void cleanup()
    {
        convert_set_frame_hook(nullptr);
        g_cancelAt.store(-1);
        g_framesStarted.store(0);
        g_lastFrame.store(-1);
    }

    void flag()
    {
        QCOMPARE(convert_cancel_requested(nullptr), 0);
        convert_cancel_request(nullptr);
        convert_cancel* cancel = convert_cancel_create();
        QVERIFY(cancel);
        QCOMPARE(convert_cancel_requested(cancel), 0);
        convert_cancel_request(cancel);
        convert_cancel_request(cancel);
        QCOMPARE(convert_cancel_requested(cancel), 1);
        convert_cancel_free(cancel);
        convert_cancel_free(nullptr);
    }

    // A flag set before the job starts: no file is created, no frame read.
    void beforeStart_data()
    {
        QTest::addColumn<int>("worker");
        addWorkerRows("before start");
    }
    void beforeStart()
    {
        QFETCH(int, worker);
        const QByteArray json = jobJson(Worker(worker));
        convert_set_frame_hook(cancelAtHook);
        convert_cancel* cancel = convert_cancel_create();
        convert_cancel_request(cancel);
        CallbackRecord record;
        const QStringList log = run(Worker(worker), json, cancel, &record);
        convert_cancel_free(cancel);
        verifyCancelled(record, log, path(QStringLiteral("out.bin")));
        QCOMPARE(g_framesStarted.load(), 0);
    }

    // The flag set just before frame `at` starts: the worker stops there.
    void beforeFrame_data()
    {
        QTest::addColumn<int>("worker");
        QTest::addColumn<int>("at");
        for (int at : {0, 2, kFrames - 1}) {
            const QByteArray what = "before frame " + QByteArray::number(at);
            QTest::newRow(("reference flat, " + what).constData()) << int(Worker::Reference) << at;
            QTest::newRow(("fast flat, " + what).constData()) << int(Worker::Fast) << at;
            QTest::newRow(("reference 360, " + what).constData())
                << int(Worker::Reference360) << at;
            QTest::newRow(("fast 360, " + what).constData()) << int(Worker::Fast360) << at;
        }
    }
    void beforeFrame()
    {
        QFETCH(int, worker);
        QFETCH(int, at);
        const QByteArray json = jobJson(Worker(worker));
        g_cancelAt.store(at);
        convert_set_frame_hook(cancelAtHook);
        convert_cancel* cancel = convert_cancel_create();
        CallbackRecord record;
        const QStringList log = run(Worker(worker), json, cancel, &record);
        convert_cancel_free(cancel);
        verifyCancelled(record, log, path(QStringLiteral("out.bin")));
        QCOMPARE(g_lastFrame.load(), at);
        QCOMPARE(g_framesStarted.load(), at + 1);
    }

    // A flag that is never set, or no flag at all: the bytes of a plain run.
    void notCancelled_data()
    {
        QTest::addColumn<int>("worker");
        addWorkerRows("flag never set");
    }
    void notCancelled()
    {
        QFETCH(int, worker);
        const QByteArray json = jobJson(Worker(worker));
        const QString out = path(QStringLiteral("out.bin"));
        CallbackRecord plain;
        const QStringList plainLog = run(Worker(worker), json, nullptr, &plain);
        QCOMPARE(plain.failed, 0);
        const QByteArray expected = readFile(out);
        QVERIFY(!expected.isEmpty());
        QFile::remove(out);

        convert_set_frame_hook(cancelAtHook);
        convert_cancel* cancel = convert_cancel_create();
        CallbackRecord record;
        const QStringList log = run(Worker(worker), json, cancel, &record);
        convert_cancel_free(cancel);
        QCOMPARE(record.calls, 1);
        QCOMPARE(record.failed, 0);
        QCOMPARE(record.message, QStringLiteral("ok"));
        QCOMPARE(readFile(out), expected);
        QCOMPARE(log, plainLog);
        QCOMPARE(g_framesStarted.load(), kFrames);
    }

    // Through the entry, on the job's own thread, with the flag set from the
    // test thread while the worker stands before frame 1.
    void fromAnotherThread_data()
    {
        QTest::addColumn<bool>("wide");
        QTest::newRow("flat") << false;
        QTest::newRow("360") << true;
    }
    void fromAnotherThread()
    {
        QFETCH(bool, wide);
        const QByteArray json = jobJson(wide ? Worker::Fast360 : Worker::Fast);
        {
            std::lock_guard<std::mutex> lock(g_handMutex);
            g_atFrame = false;
        }
        convert_set_frame_hook(waitForRequestHook);
        convert_cancel* cancel = convert_cancel_create();
        CallbackRecord record;
        StdoutCapture capture;
        QCOMPARE(convert_start_cancellable(json.constData(), recordCallback, &record, cancel), 0);
        {
            std::unique_lock<std::mutex> lock(g_handMutex);
            QVERIFY(g_hand.wait_for(lock, std::chrono::seconds(30), [] { return g_atFrame; }));
            convert_cancel_request(cancel);
            g_hand.notify_all();
        }
        QVERIFY(waitForCallback(&record));
        QTRY_COMPARE_WITH_TIMEOUT(convert_running_jobs(), 0, 30000);
        capture.stop();
        convert_cancel_free(cancel);
        std::lock_guard<std::mutex> lock(record.mutex);
        verifyCancelled(record, capture.lines(), path(QStringLiteral("out.bin")));
    }

    // The entry without a flag runs to the end as convert_start does.
    void entryWithoutFlag()
    {
        const QByteArray json = jobJson(Worker::Fast);
        CallbackRecord record;
        StdoutCapture capture;
        QCOMPARE(convert_start_cancellable(json.constData(), recordCallback, &record, nullptr), 0);
        QVERIFY(waitForCallback(&record));
        QTRY_COMPARE_WITH_TIMEOUT(convert_running_jobs(), 0, 30000);
        capture.stop();
        QCOMPARE(record.failed, 0);
        QCOMPARE(QFileInfo(path(QStringLiteral("out.bin"))).size(),
                 expectedSize(16, 5, 6, kFrames));
        QCOMPARE(convert_start_cancellable(nullptr, recordCallback, &record, nullptr), 1);
    }
};

QTEST_GUILESS_MAIN(TestConvertCancel)
#include "tst_convert_cancel.moc"
