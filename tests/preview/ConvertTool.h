#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the built spindra-convert with args; its exit code (-1 when it did not
// finish within two minutes or crashed) and its standard error in *err.
inline int runConvertTool(const QStringList& args, QString* err)
{
    QProcess p;
    p.start(QStringLiteral(SPINDRA_BINARY_DIR "/tools/spindra-convert/spindra-convert"), args);
    if (!p.waitForFinished(120000))
        return -1;
    *err = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}
