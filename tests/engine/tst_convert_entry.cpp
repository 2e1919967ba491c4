// The engine entry: return codes, the job description's fallbacks, the
// callback contract and jobs running side by side.
#include <QtTest>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "engine_test_support.h"

using namespace enginetest;

namespace {

struct Waiter {
    CallbackRecord record;
    bool wait() { return waitForCallback(&record); }
};

extern "C" void waitCallback(void* ctx, int failed, const char* outPath, const char* message)
{
    recordCallback(&static_cast<Waiter*>(ctx)->record, failed, outPath, message);
}

unsigned long failingStarter(void (*)(void*), void*, size_t) { return EAGAIN; }

// When the folder's entries last changed (any file created or removed).
qint64 changedAt(const QString& folder)
{
    struct stat st;
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return -1;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

} // namespace

class TestConvertEntry : public QObject {
    Q_OBJECT

private:
    QTemporaryDir tempDir;
    QString path(const QString& name) const { return tempDir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(tempDir.isValid()); }

    void refusedJobs_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("nullText");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("logged");
        QTest::newRow("null") << QByteArray() << true << 1
                              << QStringLiteral("[MEDIA] cfg is NULL, exit");
        QTest::newRow("not JSON") << QByteArray("{\"lights\": ") << false << 2
                                  << QStringLiteral(
                                         "[MEDIA] parse json failed, json:{\"lights\": ");
        QTest::newRow("empty text")
            << QByteArray("") << false << 2 << QStringLiteral("[MEDIA] parse json failed, json:");
        QTest::newRow("360 without list")
            << QByteArray("{\"is_360\": true}") << false << 3
            << QStringLiteral("[MEDIA] parse json list failed, json:{\"is_360\": true}");
        QTest::newRow("360 list is an object")
            << QByteArray("{\"is_360\": true, \"list\": {}}") << false << 3
            << QStringLiteral("[Util] not found or not a object [list]");
    }
    void refusedJobs()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, nullText);
        QFETCH(int, code);
        QFETCH(QString, logged);
        Waiter waiter;
        StdoutCapture capture;
        const int rc = convert_start(nullText ? nullptr : json.constData(), waitCallback, &waiter);
        capture.stop();
        QCOMPARE(rc, code);
        QVERIFY2(capture.text().contains(logged), qPrintable(capture.text()));
        QCOMPARE(waiter.record.calls, 0);

        convert_parsed_job job;
        job.flat = reinterpret_cast<convert_job*>(this); // must be cleared
        QCOMPARE(convert_parse_job(nullText ? nullptr : json.constData(), nullptr, nullptr, &job),
                 code);
        QVERIFY(!job.flat && !job.wide);
    }

    void threadStartFailure()
    {
        convert_set_thread_starter(failingStarter);
        Waiter waiter;
        const QByteArray json = toJson(flatJob(path("x.bgr"), 2, 2, path("x.bin"), 1, 1, 1, 0, 0));
        StdoutCapture capture;
        const int rc = convert_start(json.constData(), waitCallback, &waiter);
        capture.stop();
        convert_set_thread_starter(nullptr);
        QCOMPARE(rc, -1);
        QCOMPARE(convert_running_jobs(), 0);
        QVERIFY(capture.text().contains(
            QStringLiteral("[MEDIA] Error creating thread: %1").arg(EAGAIN)));
        QCOMPARE(waiter.record.calls, 0);
        QVERIFY(!QFile::exists(path("x.bin")));
    }

    void flatFallbacks()
    {
        StdoutCapture capture;
        convert_parsed_job job;
        QCOMPARE(
            convert_parse_job("{\"is_360\": 1, \"out_path\": \"o.bin\"}", nullptr, nullptr, &job),
            0);
        capture.stop();
        QCOMPARE(job.is_360, 0); // a number is not the boolean true
        QVERIFY(job.flat);
        QCOMPARE(job.flat->is_360, -1);
        QCOMPARE(QString::fromUtf8(job.flat->out_path), QStringLiteral("o.bin"));
        QCOMPARE(job.flat->frames_resized_file[0], '\0');
        QCOMPARE(job.flat->lights, 0xffffffffu);
        QCOMPARE(job.flat->in_width, 0xffffffffu);
        QCOMPARE(job.flat->center_x, -1);
        QCOMPARE(job.flat->gamma, 1.0);
        QCOMPARE(job.flat->min_brightness, 1.0);
        QCOMPARE(job.flat->change_brightness_lights, -1);
        const QString log = capture.text();
        QVERIFY(log.contains(QStringLiteral("[Util] not found or not a number [is_360]")));
        QVERIFY(log.contains(QStringLiteral("[Util] not found or not a number [gamma]")));
        QVERIFY(
            log.contains(QStringLiteral("[Util] not found or not a string [frames_resized_file]")));
        free(job.flat);
    }

    void longPathsAreCut()
    {
        const QString longPath = QStringLiteral("/tmp/") + QString(1495, QLatin1Char('p'));
        QJsonObject flat = flatJob(longPath, 2, 2, longPath, 1, 1, 1, 0, 0);
        flat.insert(QStringLiteral("in_aud_path"), longPath);
        convert_parsed_job job;
        StdoutCapture capture;
        QCOMPARE(convert_parse_job(toJson(flat).constData(), nullptr, nullptr, &job), 0);
        capture.stop();
        QCOMPARE(strlen(job.flat->out_path), size_t(1023));
        QCOMPARE(strlen(job.flat->frames_resized_file), size_t(1023));
        QCOMPARE(strlen(job.flat->in_aud_path), size_t(1023));
        QCOMPARE(QByteArray(job.flat->out_path), longPath.toUtf8().left(1023));
        free(job.flat);
    }

    void list360_data()
    {
        QTest::addColumn<int>("elements");
        QTest::addColumn<int>("count");
        QTest::newRow("empty list") << 0 << 0;
        QTest::newRow("two") << 2 << 2;
        QTest::newRow("five read as three") << 5 << 3;
    }
    void list360()
    {
        QFETCH(int, elements);
        QFETCH(int, count);
        QJsonArray list;
        for (int i = 0; i < elements; ++i) {
            QJsonObject item;
            item.insert(QStringLiteral("frames_resized_file"), QStringLiteral("in%1.bgr").arg(i));
            item.insert(QStringLiteral("in_width"), 10 + i);
            item.insert(QStringLiteral("in_height"), 20 + i);
            item.insert(QStringLiteral("center_x"), 30 + i);
            item.insert(QStringLiteral("center_y"), 40 + i);
            list.append(item);
        }
        QJsonObject json;
        json.insert(QStringLiteral("is_360"), true);
        json.insert(QStringLiteral("out_path"), path(QStringLiteral("wide.bin")));
        json.insert(QStringLiteral("lights"), 4);
        json.insert(QStringLiteral("lines"), 8);
        json.insert(QStringLiteral("colorDeep"), 3);
        json.insert(QStringLiteral("destItemWidth"), 2);
        json.insert(QStringLiteral("destItemHeight"), 4);
        json.insert(QStringLiteral("list"), list);
        convert_parsed_job job;
        StdoutCapture capture;
        QCOMPARE(convert_parse_job(toJson(json).constData(), nullptr, nullptr, &job), 0);
        capture.stop();
        QCOMPARE(job.is_360, 1);
        QVERIFY(job.wide);
        QCOMPARE(job.wide->item_count, uint32_t(count));
        QCOMPARE(job.wide->is_360, 1);
        QCOMPARE(job.wide->destTotalWidth, -1);
        QCOMPARE(job.wide->destItemWidth, 2);
        for (int i = 0; i < count; ++i) {
            QCOMPARE(QString::fromUtf8(job.wide->items[i].path), QStringLiteral("in%1.bgr").arg(i));
            QCOMPARE(job.wide->items[i].in_width, 10 + i);
            QCOMPARE(job.wide->items[i].center_y, 40 + i);
        }
        free(job.wide);

        if (elements == 0) {
            // Accepted, and the worker then fails on the item count.
            Waiter waiter;
            StdoutCapture run;
            QCOMPARE(convert_start(toJson(json).constData(), waitCallback, &waiter), 0);
            QVERIFY(waiter.wait());
            QCOMPARE(waiter.record.failed, 1);
            QCOMPARE(waiter.record.message, QStringLiteral("failed"));
            QVERIFY(run.text().contains(
                QStringLiteral("[MEDIA] input or output path is invalid, count:0")));
            // The worker's last line follows the callback; wait for it so
            // that it cannot land in a later test's capture.
            QTRY_VERIFY_WITH_TIMEOUT(
                run.text().contains(QStringLiteral(">> finish convert_360_worker")), 30000);
        }
    }

    void callbackOnceAfterClose_data()
    {
        QTest::addColumn<int>("frameBytes");
        QTest::addColumn<QString>("outName");
        QTest::addColumn<int>("failed");
        QTest::newRow("success") << 2 * 48 << "once.bin" << 0;
        QTest::newRow("no whole frame") << 20 << "once.bin" << 1;
        QTest::newRow("output not creatable") << 48 << "missing-dir/once.bin" << 1;
    }
    void callbackOnceAfterClose()
    {
        QFETCH(int, frameBytes);
        QFETCH(QString, outName);
        QFETCH(int, failed);
        const QString frames = path(QStringLiteral("once.bgr"));
        QVERIFY(writeFile(frames, solidFrame(4, 4, 80, 90, 100).repeated(2).left(frameBytes)));
        const QString out = path(outName);
        CallbackRecord record;
        StdoutCapture capture;
        QCOMPARE(runSync(toJson(flatJob(frames, 4, 4, out, 2, 3, 2, 2, 2)), &record), 0);
        capture.stop();
        QCOMPARE(record.calls, 1);
        QCOMPARE(record.failed, failed);
        QCOMPARE(record.message, failed ? QStringLiteral("failed") : QStringLiteral("ok"));
        QCOMPARE(record.outPath, out);
        QVERIFY(!record.outputOpenAtCallback);
        if (QFile::exists(out)) {
            QCOMPARE(record.sizeAtCallback, QFileInfo(out).size());
            QCOMPARE(record.sizeAtCallback % FAN_PAD_GRANULE, qint64(0));
        }
        // The record is freed after the callback, then the last line follows.
        QVERIFY(capture.lines().last().endsWith(QStringLiteral(">> finish")));
    }

    // Jobs that cannot be done safely are refused before any file is
    // created: inputs that are not files (the folder, a kernel file, a
    // device, a FIFO, which is never waited on), an output that is one of
    // the inputs, and a geometry no fan has. Both flat workers, the one
    // convert_start dispatches to and the reference, and the 360 worker.
    void refusedBeforeWriting_data()
    {
        QTest::addColumn<QString>("frames");   // "" : a file of two frames
        QTest::addColumn<QString>("sound");    // "" : none
        QTest::addColumn<QString>("out");      // "" : a new file in the output folder
        QTest::addColumn<QJsonObject>("with"); // members replaced in the job
        QTest::addColumn<bool>("wide");        // the 360 job
        QTest::addColumn<QString>("reason");
        const QJsonObject none;
        QTest::newRow("frames: a folder") << "folder"
                                          << ""
                                          << "" << none << false << "not a regular file";
        QTest::newRow("frames: a kernel file") << "/proc/self/environ"
                                               << ""
                                               << "" << none << false << "not a regular file";
        QTest::newRow("frames: a device") << "/dev/zero"
                                          << ""
                                          << "" << none << false << "not a regular file";
        QTest::newRow("frames: a FIFO") << "fifo"
                                        << ""
                                        << "" << none << false << "not a regular file";
        QTest::newRow("frames: less than a frame") << "short"
                                                   << ""
                                                   << "" << none << false << "no whole frame";
        QTest::newRow("sound: a FIFO") << ""
                                       << "fifo"
                                       << "" << none << false << "not a regular file";
        QTest::newRow("out: the frames")
            << ""
            << ""
            << "frames" << none << false << "it is the job's frame file";
        QTest::newRow("out: the sound") << ""
                                        << "sound"
                                        << "sound" << none << false << "it is the job's sound file";
        QTest::newRow("out: a link to the frames")
            << ""
            << ""
            << "frames link" << none << false << "it is the job's frame file";
        QTest::newRow("lights beyond a fan")
            << ""
            << ""
            << "" << QJsonObject {{"lights", 100000}, {"radius", 100000}} << false
            << "a fan has 1 to 4096 lines, 1 to 1024 lights";
        QTest::newRow("lines of 2^31")
            << ""
            << ""
            << "" << QJsonObject {{"lines", 2147483648.0}} << false << "invalid job";
        QTest::newRow("lines beyond a fan")
            << ""
            << ""
            << "" << QJsonObject {{"lines", 5000}} << false << "invalid job";
        QTest::newRow("360: out is an input")
            << ""
            << ""
            << "frames" << none << true << "it is the job's frame file";
        QTest::newRow("360: lights beyond a fan")
            << ""
            << ""
            << "" << QJsonObject {{"lights", 2000}} << true << "invalid job";
    }
    void refusedBeforeWriting()
    {
        QFETCH(QString, frames);
        QFETCH(QString, sound);
        QFETCH(QString, out);
        QFETCH(QJsonObject, with);
        QFETCH(bool, wide);
        QFETCH(QString, reason);
        QTemporaryDir box;
        QVERIFY(box.isValid());
        const QByteArray twoFrames = solidFrame(4, 4, 10, 20, 30).repeated(2);
        const QString framesFile = box.filePath(QStringLiteral("frames.bgr"));
        const QString soundFile = box.filePath(QStringLiteral("sound.u8"));
        const QString fifo = box.filePath(QStringLiteral("fifo"));
        QVERIFY(writeFile(framesFile, twoFrames));
        QVERIFY(writeFile(soundFile, QByteArray(3200, char(0x80))));
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(QFile::link(framesFile, box.filePath(QStringLiteral("frames link"))));
        const auto input = [&](const QString& which, const QString& plain) {
            if (which.isEmpty())
                return plain;
            if (which == QLatin1String("folder"))
                return box.path();
            if (which == QLatin1String("fifo"))
                return fifo;
            if (which == QLatin1String("sound"))
                return soundFile;
            if (which == QLatin1String("short")) {
                writeFile(box.filePath(QStringLiteral("short.bgr")), twoFrames.left(47));
                return box.filePath(QStringLiteral("short.bgr"));
            }
            return which;
        };
        const QString outFolder = box.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(outFolder));
        const QString outPath = out.isEmpty() ? QDir(outFolder).filePath(QStringLiteral("f.bin"))
            : out == QLatin1String("frames")  ? framesFile
            : out == QLatin1String("sound")   ? soundFile
                                              : box.filePath(out);
        QJsonObject job = wide
            ? wideJob(QJsonArray {wideItem(input(frames, framesFile), 4, 4, 2, 2)}, outPath, 3, 8,
                      2, 4, 4)
            : flatJob(input(frames, framesFile), 4, 4, outPath, 3, 8, 2, 2, 2);
        job.insert(QStringLiteral("in_aud_path"), sound.isEmpty() ? QString() : input(sound, ""));
        for (auto it = with.begin(); it != with.end(); ++it)
            job.insert(it.key(), it.value());

        for (const bool reference : {false, true}) {
            if (wide && reference)
                continue;
            const qint64 before = changedAt(outFolder);
            const qint64 boxBefore = changedAt(box.path());
            CallbackRecord record;
            StdoutCapture quiet;
            convert_parsed_job parsed;
            QCOMPARE(convert_parse_job(toJson(job).constData(), recordCallback, &record, &parsed),
                     0);
            if (reference)
                convert_worker(parsed.flat);
            else
                convert_run_job(&parsed);
            quiet.stop();
            QCOMPARE(record.calls, 1);
            QCOMPARE(record.failed, 1);
            QVERIFY2(QString::fromUtf8(convert_failure_reason()).contains(reason),
                     convert_failure_reason());
            // Nothing was created or removed, and the inputs are whole.
            QCOMPARE(changedAt(outFolder), before);
            QCOMPARE(changedAt(box.path()), boxBefore);
            QCOMPARE(readFile(framesFile), twoFrames);
            QCOMPARE(readFile(soundFile), QByteArray(3200, char(0x80)));
        }
    }

    void dispatchedWorkerMatchesReference()
    {
        // convert_run_job uses the worker convert_start dispatches flat jobs
        // to; whatever that is, its bytes are the reference's.
        QByteArray picture = solidFrame(21, 17, 10, 128, 250);
        for (int i = 0; i < 21 * 17; ++i)
            picture[3 * i + 1] = char(i * 7);
        const QString frames = path(QStringLiteral("dispatch.bgr"));
        QVERIFY(writeFile(frames, picture.repeated(3)));
        QJsonObject job = flatJob(frames, 21, 17, path(QStringLiteral("ref.bin")), 9, 37, 7, 10, 7);
        job.insert(QStringLiteral("change_brightness_lights"), 5);
        job.insert(QStringLiteral("min_brightness"), 0.3);
        job.insert(QStringLiteral("gamma"), 2.2);
        CallbackRecord reference;
        CallbackRecord dispatched;
        StdoutCapture capture;
        QCOMPARE(runSync(toJson(job), &reference), 0);
        job.insert(QStringLiteral("out_path"), path(QStringLiteral("dispatched.bin")));
        convert_parsed_job parsed;
        QCOMPARE(convert_parse_job(toJson(job).constData(), recordCallback, &dispatched, &parsed),
                 0);
        convert_run_job(&parsed);
        QVERIFY(!parsed.flat && !parsed.wide);
        capture.stop();
        QCOMPARE(reference.failed, 0);
        QCOMPARE(dispatched.calls, 1);
        QCOMPARE(dispatched.failed, 0);
        QCOMPARE(readFile(path(QStringLiteral("dispatched.bin"))),
                 readFile(path(QStringLiteral("ref.bin"))));
    }

    void twoJobsAtOnce()
    {
        // Two threaded jobs with different pictures and outputs; each must
        // give exactly the bytes of the same job run alone by the reference.
        QByteArray picture[2] = {solidFrame(12, 12, 30, 60, 90), solidFrame(12, 12, 200, 10, 120)};
        setPixel(picture[1], 12, 9, 6, 255, 255, 255);
        QByteArray reference[2];
        for (int i = 0; i < 2; ++i) {
            const QString frames = path(QStringLiteral("twin%1.bgr").arg(i));
            QVERIFY(writeFile(frames, picture[i].repeated(4)));
            CallbackRecord record;
            StdoutCapture capture;
            runSync(toJson(flatJob(frames, 12, 12, path(QStringLiteral("ref%1.bin").arg(i)), 5, 24,
                                   5, 6, 6)),
                    &record);
            reference[i] = readFile(path(QStringLiteral("ref%1.bin").arg(i)));
            QCOMPARE(record.failed, 0);
        }

        Waiter waiter[2];
        StdoutCapture capture;
        for (int i = 0; i < 2; ++i) {
            const QByteArray json =
                toJson(flatJob(path(QStringLiteral("twin%1.bgr").arg(i)), 12, 12,
                               path(QStringLiteral("twin%1.bin").arg(i)), 5, 24, 5, 6, 6));
            QCOMPARE(convert_start(json.constData(), waitCallback, &waiter[i]), 0);
        }
        for (int i = 0; i < 2; ++i) {
            QVERIFY(waiter[i].wait());
            QCOMPARE(waiter[i].record.failed, 0);
            QVERIFY(waiter[i].record.thread != QThread::currentThreadId());
            QVERIFY(!waiter[i].record.outputOpenAtCallback);
            QCOMPARE(readFile(path(QStringLiteral("twin%1.bin").arg(i))), reference[i]);
        }
        // Exactly once: no second call arrives while the workers finish.
        QTRY_VERIFY_WITH_TIMEOUT(capture.text().count(QStringLiteral("[MEDIA] >> finish")) == 2,
                                 30000);
        QTRY_COMPARE_WITH_TIMEOUT(convert_running_jobs(), 0, 30000);
        capture.stop();
        QCOMPARE(waiter[0].record.calls, 1);
        QCOMPARE(waiter[1].record.calls, 1);
    }
};

QTEST_GUILESS_MAIN(TestConvertEntry)
#include "tst_convert_entry.moc"
