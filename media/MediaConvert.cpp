#include "MediaConvert.h"

#include "JobBuilder.h"

#include <QThreadPool>

MediaConvert::MediaConvert(QObject* parent)
    : QObject(parent)
{
}

void MediaConvert::startConvert(MediaInfo* request, const QString& fileName,
                                const QString& modelName, int lights, int lines, int colorDeep,
                                double gamma, double minBrightness, int changeBrightnessLights,
                                bool debugMode, const QString& runIndex, StartCallback onStart,
                                LogCallback onLog, ResultCallback onResult,
                                ProgressCallback onProgress)
{
    QThreadPool::globalInstance()->start([=, onStart = std::move(onStart), onLog = std::move(onLog),
                                          onResult = std::move(onResult),
                                          onProgress = std::move(onProgress)]() {
        handleMedia(request, fileName, modelName, lights, lines, colorDeep, gamma, minBrightness,
                    changeBrightnessLights, debugMode, runIndex, onStart, onLog, onResult,
                    onProgress);
    });
}
