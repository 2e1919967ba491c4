#include "ReferencePipeline.h"

#include "FfmpegRunner.h"
#include "JobGeometry.h"
#include "JobText.h"
#include "MediaProbe.h"

#include "convert.h"
#include "fan_format.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <condition_variable>
#include <mutex>

DecodeResult decodeMedia(bool isVideo, const QString& inputPath, int startSeconds,
                         int durationSeconds, const QString& videoOutPath,
                         const QString& audioOutPath, int width, int height, bool bottomUp,
                         bool mirror, bool debugMode,
                         const std::function<void(const QString&)>& onLog,
                         const std::function<void(int percent)>& onProgress,
                         const std::shared_ptr<ConvertCancel>& cancel, const FrameWindow& window,
                         const PictureSteps& picture)
{
    DecodeResult result;
    FrameChain frameChain;
    frameChain.width = width;
    frameChain.height = height;
    frameChain.bottomUp = bottomUp;
    frameChain.mirror = mirror;
    frameChain.window = window;
    frameChain.picture = picture;
    const QString chain = decodeFilterChain(frameChain);
    FfmpegRunner runner(debugMode, onLog);
    runner.setCancel(cancel);

    const qint64 frameBytes =
        window.active ? qint64(window.width) * window.height * 3 : qint64(width) * height * 3;
    const qint64 expectedFrames =
        isVideo ? qint64(std::max(durationSeconds, 0)) * qint64(FAN_FRAME_RATE) : 2;
    const qint64 expectedBytes = frameBytes * expectedFrames;
    int lastPercent = -1;
    const auto report = [&](int percent) {
        if (onProgress && percent > lastPercent) {
            lastPercent = percent;
            onProgress(percent);
        }
    };
    const FfmpegRunner::SizeCallback onSize = [&](qint64 size) {
        if (expectedBytes > 0)
            report(static_cast<int>(std::min<qint64>(99, size * 100 / expectedBytes)));
    };
    // A run that ends well but leaves no whole frame (an excerpt beyond the
    // end of the clip, say) has nothing the engine could convert.
    const auto holdsFrames = [&]() {
        return frameBytes > 0 && QFileInfo(videoOutPath).size() >= frameBytes;
    };

    report(0);
    if (isVideo) {
        result.videoOk =
            runner.runFfmpeg(
                videoStepArguments(inputPath, startSeconds, durationSeconds, chain, videoOutPath),
                QStringLiteral("[STEP 1 VIDEO->RAW]"), videoOutPath, onSize) &&
            holdsFrames();
        if (!result.videoOk)
            return result;
        report(100);
        result.audioOk = runner.runFfmpeg(
            audioStepArguments(inputPath, startSeconds, durationSeconds, audioOutPath),
            QStringLiteral("[STEP 2 AUDIO]"), audioOutPath);
        if (!result.audioOk && onLog)
            onLog(QStringLiteral("No audio track detected."));
    } else {
        result.videoOk =
            runner.runFfmpeg(imageStepArguments(inputPath, chain, videoOutPath, !picture.loopStill),
                             QStringLiteral("[STEP IMAGE->RAW]"), videoOutPath, onSize) &&
            holdsFrames();
        if (result.videoOk)
            report(100);
    }
    return result;
}

namespace {

struct EngineWait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int failed = 1;
};

extern "C" void onReferenceResult(void* ctx, int failed, const char*, const char*)
{
    auto* wait = static_cast<EngineWait*>(ctx);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->failed = failed;
    wait->finished = true;
    wait->done.notify_all();
}

} // namespace

bool referenceConvert(const ConvertRequest& request, const QString& workDir, const QString& outPath)
{
    const MediaInfo& media = request.media;
    const JobFrames f = computeJobFrames(media.scale, media.centerX, media.centerY,
                                         media.mediaWidth, media.mediaHeight, request.lights);
    const QString video = QDir(workDir).filePath(QStringLiteral("reference_vid.bgr"));
    const QString audio = QDir(workDir).filePath(QStringLiteral("reference_aud.pcm"));
    QFile::remove(video);
    QFile::remove(audio);
    const MediaFacts facts = media.facts ? *media.facts : MediaProbe::probe(media.inputPath);
    const FrameChain chain = jobFrameChain(media, f, facts, false);
    const DecodeResult decoded =
        decodeMedia(media.isVideo, media.inputPath, media.startSeconds, media.durationSeconds,
                    video, audio, f.scaled.width, f.scaled.height, chain.bottomUp, chain.mirror,
                    false, {}, {}, {}, f.window, chain.picture);
    bool ok = decoded.videoOk;
    if (ok) {
        JobTextValues v;
        v.videoPath = video;
        v.width = f.frames.width;
        v.height = f.frames.height;
        v.audioPath = decoded.audioOk ? audio : QString();
        v.outPath = outPath;
        v.lights = request.lights;
        v.centerX = f.frames.centerX;
        v.centerY = f.frames.centerY;
        v.lines = request.lines;
        v.colorDeep = request.colorDeep;
        v.gamma = request.gamma;
        v.minBrightness = request.minBrightness;
        v.changeBrightnessLights = request.changeBrightnessLights;
        const QByteArray text = buildJobText(v).toUtf8();
        EngineWait wait;
        ok = convert_start(text.constData(), onReferenceResult, &wait) == 0;
        if (ok) {
            std::unique_lock<std::mutex> lock(wait.mutex);
            wait.done.wait(lock, [&wait] { return wait.finished; });
            ok = wait.failed == 0;
        }
    }
    QFile::remove(video);
    QFile::remove(audio);
    return ok;
}
