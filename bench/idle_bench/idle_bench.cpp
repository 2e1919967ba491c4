// How much processor time the main window takes while the user does nothing:
// with nothing loaded, with a clip paused, and with the clip playing. For
// each state it prints the process's processor time (user and system) over
// the measured span, as a share of one core, and how many pictures the
// preview rendered per second. Nothing is checked.
//
//   idle_bench [--seconds S] [--clip FILE] [--size WxH]
//
// Run it on a display (tests/own-display idle_bench) inside a loopback-only
// network namespace: the window's device link is pointed at a closed port on
// 127.0.0.1 and never reaches further. Without --clip a 30 s 640x360 test
// clip is made with FFmpeg in a temporary folder. The settings store and the
// sound output are the bench's own (a temporary folder, mpv's "null" output).
#include "ConnectionManager.h"
#include "HomeWindow.h"
#include "MPVWidget.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for ms milliseconds.
void runFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QEventLoop loop;
        QTimer::singleShot(qMin<qint64>(10, qMax<qint64>(1, ms - t.elapsed())), &loop,
                           &QEventLoop::quit);
        loop.exec();
    }
}

// Runs the event loop until done() holds or ms pass; true when it held.
template<typename F> bool waitFor(F done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        runFor(20);
    }
    return true;
}

bool makeClip(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-y"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                  QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("testsrc=duration=30:size=640x360:rate=30"), QStringLiteral("-f"),
                  QStringLiteral("lavfi"), QStringLiteral("-i"),
                  QStringLiteral("sine=frequency=440:duration=30"), QStringLiteral("-c:v"),
                  QStringLiteral("mpeg4"), QStringLiteral("-q:v"), QStringLiteral("4"),
                  QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-shortest"),
                  path});
    return ffmpeg.waitForFinished(120000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
        ffmpeg.exitCode() == 0;
}

struct Figures {
    double cpuShare = 0; // of one core
    double rendersPerSecond = 0;
};

Figures measure(MPVWidget* player, int seconds)
{
    int renders = 0;
    const QMetaObject::Connection counting =
        QObject::connect(player, &QOpenGLWidget::frameSwapped, [&renders] { ++renders; });
    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    runFor(seconds * 1000);
    const double elapsed = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    QObject::disconnect(counting);
    return {cpu / elapsed, renders / elapsed};
}

void print(const char* state, const Figures& f)
{
    std::printf("%-16s %7.1f %% of a core %8.1f renders/s\n", state, 100.0 * f.cpuShare,
                f.rendersPerSecond);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 10;
    QString clip;
    int width = 1280, height = 800;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--clip" && i + 1 < argc)
            clip = QString::fromLocal8Bit(argv[++i]);
        else if (a == "--size" && i + 1 < argc)
            std::sscanf(argv[++i], "%dx%d", &width, &height);
        else {
            std::fprintf(stderr, "usage: idle_bench [--seconds S] [--clip FILE] [--size WxH]\n");
            return 2;
        }
    }
    if (seconds < 1)
        seconds = 1;

    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    // A settings store of the bench's own, and no sound device.
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("SPINDRA_MPV_AO"))
        qputenv("SPINDRA_MPV_AO", "null");
    qputenv("SPINDRA_NO_OPEN_FOLDER", "1");

    QApplication app(argc, argv);
    // The window logs every device request; only the figures matter here.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    std::setlocale(LC_NUMERIC, "C");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       work.filePath(QStringLiteral("config")));

    if (clip.isEmpty()) {
        clip = work.filePath(QStringLiteral("bench-clip.mp4"));
        if (!makeClip(clip)) {
            std::fprintf(stderr, "idle_bench: FFmpeg could not make the test clip\n");
            return 1;
        }
    }

    // A closed port on loopback: the link tries and fails, as without a fan.
    DeviceEndpoint endpoint;
    endpoint.host = QStringLiteral("127.0.0.1");
    endpoint.httpPort = 9;
    endpoint.wsPort = 9;
    ConnectionManager connection(endpoint, ConnectionTiming());
    auto window = std::make_unique<HomeWindow>(&connection);
    window->resize(width, height);
    window->show();
    MPVWidget* player = window->player();

    std::printf("idle_bench: %d s per state, window %dx%d, clip %s\n", seconds, width, height,
                qPrintable(QDir::toNativeSeparators(clip)));
    if (!waitFor([&] { return player->isRenderReady(); }, 20000)) {
        std::fprintf(stderr, "idle_bench: the preview never became ready\n");
        return 1;
    }
    runFor(2000);
    print("nothing loaded", measure(player, seconds));

    window->selectInputFile(clip);
    double duration = 0, position = 0;
    if (!waitFor([&] { return player->getPlaybackTime(duration, position) && position > 0.5; },
                 20000)) {
        std::fprintf(stderr, "idle_bench: the clip never played\n");
        return 1;
    }
    player->togglePause();
    runFor(1000);
    print("clip paused", measure(player, seconds));

    player->togglePause();
    runFor(1000);
    print("clip playing", measure(player, seconds));
    return 0;
}
