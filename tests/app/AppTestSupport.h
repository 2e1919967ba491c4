// Shared helpers of the window tests: an isolated settings store, a recorder
// for the window's message boxes, generated media, the fan simulator, the
// stand-in pipeline, and WindowFixture, the setup they all share.
#pragma once

#include "FakePipeline.h"
#include "FanSimProcess.h"
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
#include <QTranslator>
#include <QVector>

#include <clocale>
#include <functional>
#include <memory>

namespace apptest {

// The window's child widget of that object name; a missing one ends the test
// run, since every later step would only fail less clearly.
template<typename T> T* requireChild(QWidget& window, const char* name)
{
    T* w = window.findChild<T*>(QLatin1String(name));
    if (!w)
        qFatal("missing child %s", name);
    return w;
}

// Points the native user-scope settings store at a private folder. Call before
// the first QSettings object of the process is created.
inline void isolateSettings(const QTemporaryDir& dir)
{
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    qputenv("SPINDRA_NO_OPEN_FOLDER", "1");
}

// What every window test sets up first: the settings store in a private
// folder (isolateSettings) and the "C" numeric locale that libmpv requires.
inline void isolateWindowTest(const QTemporaryDir& configDir)
{
    isolateSettings(configDir);
    std::setlocale(LC_NUMERIC, "C");
}

// Gives the process a temporary folder of its own under workDir ("tmp"), so
// that a test can count what a job leaves behind. Returns its path, or an
// empty string when it cannot be made.
inline QString useOwnTempFolder(const QTemporaryDir& workDir)
{
    const QString tmp = workDir.filePath(QStringLiteral("tmp"));
    if (!QDir().mkpath(tmp))
        return QString();
    qputenv("TMPDIR", tmp.toLocal8Bit());
    return tmp;
}

// Gives the window's conversion controller a stand-in pipeline (owned by the
// controller), for tests whose point is not FFmpeg. Null when a job runs.
FakePipeline* useFakePipeline(HomeWindow& window);

// Media file names unique to this process: the conversion pipeline names its
// temporary files after the input's base name, so tests running side by side
// must not share one.
inline QString uniqueName(const QString& stem, const QString& suffix)
{
    return QStringLiteral("%1-%2.%3").arg(stem).arg(QCoreApplication::applicationPid()).arg(suffix);
}

inline QSettings store()
{
    return QSettings(QStringLiteral("Tessel"), QStringLiteral("Marrowfield"));
}

// Records every message box the window runs and answers it without blocking:
// the button whose object name or text is `answer` is clicked (none when empty).
struct DialogRecorder {
    struct Box {
        QString title;
        QString text;
        QStringList buttons;
    };
    QVector<Box> boxes;
    QString answer;

    void attach(HomeWindow& window)
    {
        window.setDialogRunner([this](QMessageBox& box) {
            Box seen {box.windowTitle(), box.text(), {}};
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
inline bool makeClip(const QString& path, int seconds,
                     const QString& size = QStringLiteral("160x120"))
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("testsrc=duration=%1:size=%2:rate=20").arg(seconds).arg(size),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("sine=frequency=440:duration=%1").arg(seconds),
                  QStringLiteral("-c:v"), QStringLiteral("mpeg4"), QStringLiteral("-c:a"),
                  QStringLiteral("aac"), QStringLiteral("-shortest"), path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
        ffmpeg.exitCode() == 0 && QFile::exists(path);
}

inline bool makeImage(const QString& path, const QString& size = QStringLiteral("120x90"))
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("testsrc=size=%1").arg(size), QStringLiteral("-frames:v"),
                  QStringLiteral("1"), path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0 && QFile::exists(path);
}

// Points the device link at a running simulator; call before the first use
// of the connection manager.
inline void exportAddress(const FanSimProcess& sim)
{
    qputenv("SPINDRA_DEVICE_HOST", "127.0.0.1");
    qputenv("SPINDRA_DEVICE_HTTP_PORT", QByteArray::number(sim.httpPort()));
    qputenv("SPINDRA_DEVICE_WS_PORT", QByteArray::number(sim.wsPort()));
}

// The setup every window test shares: the settings store in a private folder,
// the C numeric locale libmpv needs, a work folder with an output folder, the
// fan simulator when the test wants a device, and the window with its hooks
// recording message boxes and opened folders. In initTestCase():
//
//     QVERIFY2(fx.prepare(options), qPrintable(fx.errorText));
//     ...anything that must happen before the window shows...
//     QVERIFY2(fx.show(), qPrintable(fx.errorText));
//
// and QVERIFY(fx.finish()) in cleanupTestCase().
class WindowFixture {
public:
    struct Options {
        // Starts fan-sim with simArgs and points the device link at it.
        bool withDevice = false;
        QStringList simArgs;
        // Installs the English catalogue; without it every text shows its key.
        bool english = false;
        int mediaInfoDelayMs = 200;
        // Conversions run on a FakePipeline (`pipeline`) instead of FFmpeg
        // and the engine.
        bool fakePipeline = false;
    };

    WindowFixture();

    // Everything up to the window, which is created but not shown. Call once
    // per process, before anything else creates a QSettings object.
    bool prepare(const Options& options);
    // Shows the window, waits until it is exposed, selects the output folder.
    bool show();
    // Waits until no job runs, then closes the window and stops the simulator.
    bool finish(int idleTimeoutMs = 60000);

    // A file name in the work folder unique to this process.
    QString workFile(const QString& stem, const QString& suffix) const;
    // Chooses a video and waits until the preview knows its size and duration.
    bool loadVideo(const QString& path, int timeoutMs = 15000);
    // Waits until the window counts the device as connected.
    bool waitConnected(int timeoutMs = 20000);
    // Runs the event loop for quietMs, false as soon as invariant() fails:
    // "nothing else happens" is checked over this bounded time.
    bool holdQuiet(const std::function<bool()>& invariant) const;

    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString outDir;
    FanSimProcess sim;
    QTranslator translator;
    std::unique_ptr<HomeWindow> window;
    FakePipeline* pipeline = nullptr; // with Options::fakePipeline; the window owns it
    DialogRecorder dialogs;
    QStringList openedFolders;
    // Length of the holdQuiet() checks in ms (SPINDRA_TEST_QUIET_MS, or 500).
    int quietMs;
    QString errorText;
};

} // namespace apptest

// Files and folders under the temporary location whose names start with the
// input's base name: what a job may have left behind.
QStringList tempLeftovers(const QString& input);
// Every fan file (*.bin) under dir, in its sub-folders too.
QStringList fanFilesIn(const QString& dir);
