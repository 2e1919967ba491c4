#include "ResourcePaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#ifndef SPINDRA_DATA_DIR
#define SPINDRA_DATA_DIR ""
#endif

QStringList imageSearchDirs()
{
    QStringList dirs {QStringLiteral(".")};
    if (QCoreApplication::instance()) {
        const QString exeDir = QCoreApplication::applicationDirPath();
        if (!exeDir.isEmpty()) {
            dirs << QDir::cleanPath(exeDir)
                 << QDir::cleanPath(exeDir + QStringLiteral("/../share/spindra"));
        }
    }
    const QString dataDir = QString::fromUtf8(SPINDRA_DATA_DIR);
    if (!dataDir.isEmpty())
        dirs << QDir::cleanPath(dataDir);
    dirs.removeDuplicates();
    return dirs;
}

QString findFileIn(const QStringList& dirs, const QString& relativePath)
{
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath))
        return relativePath;
    for (const QString& dir : dirs) {
        if (dir == QLatin1String(".")) {
            if (QFileInfo(relativePath).isFile())
                return relativePath;
            continue;
        }
        const QString candidate = QDir(dir).filePath(relativePath);
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).absoluteFilePath();
    }
    return relativePath;
}

QString findImageFile(const QString& relativePath)
{
    return findFileIn(imageSearchDirs(), relativePath);
}
