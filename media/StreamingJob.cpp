#include "StreamingJob.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

const EngineStreamApi kEngine = {
    convert_stream_open,    convert_stream_frame_size,  convert_stream_frame,
    convert_stream_push,    convert_stream_sound_after, convert_stream_finish,
    convert_stream_discard, convert_failure_reason,
};

std::atomic<const EngineStreamApi*> g_api {nullptr};

std::mutex g_timingsMutex;
StreamingJob::Timings g_lastTimings;

// The sound as FFmpeg decodes it (on its second output), kept in a file of
// the job's private folder until the engine writes it into the frame
// records. Written here rather than by FFmpeg, so that a write that fails (a
// full disk) fails the job with its reason: FFmpeg reports a failed write of
// an output file only in its log and still ends with success.
class SoundFile : public FfmpegRunner::OutputSink {
public:
    explicit SoundFile(const QString& path)
        : path(path),
          buffer(1 << 16, Qt::Uninitialized)
    {
        fd = ::open(QFile::encodeName(path).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            fail(errno);
    }
    ~SoundFile() override
    {
        if (fd >= 0)
            ::close(fd);
    }
    char* space(qint64* room) override
    {
        *room = buffer.size();
        return fd >= 0 ? buffer.data() : nullptr;
    }
    bool received(qint64 bytes) override
    {
        const char* at = buffer.constData();
        while (bytes > 0) {
            const ssize_t n = ::write(fd, at, size_t(bytes));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fail(n < 0 ? errno : EIO);
                return false;
            }
            at += n;
            bytes -= n;
        }
        return true;
    }
    // Closes the file; false (failure() says why) when any write failed.
    bool close()
    {
        if (fd >= 0 && ::close(fd) != 0)
            fail(errno);
        fd = -1;
        return failure.isEmpty();
    }
    QString failure;

private:
    void fail(int err)
    {
        if (failure.isEmpty())
            failure = QStringLiteral("cannot write %1: %2")
                          .arg(path, QString::fromLocal8Bit(std::strerror(err)));
    }

    QString path;
    QByteArray buffer;
    int fd = -1;
};

} // namespace

void setEngineStreamApi(const EngineStreamApi* api) { g_api.store(api); }

StreamingJob::Timings StreamingJob::lastTimings()
{
    std::lock_guard<std::mutex> lock(g_timingsMutex);
    return g_lastTimings;
}

StreamingJob::StreamingJob(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks,
                           const JobGeometry& frames, const QString& outPath)
    : request(request),
      callbacks(callbacks),
      frames(frames),
      outPath(outPath),
      api(g_api.load() ? g_api.load() : &kEngine),
      engineCancel(convert_cancel_create())
{
}

StreamingJob::~StreamingJob()
{
    {
        std::lock_guard<std::mutex> lock(g_timingsMutex);
        g_lastTimings = timings;
    }
    // No cancel may reach the engine's flag once it is gone.
    if (request.cancel)
        request.cancel->setHook({});
    if (stream)
        api->discard(stream);
    convert_cancel_free(engineCancel);
}

bool StreamingJob::isCancelled() const { return request.cancel && request.cancel->requested(); }

void StreamingJob::reportDecoding(int percent)
{
    if (callbacks.onProgress && percent > lastDecoding) {
        lastDecoding = percent;
        callbacks.onProgress(MediaStage::Decoding, percent);
    }
}

void StreamingJob::reportConverting(int percent)
{
    if (callbacks.onProgress && percent > lastConverting) {
        lastConverting = percent;
        callbacks.onProgress(MediaStage::Converting, percent);
    }
}

void StreamingJob::logEngineResult(const char* result, const char* message)
{
    qInfo().noquote() << QStringLiteral("result:%1 path:%2 msg:%3")
                             .arg(QLatin1String(result), outPath, QLatin1String(message));
    if (request.debugMode && callbacks.onLog)
        callbacks.onLog(QStringLiteral("rsult:%1 path:%2 msg:%3")
                            .arg(QLatin1String(result), outPath, QLatin1String(message)));
}

char* StreamingJob::space(qint64* room)
{
    if (!stream || engineStopped)
        return nullptr;
    *room = qint64(frameSize - filled);
    return reinterpret_cast<char*>(api->frame(stream)) + filled;
}

bool StreamingJob::received(qint64 bytes)
{
    filled += size_t(bytes);
    if (filled < frameSize)
        return true;
    filled = 0;
    if (api->push(stream) != 0) {
        engineStopped = true;
        return false;
    }
    ++framesIn;
    if (expectedFrames > 0)
        reportDecoding(int(std::min<qint64>(99, framesIn * 100 / expectedFrames)));
    return true;
}

StreamingJob::Outcome StreamingJob::finishEngine(bool cancelledNow)
{
    const int failed = api->finish(stream);
    stream = nullptr;
    Outcome outcome;
    // A cancel that comes once the file has its name is too late.
    if (failed == CONVERT_CANCELLED || (failed != 0 && (cancelledNow || isCancelled()))) {
        logEngineResult("FAILED", "cancelled");
        outcome.outcome = ConvertOutcome::Cancelled;
        return outcome;
    }
    logEngineResult(failed == 0 ? "SUCCESS" : "FAILED", failed == 0 ? "ok" : "failed");
    outcome.outcome = failed == 0 ? ConvertOutcome::Succeeded : ConvertOutcome::Failed;
    if (failed != 0)
        outcome.reason = QString::fromUtf8(api->reason());
    return outcome;
}

StreamingJob::Outcome StreamingJob::run(const QStringList& arguments, const QString& label,
                                        const QString& soundFile, qint64 expected)
{
    expectedFrames = expected;
    framesIn = 0;
    filled = 0;
    engineStopped = false;
    Outcome outcome;
    const MediaConvert::LogCallback& onLog = callbacks.onLog;
    if (!engineCancel) {
        outcome.reason = QStringLiteral("out of memory");
        return outcome;
    }
    if (onLog && !bannerSent) {
        onLog(QString(45, QLatin1Char('#')));
        onLog(QString(16, QLatin1Char('#')) + QStringLiteral("START") +
              QString(22, QLatin1Char('#')) + QLatin1Char('\n'));
    }
    bannerSent = true;

    const QByteArray out = QFile::encodeName(outPath);
    convert_stream_spec spec {};
    spec.out_path = out.constData();
    spec.in_width = uint32_t(std::max(frames.width, 0));
    spec.in_height = uint32_t(std::max(frames.height, 0));
    spec.center_x = frames.centerX;
    spec.center_y = frames.centerY;
    spec.radius = uint32_t(std::max(request.lights, 0));
    spec.lights = uint32_t(std::max(request.lights, 0));
    spec.lines = uint32_t(std::max(request.lines, 0));
    spec.colorDeep = uint32_t(std::max(request.colorDeep, 0));
    // The job text carries both with two decimals; so does a streamed job.
    spec.gamma = QString::number(request.gamma, 'f', 2).toDouble();
    spec.min_brightness = QString::number(request.minBrightness, 'f', 2).toDouble();
    spec.change_brightness_lights = request.changeBrightnessLights;
    spec.cancel = engineCancel;
    spec.out_reserved = !request.reservedPath.isEmpty() && request.reservedPath == outPath;
    stream = api->open(&spec);
    if (!stream) {
        outcome.reason = QString::fromUtf8(api->reason());
        if (onLog)
            onLog(QCoreApplication::translate("MediaConvert", "start_convert_failed"));
        outcome.outcome = isCancelled() ? ConvertOutcome::Cancelled : ConvertOutcome::Failed;
        return outcome;
    }
    frameSize = api->frameSize(stream);
    if (request.cancel) {
        convert_cancel* flag = engineCancel;
        request.cancel->setHook([flag]() { convert_cancel_request(flag); });
    }

    FfmpegRunner runner(request.debugMode, onLog);
    runner.setCancel(request.cancel);
    std::unique_ptr<SoundFile> sound;
    if (!soundFile.isEmpty())
        sound = std::make_unique<SoundFile>(soundFile);
    reportDecoding(0);
    const bool decoded = runner.runFfmpegPiped(arguments, label, *this, sound.get());
    const bool soundKept = !sound || sound->close();
    timings.pipe = runner.pipeStats();
    timings.frames = framesIn;
    qInfo().noquote() << QStringLiteral("stream: %1 frames, %2 reads of %3 bytes; waited %4 ms, "
                                        "read %5 ms, engine %6 ms")
                             .arg(framesIn)
                             .arg(timings.pipe.reads)
                             .arg(timings.pipe.bytes)
                             .arg(timings.pipe.waitNs / 1000000)
                             .arg(timings.pipe.readNs / 1000000)
                             .arg(timings.pipe.sinkNs / 1000000);
    if (isCancelled()) {
        api->discard(stream);
        stream = nullptr;
        logEngineResult("FAILED", "cancelled");
        outcome.outcome = ConvertOutcome::Cancelled;
        return outcome;
    }
    if (engineStopped)
        return finishEngine(false);
    if (!decoded || !soundKept) {
        api->discard(stream);
        stream = nullptr;
        logEngineResult("FAILED", "failed");
        outcome.reason = soundKept ? runner.failureReason() : sound->failure;
        return outcome;
    }
    reportDecoding(100);
    if (!soundFile.isEmpty() &&
        api->soundAfter(stream, QFile::encodeName(soundFile).constData()) != 0) {
        api->discard(stream);
        stream = nullptr;
        logEngineResult("FAILED", "failed");
        outcome.reason = QStringLiteral("the sound file's name is too long: %1").arg(soundFile);
        return outcome;
    }
    // Every frame but the last one is converted by now.
    if (framesIn > 0)
        reportConverting(int(std::min<qint64>(99, (framesIn - 1) * 100 / framesIn)));
    QElapsedTimer end;
    end.start();
    outcome = finishEngine(isCancelled());
    outcome.frames = framesIn;
    timings.finishNs = end.nsecsElapsed();
    if (outcome.outcome == ConvertOutcome::Succeeded)
        reportConverting(100);
    return outcome;
}
