// spindra-soak: many conversions and uploads in a row through the conversion
// controller against fan-sim on loopback, with the simulator misbehaving
// every few jobs, watching the process for leaks.
//
//   spindra-soak [--jobs N] [--warmup N] [--every N] [--fan-sim PATH] ...
//
// Short clips and stills are made with FFmpeg at the start. Each job takes
// the next input and is converted for the model the simulator plays; the
// simulator restarts with the next model of a short list now and then. Every
// --every jobs one fault is injected, in turn: a dropped WebSocket, a stalled
// upload (the upload times out), a refused upload, a restart of the simulator
// (killed, started again on the same ports). After each job the resident
// memory (/proc/self/statm), the live heap and malloc's cache of freed
// memory (mallinfo2), malloc's arenas (malloc_info), the open file
// descriptors (/proc/self/fd) and the threads (/proc/self/task) are sampled.
//
// The process sets malloc's policy for large blocks as the application does
// (engine_settle_allocator): freed frame buffers go back to the system, so
// the resident memory follows the live heap and both are checked.
//
// Prints one table row per job and the figures at the end. Exits with 1 when,
// after the warm-up jobs, the resident memory, the live heap, the
// descriptors or the threads grow beyond their tolerance over
// the highest value seen during the second half of the warm-up; when a
// temporary file remains in the media temp folder after a job; when a job
// does not end in exactly one reported result; or when a job without a fault
// (or one with a dropped WebSocket or a restart behind it) does not succeed.
// Run it inside a loopback-only network namespace (scripts/unshare-loopback).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <unistd.h>
#include <vector>

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "FanSimProcess.h"
#include "JobBuilder.h"
#include "ToolOptions.h"
#include "Uploader.h"
#include "convert.h"
#include "fan_models.h"
#include "platform.h"

namespace {

struct Sample {
    long rssKiB = 0;
    // Bytes handed out by malloc and not freed (every arena, large blocks
    // too): the live heap, apart from what the allocator keeps cached.
    long heapKiB = 0;
    // Freed memory that malloc keeps in its arenas for reuse instead of giving
    // it back to the system: resident, but not live.
    long cachedKiB = 0;
    // malloc's arenas; threads that allocate at the same time get arenas of
    // their own, and an arena once made stays for the life of the process.
    int arenas = 0;
    int fds = 0;
    int threads = 0;
};

// The number of arenas in malloc_info's report (one <heap> element each).
int countArenas()
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (!out)
        return 0;
    malloc_info(0, out);
    std::fclose(out);
    const int n = QByteArray(text, int(size)).count("<heap nr=");
    free(text);
    return n;
}

Sample sampleProcess()
{
    Sample s;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
        if (fields.size() > 1)
            s.rssKiB = fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024);
    }
    const struct mallinfo2 m = mallinfo2();
    s.heapKiB = long((m.uordblks + m.hblkhd) / 1024);
    s.cachedKiB = long(m.fordblks / 1024);
    s.arenas = countArenas();
    // Listing a folder opens one descriptor of its own; it is not counted.
    s.fds = QDir(QStringLiteral("/proc/self/fd"))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                .size() -
        1;
    s.threads =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    return s;
}

// Runs an event loop, as the application does, until pred() holds or
// timeoutMs pass. A running loop matters: objects released with deleteLater
// (the pipeline's relays, finished network replies) are deleted only by an
// event loop, never by processEvents() called outside one, so polling with
// processEvents() would keep every one of them until the end.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    if (pred())
        return true;
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer poll;
    bool held = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&]() {
        held = pred();
        if (held || t.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return held;
}

bool runTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "soak: %s failed: %s\n", qPrintable(program),
                     p.readAll().right(500).constData());
        return false;
    }
    return true;
}

// Short inputs of every kind the pipeline takes.
QStringList makeMedia(const QString& dir)
{
    struct Input {
        const char* name;
        QStringList args;
    };
    const QString lavfi = QStringLiteral("lavfi");
    const QList<Input> inputs = {
        {"clip_sound.mp4",
         {"-f", lavfi, "-i", "testsrc=size=96x64:rate=20:duration=1", "-f", lavfi, "-i",
          "sine=frequency=440:duration=1", "-shortest", "-pix_fmt", "yuv420p"}},
        {"still.png", {"-f", lavfi, "-i", "testsrc=size=120x80", "-frames:v", "1"}},
        {"clip_silent.mkv", {"-f", lavfi, "-i", "mandelbrot=size=80x80:rate=20", "-t", "1.5"}},
        {"still.jpg", {"-f", lavfi, "-i", "smptebars=size=64x96", "-frames:v", "1"}},
    };
    QStringList paths;
    for (const Input& in : inputs) {
        const QString path = QDir(dir).filePath(QString::fromLatin1(in.name));
        QStringList args = {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                            QStringLiteral("error"), QStringLiteral("-y")};
        args << in.args << path;
        if (!runTool(QStringLiteral("ffmpeg"), args))
            return {};
        paths << path;
    }
    return paths;
}

enum class Fault { None, DropSocket, StallUpload, RefuseUpload, Restart };

const char* faultName(Fault f)
{
    switch (f) {
    case Fault::None:
        return "-";
    case Fault::DropSocket:
        return "drop-ws";
    case Fault::StallUpload:
        return "stall-upload";
    case Fault::RefuseUpload:
        return "refuse-upload";
    case Fault::Restart:
        return "restart";
    }
    return "?";
}

const char* outcomeName(JobOutcome o)
{
    switch (o) {
    case JobOutcome::Succeeded:
        return "ok";
    case JobOutcome::Failed:
        return "failed";
    case JobOutcome::Cancelled:
        return "cancelled";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    // As the application does at start (app/main.cpp).
    engine_settle_allocator();
    // Settings (the sequence number) and temporary files stay in a folder of
    // this run.
    QTemporaryDir work(QDir::temp().filePath(QStringLiteral("spindra-soak-XXXXXX")));
    if (!work.isValid()) {
        std::fprintf(stderr, "soak: no work folder\n");
        return 2;
    }
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toUtf8());
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("spindra-soak"));

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Conversions and uploads in a row through the conversion controller against fan-sim,\n"
        "with faults injected every few jobs; fails on growth of memory, descriptors or\n"
        "threads after the warm-up, on temporary files left behind, and on jobs that do not\n"
        "report exactly one result. Run it in a loopback-only network namespace."));
    p.addHelpOption();
    const QCommandLineOption jobsOpt =
        tooloptions::option("jobs", "Jobs (default 200).", "N", "200");
    const QCommandLineOption warmupOpt =
        tooloptions::option("warmup", "Jobs before growth counts (default 20).", "N", "20");
    const QCommandLineOption everyOpt =
        tooloptions::option("every", "A fault every N jobs (default 5).", "N", "5");
    const QCommandLineOption simOpt = tooloptions::option(
        "fan-sim", "The simulator (default: fan-sim beside this program's build).", "PATH");
    const QCommandLineOption rssOpt = tooloptions::option(
        "rss-tolerance", "Allowed growth of resident memory, KiB (default 2048).", "KIB", "2048");
    const QCommandLineOption fdOpt = tooloptions::option(
        "fd-tolerance", "Allowed growth of open descriptors (default 4).", "N", "4");
    const QCommandLineOption threadOpt =
        tooloptions::option("thread-tolerance", "Allowed growth of threads (default 3).", "N", "3");
    const QCommandLineOption stallOpt = tooloptions::option(
        "stall-timeout", "Upload time-out while the upload is stalled, ms (default 1500).", "MS",
        "1500");
    const QCommandLineOption verboseOpt =
        tooloptions::option("verbose", "Keep the libraries' debug messages.");
    p.addOptions(
        {jobsOpt, warmupOpt, everyOpt, simOpt, rssOpt, fdOpt, threadOpt, stallOpt, verboseOpt});
    p.process(app);
    // The table goes to standard output; the engine's own lines, which it
    // prints there too, and the libraries' messages only with --verbose.
    FILE* table = stdout;
    if (!p.isSet(verboseOpt)) {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
        const int keep = dup(STDOUT_FILENO);
        FILE* kept = keep >= 0 ? fdopen(keep, "w") : nullptr;
        if (kept && std::freopen("/dev/null", "w", stdout))
            table = kept;
    }

    const int jobs = qMax(1, p.value(jobsOpt).toInt());
    const int warmup = qBound(1, p.value(warmupOpt).toInt(), jobs);
    const int every = qMax(1, p.value(everyOpt).toInt());
    const long rssTolerance = p.value(rssOpt).toLong();
    const int fdTolerance = p.value(fdOpt).toInt();
    const int threadTolerance = p.value(threadOpt).toInt();
    const int stallTimeoutMs = qMax(100, p.value(stallOpt).toInt());
    QString simProgram = p.value(simOpt);
    if (simProgram.isEmpty())
        simProgram = QDir(QCoreApplication::applicationDirPath())
                         .filePath(QStringLiteral("../fan-sim/fan-sim"));

    const QString mediaDir = work.filePath(QStringLiteral("media"));
    const QString outDir = work.filePath(QStringLiteral("out"));
    QDir().mkpath(mediaDir);
    QDir().mkpath(outDir);
    const QStringList media = makeMedia(mediaDir);
    if (media.isEmpty())
        return 2;

    // The simulator plays one model at a time; every restart moves to the next.
    const QStringList models = {QStringLiteral("BELLATRIX"), QStringLiteral("ACRUX"),
                                QStringLiteral("CANOPUS"), QStringLiteral("ANTARES"),
                                QStringLiteral("VEGA")};
    int modelIndex = 0;
    QString simModel = models[0];
    FanSimProcess sim;
    sim.setProgram(simProgram);
    // The soak never reads the simulator's log.
    sim.setKeepLog(false);
    const auto startSim = [&](int httpPort, int wsPort) {
        return sim.start({QStringLiteral("--control"), QStringLiteral("--model"), simModel},
                         httpPort, wsPort);
    };
    const auto setFault = [&](const QString& query) {
        return sim.fault(query).value(QStringLiteral("code")).toInt(-1) == 0;
    };
    if (!startSim(0, 0)) {
        std::fprintf(stderr, "soak: cannot start %s: %s\n", qPrintable(simProgram),
                     qPrintable(sim.errorText));
        return 2;
    }

    ConnectionTiming timing;
    timing.checkPeriodMs = 200;
    timing.heartbeatSpacingMs = 300;
    timing.restartDelayMs = 100;
    timing.silenceLimitMs = 5000;
    timing.requestTimeoutMs = 2000;
    ConnectionManager connection(sim.endpoint(), timing);
    Uploader uploader(sim.endpoint());
    uploader.setProbeTimeout(2000);
    ConversionController controller(&connection, &uploader);
    const int uploadTimeoutMs = 20000;
    controller.setUploadTimeout(uploadTimeoutMs);

    // The soak's own records are made in full before the first job (ids run
    // from 1 to jobs), so that they do not count as growth of the heap.
    std::vector<int> finishes(size_t(jobs) + 1, 0);
    int strayFinishes = 0;
    JobOutcome lastOutcome = JobOutcome::Failed;
    QString lastMessage;
    QObject::connect(&controller, &ConversionController::jobFinished, &app,
                     [&](int id, JobOutcome outcome, QString, QString message) {
                         if (id > 0 && id <= jobs)
                             finishes[size_t(id)]++;
                         else
                             strayFinishes++;
                         lastOutcome = outcome;
                         lastMessage = message;
                     });

    if (!waitUntil([&]() { return connection.isConnected(); }, 15000)) {
        std::fprintf(stderr, "soak: the simulator never counted as connected\n");
        return 2;
    }

    const QString tempFolder = mediaTempFolder();
    auto tempLeft = [&]() {
        QStringList left;
        QDir dir(tempFolder);
        if (dir.exists())
            left = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        return left;
    };

    QStringList problems;
    QList<Sample> samples;
    samples.reserve(jobs);
    std::fprintf(table, "%4s  %-9s  %-15s  %-13s  %-9s  %6s  %9s  %9s  %10s  %6s  %4s  %7s\n",
                 "job", "model", "input", "fault", "outcome", "ms", "rss KiB", "heap KiB",
                 "cached KiB", "arenas", "fds", "threads");
    const Sample start = sampleProcess();
    std::fprintf(table, "%4s  %-9s  %-15s  %-13s  %-9s  %6s  %9ld  %9ld  %10ld  %6d  %4d  %7d\n",
                 "0", "", "(start)", "", "", "", start.rssKiB, start.heapKiB, start.cachedKiB,
                 start.arenas, start.fds, start.threads);
    QElapsedTimer total;
    total.start();

    for (int i = 1; i <= jobs; i++) {
        const Fault fault = i % every == 0
            ? std::array<Fault, 4> {Fault::DropSocket, Fault::StallUpload, Fault::RefuseUpload,
                                    Fault::Restart}[(i / every - 1) % 4]
            : Fault::None;
        bool faultSet = true;
        switch (fault) {
        case Fault::None:
            break;
        case Fault::DropSocket:
            faultSet = setFault(QStringLiteral("drop-ws=now"));
            break;
        case Fault::StallUpload:
            controller.setUploadTimeout(stallTimeoutMs);
            faultSet = setFault(QStringLiteral("stall=upload"));
            break;
        case Fault::RefuseUpload:
            faultSet = setFault(QStringLiteral("upload-code=7"));
            break;
        case Fault::Restart:
            sim.kill();
            modelIndex = (modelIndex + 1) % models.size();
            simModel = models[modelIndex];
            faultSet = startSim(sim.httpPort(), sim.wsPort()) &&
                waitUntil([&]() { return connection.isConnected(); }, 15000);
            break;
        }
        if (!faultSet)
            problems << QStringLiteral("job %1: the fault %2 could not be set")
                            .arg(i)
                            .arg(faultName(fault));

        const fan_model* model = fan_model_find(simModel.toLatin1().constData());
        ConvertRequest request;
        request.media.inputPath = media[(i - 1) % media.size()];
        request.media.outputDir = outDir;
        request.fileName = QStringLiteral("%1_%2.bin")
                               .arg(i % 100, 2, 10, QLatin1Char('0'))
                               .arg(i, 5, 10, QLatin1Char('0'));
        request.modelName = simModel;
        request.lights = model->lights;
        request.lines = model->lines;
        request.colorDeep = model->colorDeep;
        request.gamma = 1.0 + (i % 3) * 0.5;
        request.minBrightness = (i % 5) * 0.2;
        request.changeBrightnessLights = model->lights / 4;

        QElapsedTimer jobTime;
        jobTime.start();
        const int id = controller.enqueueWhole(request);
        const bool ended =
            waitUntil([&]() { return id > 0 && id <= jobs && finishes[size_t(id)] > 0; }, 120000);
        const qint64 ms = jobTime.elapsed();
        // The pipeline lets go of the job shortly after its end, and the
        // engine's worker frees its buffers and ends only after it reported:
        // sampling before that would count what is about to go.
        const bool released =
            waitUntil([&]() { return !controller.isBusy() && convert_running_jobs() == 0; }, 30000);

        switch (fault) {
        case Fault::StallUpload:
            controller.setUploadTimeout(uploadTimeoutMs);
            if (!setFault(QStringLiteral("stall=")))
                problems << QStringLiteral("job %1: the stall could not be lifted").arg(i);
            break;
        case Fault::RefuseUpload:
            if (!setFault(QStringLiteral("reset=1")))
                problems << QStringLiteral("job %1: the fault could not be reset").arg(i);
            break;
        default:
            break;
        }

        if (!ended)
            problems << QStringLiteral("job %1: no result within 120 s").arg(i);
        if (!released)
            problems
                << QStringLiteral(
                       "job %1: the pipeline or the engine still held the job 30 s after its end")
                       .arg(i);
        const JobOutcome outcome = ended ? lastOutcome : JobOutcome::Failed;
        const bool mustSucceed =
            fault == Fault::None || fault == Fault::DropSocket || fault == Fault::Restart;
        if (ended && mustSucceed && outcome != JobOutcome::Succeeded)
            problems << QStringLiteral("job %1 (%2): ended %3: %4")
                            .arg(i)
                            .arg(faultName(fault))
                            .arg(outcomeName(outcome), lastMessage);
        if (ended && !mustSucceed && outcome == JobOutcome::Succeeded)
            problems << QStringLiteral("job %1 (%2): the fault had no effect")
                            .arg(i)
                            .arg(faultName(fault));
        const QStringList left = tempLeft();
        if (!left.isEmpty())
            problems << QStringLiteral("job %1: left in %2: %3")
                            .arg(i)
                            .arg(tempFolder, left.join(QLatin1Char(' ')));

        const Sample s = sampleProcess();
        samples << s;
        std::fprintf(
            table, "%4d  %-9s  %-15s  %-13s  %-9s  %6lld  %9ld  %9ld  %10ld  %6d  %4d  %7d\n", i,
            qPrintable(simModel), qPrintable(QFileInfo(request.media.inputPath).fileName()),
            faultName(fault), ended ? outcomeName(outcome) : "none", ms, s.rssKiB, s.heapKiB,
            s.cachedKiB, s.arenas, s.fds, s.threads);
        std::fflush(table);
    }

    // Late reports would show up here: every job must have exactly one.
    waitUntil([]() { return false; }, 500);
    for (int id = 1; id <= jobs; id++) {
        if (finishes[size_t(id)] != 1)
            problems << QStringLiteral("job id %1: %2 results").arg(id).arg(finishes[size_t(id)]);
    }
    if (strayFinishes > 0)
        problems << QStringLiteral("%1 results for jobs never run").arg(strayFinishes);

    // Growth: the highest value of the second half of the warm-up is the base.
    Sample base;
    for (int i = warmup / 2; i < warmup && i < samples.size(); i++) {
        base.rssKiB = std::max(base.rssKiB, samples[i].rssKiB);
        base.heapKiB = std::max(base.heapKiB, samples[i].heapKiB);
        base.cachedKiB = std::max(base.cachedKiB, samples[i].cachedKiB);
        base.arenas = std::max(base.arenas, samples[i].arenas);
        base.fds = std::max(base.fds, samples[i].fds);
        base.threads = std::max(base.threads, samples[i].threads);
    }
    // The live heap is what a leak of ours would raise; the resident memory
    // also holds malloc's cache of small blocks (see cachedKiB) and the pages
    // the libraries touch late. Under AddressSanitizer malloc is the sanitizer's
    // own and mallinfo2() reports nothing, so this check holds trivially.
    const long heapToleranceKiB = 512;
    Sample peak = base;
    for (int i = warmup; i < samples.size(); i++) {
        const Sample& s = samples[i];
        peak.rssKiB = std::max(peak.rssKiB, s.rssKiB);
        peak.heapKiB = std::max(peak.heapKiB, s.heapKiB);
        peak.cachedKiB = std::max(peak.cachedKiB, s.cachedKiB);
        peak.arenas = std::max(peak.arenas, s.arenas);
        peak.fds = std::max(peak.fds, s.fds);
        peak.threads = std::max(peak.threads, s.threads);
        if (s.rssKiB > base.rssKiB + rssTolerance)
            problems << QStringLiteral("job %1: resident memory %2 KiB, base %3 KiB")
                            .arg(i + 1)
                            .arg(s.rssKiB)
                            .arg(base.rssKiB);
        if (s.heapKiB > base.heapKiB + heapToleranceKiB)
            problems << QStringLiteral("job %1: live heap %2 KiB, base %3 KiB")
                            .arg(i + 1)
                            .arg(s.heapKiB)
                            .arg(base.heapKiB);
        if (s.fds > base.fds + fdTolerance)
            problems << QStringLiteral("job %1: %2 open descriptors, base %3")
                            .arg(i + 1)
                            .arg(s.fds)
                            .arg(base.fds);
        if (s.threads > base.threads + threadTolerance)
            problems << QStringLiteral("job %1: %2 threads, base %3")
                            .arg(i + 1)
                            .arg(s.threads)
                            .arg(base.threads);
    }
    sim.stop();

    const Sample& first = samples.first();
    const Sample& atWarmup = samples[warmup - 1];
    const Sample& last = samples.last();
    std::fprintf(table, "\n%d jobs in %.1f s, a fault every %d jobs\n", jobs,
                 total.elapsed() / 1000.0, every);
    std::fprintf(table, "%-22s %10s %10s %10s %7s %6s %8s\n", "", "rss KiB", "heap KiB",
                 "cached KiB", "arenas", "fds", "threads");
    const auto row = [table](const QString& name, const Sample& s) {
        std::fprintf(table, "%-22s %10ld %10ld %10ld %7d %6d %8d\n", qPrintable(name), s.rssKiB,
                     s.heapKiB, s.cachedKiB, s.arenas, s.fds, s.threads);
    };
    row(QStringLiteral("start"), start);
    row(QStringLiteral("after job 1"), first);
    row(QStringLiteral("after job %1").arg(warmup), atWarmup);
    row(QStringLiteral("base (warm-up max)"), base);
    row(QStringLiteral("peak after warm-up"), peak);
    row(QStringLiteral("after job %1").arg(jobs), last);
    std::fprintf(table, "%-22s %10ld %10ld %10s %7s %6d %8d\n", "tolerance", rssTolerance,
                 heapToleranceKiB, "", "", fdTolerance, threadTolerance);
    if (problems.isEmpty()) {
        std::fprintf(table, "soak: ok\n");
        return 0;
    }
    for (const QString& problem : problems)
        std::fprintf(stderr, "soak: %s\n", qPrintable(problem));
    std::fprintf(table, "soak: FAILED (%d problems)\n", int(problems.size()));
    return 1;
}
