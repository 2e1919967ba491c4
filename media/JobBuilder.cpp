#include "JobBuilder.h"

#include "DecodeSteps.h"
#include "FfmpegRunner.h"
#include "JobGeometry.h"
#include "JobTempFolder.h"
#include "MediaProbe.h"
#include "ResultPlacement.h"
#include "StreamingJob.h"

#include "fan_format.h"

#include <QDebug>
#include <QDir>

#include <algorithm>

namespace {

// The FFmpeg run of a job: frames on its standard output, and for a video
// with sound the sound on its second output (kept in a file of the job's
// folder), from one decode.
struct DecodeRun {
    QStringList arguments;
    QString label;
    QString soundFile; // empty: the fan file is silent
    qint64 expectedFrames = 0;
    bool noSoundTrack = false; // a video without a sound stream
};

// A clip's sound is decoded when the probe found a sound stream, and only
// then: a clip with sound whose sound fails is a failed job, never one retried
// silently.
DecodeRun planDecode(const MediaInfo& media, const MediaFacts& facts, const JobFrames& frames,
                     const JobTempFolder& temps)
{
    DecodeRun run;
    const DecodeKind kind = decodeKind(media, facts);
    const FrameChain frameChain = jobFrameChain(media, frames, facts, true);
    const QString chain = decodeFilterChain(frameChain);
    const QString pipe = QStringLiteral("pipe:1");
    if (kind == DecodeKind::Still) {
        run.arguments =
            imageStepArguments(media.inputPath, chain, pipe, !frameChain.picture.loopStill);
        run.label = QStringLiteral("[STEP IMAGE->RAW]");
        run.expectedFrames = 2;
        return run;
    }
    run.expectedFrames = qint64(std::max(media.durationSeconds, 0)) * FAN_FRAME_RATE;
    if (kind == DecodeKind::Cover) {
        // A song's cover has the song's sound beside it.
        run.soundFile = temps.filePath(QStringLiteral("sound.u8"));
        run.arguments =
            coverStepArguments(media.inputPath, media.startSeconds, media.durationSeconds,
                               run.expectedFrames, chain, pipe, FfmpegRunner::secondOutput());
        run.label = QStringLiteral("[STEP COVER+AUDIO->RAW]");
        return run;
    }
    if (!facts.hasSound) {
        run.noSoundTrack = true;
        run.arguments = videoStepArguments(media.inputPath, media.startSeconds,
                                           media.durationSeconds, chain, pipe);
        run.label = QStringLiteral("[STEP 1 VIDEO->RAW]");
        return run;
    }
    run.soundFile = temps.filePath(QStringLiteral("sound.u8"));
    run.arguments =
        videoAndSoundStepArguments(media.inputPath, media.startSeconds, media.durationSeconds,
                                   chain, pipe, FfmpegRunner::secondOutput());
    run.label = QStringLiteral("[STEP 1 VIDEO+AUDIO->RAW]");
    return run;
}

// A clip that gave fewer frames than its excerpt should have (a file cut
// short whose index still promises the whole length): the length converted,
// for the user; empty when the frames cover the excerpt.
QString shortClipWarning(const MediaInfo& media, const MediaFacts& facts, qint64 frames)
{
    if (!media.isVideo || media.durationSeconds <= 0)
        return QString();
    // What the excerpt can hold: the picture may end before the excerpt does
    // (a whole clip is asked for in whole seconds).
    double asked = media.durationSeconds;
    const double length = facts.pictureDuration > 0.0 ? facts.pictureDuration : facts.duration;
    if (length > 0.0)
        asked = std::min(asked, length - media.startSeconds);
    const double converted = double(frames) / FAN_FRAME_RATE;
    // A quarter of a second is left to the frame rates' rounding.
    if (converted + 0.25 >= asked)
        return QString();
    return QStringLiteral("the file ends early: only %1 s of %2 s converted")
        .arg(converted, 0, 'f', 1)
        .arg(asked, 0, 'f', 1);
}

void logGeometry(const MediaInfo& media, const JobFrames& f, int lights, const QString& outPath)
{
    qInfo().nospace() << "handleMedia isVideo:" << media.isVideo << " input:" << media.inputPath
                      << " finalOutPath:" << outPath << " media size:[" << media.mediaWidth << ","
                      << media.mediaHeight << "]"
                      << " center:[" << media.centerX << "," << media.centerY << "]"
                      << " radius:" << lights << " scale:" << media.scale << " newCenter:["
                      << f.scaled.centerX << "," << f.scaled.centerY << "]"
                      << " newSize:[" << f.scaled.width << "," << f.scaled.height << "]";
    if (f.window.active)
        qInfo().nospace() << "handleMedia frame window: crop " << f.window.cropWidth << "x"
                          << f.window.cropHeight << "+" << f.window.cropX << "+" << f.window.cropY
                          << " pad " << f.window.width << "x" << f.window.height << "+"
                          << f.window.padX << "+" << f.window.padY << " center:["
                          << f.frames.centerX << "," << f.frames.centerY << "]";
}

} // namespace

QString mediaTempFolder() { return JobTempFolder::userFolder(); }

void handleMedia(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks)
{
    const MediaInfo& media = request.media;
    const MediaConvert::LogCallback& onLog = callbacks.onLog;
    if (callbacks.onStart)
        callbacks.onStart();
    if (onLog)
        onLog(QString(54, QLatin1Char('#')));
    if (onLog)
        onLog(QStringLiteral("### START PROCESS VIDEO \n"));

    // Without a file name the engine would be asked to write over the model
    // folder itself: end now, before anything is decoded or created.
    if (request.fileName.isEmpty()) {
        qWarning() << "handleMedia: no output file name, job not started";
        ResultPlacement(media, callbacks.onResult, onLog, nullptr)
            .finishJob(ConvertOutcome::Failed, QDir(media.outputDir).filePath(request.modelName),
                       QStringLiteral("no output file name"));
        return;
    }
    OutputTarget target;
    if (request.reservedPath.isEmpty()) {
        target = planOutput(media, request.modelName, request.fileName);
    } else {
        target.path = request.reservedPath;
        target.fallbackReason = request.reservedFallbackReason;
    }
    JobTempFolder temps;
    const ResultPlacement placement(media, callbacks.onResult, onLog, &temps,
                                    target.fallbackReason);
    const auto cancelled = [&request]() { return request.cancel && request.cancel->requested(); };
    if (cancelled())
        return placement.finishJob(ConvertOutcome::Cancelled, target.path);
    if (!target.error.isEmpty())
        return placement.finishJob(ConvertOutcome::Failed, target.path, target.error);
    // What the input is decides how it is decoded: the caller's probe, or
    // one now.
    const MediaFacts facts = media.facts ? *media.facts : MediaProbe::probe(media.inputPath);
    if (!facts.hasPicture())
        return placement.finishJob(
            ConvertOutcome::Failed, target.path,
            QStringLiteral("cannot read %1: %2").arg(media.inputPath, facts.reason));
    if (cancelled())
        return placement.finishJob(ConvertOutcome::Cancelled, target.path);

    const JobFrames frames = computeJobFrames(media.scale, media.centerX, media.centerY,
                                              media.mediaWidth, media.mediaHeight, request.lights);
    logGeometry(media, frames, request.lights, target.path);
    if (!scalablePictureSize(frames.scaled.width, frames.scaled.height))
        return placement.finishJob(
            ConvertOutcome::Failed, target.path,
            QStringLiteral("the picture would be scaled to %1x%2 pixels, which FFmpeg cannot make")
                .arg(frames.scaled.width)
                .arg(frames.scaled.height));
    const DecodeRun decode = planDecode(media, facts, frames, temps);
    // Only the sound of a video is kept in a file.
    if (!decode.soundFile.isEmpty() && !temps.isValid())
        return placement.finishJob(ConvertOutcome::Failed, target.path, temps.error());
    StreamingJob job(request, callbacks, frames.frames, target.path);
    const StreamingJob::Outcome outcome =
        job.run(decode.arguments, decode.label, decode.soundFile, decode.expectedFrames);
    if (outcome.outcome == ConvertOutcome::Succeeded && decode.noSoundTrack && onLog)
        onLog(QStringLiteral("No audio track detected."));
    const QString warning = outcome.outcome == ConvertOutcome::Succeeded
        ? shortClipWarning(media, facts, outcome.frames)
        : QString();
    placement.finishJob(outcome.outcome, target.path, outcome.reason, warning);
}
