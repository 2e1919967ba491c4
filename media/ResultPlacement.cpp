#include "ResultPlacement.h"

#include "JobTempFolder.h"
#include "MediaInfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// Creates the folder with its missing parents; 0, or the error that stopped
// it (the system's own, for the user).
int makeFolder(const QString& folder)
{
    const QString path = QDir::cleanPath(QDir(folder).absolutePath());
    QFileInfo info(path);
    if (info.isDir())
        return 0;
    const QString parent = info.absolutePath();
    if (parent != path) {
        if (const int err = makeFolder(parent))
            return err;
    }
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0 || errno == EEXIST) {
        info.refresh();
        return info.isDir() ? 0 : ENOTDIR;
    }
    return errno;
}

} // namespace

QString outputFolderProblem(const QString& folder)
{
    if (const int err = makeFolder(folder)) {
        const QFileInfo info(folder);
        if (err == ENOTDIR || (info.exists() && !info.isDir()))
            return QStringLiteral("not a folder");
        return errorText(err);
    }
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return errorText(errno);
    return QString();
}

OutputTarget planOutput(const MediaInfo& media, const QString& modelName, const QString& fileName)
{
    OutputTarget target;
    const QString folder = QDir(media.outputDir).filePath(modelName);
    target.path = QDir(folder).filePath(fileName);
    const QString problem = outputFolderProblem(folder);
    if (problem.isEmpty())
        return target;
    qWarning().noquote() << "❌ 无法创建目录:" << folder << "(" << problem << ")";
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString desktopProblem = outputFolderProblem(desktop);
    if (!desktopProblem.isEmpty()) {
        target.error = QStringLiteral("cannot write to %1 (%2) nor to %3 (%4)")
                           .arg(folder, problem, desktop, desktopProblem);
        return target;
    }
    target.fallbackReason = QCoreApplication::translate("MediaConvert", "output_folder_fallback") +
        QStringLiteral(": ") + folder + QStringLiteral(" (") + problem + QLatin1Char(')');
    target.path = QDir(desktop).filePath(fileName);
    return target;
}

ResultPlacement::ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                                 const LogCallback& onLog, JobTempFolder* temps,
                                 const QString& fallbackReason)
    : request(request),
      onResult(onResult),
      onLog(onLog),
      temps(temps),
      fallbackReason(fallbackReason)
{
}

void ResultPlacement::finishJob(ConvertOutcome outcome, const QString& path, const QString& reason,
                                const QString& warning) const
{
    const bool success = outcome == ConvertOutcome::Succeeded;
    QString resultPath = path;
    // The engine renames a fan file into place only once it is whole, and
    // never after a cancel: whatever is at path now was there before.
    if (outcome == ConvertOutcome::Cancelled)
        resultPath.clear();
    if (success) {
        const QString outputDir = request.outputDir;
        if (!outputDir.isEmpty() && !path.startsWith(outputDir)) {
            const QString destination = QDir(outputDir).filePath(QFileInfo(path).fileName());
            if (!QDir(outputDir).exists())
                QDir().mkpath(outputDir);
            // Never over a file that is there: the fan file then stays where
            // it was written.
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
        if (outcome == ConvertOutcome::Failed)
            result.reason = reason;
        if (success)
            result.warning = warning;
        if (success && !fallbackReason.isEmpty()) {
            result.fallbackFolder = QFileInfo(resultPath).absolutePath();
            result.fallbackReason = fallbackReason;
        }
        onResult(result);
    }
    if (outcome == ConvertOutcome::Failed && !reason.isEmpty()) {
        qWarning().noquote() << "conversion failed:" << reason;
        if (onLog)
            onLog(QStringLiteral("failed: %1").arg(reason));
    }
    if (success && !warning.isEmpty()) {
        qWarning().noquote() << "conversion warning:" << warning;
        if (onLog)
            onLog(QStringLiteral("warning: %1").arg(warning));
    }
    if (onLog && outcome == ConvertOutcome::Cancelled)
        onLog(QStringLiteral("cancelled"));
    if (onLog && success)
        onLog(QStringLiteral("\n文件输出路径：%1\n").arg(resultPath));
    if (onLog)
        onLog(QStringLiteral("### FINISH PROCESS VIDEO"));
    if (onLog)
        onLog(QString(54, QLatin1Char('#')));

    if (temps)
        temps->remove();
}
