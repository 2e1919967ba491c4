#include "ResultPlacement.h"

#include "MediaInfo.h"

#include "convert.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

ResultPlacement::ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                                 const LogCallback& onLog, const TempList& temps,
                                 const QString& fallbackReason)
    : request(request),
      onResult(onResult),
      onLog(onLog),
      temps(temps),
      fallbackReason(fallbackReason)
{
}

void ResultPlacement::finishJob(ConvertOutcome outcome, const QString& path) const
{
    const bool success = outcome == ConvertOutcome::Succeeded;
    QString resultPath = path;
    if (outcome == ConvertOutcome::Cancelled) {
        if (!path.isEmpty() && QFileInfo(path).isFile())
            QFile::remove(path);
        resultPath.clear();
    }
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

    if (onResult) {
        ConvertResult result;
        result.outcome = outcome;
        result.path = resultPath;
        if (success && !fallbackReason.isEmpty()) {
            result.fallbackFolder = QFileInfo(resultPath).absolutePath();
            result.fallbackReason = fallbackReason;
        }
        onResult(result);
    }
    if (onLog && outcome == ConvertOutcome::Cancelled)
        onLog(QStringLiteral("cancelled"));
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

void JobDone::set()
{
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    changed.notify_all();
}

bool JobDone::isSet()
{
    std::lock_guard<std::mutex> lock(mutex);
    return done;
}

bool JobDone::waitFor(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
}

CompletionContext::CompletionContext(std::shared_ptr<JobDone> done, bool debugMode,
                                     const ResultPlacement& placement,
                                     std::function<void(const QString&)> onLog,
                                     std::shared_ptr<ProgressGate> gate,
                                     std::shared_ptr<ConvertCancel> cancel)
    : done(std::move(done)),
      debugMode(debugMode),
      placement(placement),
      onLog(std::move(onLog)),
      gate(std::move(gate)),
      cancel(std::move(cancel))
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
    // A cancel requested while the engine ran wins over whatever the engine
    // managed to finish: the caller asked for nothing to be left behind.
    const ConvertOutcome outcome = failed == kEngineCancelled || (cancel && cancel->requested())
        ? ConvertOutcome::Cancelled
        : failed == 0 ? ConvertOutcome::Succeeded
                      : ConvertOutcome::Failed;
    placement.finishJob(outcome, path ? QString::fromUtf8(path) : QString());

    // Keep the flag alive past our own deletion, then release the waiting job
    // as the very last step: once it resumes, the job's references are gone.
    std::shared_ptr<JobDone> flag = std::move(done);
    delete this;
    flag->set();
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
