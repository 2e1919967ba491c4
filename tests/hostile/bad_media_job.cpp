// Runs one conversion job through the media pipeline's entry (the job
// builder), as the window does, but with the source size given on the command
// line instead of probed: broken media reaches FFmpeg and the engine as it
// would from the window. Used by tst_bad_media, which runs it in a sandbox
// (and, for some cases, in a mount namespace).
//
//   bad_media_job INPUT OUTDIR VIDEO WIDTH HEIGHT
//
// Prints "reason: ..." (why it failed) or "fallback: ..." (why the file is
// not in the output folder) when the result says so, then "result ok PATH"
// or "result failed PATH"; exits 0 on success, 1 on a reported failure and 3
// when onResult did not arrive exactly once.
#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "JobBuilder.h"
#include "MediaConvert.h"
#include "MediaInfo.h"
#include "convert.h"
#include "fan_models.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: bad_media_job INPUT OUTDIR VIDEO WIDTH HEIGHT\n");
        return 2;
    }
    const fan_model* model = fan_model_at(0);
    ConvertRequest request;
    MediaInfo* info = &request.media;
    info->inputPath = args.at(1);
    info->outputDir = args.at(2);
    info->isVideo = args.at(3) == QLatin1String("1");
    info->mediaWidth = args.at(4).toInt();
    info->mediaHeight = args.at(5).toInt();
    info->scale = 2.0 * model->lights / std::max(1, std::max(info->mediaWidth, info->mediaHeight));
    info->centerX = info->mediaWidth / 2.0;
    info->centerY = info->mediaHeight / 2.0;
    info->startSeconds = 0;
    info->durationSeconds = info->isVideo ? 2 : 0;

    std::mutex m;
    int results = 0;
    bool success = false;
    QString path;
    QString why;
    MediaConvert convert;
    request.fileName = QStringLiteral("00_00001.bin");
    request.modelName = QString::fromLatin1(model->name);
    request.lights = model->lights;
    request.lines = model->lines;
    request.colorDeep = model->colorDeep;
    request.gamma = 2.2;
    request.minBrightness = 0.3;
    request.runIndex = QStringLiteral("00001");
    MediaConvert::Callbacks callbacks;
    callbacks.onResult = [&](const ConvertResult& result) {
        std::lock_guard<std::mutex> lock(m);
        ++results;
        success = result.outcome == ConvertOutcome::Succeeded;
        path = result.path;
        why = success ? result.fallbackReason : result.reason;
    };
    convert.startConvert(std::move(request), std::move(callbacks));
    QThreadPool::globalInstance()->waitForDone();
    while (convert_running_jobs() > 0)
        QThread::msleep(1);

    std::lock_guard<std::mutex> lock(m);
    if (!why.isEmpty())
        std::printf("%s: %s\n", success ? "fallback" : "reason", why.toUtf8().constData());
    std::printf("result %s %s\n", success ? "ok" : "failed", path.toUtf8().constData());
    if (results != 1) {
        std::fprintf(stderr, "bad_media_job: onResult arrived %d times\n", results);
        return 3;
    }
    return success ? 0 : 1;
}
