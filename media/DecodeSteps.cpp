#include "DecodeSteps.h"

#include "FfmpegRunner.h"

#include <QFileInfo>

#include <algorithm>

QString formatClock(int seconds)
{
    const int hours = static_cast<int>(seconds / 3600.0);
    const int minutes = (seconds % 3600) / 60;
    const int secs = seconds % 60;
    const QChar zero(QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(hours, 2, 10, zero)
        .arg(minutes, 2, 10, zero)
        .arg(secs, 2, 10, zero);
}

QString decodeFilterChain(int width, int height, bool vFlip, bool hFlip, const FrameWindow& window,
                          bool fpsFirst)
{
    QStringList chain;
    if (fpsFirst)
        chain << QStringLiteral("fps=20");
    chain << QStringLiteral("scale=%1:%2:flags=spline").arg(width).arg(height);
    if (!fpsFirst)
        chain << QStringLiteral("fps=20");
    if (hFlip)
        chain << QStringLiteral("hflip");
    if (vFlip)
        chain << QStringLiteral("vflip");
    chain << QStringLiteral("format=bgr24");
    if (window.active) {
        chain << QStringLiteral("crop=%1:%2:%3:%4:exact=1")
                     .arg(window.cropWidth)
                     .arg(window.cropHeight)
                     .arg(window.cropX)
                     .arg(window.cropY);
        chain << QStringLiteral("pad=%1:%2:%3:%4:color=black")
                     .arg(window.width)
                     .arg(window.height)
                     .arg(window.padX)
                     .arg(window.padY);
    }
    return chain.join(QLatin1Char(','));
}

QStringList videoStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& filterChain, const QString& videoOutPath)
{
    return {QStringLiteral("-ss"),
            formatClock(startSeconds),
            QStringLiteral("-t"),
            QString::number(durationSeconds),
            QStringLiteral("-i"),
            inputPath,
            QStringLiteral("-vf"),
            filterChain,
            QStringLiteral("-r"),
            QStringLiteral("20"),
            QStringLiteral("-pix_fmt"),
            QStringLiteral("bgr24"),
            QStringLiteral("-f"),
            QStringLiteral("rawvideo"),
            videoOutPath};
}

QStringList audioStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& audioOutPath)
{
    // "-f u8" names the raw sample format: FFmpeg would otherwise pick a muxer
    // from the ".pcm" ending, and some builds map that to one that refuses
    // unsigned 8-bit samples.
    return {QStringLiteral("-ss"),    formatClock(startSeconds),
            QStringLiteral("-t"),     QString::number(durationSeconds),
            QStringLiteral("-i"),     inputPath,
            QStringLiteral("-vn"),    QStringLiteral("-c:a"),
            QStringLiteral("pcm_u8"), QStringLiteral("-ar"),
            QStringLiteral("32000"),  QStringLiteral("-ac"),
            QStringLiteral("1"),      QStringLiteral("-f"),
            QStringLiteral("u8"),     audioOutPath};
}

QStringList imageStepArguments(const QString& inputPath, const QString& filterChain,
                               const QString& videoOutPath)
{
    return {QStringLiteral("-loop"),
            QStringLiteral("1"),
            QStringLiteral("-i"),
            inputPath,
            QStringLiteral("-vf"),
            filterChain,
            QStringLiteral("-r"),
            QStringLiteral("20"),
            QStringLiteral("-frames:v"),
            QStringLiteral("2"),
            QStringLiteral("-pix_fmt"),
            QStringLiteral("bgr24"),
            QStringLiteral("-f"),
            QStringLiteral("rawvideo"),
            videoOutPath};
}

QStringList videoAndSoundStepArguments(const QString& inputPath, int startSeconds,
                                       int durationSeconds, const QString& filterChain,
                                       const QString& videoOutPath, const QString& audioOutPath)
{
    QStringList video =
        videoStepArguments(inputPath, startSeconds, durationSeconds, filterChain, videoOutPath);
    // The video output's format and file stay last; its sound is off.
    video.insert(video.size() - 3, QStringLiteral("-an"));
    const QStringList sound =
        audioStepArguments(inputPath, startSeconds, durationSeconds, audioOutPath);
    // The sound step's output options: everything after its input
    // ("-ss", start, "-t", length, "-i", input).
    return video + sound.mid(6);
}

DecodeResult decodeMedia(bool isVideo, const QString& inputPath, int startSeconds,
                         int durationSeconds, const QString& videoOutPath,
                         const QString& audioOutPath, int width, int height, bool vFlip, bool hFlip,
                         bool debugMode, const std::function<void(const QString&)>& onLog,
                         const std::function<void(int percent)>& onProgress,
                         const std::shared_ptr<ConvertCancel>& cancel, const FrameWindow& window)
{
    DecodeResult result;
    const QString chain = decodeFilterChain(width, height, vFlip, hFlip, window);
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
            runner.runFfmpeg(imageStepArguments(inputPath, chain, videoOutPath),
                             QStringLiteral("[STEP IMAGE->RAW]"), videoOutPath, onSize) &&
            holdsFrames();
        if (result.videoOk)
            report(100);
    }
    return result;
}
