// Helpers shared by the media tests: tiny generated media files and small
// shell scripts that stand in for FFmpeg.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtEndian>

#include <functional>

namespace mediatest {

// Runs the real ffmpeg quietly; true on exit code 0.
inline bool ffmpeg(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("ffmpeg"),
            QStringList {QStringLiteral("-y"), QStringLiteral("-v"), QStringLiteral("error")} +
                args);
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
    QStringList args {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
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

// Marks the video track of an MP4 file as shown turned a quarter clockwise, as a
// phone does for a portrait clip: the 3x3 display matrix in the track header
// ('tkhd') becomes {0, 1, 0, -1, 0, 0, 0, 0, 1} (16.16 and 2.30 fixed point).
// Players and FFmpeg then show a W x H recording as H x W. Done by patching
// the file because the muxer of the FFmpeg in use cannot be told a rotation.
inline bool rotateVideoQuarter(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray d = f.readAll();
    auto u32 = [&](qint64 at) { return qFromBigEndian<quint32>(d.constData() + at); };
    // Calls fn(start, headerSize, size, type) for each box in [from, to).
    auto eachBox = [&](qint64 from, qint64 to,
                       const std::function<void(qint64, qint64, qint64, QByteArray)>& fn) {
        for (qint64 at = from; at + 8 <= to;) {
            qint64 size = u32(at), header = 8;
            if (size == 1 && at + 16 <= to) {
                size = qint64(qFromBigEndian<quint64>(d.constData() + at + 8));
                header = 16;
            } else if (size == 0) {
                size = to - at;
            }
            if (size < header || at + size > to)
                return;
            fn(at, header, size, d.mid(int(at + 4), 4));
            at += size;
        }
    };
    int patched = 0;
    eachBox(0, d.size(), [&](qint64 moov, qint64 mh, qint64 ms, const QByteArray& type) {
        if (type != "moov")
            return;
        eachBox(
            moov + mh, moov + ms, [&](qint64 trak, qint64 th, qint64 ts, const QByteArray& type) {
                if (type != "trak")
                    return;
                qint64 tkhd = -1, tkhdEnd = -1;
                bool video = false;
                eachBox(trak + th, trak + ts,
                        [&](qint64 b, qint64 bh, qint64 bs, const QByteArray& type) {
                            if (type == "tkhd") {
                                tkhd = b + bh;
                                tkhdEnd = b + bs;
                            }
                            if (type == "mdia")
                                eachBox(b + bh, b + bs,
                                        [&](qint64 h, qint64 hh, qint64, const QByteArray& type) {
                                            // hdlr: version/flags(4) pre_defined(4) handler_type(4)
                                            video = video ||
                                                (type == "hdlr" &&
                                                 d.mid(int(h + hh + 8), 4) == "vide");
                                        });
                        });
                if (!video || tkhd < 0)
                    return;
                // version/flags, then creation, modification, track id, reserved,
                // duration (times 64-bit in version 1), reserved(8), layer(2),
                // alternate group(2), volume(2), reserved(2): the matrix follows.
                const qint64 matrix = tkhd +
                    (d.at(int(tkhd)) == 1 ? 4 + 8 + 8 + 4 + 4 + 8 : 4 + 4 + 4 + 4 + 4 + 4) + 16;
                if (matrix + 36 > tkhdEnd)
                    return;
                const qint32 quarter[9] = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
                for (int i = 0; i < 9; ++i)
                    qToBigEndian<qint32>(quarter[i], d.data() + matrix + 4 * i);
                ++patched;
            });
    });
    if (patched != 1 || !f.seek(0))
        return false;
    return f.write(d) == d.size() && f.flush();
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

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
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
