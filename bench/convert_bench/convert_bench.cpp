// convert_bench: how close a whole conversion comes to decoding the clip.
//
// Makes H.264 clips such as phones and cameras record (High profile, CABAC,
// B-frames, grainy content at real bitrates, AAC sound): 720p60 at 12 Mb/s,
// 1080p30 at 17 Mb/s, 2160p30 at 45 Mb/s and a 1080p30 one at 90 Mb/s. For
// each: the decode-only floor (ffmpeg -i CLIP -an -f null -), and for VEGA
// and CASTOR the job's own video command alone (the chain: decode, fps,
// scale, flip), the engine alone on the chain's frames, and the whole job
// through the media pipeline, overlapping (the default) and straightforward
// (every frame decoded into one raw file before one engine job converts it).
// Checks that both write the same bytes and prints seconds, processor
// seconds, ratios to the floor, the peak of the temporary folder and the
// peak memory (this process plus its FFmpeg children) while the job ran.
//
//   convert_bench [--seconds N] [--clips DIR] [--keep DIR] [--only CLIP]
//                 [--chunk FRAMES]
//
// --clips keeps the clips in DIR between runs (making the 2160p one takes a
// while); they are named after their recipe and length, so a changed recipe
// or --seconds makes new ones. Figures on a shared or loaded machine are
// approximate.
#include "FfmpegRunner.h"
#include "DecodeSteps.h"
#include "JobBuilder.h"
#include "MediaConvert.h"
#include "convert_internal.h"
#include "fan_models.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Clip {
    const char* label;
    int width;
    int height;
    int fps;
    int kbps; // video bitrate
    QString path;
};

double cpuSeconds(int who);

// Runs FFmpeg to its end; seconds and cpu (processor seconds of the run)
// when asked for.
bool runFfmpeg(const QStringList& args, double* seconds = nullptr, double* cpu = nullptr)
{
    const double children0 = cpuSeconds(RUSAGE_CHILDREN);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    p.start(FfmpegRunner::defaultFfmpegPath(),
            QStringList {QStringLiteral("-y"), QStringLiteral("-v"), QStringLiteral("error")} +
                args);
    p.closeWriteChannel();
    if (!p.waitForFinished(-1))
        return false;
    if (seconds)
        *seconds = t.elapsed() / 1000.0;
    if (cpu)
        *cpu = cpuSeconds(RUSAGE_CHILDREN) - children0;
    if (p.exitCode() != 0)
        std::fprintf(stderr, "ffmpeg: %s\n", p.readAll().constData());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

qint64 rssKiB(const QString& statusPath)
{
    QFile f(statusPath);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// This process and its direct children (FFmpeg).
qint64 memoryKiB()
{
    qint64 total = rssKiB(QStringLiteral("/proc/self/status"));
    const QByteArray self = QByteArray::number(qint64(getpid()));
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (pid.isEmpty() || !pid.at(0).isDigit())
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self)
            total += rssKiB(QStringLiteral("/proc/%1/status").arg(pid));
    }
    return total;
}

qint64 folderBytes(const QString& folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

struct JobRun {
    bool ok = false;
    double seconds = 0;
    double audioSeconds = 0; // until the first decoding report
    double tailSeconds = 0;  // after decoding reached 100 %
    qint64 peakTemp = 0;
    qint64 peakMemory = 0;
    double ffmpegCpu = 0;  // seconds of processor time of the FFmpeg runs
    double ownCpu = 0;     // of this process: the engine and the job
    double samplerCpu = 0; // of the thread sampling disk and memory
    QByteArray sha;
};

double cpuSeconds(int who)
{
    rusage u {};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

JobRun convert(const Clip& clip, const fan_model& model, bool streaming, const QString& outDir,
               int seconds)
{
    setStreamingPipeline(streaming);
    ConvertRequest request;
    request.media.isVideo = true;
    request.media.inputPath = clip.path;
    request.media.outputDir = outDir;
    request.media.mediaWidth = clip.width;
    request.media.mediaHeight = clip.height;
    // The framing the window starts with for a landscape clip is the whole
    // height across the circle: the picture covers the disc.
    request.media.scale = 2.0 * model.lights / std::min(clip.width, clip.height);
    request.media.centerX = clip.width / 2.0;
    request.media.centerY = clip.height / 2.0;
    request.media.durationSeconds = seconds;
    request.media.vFlip = true;
    request.fileName = QStringLiteral("%1_%2_%3.bin")
                           .arg(QLatin1String(clip.label), QLatin1String(model.name))
                           .arg(streaming ? "s" : "t");
    request.modelName = QString::fromLatin1(model.name);
    request.lights = model.lights;
    request.lines = model.lines;
    request.colorDeep = model.colorDeep;
    request.gamma = 2.2;
    request.minBrightness = 0.3;

    JobRun run;
    std::mutex mutex;
    QString path;
    QElapsedTimer clock;
    qint64 decodeStart = -1, decodeEnd = -1;
    std::atomic_bool done {false};
    MediaConvert::Callbacks callbacks;
    callbacks.onProgress = [&](MediaStage stage, int percent) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stage == MediaStage::Decoding && decodeStart < 0)
            decodeStart = clock.elapsed();
        if (stage == MediaStage::Decoding && percent == 100)
            decodeEnd = clock.elapsed();
    };
    callbacks.onResult = [&](const ConvertResult& r) {
        std::lock_guard<std::mutex> lock(mutex);
        run.ok = r.outcome == ConvertOutcome::Succeeded;
        path = r.path;
    };
    const QString temp = mediaTempFolder();
    std::thread sampler([&]() {
        while (!done.load()) {
            const qint64 bytes = folderBytes(temp);
            const qint64 memory = memoryKiB();
            {
                std::lock_guard<std::mutex> lock(mutex);
                run.peakTemp = std::max(run.peakTemp, bytes);
                run.peakMemory = std::max(run.peakMemory, memory);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // What the sampling itself cost is not the job's.
        const double mine = cpuSeconds(RUSAGE_THREAD);
        std::lock_guard<std::mutex> lock(mutex);
        run.samplerCpu = mine;
    });
    const double children0 = cpuSeconds(RUSAGE_CHILDREN);
    const double self0 = cpuSeconds(RUSAGE_SELF);
    clock.start();
    MediaConvert().startConvert(request, callbacks);
    QThreadPool::globalInstance()->waitForDone();
    run.seconds = clock.elapsed() / 1000.0;
    run.ffmpegCpu = cpuSeconds(RUSAGE_CHILDREN) - children0;
    done = true;
    sampler.join();
    run.ownCpu = cpuSeconds(RUSAGE_SELF) - self0 - run.samplerCpu;
    run.audioSeconds = decodeStart / 1000.0;
    run.tailSeconds = decodeEnd >= 0 ? run.seconds - decodeEnd / 1000.0 : 0;
    QFile f(path);
    if (run.ok && f.open(QIODevice::ReadOnly)) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&f);
        run.sha = hash.result().toHex().left(12);
    }
    f.close();
    QFile::remove(path);
    return run;
}

QString mib(qint64 bytes) { return QString::number(bytes / 1048576.0, 'f', 1); }

// The engine alone on a file of raw frames, on this thread, without sound.
struct EngineRun {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

extern "C" void engineDone(void* ctx, int failed, const char*, const char*)
{
    *static_cast<int*>(ctx) = failed;
}

EngineRun engineAlone(const QString& frames, const JobGeometry& g, const fan_model& model,
                      const QString& outPath)
{
    JobTextValues v;
    v.videoPath = frames;
    v.width = g.width;
    v.height = g.height;
    v.outPath = outPath;
    v.lights = model.lights;
    v.centerX = g.centerX;
    v.centerY = g.centerY;
    v.lines = model.lines;
    v.colorDeep = model.colorDeep;
    v.gamma = 2.2;
    v.minBrightness = 0.3;
    const QByteArray text = buildJobText(v).toUtf8();
    EngineRun run;
    int failed = 1;
    convert_parsed_job job {};
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer t;
    t.start();
    if (convert_parse_job(text.constData(), &engineDone, &failed, &job) == 0)
        convert_run_job(&job);
    run.seconds = t.elapsed() / 1000.0;
    run.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    run.ok = failed == 0;
    QFile::remove(outPath);
    return run;
}

// One clip as a phone or camera records it: grain that changes every frame
// (so the encoder has real detail to spend its bitrate on), High profile
// with CABAC and B-frames at a fixed bitrate, a one-second GOP, AAC sound.
QStringList clipArguments(const Clip& c, int length)
{
    const QString rate = QStringLiteral("%1k").arg(c.kbps);
    return {"-f",
            "lavfi",
            "-i",
            QStringLiteral("testsrc2=size=%1x%2:rate=%3:duration=%4")
                .arg(c.width)
                .arg(c.height)
                .arg(c.fps)
                .arg(length),
            "-f",
            "lavfi",
            "-i",
            QStringLiteral("sine=frequency=440:sample_rate=48000:duration=%1").arg(length),
            "-vf",
            "noise=alls=14:allf=t+u",
            "-c:v",
            "libx264",
            "-preset",
            "veryfast",
            "-profile:v",
            "high",
            "-pix_fmt",
            "yuv420p",
            "-g",
            QString::number(c.fps),
            "-bf",
            "3",
            "-b:v",
            rate,
            "-maxrate",
            rate,
            "-bufsize",
            QStringLiteral("%1k").arg(2 * c.kbps),
            "-c:a",
            "aac",
            "-b:a",
            "128k",
            "-ac",
            "2",
            "-shortest",
            c.path};
}

int clipLength(const Clip& c, int seconds)
{
    return QByteArray(c.label).startsWith("2160") ? std::max(1, seconds / 2) : seconds;
}

} // namespace

void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The jobs' diagnostics (the engine's lines on standard output, the
    // pipeline's on Qt's logger) would bury the table: the table keeps the
    // original standard output, everything else goes nowhere.
    FILE* table = fdopen(dup(fileno(stdout)), "w");
    if (!table || !std::freopen("/dev/null", "w", stdout))
        return 1;
    qInstallMessageHandler(quiet);
    int seconds = 12;
    int chunk = 0;
    QString keep;
    QString only;
    QString clipsDir;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--seconds"))
            seconds = std::max(1, args.at(i + 1).toInt());
        if (args.at(i) == QLatin1String("--keep"))
            keep = args.at(i + 1);
        if (args.at(i) == QLatin1String("--clips"))
            clipsDir = args.at(i + 1);
        if (args.at(i) == QLatin1String("--chunk"))
            chunk = std::max(0, args.at(i + 1).toInt());
        if (args.at(i) == QLatin1String("--only"))
            only = args.at(i + 1);
    }
    QTemporaryDir scratch;
    const QString work = keep.isEmpty() ? scratch.path() : keep;
    QDir().mkpath(work);
    if (clipsDir.isEmpty())
        clipsDir = work;
    QDir().mkpath(clipsDir);
    // The jobs' temporary folder lies under the bench's own folder.
    qputenv("TMPDIR", QDir(work).filePath(QStringLiteral("tmp")).toUtf8());
    QDir().mkpath(QDir(work).filePath(QStringLiteral("tmp")));
    setJobPollIntervalMs(100);
    setStreamChunkFrames(chunk);

    Clip clips[] = {
        {"720p60", 1280, 720, 60, 12000, {}},
        {"1080p30", 1920, 1080, 30, 17000, {}},
        {"2160p30", 3840, 2160, 30, 45000, {}},
        {"1080p30-hq", 1920, 1080, 30, 90000, {}},
    };
    for (Clip& c : clips) {
        if (!only.isEmpty() && only != QLatin1String(c.label))
            continue;
        const int length = clipLength(c, seconds);
        // The recipe's mark in the name: clips of an older recipe are not
        // taken for these.
        c.path = QDir(clipsDir).filePath(
            QStringLiteral("%1-%2s-phone1.mp4").arg(QLatin1String(c.label)).arg(length));
        if (QFile::exists(c.path))
            continue;
        std::fprintf(stderr, "making %s (%d s) ...\n", c.label, length);
        const QString part = c.path + QStringLiteral(".part.mp4");
        Clip making = c;
        making.path = part;
        if (!runFfmpeg(clipArguments(making, length)) || !QFile::rename(part, c.path)) {
            QFile::remove(part);
            std::fprintf(stderr, "cannot make %s\n", c.label);
            return 1;
        }
    }

    std::fprintf(table,
                 "%-10s %-6s %5s %4s %6s %5s %5s %5s %5s %6s %5s %5s %5s %6s %6s %6s %5s %7s %7s "
                 "%7s %7s %4s\n",
                 "clip", "model", "floor", "fps", "fl cpu", "chain", "ch cp", "eng", "en cp",
                 "stream", "ratio", "sound", "tail", "ff cpu", "ow cpu", "2step", "ratio",
                 "tmp MiB", "2st MiB", "mem MiB", "2st MiB", "same");
    bool allSame = true;
    for (const Clip& c : clips) {
        if (!only.isEmpty() && only != QLatin1String(c.label))
            continue;
        const int length = clipLength(c, seconds);
        double floor = 0;
        double floorCpu = 0;
        runFfmpeg({"-i", c.path, "-an", "-f", "null", "-"}, &floor, &floorCpu);
        const double decodeFps = floor > 0 ? length * c.fps / floor : 0;
        for (const char* name : {"VEGA", "CASTOR"}) {
            const fan_model* model = fan_model_find(name);
            // The job's own video command, its frames kept for the engine
            // alone: what decoding plus the job's filters (fps, scale, flip)
            // cost, and what converting those frames costs.
            const double scale = 2.0 * model->lights / std::min(c.width, c.height);
            JobGeometry g =
                computeJobGeometry(scale, c.width / 2.0, c.height / 2.0, c.width, c.height);
            const JobGeometry scaled = g;
            const FrameWindow window = fitFrameWindow(g, model->lights);
            if (window.active) {
                g.width = window.width;
                g.height = window.height;
            }
            const QString frames = QDir(work).filePath(QStringLiteral("chain_vid.bgr"));
            double chain = 0;
            double chainCpu = 0;
            runFfmpeg(videoStepArguments(
                          c.path, 0, length,
                          decodeFilterChain(scaled.width, scaled.height, true, false, window, true),
                          frames),
                      &chain, &chainCpu);
            const EngineRun e =
                engineAlone(frames, g, *model, QDir(work).filePath(QStringLiteral("alone.bin")));
            QFile::remove(frames);
            const QString out = QDir(work).filePath(QStringLiteral("out"));
            const JobRun s = convert(c, *model, true, out, length);
            const JobRun t = convert(c, *model, false, out, length);
            const bool same = s.ok && t.ok && s.sha == t.sha;
            allSame = allSame && same;
            std::fprintf(table,
                         "%-10s %-6s %5.2f %4.0f %6.2f %5.2f %5.2f %5.2f %5.2f %6.2f %5.2f %5.2f "
                         "%5.2f %6.2f %6.2f %6.2f %5.2f %7s %7s %7s %7s %4s\n",
                         c.label, name, floor, decodeFps, floorCpu, chain, chainCpu,
                         e.ok ? e.seconds : -1.0, e.cpu, s.seconds, s.seconds / floor,
                         s.audioSeconds, s.tailSeconds, s.ffmpegCpu, s.ownCpu, t.seconds,
                         t.seconds / floor, qPrintable(mib(s.peakTemp)),
                         qPrintable(mib(t.peakTemp)), qPrintable(mib(s.peakMemory * 1024)),
                         qPrintable(mib(t.peakMemory * 1024)),
                         same ? "yes" : (s.ok && t.ok ? "NO" : "fail"));
            std::fflush(table);
        }
    }
    std::fprintf(
        table,
        "\nSeconds of wall time unless named cpu; approximate on a loaded machine.\n"
        "floor: ffmpeg -i CLIP -an -f null -, fps: its decoded frames per second, fl cpu: its "
        "processor seconds.\n"
        "chain, ch cp: the job's video command alone (decode, fps=20, spline scale, flip) "
        "writing the raw frames.\n"
        "eng, en cp: the engine alone converting those frames (no sound), on one job thread "
        "and its line pool.\n"
        "stream: the whole job, overlapping pipeline; ratio: stream / floor; sound: until the "
        "first frame arrived (a separate sound step, when there is one); tail: after FFmpeg "
        "ended (last chunks, sound blocks, padding); ff cpu: processor seconds of the job's "
        "FFmpeg runs; ow cpu: of this process (engine and job; the bench's disk and memory "
        "sampling not counted).\n"
        "2step, ratio: the straightforward pipeline; tmp, mem: peaks of the temporary folder "
        "and of memory; same: identical fan files.\n");
    return allSame ? 0 : 1;
}
