// Shared helpers of the window tests: an isolated settings store, a recorder
// for the window's message boxes, generated media, and the fan simulator.
#pragma once

#include "HomeWindow.h"
#include "MPVWidget.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTime>
#include <QTimeEdit>
#include <QTest>
#include <QVector>

namespace apptest {

// Points the native user-scope settings store at a private folder. Call before
// the first QSettings object of the process is created.
inline void isolateSettings(const QTemporaryDir& dir)
{
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    qputenv("SPINDRA_NO_OPEN_FOLDER", "1");
}

// Media file names unique to this process: the conversion pipeline names its
// temporary files after the input's base name, so tests running side by side
// must not share one.
inline QString uniqueName(const QString& stem, const QString& suffix)
{
    return QStringLiteral("%1-%2.%3").arg(stem).arg(QCoreApplication::applicationPid()).arg(suffix);
}

inline QSettings store() { return QSettings(QStringLiteral("Tessel"), QStringLiteral("Marrowfield")); }

// Records every message box the window runs and answers it without blocking:
// the button whose object name or text is `answer` is clicked (none when empty).
struct DialogRecorder
{
    struct Box
    {
        QString title;
        QString text;
        QStringList buttons;
    };
    QVector<Box> boxes;
    QString answer;

    void attach(HomeWindow& window)
    {
        window.setDialogRunner([this](QMessageBox& box) {
            Box seen{box.windowTitle(), box.text(), {}};
            QAbstractButton* toClick = nullptr;
            for (QAbstractButton* b : box.buttons()) {
                seen.buttons << b->text();
                if (!answer.isEmpty() && (b->objectName() == answer || b->text() == answer))
                    toClick = b;
            }
            boxes.append(seen);
            if (toClick)
                toClick->click();
        });
    }
    void clear() { boxes.clear(); }
    QString lastText() const { return boxes.isEmpty() ? QString() : boxes.last().text; }
    QString lastTitle() const { return boxes.isEmpty() ? QString() : boxes.last().title; }
};

// Chooses a video in the window and waits until the player knows its size and
// the media information display has set the end time from its duration.
inline bool chooseVideoAndWait(HomeWindow& window, const QString& path, int timeoutMs = 15000)
{
    auto* end = window.findChild<QTimeEdit*>(QStringLiteral("endTimeEdit"));
    if (!end)
        return false;
    end->setTime(QTime(0, 0));
    window.selectInputFile(path);
    return QTest::qWaitFor(
        [&] {
            uint32_t w = 0, h = 0;
            return end->time() != QTime(0, 0) && window.player()->getVideoSize(w, h) && w > 0;
        },
        timeoutMs);
}

// A small generated clip (test pattern and a tone) of `seconds` seconds.
inline bool makeClip(const QString& path, int seconds, const QString& size = QStringLiteral("160x120"))
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("testsrc=duration=%1:size=%2:rate=20").arg(seconds).arg(size),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("sine=frequency=440:duration=%1").arg(seconds),
                  QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"), QStringLiteral("aac"),
                  QStringLiteral("-shortest"), path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0
        && QFile::exists(path);
}

inline bool makeImage(const QString& path, const QString& size = QStringLiteral("120x90"))
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("testsrc=size=%1").arg(size), QStringLiteral("-frames:v"), QStringLiteral("1"),
                  path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0 && QFile::exists(path);
}

// The fan simulator on loopback with free ports, stopped with the object.
class FanSim
{
public:
    ~FanSim() { stop(); }

    // Starts fan-sim and reads its ports from its first line.
    bool start(const QString& model, const QString& storeDir)
    {
        const QString program = QStringLiteral(SPINDRA_BINARY_DIR "/tools/fan-sim/fan-sim");
        QStringList args{QStringLiteral("--http-port"), QStringLiteral("0"), QStringLiteral("--ws-port"),
                         QStringLiteral("0"), QStringLiteral("--model"), model};
        if (!storeDir.isEmpty())
            args << QStringLiteral("--store") << storeDir;
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(program, args);
        if (!process.waitForStarted(10000))
            return false;
        QByteArray line;
        while (!line.contains('\n')) {
            if (!process.waitForReadyRead(10000))
                return false;
            line += process.readAllStandardOutput();
        }
        firstLine = QString::fromUtf8(line.left(line.indexOf('\n')));
        // The line names both ports: "fan-sim http=41234 ws=41235 model=... store=...".
        const QRegularExpression http(QStringLiteral("http[^0-9]*(?:127\\.0\\.0\\.1:)?(\\d+)"),
                                      QRegularExpression::CaseInsensitiveOption);
        const QRegularExpression ws(QStringLiteral("ws[^0-9]*(?:127\\.0\\.0\\.1:)?(\\d+)"),
                                    QRegularExpression::CaseInsensitiveOption);
        const auto h = http.match(firstLine);
        const auto w = ws.match(firstLine);
        if (!h.hasMatch() || !w.hasMatch())
            return false;
        output = line.mid(line.indexOf('\n') + 1);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { output += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { output += process.readAllStandardError(); });
        httpPort = h.captured(1).toInt();
        wsPort = w.captured(1).toInt();
        return httpPort > 0 && wsPort > 0;
    }

    // Points the device link at the simulator; before the first use of the
    // connection manager.
    void exportAddress() const
    {
        qputenv("SPINDRA_DEVICE_HOST", "127.0.0.1");
        qputenv("SPINDRA_DEVICE_HTTP_PORT", QByteArray::number(httpPort));
        qputenv("SPINDRA_DEVICE_WS_PORT", QByteArray::number(wsPort));
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(3000)) {
                process.kill();
                process.waitForFinished(3000);
            }
        }
    }

    QProcess process;
    QString firstLine;
    QByteArray output; // everything it printed after the first line
    int httpPort = 0;
    int wsPort = 0;
};

} // namespace apptest
