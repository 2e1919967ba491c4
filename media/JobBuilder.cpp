#include "JobBuilder.h"

#include "DecodeSteps.h"
#include "MediaInfo.h"
#include "ResultPlacement.h"

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

constexpr qint64 kFanHeaderBytes = 812;

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

void handleMedia(MediaInfo* request, const QString& fileName, const QString& modelName, int lights,
                 int lines, int colorDeep, double gamma, double minBrightness,
                 int changeBrightnessLights, bool debugMode, const QString& runIndex,
                 const MediaConvert::StartCallback& onStart, const MediaConvert::LogCallback& onLog,
                 const MediaConvert::ResultCallback& onResult,
                 const MediaConvert::ProgressCallback& onProgress)
{
    Q_UNUSED(runIndex);
    if (onStart)
        onStart();
    if (onLog)
        onLog(QString(54, QLatin1Char('#')));
    if (onLog)
        onLog(QStringLiteral("### START PROCESS VIDEO \n"));

    // No 8.3 short names on this platform: the input path is used as it is.
    const QString inputPath = request->inputPath;
    const int mediaWidth = request->mediaWidth;
    const int mediaHeight = request->mediaHeight;
    const int startSeconds = request->startSeconds;
    const int durationSeconds = request->durationSeconds;
    const bool hFlip = request->hFlip;
    const bool vFlip = request->vFlip;

    // Without a file name the engine would be asked to write over the model
    // folder itself: end now, before anything is decoded or created.
    if (fileName.isEmpty()) {
        qWarning() << "handleMedia: no output file name, job not started";
        const TempList nothing;
        ResultPlacement(*request, onResult, onLog, nothing)
            .finishJob(false, QDir(request->outputDir).filePath(modelName));
        return;
    }

    const QString audioOutPath = tempMediaPath(inputPath, QStringLiteral("_aud.pcm"));

    QString targetFolder = QDir(request->outputDir).filePath(modelName);
    if (!QDir().mkpath(targetFolder)) {
        qWarning().noquote() << "❌ 无法创建目录:" << targetFolder;
        targetFolder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        QDir().mkpath(targetFolder);
    }
    const QString finalOutPath = QDir(targetFolder).filePath(fileName);
    const QString scratchDir = scratchDirPath(inputPath, QStringLiteral("src"));
    const QString videoOutPath = tempMediaPath(inputPath, QStringLiteral("_vid.bgr"));

    const TempList temps {{audioOutPath, videoOutPath}, scratchDir};
    const ResultPlacement placement(*request, onResult, onLog, temps);

    const JobGeometry geometry = computeJobGeometry(request->scale, request->centerX,
                                                    request->centerY, mediaWidth, mediaHeight);
    qInfo().nospace() << "handleMedia isVideo:" << request->isVideo << " input:" << inputPath
                      << " audioOutPath:" << audioOutPath << " finalOutPath:" << finalOutPath
                      << " media size:[" << mediaWidth << "," << mediaHeight << "]"
                      << " center:[" << request->centerX << "," << request->centerY << "]"
                      << " radius:" << lights << " scale:" << request->scale << " newCenter:["
                      << geometry.centerX << "," << geometry.centerY << "]"
                      << " newSize:[" << geometry.width << "," << geometry.height << "]";

    std::function<void(int)> decodeProgress;
    if (onProgress)
        decodeProgress = [&onProgress](int percent) { onProgress(MediaStage::Decoding, percent); };
    const DecodeResult decoded = decodeMedia(
        request->isVideo, inputPath, startSeconds, durationSeconds, videoOutPath, audioOutPath,
        geometry.width, geometry.height, vFlip, hFlip, debugMode, onLog, decodeProgress);
    if (!decoded.videoOk) {
        placement.finishJob(false, finalOutPath);
        return;
    }
    // A sound step that failed because the input has gone (deleted or moved
    // while the frames were decoded) does not mean a clip without sound: the
    // job fails instead of turning out a silent fan file.
    if (request->isVideo && !decoded.audioOk && !QFileInfo::exists(inputPath)) {
        qWarning().noquote() << "handleMedia: input disappeared while decoding:" << inputPath;
        if (onLog)
            onLog(QStringLiteral("Input file disappeared while decoding: %1").arg(inputPath));
        placement.finishJob(false, finalOutPath);
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
    values.gamma = gamma;
    values.minBrightness = minBrightness;
    values.changeBrightnessLights = changeBrightnessLights;
    const QByteArray jobText = buildJobText(values).toUtf8();

    // What the converting progress is measured against: the frames in the raw
    // file and the size of one frame record in the fan file.
    const qint64 frameBytes = qint64(geometry.width) * geometry.height * 3;
    const qint64 rawFrames = frameBytes > 0 ? QFileInfo(videoOutPath).size() / frameBytes : 0;
    const qint64 recordBytes = qint64(std::max(lines, 0)) * std::max(colorDeep, 0) *
            ((3 * qint64(std::max(lights, 0)) + 7) / 8) +
        kAudioBytesPerFrame;

    auto doneFlag = std::make_shared<std::atomic_bool>(false);
    std::shared_ptr<ProgressGate> gate;
    if (onProgress)
        gate = std::make_shared<ProgressGate>();
    auto* completion = new CompletionContext(doneFlag, debugMode, placement, onLog, gate);

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
        placement.finishJob(false, finalOutPath);
        delete completion;
        return;
    }

    int lastPercent = -1;
    const auto reportConverting = [&]() {
        if (!gate || rawFrames <= 0)
            return;
        const qint64 size = QFileInfo(finalOutPath).size();
        const qint64 frames = std::max<qint64>(0, size - kFanHeaderBytes) / recordBytes;
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
    while (!doneFlag->load()) {
        QThread::msleep(static_cast<unsigned long>(g_pollIntervalMs.load()));
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
        reportConverting();
    }
}
