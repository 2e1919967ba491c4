#include "JobBuilder.h"

#include "DecodeSteps.h"
#include "FfmpegRunner.h"
#include "ResultPlacement.h"
#include "fan_audio.h"
#include "fan_file.h"
#include "fan_format.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cmath>
#include <memory>

namespace {

std::atomic<EngineEntry> g_engineEntry {nullptr};
std::atomic<int> g_pollIntervalMs {1000};

// One pass over the template, so that a value containing "%2" is never taken
// for a placeholder.
QString fillTemplate(const QString& pattern, const QStringList& values)
{
    QString out;
    out.reserve(pattern.size() + 512);
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == QLatin1Char('%') && i + 1 < pattern.size() && pattern.at(i + 1).isDigit()) {
            int number = pattern.at(i + 1).digitValue();
            int used = 1;
            if (i + 2 < pattern.size() && pattern.at(i + 2).isDigit()) {
                const int two = number * 10 + pattern.at(i + 2).digitValue();
                if (two <= values.size()) {
                    number = two;
                    used = 2;
                }
            }
            if (number >= 1 && number <= values.size()) {
                out += values.at(number - 1);
                i += used;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString number2(double value) { return QString::number(value, 'f', 2); }

} // namespace

int nearestInt(double x) { return static_cast<int>(std::floor(x + 0.5)); }

int evenInt(int n) { return n % 2 == 0 ? n : n + 1; }

JobGeometry computeJobGeometry(double scale, double centerX, double centerY, int mediaWidth,
                               int mediaHeight)
{
    JobGeometry g;
    g.centerX = nearestInt(scale * centerX);
    g.centerY = nearestInt(scale * centerY);
    g.width = evenInt(nearestInt(mediaWidth * scale));
    g.height = evenInt(nearestInt(mediaHeight * scale));
    return g;
}

namespace {

struct AxisFit {
    bool holds = true;
    int keepStart = 0;
    int keepLength = 0;
    int frameLength = 0;
    int padStart = 0;
    int center = 0;
};

// The engine samples LED r of a line at r * cos + c +- 0.25 (r below lights)
// and reads the pixel below and above each position: pixels c - lights up to
// c + lights - 1.
AxisFit fitAxis(int size, int c, int lights)
{
    AxisFit fit;
    fit.keepLength = fit.frameLength = size;
    fit.center = c;
    if (qint64(c) - lights >= 0 && qint64(c) + lights <= size)
        return fit;
    fit.holds = false;
    const int reach = lights + 1;
    const qint64 boxStart = qint64(c) - reach;
    fit.frameLength = 2 * reach;
    fit.center = reach;
    const qint64 keepStart = std::max<qint64>(0, boxStart);
    const qint64 keepEnd = std::min<qint64>(size, boxStart + fit.frameLength);
    if (keepEnd <= keepStart) {
        // Nothing of the picture on this axis: keep one pixel (FFmpeg crops
        // to no less) where no sample reaches, at the frame's far end.
        fit.keepStart = 0;
        fit.keepLength = 1;
        fit.padStart = fit.frameLength - 1;
    } else {
        fit.keepStart = int(keepStart);
        fit.keepLength = int(keepEnd - keepStart);
        fit.padStart = int(keepStart - boxStart);
    }
    return fit;
}

} // namespace

FrameWindow fitFrameWindow(JobGeometry& geometry, int lights)
{
    FrameWindow window;
    if (lights <= 0 || geometry.width <= 0 || geometry.height <= 0)
        return window;
    const AxisFit x = fitAxis(geometry.width, geometry.centerX, lights);
    const AxisFit y = fitAxis(geometry.height, geometry.centerY, lights);
    if (x.holds && y.holds)
        return window;
    window.active = true;
    window.cropX = x.keepStart;
    window.cropY = y.keepStart;
    window.cropWidth = x.keepLength;
    window.cropHeight = y.keepLength;
    window.width = x.frameLength;
    window.height = y.frameLength;
    window.padX = x.padStart;
    window.padY = y.padStart;
    geometry.centerX = x.center;
    geometry.centerY = y.center;
    return window;
}

QString mediaTempFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
        QStringLiteral("/Vortiq");
}

QString tempMediaPath(const QString& inputPath, const QString& ending)
{
    const QString path =
        mediaTempFolder() + QLatin1Char('/') + QFileInfo(inputPath).completeBaseName() + ending;
    if (QFileInfo::exists(path))
        QFile::remove(path);
    return path;
}

QString scratchDirPath(const QString& inputPath, const QString& tag)
{
    const QString path = mediaTempFolder() + QLatin1Char('/') +
        QFileInfo(inputPath).completeBaseName() + QLatin1Char('_') + tag;
    QDir dir(path);
    if (dir.exists())
        dir.removeRecursively();
    QDir().mkpath(path);
    return path;
}

QString jsonEscaped(const QString& text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString buildJobText(const JobTextValues& v)
{
    static const QString pattern = QStringLiteral("{\t\t\"is_360\": false,"
                                                  "\t\t\"frames_resized_file\" : \"%1\","
                                                  "\t\t\"in_width\" : %2,"
                                                  "\t\t\"in_height\" : %3,"
                                                  "\t\t\"in_aud_path\" : \"%4\","
                                                  "\t\t\"out_path\" : \"%5\","
                                                  "\t\t\"radius\" : %6,"
                                                  "\t\t\"center_x\" : %7,"
                                                  "\t\t\"center_y\" : %8,"
                                                  "\t\t\"lights\" : %9,"
                                                  "\t\t\"lines\" : %10,"
                                                  "\t\t\"colorDeep\" : %11,"
                                                  "\t\t\"gamma\" : %12,"
                                                  "\t\t\"min_brightness\" : %13,"
                                                  "\t\t\"change_brightness_lights\" : %14"
                                                  "\t}");
    return fillTemplate(pattern,
                        {
                            jsonEscaped(v.videoPath),
                            QString::number(v.width),
                            QString::number(v.height),
                            jsonEscaped(v.audioPath),
                            jsonEscaped(v.outPath),
                            QString::number(v.lights),
                            QString::number(v.centerX),
                            QString::number(v.centerY),
                            QString::number(v.lights),
                            QString::number(v.lines),
                            QString::number(v.colorDeep),
                            number2(v.gamma),
                            number2(v.minBrightness),
                            QString::number(v.changeBrightnessLights),
                        });
}

void setEngineEntry(EngineEntry entry) { g_engineEntry.store(entry); }

void setJobPollIntervalMs(int ms) { g_pollIntervalMs.store(ms > 0 ? ms : 1000); }

int jobPollIntervalMs() { return g_pollIntervalMs.load(); }

namespace {

std::atomic<int> g_streamChunkFrames {0};
std::atomic<bool> g_streaming {true};

// What one chunk's engine job reports back to the waiting job.
struct ChunkWait {
    JobDone done;
    std::atomic<int> failed {1};
};

extern "C" void onChunkResult(void* ctx, int failed, const char* path, const char* message)
{
    qInfo().noquote() << QStringLiteral("result:%1 path:%2 msg:%3")
                             .arg(failed)
                             .arg(path ? QString::fromUtf8(path) : QStringLiteral("NULL"),
                                  message ? QString::fromUtf8(message) : QStringLiteral("NULL"));
    auto* wait = static_cast<ChunkWait*>(ctx);
    wait->failed.store(failed);
    wait->done.set();
}

// Frames per chunk: about 8 MiB of raw frames, 2 to 20 frames.
int chunkFramesFor(qint64 frameBytes)
{
    const int fixed = g_streamChunkFrames.load();
    if (fixed > 0)
        return fixed;
    if (frameBytes <= 0)
        return 2;
    return int(std::clamp<qint64>((qint64(8) << 20) / frameBytes, 2, 20));
}

bool writeAll(QFile& file, const char* data, qint64 size)
{
    while (size > 0) {
        const qint64 written = file.write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Decoding and converting overlap: FFmpeg writes the frames to its standard
// output; the job cuts them into chunks of a few frames in the scratch folder
// and the engine converts each chunk (with its slice of the audio) while the
// next one is decoded. The chunks' frame records are joined into the fan
// file, which gets the header and padding of a single job. The engine treats
// every frame on its own, so the bytes are those of one job over all frames,
// while the raw frames on disk never exceed two chunks.
//
// The sound comes either from a file complete before the frames are decoded
// (each chunk's engine job gets its slice of it) or from the same FFmpeg run
// as the frames (setSoundAfter): that file is complete only once FFmpeg has
// ended, so the chunks are converted silent and every record's audio block
// is written into the joined file afterwards, by the engine's rule for
// missing sound. No chunk ever waits for sound that FFmpeg, blocked on a
// full pipe, could not write.
// The engine's job text for frames of this geometry, converted for the
// request's model and brightness; the files are the caller's.
QByteArray engineJobText(const ConvertRequest& request, const JobGeometry& geometry,
                         const QString& videoPath, const QString& audioPath, const QString& outPath)
{
    JobTextValues values;
    values.videoPath = videoPath;
    values.width = geometry.width;
    values.height = geometry.height;
    values.audioPath = audioPath;
    values.outPath = outPath;
    values.lights = request.lights;
    values.centerX = geometry.centerX;
    values.centerY = geometry.centerY;
    values.lines = request.lines;
    values.colorDeep = request.colorDeep;
    values.gamma = request.gamma;
    values.minBrightness = request.minBrightness;
    values.changeBrightnessLights = request.changeBrightnessLights;
    return buildJobText(values).toUtf8();
}

class StreamingJob {
public:
    StreamingJob(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks,
                 const QString& audioPath, const QString& outPath, const QString& scratchDir,
                 const JobGeometry& geometry)
        : request(request),
          callbacks(callbacks),
          audioPath(audioPath),
          outPath(outPath),
          scratchDir(scratchDir),
          geometry(geometry),
          frameBytes(qint64(geometry.width) * geometry.height * 3),
          chunkFrames(chunkFramesFor(frameBytes)),
          engineCancel(convert_cancel_create(), &convert_cancel_free)
    {
        haveLayout = fan_file_layout_init(&layout, uint32_t(std::max(request.lines, 0)),
                                          uint32_t(std::max(request.lights, 0)),
                                          uint32_t(std::max(request.colorDeep, 0))) == FAN_FILE_OK;
        if (request.cancel && engineCancel) {
            convert_cancel* flag = engineCancel.get();
            request.cancel->setHook([flag]() { convert_cancel_request(flag); });
        }
    }

    ~StreamingJob()
    {
        // An engine job still running (the job ended early) must not outlive
        // its wait record and flag.
        if (running) {
            convert_cancel_request(engineCancel.get());
            running->done.waitFor(INT_MAX);
        }
        if (request.cancel)
            request.cancel->setHook({});
    }

    // The sound file the FFmpeg run itself writes beside the frames.
    void setSoundAfter(const QString& path) { soundAfter = path; }

    // Whether the run ended because FFmpeg failed before a single byte of
    // frames arrived (with a second output, for example, on an input without
    // sound), rather than for a reason of the job's own.
    bool failedBeforeFrames() const { return decodeFailed && receivedBytes == 0; }

    // The decoding progress already reported (by an earlier run of the same
    // conversion), so that it is not reported again.
    void setDecodingReported(int percent) { lastDecoding = percent; }
    int decodingReported() const { return lastDecoding; }

    // Runs the whole job; the outcome for finishJob.
    ConvertOutcome run(const QStringList& arguments, const QString& label, qint64 expectedFrames)
    {
        this->expectedFrames = expectedFrames;
        if (!haveLayout || frameBytes <= 0 || frameBytes > INT32_MAX)
            return failed();
        if (!soundAfter.isEmpty() || audioPath.isEmpty() || !QFileInfo::exists(audioPath))
            audioFile.clear();
        else
            audioFile = audioPath;

        out.setFileName(outPath);
        if (!openChunk())
            return failed();
        FfmpegRunner runner(request.debugMode, callbacks.onLog);
        runner.setCancel(request.cancel);
        reportDecoding(0);
        const bool decoded = runner.runFfmpegStreaming(
            arguments, label, [this](const QByteArray& data) { return take(data); });
        if (isCancelled())
            return cancelledOutcome();
        decodeFailed = !decoded && !broken;
        if (!decoded || broken)
            return failed();
        // Whatever is left of a last, incomplete frame is not a frame.
        chunk.close();
        if (chunkCount > 0 && !convertChunk())
            return isCancelled() ? cancelledOutcome() : failed();
        if (totalFrames == 0)
            return failed();
        reportDecoding(100);
        if (!collect())
            return isCancelled() ? cancelledOutcome() : failed();
        if (!writeSoundAfter())
            return failed();
        reportConverting(100);
        if (!finishOutput())
            return failed();
        logEngineResult(true);
        return ConvertOutcome::Succeeded;
    }

private:
    QString chunkPath(int index, const char* ending) const
    {
        return QDir(scratchDir)
            .filePath(QStringLiteral("chunk%1%2").arg(index & 1).arg(QLatin1String(ending)));
    }

    bool isCancelled() const { return request.cancel && request.cancel->requested(); }

    ConvertOutcome failed()
    {
        if (engineStarted)
            logEngineResult(false);
        out.close();
        QFile::remove(outPath);
        return ConvertOutcome::Failed;
    }

    ConvertOutcome cancelledOutcome()
    {
        out.close();
        QFile::remove(outPath);
        return ConvertOutcome::Cancelled;
    }

    void logEngineResult(bool ok)
    {
        if (request.debugMode && callbacks.onLog)
            callbacks.onLog(QStringLiteral("rsult:%1 path:%2 msg:%3")
                                .arg(ok ? QStringLiteral("SUCCESS") : QStringLiteral("FAILED"),
                                     outPath,
                                     ok ? QStringLiteral("ok") : QStringLiteral("failed")));
    }

    void reportDecoding(int percent)
    {
        if (callbacks.onProgress && percent > lastDecoding) {
            lastDecoding = percent;
            callbacks.onProgress(MediaStage::Decoding, percent);
        }
    }

    void reportConverting(int percent)
    {
        if (callbacks.onProgress && percent > lastConverting) {
            lastConverting = percent;
            callbacks.onProgress(MediaStage::Converting, percent);
        }
    }

    bool openChunk()
    {
        chunk.setFileName(chunkPath(chunkIndex, "_vid.bgr"));
        chunkCount = 0;
        chunkBytes = 0;
        return chunk.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }

    // Takes a piece of FFmpeg's output; false stops FFmpeg.
    bool take(const QByteArray& data)
    {
        receivedBytes += data.size();
        const char* at = data.constData();
        qint64 left = data.size();
        while (left > 0) {
            const qint64 room = frameBytes - chunkBytes % frameBytes;
            const qint64 part = std::min(room, left);
            if (!writeAll(chunk, at, part)) {
                qWarning().noquote() << "handleMedia: cannot write" << chunk.fileName() << ":"
                                     << chunk.errorString();
                broken = true;
                return false;
            }
            at += part;
            left -= part;
            chunkBytes += part;
            if (chunkBytes % frameBytes == 0) {
                ++chunkCount;
                ++totalFrames;
                if (expectedFrames > 0)
                    reportDecoding(int(std::min<qint64>(99, totalFrames * 100 / expectedFrames)));
                if (chunkCount == chunkFrames) {
                    chunk.close();
                    if (!convertChunk() || !openChunk()) {
                        broken = true;
                        return false;
                    }
                }
            }
        }
        return !isCancelled();
    }

    // Starts the engine on the chunk just written, once the one before is
    // collected.
    bool convertChunk()
    {
        if (chunk.error() != QFileDevice::NoError)
            return false;
        if (!collect())
            return false;
        const QString audioSlice =
            audioFile.isEmpty() ? QString() : chunkPath(chunkIndex, "_aud.pcm");
        if (!audioSlice.isEmpty() && !writeAudioSlice(audioSlice))
            return false;

        const QByteArray jobText = engineJobText(request, geometry, chunk.fileName(), audioSlice,
                                                 chunkPath(chunkIndex, ".bin"));

        if (!engineStarted) {
            const MediaConvert::LogCallback& onLog = callbacks.onLog;
            if (onLog)
                onLog(QString(45, QLatin1Char('#')));
            if (onLog)
                onLog(QString(16, QLatin1Char('#')) + QStringLiteral("START") +
                      QString(22, QLatin1Char('#')) + QLatin1Char('\n'));
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                !writeAll(out, reinterpret_cast<const char*>(file_header), FAN_HEADER_SIZE)) {
                qWarning().noquote() << "handleMedia: cannot write" << outPath;
                return false;
            }
        }
        auto wait = std::make_unique<ChunkWait>();
        const EngineEntry entry = g_engineEntry.load();
        const int32_t code = (entry ? entry : &convert_start_cancellable)(
            jobText.constData(), &onChunkResult, wait.get(), engineCancel.get());
        if (code != 0) {
            if (callbacks.onLog)
                callbacks.onLog(
                    QCoreApplication::translate("MediaConvert", "start_convert_failed"));
            return false;
        }
        engineStarted = true;
        running = std::move(wait);
        runningFrames = chunkCount;
        runningIndex = chunkIndex;
        ++chunkIndex;
        return true;
    }

    bool writeAudioSlice(const QString& slicePath)
    {
        QFile source(audioFile);
        QFile slice(slicePath);
        if (!source.open(QIODevice::ReadOnly) ||
            !slice.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        const qint64 firstFrame = totalFrames - chunkCount;
        QByteArray bytes;
        if (source.seek(firstFrame * FAN_AUDIO_BLOCK))
            bytes = source.read(qint64(chunkCount) * FAN_AUDIO_BLOCK);
        return writeAll(slice, bytes.constData(), bytes.size()) && slice.flush();
    }

    // Waits for the running engine job and appends its frame records.
    bool collect()
    {
        if (!running)
            return true;
        while (!running->done.waitFor(100)) { }
        const int failedValue = running->failed.load();
        running.reset();
        const QString fan = chunkPath(runningIndex, ".bin");
        QFile::remove(chunkPath(runningIndex, "_vid.bgr"));
        QFile::remove(chunkPath(runningIndex, "_aud.pcm"));
        bool ok = failedValue == 0;
        if (ok) {
            QFile part(fan);
            const qint64 records = qint64(layout.record_bytes) * runningFrames;
            ok = part.open(QIODevice::ReadOnly) && part.seek(FAN_HEADER_SIZE);
            qint64 copied = 0;
            while (ok && copied < records) {
                const QByteArray piece = part.read(std::min<qint64>(records - copied, 1 << 20));
                ok = !piece.isEmpty() && writeAll(out, piece.constData(), piece.size());
                copied += piece.size();
            }
            if (!ok)
                qWarning().noquote() << "handleMedia: cannot join" << fan << "into" << outPath;
        }
        QFile::remove(fan);
        convertedFrames += runningFrames;
        if (ok && lastDecoding >= 100 && totalFrames > 0)
            reportConverting(int(std::min<qint64>(99, convertedFrames * 100 / totalFrames)));
        return ok;
    }

    // Writes every record's audio block from the sound file FFmpeg wrote
    // beside the frames. The records were converted silent, so without that
    // file (or where it is short) they stay as the engine leaves them.
    bool writeSoundAfter()
    {
        if (soundAfter.isEmpty() || !QFileInfo::exists(soundAfter))
            return true;
        int nameFailed = 0;
        const std::unique_ptr<FILE, int (*)(FILE*)> sound(
            engine_fopen(QFile::encodeName(soundAfter).constData(), "rb", &nameFailed), &fclose);
        if (!sound) {
            qWarning().noquote() << "handleMedia: cannot read" << soundAfter;
            return false;
        }
        QByteArray block(FAN_AUDIO_BLOCK, '\0');
        for (qint64 k = 0; k < totalFrames; ++k) {
            if (fan_audio_block(sound.get(), uint64_t(k),
                                reinterpret_cast<uint8_t*>(block.data())) == 0)
                break; // the rest is silent already
            const qint64 at = qint64(FAN_HEADER_SIZE) + k * qint64(layout.record_bytes) +
                qint64(layout.light_bytes);
            if (!out.seek(at) || !writeAll(out, block.constData(), block.size())) {
                qWarning().noquote() << "handleMedia: cannot write the sound into" << outPath;
                return false;
            }
        }
        return out.seek(out.size());
    }

    // Header written at the start; now the padding of a whole job.
    bool finishOutput()
    {
        const qint64 size = qint64(fan_file_padded_size(&layout, uint64_t(totalFrames)));
        const QByteArray zeros(int(std::min<qint64>(FAN_PAD_GRANULE, size - out.pos())), '\0');
        const bool ok =
            out.pos() <= size && writeAll(out, zeros.constData(), size - out.pos()) && out.flush();
        out.close();
        return ok && out.error() == QFileDevice::NoError;
    }

    const ConvertRequest& request;
    const MediaConvert::Callbacks& callbacks;
    QString audioPath;
    QString audioFile;
    QString soundAfter;
    QString outPath;
    QString scratchDir;
    JobGeometry geometry;
    qint64 frameBytes;
    int chunkFrames;
    std::unique_ptr<convert_cancel, void (*)(convert_cancel*)> engineCancel;
    fan_file_layout layout {};
    bool haveLayout = false;

    QFile out;
    QFile chunk;
    int chunkIndex = 0;
    int chunkCount = 0; // whole frames in the chunk being written
    qint64 chunkBytes = 0;
    qint64 totalFrames = 0;
    qint64 convertedFrames = 0;
    qint64 expectedFrames = 0;
    std::unique_ptr<ChunkWait> running;
    int runningFrames = 0;
    int runningIndex = 0;
    bool engineStarted = false;
    bool broken = false;
    bool decodeFailed = false;
    qint64 receivedBytes = 0;
    int lastDecoding = -1;
    int lastConverting = -1;
};

} // namespace

QStringList streamingScratchFiles(const QString& scratchDir)
{
    QStringList files;
    for (int i = 0; i < 2; ++i) {
        for (const char* ending : {"_vid.bgr", "_aud.pcm", ".bin"})
            files << QDir(scratchDir)
                         .filePath(QStringLiteral("chunk%1%2").arg(i).arg(QLatin1String(ending)));
    }
    return files;
}

void setStreamingPipeline(bool on) { g_streaming.store(on); }

bool streamingPipeline() { return g_streaming.load(); }

void setStreamChunkFrames(int frames) { g_streamChunkFrames.store(std::max(frames, 0)); }

void handleMedia(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks)
{
    const MediaInfo& media = request.media;
    const MediaConvert::LogCallback& onLog = callbacks.onLog;
    const MediaConvert::ResultCallback& onResult = callbacks.onResult;
    const MediaConvert::ProgressCallback& onProgress = callbacks.onProgress;
    const int lights = request.lights;
    const int lines = request.lines;
    const int colorDeep = request.colorDeep;

    if (callbacks.onStart)
        callbacks.onStart();
    if (onLog)
        onLog(QString(54, QLatin1Char('#')));
    if (onLog)
        onLog(QStringLiteral("### START PROCESS VIDEO \n"));

    // No 8.3 short names on this platform: the input path is used as it is.
    const QString inputPath = media.inputPath;
    const int mediaWidth = media.mediaWidth;
    const int mediaHeight = media.mediaHeight;

    // Without a file name the engine would be asked to write over the model
    // folder itself: end now, before anything is decoded or created.
    if (request.fileName.isEmpty()) {
        qWarning() << "handleMedia: no output file name, job not started";
        const TempList nothing;
        ResultPlacement(media, onResult, onLog, nothing)
            .finishJob(ConvertOutcome::Failed, QDir(media.outputDir).filePath(request.modelName));
        return;
    }

    const QString audioOutPath = tempMediaPath(inputPath, QStringLiteral("_aud.pcm"));

    QString targetFolder = QDir(media.outputDir).filePath(request.modelName);
    QString fallbackReason;
    if (!QDir().mkpath(targetFolder)) {
        qWarning().noquote() << "❌ 无法创建目录:" << targetFolder;
        fallbackReason = QCoreApplication::translate("MediaConvert", "output_folder_fallback") +
            QStringLiteral(": ") + targetFolder;
        targetFolder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QDir().mkpath(targetFolder);
    }
    const QString finalOutPath = QDir(targetFolder).filePath(request.fileName);
    const QString scratchDir = scratchDirPath(inputPath, QStringLiteral("src"));
    const QString videoOutPath = tempMediaPath(inputPath, QStringLiteral("_vid.bgr"));

    const TempList temps {{audioOutPath, videoOutPath}, scratchDir};
    const ResultPlacement placement(media, onResult, onLog, temps, fallbackReason);
    const auto cancelled = [&request]() { return request.cancel && request.cancel->requested(); };

    const JobGeometry scaled =
        computeJobGeometry(media.scale, media.centerX, media.centerY, mediaWidth, mediaHeight);
    JobGeometry geometry = scaled;
    const FrameWindow window = fitFrameWindow(geometry, lights);
    if (window.active) {
        geometry.width = window.width;
        geometry.height = window.height;
    }
    qInfo().nospace() << "handleMedia isVideo:" << media.isVideo << " input:" << inputPath
                      << " audioOutPath:" << audioOutPath << " finalOutPath:" << finalOutPath
                      << " media size:[" << mediaWidth << "," << mediaHeight << "]"
                      << " center:[" << media.centerX << "," << media.centerY << "]"
                      << " radius:" << lights << " scale:" << media.scale << " newCenter:["
                      << scaled.centerX << "," << scaled.centerY << "]"
                      << " newSize:[" << scaled.width << "," << scaled.height << "]";
    if (window.active)
        qInfo().nospace() << "handleMedia frame window: crop " << window.cropWidth << "x"
                          << window.cropHeight << "+" << window.cropX << "+" << window.cropY
                          << " pad " << window.width << "x" << window.height << "+" << window.padX
                          << "+" << window.padY << " center:[" << geometry.centerX << ","
                          << geometry.centerY << "]";

    if (g_streaming.load()) {
        const QString chain =
            decodeFilterChain(scaled.width, scaled.height, media.vFlip, media.hFlip, window, true);
        const QString pipe = QStringLiteral("pipe:1");
        const qint64 expected =
            media.isVideo ? qint64(std::max(media.durationSeconds, 0)) * FAN_FRAME_RATE : 2;
        int decodingReported = -1;
        const auto runJob = [&](const QStringList& arguments, const QString& label,
                                const QString& audio, const QString& soundAfter,
                                bool* failedBeforeFrames) {
            StreamingJob job(request, callbacks, audio, finalOutPath, scratchDir, geometry);
            job.setSoundAfter(soundAfter);
            job.setDecodingReported(decodingReported);
            const ConvertOutcome result = job.run(arguments, label, expected);
            decodingReported = job.decodingReported();
            if (failedBeforeFrames)
                *failedBeforeFrames = job.failedBeforeFrames();
            return result;
        };
        ConvertOutcome outcome = ConvertOutcome::Failed;
        bool audioOk = false;
        bool separateSteps = !media.isVideo;
        if (media.isVideo) {
            // Frames and sound from one run, so the input is decoded once.
            bool beforeFrames = false;
            outcome =
                runJob(videoAndSoundStepArguments(inputPath, media.startSeconds,
                                                  media.durationSeconds, chain, pipe, audioOutPath),
                       QStringLiteral("[STEP 1 VIDEO+AUDIO->RAW]"), QString(), audioOutPath,
                       &beforeFrames);
            // FFmpeg refuses the run at once when the input has no sound
            // stream (or cannot be read at all): the separate steps then
            // tell which it is, as they always have.
            separateSteps = outcome == ConvertOutcome::Failed && beforeFrames && !cancelled();
            audioOk = !separateSteps;
            if (separateSteps)
                QFile::remove(audioOutPath);
        }
        if (separateSteps) {
            // The sound first, in a quick step of its own, so that each
            // chunk's slice of it is complete when the engine reads it.
            if (media.isVideo) {
                FfmpegRunner runner(request.debugMode, onLog);
                runner.setCancel(request.cancel);
                audioOk = runner.runFfmpeg(audioStepArguments(inputPath, media.startSeconds,
                                                              media.durationSeconds, audioOutPath),
                                           QStringLiteral("[STEP 2 AUDIO]"), audioOutPath);
            }
            if (cancelled()) {
                placement.finishJob(ConvertOutcome::Cancelled, finalOutPath);
                return;
            }
            const QStringList arguments = media.isVideo
                ? videoStepArguments(inputPath, media.startSeconds, media.durationSeconds, chain,
                                     pipe)
                : imageStepArguments(inputPath, chain, pipe);
            outcome = runJob(arguments,
                             media.isVideo ? QStringLiteral("[STEP 1 VIDEO->RAW]")
                                           : QStringLiteral("[STEP IMAGE->RAW]"),
                             audioOk ? audioOutPath : QString(), QString(), nullptr);
        }
        if (outcome != ConvertOutcome::Cancelled && cancelled())
            outcome = ConvertOutcome::Cancelled;
        if (outcome == ConvertOutcome::Succeeded && media.isVideo && !audioOk) {
            if (!QFileInfo::exists(inputPath)) {
                qWarning().noquote()
                    << "handleMedia: input disappeared while decoding:" << inputPath;
                if (onLog)
                    onLog(
                        QStringLiteral("Input file disappeared while decoding: %1").arg(inputPath));
                QFile::remove(finalOutPath);
                outcome = ConvertOutcome::Failed;
            } else if (onLog) {
                onLog(QStringLiteral("No audio track detected."));
            }
        }
        placement.finishJob(outcome, finalOutPath);
        return;
    }

    std::function<void(int)> decodeProgress;
    if (onProgress)
        decodeProgress = [&onProgress](int percent) { onProgress(MediaStage::Decoding, percent); };
    const DecodeResult decoded =
        decodeMedia(media.isVideo, inputPath, media.startSeconds, media.durationSeconds,
                    videoOutPath, audioOutPath, scaled.width, scaled.height, media.vFlip,
                    media.hFlip, request.debugMode, onLog, decodeProgress, request.cancel, window);
    if (cancelled()) {
        placement.finishJob(ConvertOutcome::Cancelled, finalOutPath);
        return;
    }
    if (!decoded.videoOk) {
        placement.finishJob(ConvertOutcome::Failed, finalOutPath);
        return;
    }
    // A sound step that failed because the input has gone (deleted or moved
    // while the frames were decoded) does not mean a clip without sound: the
    // job fails instead of turning out a silent fan file.
    if (media.isVideo && !decoded.audioOk && !QFileInfo::exists(inputPath)) {
        qWarning().noquote() << "handleMedia: input disappeared while decoding:" << inputPath;
        if (onLog)
            onLog(QStringLiteral("Input file disappeared while decoding: %1").arg(inputPath));
        placement.finishJob(ConvertOutcome::Failed, finalOutPath);
        return;
    }

    const QByteArray jobText = engineJobText(
        request, geometry, videoOutPath, decoded.audioOk ? audioOutPath : QString(), finalOutPath);

    // What the converting progress is measured against: the frames in the raw
    // file and the size of one frame record in the fan file.
    const qint64 frameBytes = qint64(geometry.width) * geometry.height * 3;
    const qint64 rawFrames = frameBytes > 0 ? QFileInfo(videoOutPath).size() / frameBytes : 0;
    fan_file_layout layout {};
    const bool haveLayout =
        fan_file_layout_init(&layout, uint32_t(std::max(lines, 0)), uint32_t(std::max(lights, 0)),
                             uint32_t(std::max(colorDeep, 0))) == FAN_FILE_OK;

    auto done = std::make_shared<JobDone>();
    std::shared_ptr<ProgressGate> gate;
    if (onProgress)
        gate = std::make_shared<ProgressGate>();
    auto* completion =
        new CompletionContext(done, request.debugMode, placement, onLog, gate, request.cancel);

    if (onLog)
        onLog(QString(45, QLatin1Char('#')));
    if (onLog)
        onLog(QString(16, QLatin1Char('#')) + QStringLiteral("START") +
              QString(22, QLatin1Char('#')) + QLatin1Char('\n'));

    // The engine's own flag, set by the job's cancel while the engine runs.
    const std::unique_ptr<convert_cancel, void (*)(convert_cancel*)> engineCancel(
        convert_cancel_create(), &convert_cancel_free);
    if (request.cancel && engineCancel) {
        convert_cancel* flag = engineCancel.get();
        request.cancel->setHook([flag]() { convert_cancel_request(flag); });
    }
    const auto dropHook = [&request]() {
        if (request.cancel)
            request.cancel->setHook({});
    };

    const EngineEntry entry = g_engineEntry.load();
    const int32_t code = (entry ? entry : &convert_start_cancellable)(
        jobText.constData(), &onEngineResult, completion, engineCancel.get());
    if (code != 0) {
        dropHook();
        if (onLog)
            onLog(QCoreApplication::translate("MediaConvert", "start_convert_failed"));
        placement.finishJob(cancelled() ? ConvertOutcome::Cancelled : ConvertOutcome::Failed,
                            finalOutPath);
        delete completion;
        return;
    }

    int lastPercent = -1;
    const auto reportConverting = [&]() {
        if (!gate || rawFrames <= 0 || !haveLayout)
            return;
        const qint64 size = QFileInfo(finalOutPath).size();
        const qint64 frames =
            std::max<qint64>(0, size - qint64(FAN_HEADER_SIZE)) / qint64(layout.record_bytes);
        const int percent = static_cast<int>(std::min<qint64>(99, frames * 100 / rawFrames));
        if (percent <= lastPercent)
            return;
        std::lock_guard<std::mutex> lock(gate->mutex);
        if (gate->closed)
            return;
        lastPercent = percent;
        onProgress(MediaStage::Converting, percent);
    };
    reportConverting();
    while (!done->waitFor(g_pollIntervalMs.load()))
        reportConverting();
    // The engine is done with its flag once it has called back.
    dropHook();
}
