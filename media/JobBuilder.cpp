#include "JobBuilder.h"

#include "DecodeSteps.h"
#include "ResultPlacement.h"
#include "fan_file.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
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

    const JobGeometry geometry =
        computeJobGeometry(media.scale, media.centerX, media.centerY, mediaWidth, mediaHeight);
    qInfo().nospace() << "handleMedia isVideo:" << media.isVideo << " input:" << inputPath
                      << " audioOutPath:" << audioOutPath << " finalOutPath:" << finalOutPath
                      << " media size:[" << mediaWidth << "," << mediaHeight << "]"
                      << " center:[" << media.centerX << "," << media.centerY << "]"
                      << " radius:" << lights << " scale:" << media.scale << " newCenter:["
                      << geometry.centerX << "," << geometry.centerY << "]"
                      << " newSize:[" << geometry.width << "," << geometry.height << "]";

    std::function<void(int)> decodeProgress;
    if (onProgress)
        decodeProgress = [&onProgress](int percent) { onProgress(MediaStage::Decoding, percent); };
    const DecodeResult decoded =
        decodeMedia(media.isVideo, inputPath, media.startSeconds, media.durationSeconds,
                    videoOutPath, audioOutPath, geometry.width, geometry.height, media.vFlip,
                    media.hFlip, request.debugMode, onLog, decodeProgress);
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

    JobTextValues values;
    values.videoPath = videoOutPath;
    values.width = geometry.width;
    values.height = geometry.height;
    values.audioPath = decoded.audioOk ? audioOutPath : QString();
    values.outPath = finalOutPath;
    values.lights = lights;
    values.centerX = geometry.centerX;
    values.centerY = geometry.centerY;
    values.lines = lines;
    values.colorDeep = colorDeep;
    values.gamma = request.gamma;
    values.minBrightness = request.minBrightness;
    values.changeBrightnessLights = request.changeBrightnessLights;
    const QByteArray jobText = buildJobText(values).toUtf8();

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

    const EngineEntry entry = g_engineEntry.load();
    const int32_t code =
        (entry ? entry : &convert_start)(jobText.constData(), &onEngineResult, completion);
    if (code != 0) {
        if (onLog)
            onLog(QCoreApplication::translate("MediaConvert", "start_convert_failed"));
        placement.finishJob(ConvertOutcome::Failed, finalOutPath);
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
}
