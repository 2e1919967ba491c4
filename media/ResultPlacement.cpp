#include "ResultPlacement.h"

#include "MediaInfo.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

ResultPlacement::ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                                 const LogCallback& onLog, const TempList& temps)
    : request(request),
      onResult(onResult),
      onLog(onLog),
      temps(temps)
{
}

void ResultPlacement::finishJob(bool success, const QString& path) const
{
    QString resultPath = path;
    if (success) {
        const QString outputDir = request.outputDir;
        if (!outputDir.isEmpty() && !path.startsWith(outputDir)) {
            const QString destination = QDir(outputDir).filePath(QFileInfo(path).fileName());
            if (!QDir(outputDir).exists())
                QDir().mkpath(outputDir);
            if (QFile::exists(destination))
                QFile::remove(destination);
            if (QFile::rename(path, destination)) {
                qInfo().noquote() << "文件已移动到:" << destination;
                resultPath = destination;
            } else {
                qWarning().noquote() << "移动文件失败:" << path << "->" << destination;
            }
        }
    }

    if (onResult)
        onResult(success, resultPath);
    if (onLog && success)
        onLog(QStringLiteral("\n文件输出路径：%1\n").arg(resultPath));
    if (onLog)
        onLog(QStringLiteral("### FINISH PROCESS VIDEO"));
    if (onLog)
        onLog(QString(54, QLatin1Char('#')));

    for (const QString& file : temps.files) {
        if (!file.isEmpty())
            QFile::remove(file);
    }
    if (!temps.scratchDir.isEmpty())
        QDir(temps.scratchDir).removeRecursively();
}

CompletionContext::CompletionContext(std::shared_ptr<std::atomic_bool> doneFlag, bool debugMode,
                                     const ResultPlacement& placement,
                                     std::function<void(const QString&)> onLog,
                                     std::shared_ptr<ProgressGate> gate)
    : doneFlag(std::move(doneFlag)),
      debugMode(debugMode),
      placement(placement),
      onLog(std::move(onLog)),
      gate(std::move(gate))
{
}

void CompletionContext::complete(int failed, const char* path, const char* message)
{
    if (debugMode && onLog) {
        onLog(QStringLiteral("rsult:%1 path:%2 msg:%3")
                  .arg(failed != 0 ? QStringLiteral("FAILED") : QStringLiteral("SUCCESS"),
                       path ? QString::fromUtf8(path) : QStringLiteral("NULL"),
                       message ? QString::fromUtf8(message) : QStringLiteral("NULL")));
    }
    if (gate) {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->closed = true;
    }
    placement.finishJob(failed == 0, path ? QString::fromUtf8(path) : QString());

    // Keep the flag alive past our own deletion, then release the waiting job
    // as the very last step: once it resumes, the job's references are gone.
    std::shared_ptr<std::atomic_bool> flag = std::move(doneFlag);
    delete this;
    flag->store(true);
}

extern "C" void onEngineResult(void* ctx, int failed, const char* path, const char* message)
{
    qInfo().noquote() << QStringLiteral("result:%1 path:%2 msg:%3")
                             .arg(failed)
                             .arg(path ? QString::fromUtf8(path) : QStringLiteral("NULL"),
                                  message ? QString::fromUtf8(message) : QStringLiteral("NULL"));
    if (!ctx) {
        qWarning() << "ctx == NULL, maybe have error";
        return;
    }
    static_cast<CompletionContext*>(ctx)->complete(failed, path, message);
}
