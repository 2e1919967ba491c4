// Helpers shared by the media tests: tiny generated media files and small
// shell scripts that stand in for FFmpeg.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace mediatest {

// Runs the real ffmpeg quietly; true on exit code 0.
inline bool ffmpeg(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("ffmpeg"),
            QStringList{QStringLiteral("-y"), QStringLiteral("-v"), QStringLiteral("error")} + args);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    if (p.exitCode() != 0)
        qWarning("ffmpeg failed: %s", p.readAll().constData());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A test pattern clip of `seconds` at 25 fps, with a 440 Hz tone when asked.
inline QString makeVideo(const QString& dir, const QString& name, int seconds, bool withAudio,
                         const QString& size = QStringLiteral("64x48"))
{
    const QString path = QDir(dir).filePath(name);
    QStringList args{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("testsrc=size=%1:rate=25:duration=%2").arg(size).arg(seconds)};
    if (withAudio)
        args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
             << QStringLiteral("sine=frequency=440:duration=%1").arg(seconds);
    args << QStringLiteral("-c:v") << QStringLiteral("mpeg4") << QStringLiteral("-q:v")
         << QStringLiteral("3");
    if (withAudio)
        args << QStringLiteral("-c:a") << QStringLiteral("aac");
    args << QStringLiteral("-pix_fmt") << QStringLiteral("yuv420p") << path;
    return ffmpeg(args) ? path : QString();
}

// One frame of the test pattern as an image; the format follows the ending.
inline QString makeImage(const QString& dir, const QString& name,
                         const QString& size = QStringLiteral("64x48"))
{
    const QString path = QDir(dir).filePath(name);
    const bool ok = ffmpeg({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                            QStringLiteral("testsrc=size=%1:rate=1").arg(size),
                            QStringLiteral("-frames:v"), QStringLiteral("1"), path});
    return ok ? path : QString();
}

// An executable /bin/sh script with this body.
inline QString writeScript(const QString& dir, const QString& name, const QByteArray& body)
{
    const QString path = QDir(dir).filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    f.write("#!/bin/sh\n");
    f.write(body);
    f.write("\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Entries of a folder (files and folders), sorted, without "." and "..".
inline QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace mediatest
