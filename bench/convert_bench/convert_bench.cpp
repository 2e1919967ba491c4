// convert_bench: how close a whole conversion comes to the job's own FFmpeg
// command, and to decoding the clip.
//
// Makes H.264 clips such as phones and cameras record (High profile, CABAC,
// B-frames, grainy content at real bitrates, AAC sound): 720p60 at 12 Mb/s,
// 1080p30 at 17 Mb/s, 2160p30 at 45 Mb/s and a 1080p30 one at 90 Mb/s. For
// each: the decode-only floor (ffmpeg -i CLIP -an -f null -), and for VEGA
// and CASTOR the job's own FFmpeg command alone (decode, fps, scale, flip,
// frames and sound, the frames written to a null sink), the engine alone on
// that command's frames and sound (a file of raw frames, one engine job: the
// reference bytes), and the whole job through the media pipeline (FFmpeg's
// frames streamed into the engine). Checks that the job writes the
// reference's bytes and prints seconds, processor seconds, the job's ratio to
// its own FFmpeg command and to the floor, where the job's thread spent its
// time (waiting for FFmpeg's output, reading it, handing frames to the
// engine, finishing the file), the peak of the temporary folder (only the
// sound should be there) and the peak memory (this process plus its FFmpeg
// children) while the job ran.
//
//   convert_bench [--seconds N] [--clips DIR] [--keep DIR] [--only CLIP]
//                 [--models A,B] [--runs N] [--colour]
//
// --clips keeps the clips in DIR between runs (making the 2160p one takes a
// while); they are named after their recipe and length, so a changed recipe
// or --seconds makes new ones. --runs repeats each measurement and keeps the
// fastest. --colour measures, instead of the jobs, the ways of turning a YUV
// clip into the engine's RGB frames (their cost, and what each makes of a
// flat grey). Figures on a shared or loaded machine are approximate.
#include "DecodeSteps.h"
#include "FfmpegRunner.h"
#include "JobBuilder.h"
#include "JobGeometry.h"
#include "JobText.h"
#include "MediaProbe.h"
#include "MediaConvert.h"
#include "StreamingJob.h"
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
    MediaFacts facts; // what the probe says of it (as the window and the tools give it)
};

double cpuSeconds(int who);

// Runs FFmpeg to its end; seconds and cpu (processor seconds of the run)
// when asked for.
bool runFfmpeg(const QStringList& args, double* seconds = nullptr, double* cpu = nullptr,
               bool quiet = true)
{
    const double children0 = cpuSeconds(RUSAGE_CHILDREN);
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    p.start(FfmpegRunner::defaultFfmpegPath(),
            (quiet
                 ? QStringList {QStringLiteral("-y"), QStringLiteral("-v"), QStringLiteral("error")}
                 : QStringList {QStringLiteral("-y")}) +
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
    double startSeconds = 0; // until the first decoding report
    qint64 peakTemp = 0;
    qint64 peakMemory = 0;
    double ffmpegCpu = 0;  // seconds of processor time of the FFmpeg runs
    double ownCpu = 0;     // of this process: the engine and the job
    double samplerCpu = 0; // of the thread sampling disk and memory
    StreamingJob::Timings timings;
    QByteArray sha;
};

double cpuSeconds(int who)
{
    rusage u {};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

QByteArray sha(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result().toHex().left(12);
}

JobRun convert(const Clip& clip, const fan_model& model, const QString& outDir, int seconds)
{
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
    request.media.facts = clip.facts;
    request.fileName =
        QStringLiteral("%1_%2.bin").arg(QLatin1String(clip.label), QLatin1String(model.name));
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
    qint64 decodeStart = -1;
    std::atomic_bool done {false};
    MediaConvert::Callbacks callbacks;
    callbacks.onProgress = [&](MediaStage stage, int) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stage == MediaStage::Decoding && decodeStart < 0)
            decodeStart = clock.elapsed();
    };
    callbacks.onResult = [&](const ConvertResult& r) {
        std::lock_guard<std::mutex> lock(mutex);
        run.ok = r.outcome == ConvertOutcome::Succeeded;
        path = r.path;
        if (!run.ok)
            std::fprintf(stderr, "job failed: %s\n", qPrintable(r.reason));
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
    run.startSeconds = decodeStart / 1000.0;
    run.timings = StreamingJob::lastTimings();
    if (run.ok)
        run.sha = sha(path);
    QFile::remove(path);
    return run;
}

QString mib(qint64 bytes) { return QString::number(bytes / 1048576.0, 'f', 1); }

// The engine alone on a file of raw frames and a sound file, on this thread.
struct EngineRun {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;
};

extern "C" void engineDone(void* ctx, int failed, const char*, const char*)
{
    *static_cast<int*>(ctx) = failed;
}

EngineRun engineAlone(const QString& frames, const QString& sound, const JobGeometry& g,
                      const fan_model& model, const QString& outPath, QByteArray* bytes)
{
    JobTextValues v;
    v.videoPath = frames;
    v.audioPath = sound;
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
    if (run.ok)
        *bytes = sha(outPath);
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

// Ways of turning a YUV clip into the job's bgr24 frames, for --colour: the
// chain as the job runs it (fps first, the scaled size, the flip, the
// window's crop and pad), with the scale and the conversion into RGB done
// differently.
struct ColourChain {
    const char* name;
    QString chain;
};

QList<ColourChain> colourChains(int w, int h, const QString& window)
{
    const QString size = QStringLiteral("%1:%2").arg(w).arg(h);
    const QString end = QStringLiteral("vflip,format=bgr24") + window;
    return {
        {"one scale, bgr24 (the old chain: green cast)",
         "fps=20,scale=" + size + ":flags=spline," + end},
        {"one scale, full chroma", "fps=20,scale=" + size + ":flags=spline+full_chroma_int," + end},
        {"one scale, full chroma, exact rounding",
         "fps=20,scale=" + size + ":flags=spline+full_chroma_int+accurate_rnd," + end},
        {"YUV scale exact, RGB at the frames' size (the job's)",
         "fps=20,scale=" + size + ":flags=spline+accurate_rnd,vflip," +
             "scale=flags=accurate_rnd+full_chroma_int,format=bgr24" + window},
        {"the same with fps after the scale",
         "scale=" + size + ":flags=spline+accurate_rnd,fps=20,vflip," +
             "scale=flags=accurate_rnd+full_chroma_int,format=bgr24" + window},
        {"YUV scale, not exact, RGB at the frames' size",
         "fps=20,scale=" + size + ":flags=spline,vflip," +
             "scale=flags=accurate_rnd+full_chroma_int,format=bgr24" + window},
        {"YUV scale exact into yuv444p, then bgr24",
         "fps=20,scale=" + size + ":flags=spline+accurate_rnd,format=yuv444p," + end},
        {"yuv444p at the source size, then the scale",
         "fps=20,scale=flags=accurate_rnd+full_chroma_int,format=yuv444p,scale=" + size +
             ":flags=spline+accurate_rnd," + end},
        {"planar RGB at the source size, then the scale",
         "fps=20,scale=flags=accurate_rnd+full_chroma_int,format=gbrp,scale=" + size +
             ":flags=spline," + end},
    };
}

// The first frame's middle pixel (blue, green, red) of a chain on a clip.
QString middlePixel(const QString& clip, const QString& chain, int w, int h, const QString& work)
{
    const QString raw = QDir(work).filePath(QStringLiteral("middle.bgr"));
    if (!runFfmpeg({"-i", clip, "-an", "-vf", chain, "-frames:v", "1", "-f", "rawvideo", raw}))
        return QStringLiteral("-");
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("-");
    const QByteArray frame = f.readAll();
    const qint64 at = (qint64(h / 2) * w + w / 2) * 3;
    if (frame.size() < at + 3)
        return QStringLiteral("-");
    return QStringLiteral("%1,%2,%3")
        .arg(uchar(frame.at(int(at + 2))))
        .arg(uchar(frame.at(int(at + 1))))
        .arg(uchar(frame.at(int(at))));
}

// --colour: each chain's FFmpeg command (frames and sound as the job's, the
// frames into /dev/null) on the camera-like clip, and what it makes of a
// flat grey 128 of the same size (BT.709, tagged).
void colourTable(FILE* table, const Clip& c, const fan_model& model, int length, int runs,
                 const QString& work)
{
    const QString grey = QDir(work).filePath(QStringLiteral("grey-%1.mp4").arg(c.label));
    if (!QFile::exists(grey))
        runFfmpeg({"-f", "lavfi", "-i",
                   QStringLiteral("color=c=0x808080:size=%1x%2:rate=%3:duration=1")
                       .arg(c.width)
                       .arg(c.height)
                       .arg(c.fps),
                   "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-colorspace",
                   "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", grey});
    const double scale = 2.0 * model.lights / std::min(c.width, c.height);
    const JobFrames f = computeJobFrames(scale, c.width / 2.0, c.height / 2.0, c.width, c.height,
                                         model.lights);
    // The window's crop and pad, as the job's chain ends.
    const QString jobChain = decodeFilterChain(jobFrameChain(MediaInfo(), f, c.facts, true));
    const QString window = jobChain.mid(jobChain.indexOf(QLatin1String("format=bgr24")) + 12);
    const QString sound = QDir(work).filePath(QStringLiteral("colour_aud.u8"));
    double first = 0;
    for (const ColourChain& v : colourChains(f.scaled.width, f.scaled.height, window)) {
        double best = 0, bestCpu = 0;
        for (int r = 0; r < runs; ++r) {
            double t = 0, cpu = 0;
            runFfmpeg(videoAndSoundStepArguments(c.path, 0, length, v.chain,
                                                 QStringLiteral("/dev/null"), sound),
                      &t, &cpu);
            if (r == 0 || cpu < bestCpu) {
                best = t;
                bestCpu = cpu;
            }
        }
        if (first <= 0)
            first = bestCpu;
        const QString middle = middlePixel(
            grey, v.chain.left(v.chain.indexOf(QLatin1String("format=bgr24")) + 12),
            f.scaled.width, f.scaled.height, work);
        std::fprintf(table, "%-10s %-6s %6.2f %6.2f %6.3f %-12s %s\n", c.label, model.name, best,
                     bestCpu, first > 0 ? bestCpu / first : 0.0, qPrintable(middle), v.name);
        std::fflush(table);
    }
    QFile::remove(sound);
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
    int runs = 1;
    QStringList models {QStringLiteral("VEGA"), QStringLiteral("CASTOR")};
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
        if (args.at(i) == QLatin1String("--runs"))
            runs = std::max(1, args.at(i + 1).toInt());
        if (args.at(i) == QLatin1String("--models"))
            models = args.at(i + 1).split(QLatin1Char(','));
        if (args.at(i) == QLatin1String("--only"))
            only = args.at(i + 1);
    }
    const bool colour = args.contains(QStringLiteral("--colour"));
    QTemporaryDir scratch;
    const QString work = keep.isEmpty() ? scratch.path() : keep;
    QDir().mkpath(work);
    if (clipsDir.isEmpty())
        clipsDir = work;
    QDir().mkpath(clipsDir);
    // The jobs' temporary folder lies under the bench's own folder.
    qputenv("TMPDIR", QDir(work).filePath(QStringLiteral("tmp")).toUtf8());
    QDir().mkpath(QDir(work).filePath(QStringLiteral("tmp")));

    Clip clips[] = {
        {"720p60", 1280, 720, 60, 12000, {}, {}},
        {"1080p30", 1920, 1080, 30, 17000, {}, {}},
        {"2160p30", 3840, 2160, 30, 45000, {}, {}},
        {"1080p30-hq", 1920, 1080, 30, 90000, {}, {}},
    };
    for (Clip& c : clips) {
        if (!only.isEmpty() && only != QLatin1String(c.label))
            continue;
        const int length = clipLength(c, seconds);
        // The recipe's mark in the name: clips of an older recipe are not
        // taken for these.
        c.path = QDir(clipsDir).filePath(
            QStringLiteral("%1-%2s-phone1.mp4").arg(QLatin1String(c.label)).arg(length));
        if (!QFile::exists(c.path)) {
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
        c.facts = MediaProbe::probe(c.path);
    }

    if (colour) {
        std::fprintf(table, "%-10s %-6s %6s %6s %6s %-12s %s\n", "clip", "model", "s", "cpu s",
                     "/first", "grey 128 ->", "chain");
        for (const Clip& c : clips) {
            if (!only.isEmpty() && only != QLatin1String(c.label))
                continue;
            for (const QString& modelName : models) {
                if (const fan_model* model = fan_model_find(modelName.toLatin1().constData()))
                    colourTable(table, c, *model, clipLength(c, seconds), runs, work);
            }
        }
        std::fprintf(table,
                     "\ns, cpu s: wall and processor seconds of the FFmpeg command (decode, the "
                     "chain, the frames into /dev/null, the sound into a file), the fastest "
                     "of --runs by processor time; /first: processor time against the first "
                     "chain's. grey 128 ->: the middle pixel (R,G,B) the chain makes of a flat "
                     "grey 128 clip of the same size (BT.709, tagged).\n");
        return 0;
    }

    std::fprintf(table,
                 "%-10s %-6s %5s %4s %6s %5s %5s %5s %5s %5s %5s %5s %5s %5s %5s %5s %5s %6s "
                 "%6s %7s %7s %4s\n",
                 "clip", "model", "floor", "fps", "fl cpu", "ffcmd", "ff cp", "eng", "en cp", "job",
                 "/ff", "/fl", "start", "wait", "read", "push", "end", "ff cpu", "ow cpu",
                 "tmp MiB", "mem MiB", "same");
    bool allSame = true;
    for (const Clip& c : clips) {
        if (!only.isEmpty() && only != QLatin1String(c.label))
            continue;
        const int length = clipLength(c, seconds);
        double floor = 0;
        double floorCpu = 0;
        for (int r = 0; r < runs; ++r) {
            double t = 0, cpu = 0;
            runFfmpeg({"-i", c.path, "-an", "-f", "null", "-"}, &t, &cpu);
            if (r == 0 || t < floor) {
                floor = t;
                floorCpu = cpu;
            }
        }
        const double decodeFps = floor > 0 ? length * c.fps / floor : 0;
        for (const QString& modelName : models) {
            const fan_model* model = fan_model_find(modelName.toLatin1().constData());
            if (!model)
                continue;
            // The job's own FFmpeg command: the same arguments, the frames
            // written to a null sink instead of the engine's pipe.
            const double scale = 2.0 * model->lights / std::min(c.width, c.height);
            const JobFrames f = computeJobFrames(scale, c.width / 2.0, c.height / 2.0, c.width,
                                                 c.height, model->lights);
            MediaInfo media;
            media.inputPath = c.path;
            const QString chain = decodeFilterChain(jobFrameChain(media, f, c.facts, true));
            const QString sound = QDir(work).filePath(QStringLiteral("chain_aud.u8"));
            double command = 0;
            double commandCpu = 0;
            for (int r = 0; r < runs; ++r) {
                double t = 0, cpu = 0;
                runFfmpeg(videoAndSoundStepArguments(c.path, 0, length, chain,
                                                     QStringLiteral("/dev/null"), sound),
                          &t, &cpu, false);
                if (r == 0 || t < command) {
                    command = t;
                    commandCpu = cpu;
                }
            }
            // The same command's frames in a file: the engine alone on them
            // writes the reference bytes.
            const QString frames = QDir(work).filePath(QStringLiteral("chain_vid.bgr"));
            runFfmpeg(videoAndSoundStepArguments(c.path, 0, length, chain, frames, sound));
            QByteArray reference;
            const EngineRun e =
                engineAlone(frames, sound, f.frames, *model,
                            QDir(work).filePath(QStringLiteral("alone.bin")), &reference);
            QFile::remove(frames);
            QFile::remove(sound);
            const QString out = QDir(work).filePath(QStringLiteral("out"));
            JobRun s;
            for (int r = 0; r < runs; ++r) {
                const JobRun one = convert(c, *model, out, length);
                if (r == 0 || (one.ok && one.seconds < s.seconds))
                    s = one;
            }
            const bool same = s.ok && e.ok && s.sha == reference;
            allSame = allSame && same;
            const auto sec = [](qint64 ns) { return ns / 1e9; };
            std::fprintf(table,
                         "%-10s %-6s %5.2f %4.0f %6.2f %5.2f %5.2f %5.2f %5.2f %5.2f %5.3f %5.2f "
                         "%5.2f %5.2f %5.2f %5.2f %5.2f %6.2f %6.2f %7s %7s %4s\n",
                         c.label, model->name, floor, decodeFps, floorCpu, command, commandCpu,
                         e.ok ? e.seconds : -1.0, e.cpu, s.seconds,
                         command > 0 ? s.seconds / command : 0.0, s.seconds / floor, s.startSeconds,
                         sec(s.timings.pipe.waitNs), sec(s.timings.pipe.readNs),
                         sec(s.timings.pipe.sinkNs), sec(s.timings.finishNs), s.ffmpegCpu, s.ownCpu,
                         qPrintable(mib(s.peakTemp)), qPrintable(mib(s.peakMemory * 1024)),
                         same ? "yes" : (s.ok && e.ok ? "NO" : "fail"));
            std::fflush(table);
        }
    }
    std::fprintf(
        table,
        "\nSeconds of wall time unless named cpu; the fastest of --runs; approximate on a "
        "loaded machine.\n"
        "floor: ffmpeg -i CLIP -an -f null -, fps: its decoded frames per second, fl cpu: its "
        "processor seconds.\n"
        "ffcmd, ff cp: the job's own FFmpeg command alone (decode, fps=20, spline scale, flip; "
        "the sound into a file, the frames into /dev/null).\n"
        "eng, en cp: the engine alone converting that command's frames and sound from files "
        "(the reference bytes), on one job thread and its line pool.\n"
        "job: the whole job (FFmpeg's frames streamed into the engine); /ff: job / ffcmd; "
        "/fl: job / floor.\n"
        "start: until the first frame was awaited (sound probe, folders, engine set-up); wait, "
        "read, push: the job thread waiting for FFmpeg's output, reading it into the engine's "
        "frames, handing frames to the engine (its wait for the frame before, and the "
        "writes); end: the last frame, the sound, padding, the file put on the disk and "
        "renamed.\n"
        "ff cpu: processor seconds of the job's FFmpeg runs; ow cpu: of this process (engine "
        "and job; the bench's sampling not counted).\n"
        "tmp, mem: peaks of the temporary folder and of memory; same: the job's fan file is "
        "the reference's, byte for byte.\n");
    return allSame ? 0 : 1;
}
