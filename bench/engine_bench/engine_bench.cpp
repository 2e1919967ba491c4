// Speed and memory of the flat conversion: the reference worker against the
// fast worker with one thread and with all threads, for every built-in model
// at the frame sizes the job builder produces (2 x lights square, and the
// same height at 16:9); and the two 360 workers on the square frames.
// Prints tables; nothing is checked.
//
//   engine_bench [--model NAME] [--frames N] [--ref-frames N] [--repeat R]
//                [--kernel-repeat R] [--threads N] [--dir PATH] [--no-memory]
//
// The 360 reference is fast enough to run over as many frames as the fast
// worker. Frames per second are marginal figures: a job over K + N frames minus a
// job over K frames, divided by N, so that the per-job start (opening files,
// building the plan, starting threads, padding) does not count; the job
// start is shown separately. Each figure is the best of R runs. Peak memory
// is the growth of the resident set while one job runs. Then the kernels
// alone: nanoseconds and cycles per LED of each kernel on one thread over a
// frame in memory, against its floor (the same reads of the plan and loads
// of the pixels without the arithmetic). Last, the fan view: LED updates per
// second of convert_fast_plan_leds on one thread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define BENCH_HAVE_TSC 1
#else
#define BENCH_HAVE_TSC 0
#endif

#include "convert_fast.h"
#include "convert_fast_probe.h"
#include "fan_models.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string model;
    int frames = 40;    // measured frames, fast worker
    int refFrames = 6;  // measured frames, reference worker
    int baseFrames = 2; // frames of the short job that is subtracted
    int repeat = 5;
    int kernelRepeat = 30; // runs of each chunk of lines in the kernel table
    unsigned threads = 0;  // 0: convert_fast_default_threads()
    std::string dir;
    bool memory = true;
};

struct Shape {
    const char* name;
    int width;
    int height;
};

int even(int n) { return n % 2 ? n + 1 : n; }

std::string loadAverage()
{
    char text[128] = {0};
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, f))
            text[0] = '\0';
        std::fclose(f);
    }
    std::string s(text);
    const size_t cut = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return cut == std::string::npos ? s : s.substr(0, cut);
}

// Writes `frames` frames of a smooth picture with noise (the kind of
// content a scaled video has), and audio for them.
bool writeInput(const std::string& path, const std::string& audioPath, int width, int height,
                int frames)
{
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> noise(-8, 8);
    std::vector<unsigned char> frame(size_t(width) * height * 3);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    for (int k = 0; k < frames && ok; ++k) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int v[3] = {(x * 255) / std::max(1, width - 1),
                                  (y * 255) / std::max(1, height - 1),
                                  ((x + y + 4 * k) * 127) / std::max(1, width + height)};
                for (int c = 0; c < 3; ++c)
                    frame[3 * (size_t(y) * width + x) + c] =
                        (unsigned char)std::clamp(v[c] + noise(rng), 0, 255);
            }
        ok = std::fwrite(frame.data(), 1, frame.size(), f) == frame.size();
    }
    ok = std::fclose(f) == 0 && ok;
    FILE* a = std::fopen(audioPath.c_str(), "wb");
    if (!a)
        return false;
    std::vector<unsigned char> block(FAN_AUDIO_BLOCK);
    for (int k = 0; k < frames && ok; ++k) {
        for (auto& b : block)
            b = (unsigned char)(rng() & 0xff);
        ok = std::fwrite(block.data(), 1, block.size(), a) == block.size();
    }
    return std::fclose(a) == 0 && ok;
}

enum class Worker { Reference, Fast, Reference360, Fast360 };

struct JobSpec {
    std::string frames;
    std::string audio;
    std::string out;
    int width, height;
    const fan_model* model;
};

convert_job* makeJob(const JobSpec& job_shape)
{
    auto* job = static_cast<convert_job*>(std::calloc(1, sizeof(convert_job)));
    std::snprintf(job->frames_resized_file, sizeof job->frames_resized_file, "%s",
                  job_shape.frames.c_str());
    std::snprintf(job->in_aud_path, sizeof job->in_aud_path, "%s", job_shape.audio.c_str());
    std::snprintf(job->out_path, sizeof job->out_path, "%s", job_shape.out.c_str());
    job->in_width = uint32_t(job_shape.width);
    job->in_height = uint32_t(job_shape.height);
    job->center_x = job_shape.width / 2;
    job->center_y = job_shape.height / 2;
    job->radius = job->lights = uint32_t(job_shape.model->lights);
    job->lines = uint32_t(job_shape.model->lines);
    job->colorDeep = uint32_t(job_shape.model->colorDeep);
    // The app's defaults: a brightness ramp over the inner third.
    job->gamma = 2.2;
    job->min_brightness = 0.35;
    job->change_brightness_lights = job_shape.model->lights / 3;
    return job;
}

int g_failed = 0;
double g_lastCpu = 0; // processor time of the last runJob, all threads

double processCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}
void onResult(void*, int failed, const char*, const char*) { g_failed |= failed; }

// Runs one job synchronously with the engine's log lines silenced; seconds.
// A 360 job over the same input: one item, as many columns as lines, the
// LED window centred on the frame.
convert_360_job* make360Job(const JobSpec& job_shape)
{
    auto* job = static_cast<convert_360_job*>(std::calloc(1, sizeof(convert_360_job)));
    std::snprintf(job->items[0].path, sizeof job->items[0].path, "%s", job_shape.frames.c_str());
    job->items[0].in_width = job_shape.width;
    job->items[0].in_height = job_shape.height;
    job->items[0].center_x = job_shape.width / 2;
    job->items[0].center_y = job_shape.height / 2;
    job->item_count = 1;
    job->is_360 = 1;
    std::snprintf(job->in_aud_path, sizeof job->in_aud_path, "%s", job_shape.audio.c_str());
    std::snprintf(job->out_path, sizeof job->out_path, "%s", job_shape.out.c_str());
    job->destItemWidth = job_shape.model->lines;
    job->destItemHeight = job_shape.model->lights;
    job->lights = uint32_t(job_shape.model->lights);
    job->lines = uint32_t(job_shape.model->lines);
    job->colorDeep = uint32_t(job_shape.model->colorDeep);
    job->callback = onResult;
    return job;
}

double runJob(const JobSpec& job_shape, Worker worker, unsigned threads)
{
    convert_job* job = nullptr;
    convert_360_job* wide = nullptr;
    if (worker == Worker::Reference360 || worker == Worker::Fast360) {
        wide = make360Job(job_shape);
    } else {
        job = makeJob(job_shape);
        job->callback = onResult;
    }
    std::fflush(stdout);
    const int saved = dup(1);
    FILE* sink = std::fopen("/dev/null", "w");
    if (sink)
        dup2(fileno(sink), 1);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    const convert_fast_options options {threads, CONVERT_FAST_KERNEL_AUTO};
    switch (worker) {
    case Worker::Reference:
        convert_worker(job);
        break;
    case Worker::Fast:
        convert_fast_worker_with(job, &options);
        break;
    case Worker::Reference360:
        convert_360_worker(wide);
        break;
    case Worker::Fast360:
        convert_fast_360_worker_with(wide, &options);
        break;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_lastCpu = processCpuSeconds() - cpuStart;
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, 1);
        close(saved);
    }
    if (sink)
        std::fclose(sink);
    return seconds;
}

struct Speed {
    double fps;     // by wall time
    double cpuFps;  // by processor time of all the job's threads
    double startMs; // the short job's wall time minus its frames
};

// One configuration to measure: a worker, its thread count and the file of
// extra frames it runs over.
struct Config {
    Worker worker;
    unsigned threads;
    const std::string* longFrames;
    int extra;
};

// Marginal frames per second of several configurations: (long job - short
// job) over the extra frames, each job the best of o.repeat runs, by wall
// time and by processor time. The configurations take turns run by run, so
// that a busy moment of the machine hits them alike. Processor time is
// steadier on a shared machine; for one thread it is the job's own time.
std::vector<Speed> measure(const Options& o, JobSpec job_shape, const std::string& shortFrames,
                           const std::vector<Config>& configs)
{
    const size_t n = configs.size();
    std::vector<double> wall(2 * n, 1e30), cpu(2 * n, 1e30);
    for (int r = 0; r < o.repeat; ++r) {
        for (size_t c = 0; c < n; ++c) {
            for (int i = 0; i < 2; ++i) {
                job_shape.frames = i == 0 ? shortFrames : *configs[c].longFrames;
                wall[2 * c + i] = std::min(
                    wall[2 * c + i], runJob(job_shape, configs[c].worker, configs[c].threads));
                cpu[2 * c + i] = std::min(cpu[2 * c + i], g_lastCpu);
            }
        }
    }
    std::vector<Speed> speeds;
    for (size_t c = 0; c < n; ++c) {
        const double perFrame = std::max(1e-9, (wall[2 * c + 1] - wall[2 * c]) / configs[c].extra);
        const double cpuPerFrame = std::max(1e-9, (cpu[2 * c + 1] - cpu[2 * c]) / configs[c].extra);
        speeds.push_back(Speed {1.0 / perFrame, 1.0 / cpuPerFrame,
                                std::max(0.0, (wall[2 * c] - o.baseFrames * perFrame) * 1e3)});
    }
    return speeds;
}

// Time-stamp counter ticks per nanosecond, measured against the steady
// clock over 50 ms; 0 where there is no such counter.
double tscPerNs()
{
#if BENCH_HAVE_TSC
    const auto start = Clock::now();
    const unsigned long long ticks = __rdtsc();
    while (Clock::now() - start < std::chrono::milliseconds(50)) { }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return double(__rdtsc() - ticks) / ns;
#else
    return 0;
#endif
}

// Keeps what the floor read, so that no read can be left out.
volatile uint32_t g_sink = 0;

// Nanoseconds per LED of one kernel (or its floor) on the calling thread
// over one frame in memory: for each chunk of 8 lines the fastest of
// o.kernelRepeat runs, summed over the chunks, so that the moments in which
// another program had the processor do not count. Negative when the kernel
// is not this processor's.
double kernelNsPerLed(const Options& o, const convert_fast_plan* plan,
                      const std::vector<uint8_t>& frame, convert_fast_kernel kernel, bool floor)
{
    convert_fast_probe* probe = convert_fast_probe_create(plan, kernel, floor ? 1 : 0);
    if (!probe)
        return -1;
    if (convert_fast_probe_kernel(probe) != kernel) {
        convert_fast_probe_free(probe);
        return -1;
    }
    convert_fast_probe_set_frame(probe, frame.data());
    const uint32_t lines = convert_fast_plan_lines(plan), chunk = 8;
    std::vector<double> best((lines + chunk - 1) / chunk, 1e30);
    uint32_t seen = 0;
    for (int r = 0; r < o.kernelRepeat; ++r)
        for (uint32_t c = 0; c < best.size(); ++c) {
            const auto start = Clock::now();
            seen += convert_fast_probe_run(probe, c * chunk, c * chunk + chunk);
            best[c] = std::min(
                best[c], std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        }
    convert_fast_probe_free(probe);
    g_sink = g_sink + seen;
    double total = 0;
    for (double b : best)
        total += b;
    return total / (double(lines) * convert_fast_plan_lights(plan));
}

// One row of the kernel table: each kernel and floor in ns and cycles per
// LED, and each kernel's cost over its floor.
std::string kernelRow(const Options& o, const fan_model* model, int width, int height,
                      double ticksPerNs)
{
    convert_fast_plan* plan = convert_fast_plan_create_for(
        uint32_t(width), uint32_t(height), width / 2, height / 2, uint32_t(model->lights),
        uint32_t(model->lines), uint32_t(model->colorDeep), 2.2, 0.35, model->lights / 3);
    if (!plan)
        return std::string();
    std::mt19937 rng(11);
    std::vector<uint8_t> frame(convert_fast_plan_frame_bytes(plan));
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] =
            uint8_t(std::clamp(int((i / 3) % width * 255 / width) + int(rng() % 17) - 8, 0, 255));
    std::string row;
    char cell[64];
    std::snprintf(cell, sizeof cell, "%-9s %-12s %-9s", model->name,
                  (std::to_string(model->lights) + "x" + std::to_string(model->lines) + "x" +
                   std::to_string(model->colorDeep))
                      .c_str(),
                  (std::to_string(width) + "x" + std::to_string(height)).c_str());
    row += cell;
    for (convert_fast_kernel kernel :
         {CONVERT_FAST_KERNEL_GENERIC, CONVERT_FAST_KERNEL_AVX2, CONVERT_FAST_KERNEL_AVX512}) {
        const double ns = kernelNsPerLed(o, plan, frame, kernel, false);
        const double floorNs = kernelNsPerLed(o, plan, frame, kernel, true);
        if (ns < 0 || floorNs < 0) {
            std::snprintf(cell, sizeof cell, " | %6s %6s %6s %6s %5s", "-", "-", "-", "-", "-");
        } else if (ticksPerNs > 0) {
            std::snprintf(cell, sizeof cell, " | %6.2f %6.1f %6.2f %6.1f %4.1fx", ns,
                          ns * ticksPerNs, floorNs, floorNs * ticksPerNs, ns / floorNs);
        } else {
            std::snprintf(cell, sizeof cell, " | %6.2f %6s %6.2f %6s %4.1fx", ns, "-", floorNs, "-",
                          ns / floorNs);
        }
        row += cell;
    }
    convert_fast_plan_free(plan);
    return row;
}

// Fan-view updates per second on the calling thread: the best of o.repeat
// runs of `calls` calls each, over two alternating frames.
double fanViewRate(const Options& o, const fan_model* model, int width, int height,
                   convert_fast_kernel kernel)
{
    convert_fast_plan* plan = convert_fast_plan_create_for(
        uint32_t(width), uint32_t(height), width / 2, height / 2, uint32_t(model->lights),
        uint32_t(model->lines), uint32_t(model->colorDeep), 2.2, 0.35, model->lights / 3);
    if (!plan)
        return 0;
    std::mt19937 rng(7);
    std::vector<uint8_t> frames(2 * convert_fast_plan_frame_bytes(plan));
    for (auto& b : frames)
        b = uint8_t(rng() & 0xff);
    std::vector<uint8_t> leds(convert_fast_plan_led_bytes(plan));
    const int calls = 20;
    double best = 1e30;
    for (int r = 0; r < o.repeat; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            convert_fast_plan_leds_with(
                plan, frames.data() + (i % 2) * convert_fast_plan_frame_bytes(plan), leds.data(),
                kernel);
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    convert_fast_plan_free(plan);
    return calls / std::max(best, 1e-9);
}

long residentKiB()
{
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Peak growth of the resident set in KiB while one job runs, sampled every
// 100 microseconds by a second thread (large blocks are always mapped
// afresh, see main, so that a job's buffers show up as growth).
long peakKiB(const JobSpec& job_shape, Worker worker, unsigned threads)
{
    const long before = residentKiB();
    std::atomic<bool> running {true};
    std::atomic<long> peak {before};
    std::thread sampler([&] {
        while (running.load()) {
            peak.store(std::max(peak.load(), residentKiB()));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    runJob(job_shape, worker, threads);
    running.store(false);
    sampler.join();
    return std::max(peak.load(), residentKiB()) - before;
}

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](void) -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--model" && (v = value()))
            o.model = v;
        else if (a == "--frames" && (v = value()))
            o.frames = std::max(1, std::atoi(v));
        else if (a == "--ref-frames" && (v = value()))
            o.refFrames = std::max(1, std::atoi(v));
        else if (a == "--repeat" && (v = value()))
            o.repeat = std::max(1, std::atoi(v));
        else if (a == "--kernel-repeat" && (v = value()))
            o.kernelRepeat = std::max(1, std::atoi(v));
        else if (a == "--threads" && (v = value()))
            o.threads = unsigned(std::max(1, std::atoi(v)));
        else if (a == "--dir" && (v = value()))
            o.dir = v;
        else if (a == "--no-memory")
            o.memory = false;
        else {
            std::fprintf(stderr,
                         "usage: %s [--model NAME] [--frames N] [--ref-frames N] [--repeat R] "
                         "[--kernel-repeat R] [--threads N] [--dir PATH] [--no-memory]\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o))
        return 2;
    // Every block of 64 KiB or more is mapped afresh and returned when
    // freed, so that the memory of one job shows as resident-set growth.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    if (o.dir.empty()) {
        // Where the app's intermediates live (the temporary folder), not a
        // memory file system: on some machines that copies far slower.
        const char* tmp = std::getenv("TMPDIR");
        o.dir = tmp && *tmp ? tmp : "/tmp";
    }
    const unsigned threads = o.threads ? o.threads : convert_fast_default_threads();
    const std::string base = o.dir + "/spindra-engine-bench-" + std::to_string(getpid());
    const std::string shortFrames = base + "-short.bgr", longFrames = base + "-long.bgr";
    const std::string audio = base + ".pcm", audioShort = base + "-short.pcm", out = base + ".bin";

    std::printf(
        "engine_bench: kernel %s, %u threads for \"all\", processors online %ld, load average %s\n",
        convert_fast_kernel_name(CONVERT_FAST_KERNEL_AUTO), threads, sysconf(_SC_NPROCESSORS_ONLN),
        loadAverage().c_str());
    std::printf(
        "Frames per second: marginal (a long job minus a short one), best of %d runs taken in "
        "turns,\n"
        "by wall time;\n"
        "\"cpu\" columns: the same by processor time (one thread: the job's own time, steadier "
        "while\n"
        "other programs share the processors). start: per-job cost in ms (wall). plan: MiB of the\n"
        "sampling plan. peak: resident-set growth of one job in MiB (fast: all threads).\n\n",
        o.repeat);
    std::printf(
        "%-9s %-12s %-9s | %8s %8s %8s | %7s %7s %6s | %7s %7s %7s | %6s %6s | %5s %5s %5s\n",
        "model", "N x L x D", "frame", "ref fps", "fast 1", "fast all", "1/ref", "all/ref", "all/1",
        "cpu ref", "cpu 1", "1/ref", "start1", "startA", "plan", "peak", "refpk");

    double vegaFps = 0;
    std::vector<std::string> wideRows, viewRows, kernelRows;
    const double ticksPerNs = tscPerNs();
    for (int m = 0; m < fan_model_count(); ++m) {
        const fan_model* model = fan_model_at(m);
        if (!o.model.empty() && o.model != model->name)
            continue;
        const int side = even(2 * model->lights);
        const Shape shapes[] = {{"square", side, side},
                                {"16:9", even(int(std::lround(side * 16.0 / 9.0))), side}};
        for (const Shape& shape : shapes) {
            const int longCount = o.baseFrames + std::max(o.frames, o.refFrames);
            if (!writeInput(longFrames, audio, shape.width, shape.height, longCount) ||
                !writeInput(shortFrames, audioShort, shape.width, shape.height, o.baseFrames)) {
                std::fprintf(stderr, "cannot write the input files in %s\n", o.dir.c_str());
                return 1;
            }
            // The reference measures fewer frames: a file of baseFrames +
            // refFrames frames is a prefix of the long one.
            const std::string refFrames = base + "-ref.bgr";
            {
                FILE* src = std::fopen(longFrames.c_str(), "rb");
                FILE* dst = std::fopen(refFrames.c_str(), "wb");
                std::vector<char> buf(size_t(shape.width) * shape.height * 3);
                for (int k = 0; src && dst && k < o.baseFrames + o.refFrames; ++k) {
                    if (std::fread(buf.data(), 1, buf.size(), src) != buf.size() ||
                        std::fwrite(buf.data(), 1, buf.size(), dst) != buf.size())
                        break;
                }
                if (src)
                    std::fclose(src);
                if (dst)
                    std::fclose(dst);
            }
            JobSpec job_shape {std::string(), audio, out, shape.width, shape.height, model};
            g_failed = 0;
            const std::vector<Speed> speeds =
                measure(o, job_shape, shortFrames,
                        {Config {Worker::Reference, 1, &refFrames, o.refFrames},
                         Config {Worker::Fast, 1, &longFrames, o.frames},
                         Config {Worker::Fast, threads, &longFrames, o.frames}});
            const Speed& ref = speeds[0];
            const Speed& one = speeds[1];
            const Speed& all = speeds[2];

            job_shape.frames = longFrames;
            convert_job* job = makeJob(job_shape);
            convert_fast_plan* plan = convert_fast_plan_create(job);
            const double planMiB = plan ? convert_fast_plan_bytes(plan) / 1048576.0 : 0.0;
            convert_fast_plan_free(plan);
            std::free(job);

            double peak = 0, refPeak = 0;
            if (o.memory) {
                peak = peakKiB(job_shape, Worker::Fast, threads) / 1024.0;
                refPeak = peakKiB(job_shape, Worker::Reference, 1) / 1024.0;
            }
            char geometry[32], frame[32];
            std::snprintf(geometry, sizeof geometry, "%dx%dx%d", model->lights, model->lines,
                          model->colorDeep);
            std::snprintf(frame, sizeof frame, "%dx%d", shape.width, shape.height);
            std::printf("%-9s %-12s %-9s | %8.1f %8.1f %8.1f | %6.1fx %6.1fx %5.2fx | %7.1f %7.1f "
                        "%6.1fx | %6.1f "
                        "%6.1f | %5.2f %5.1f %5.1f%s\n",
                        model->name, geometry, frame, ref.fps, one.fps, all.fps, one.fps / ref.fps,
                        all.fps / ref.fps, all.fps / one.fps, ref.cpuFps, one.cpuFps,
                        one.cpuFps / ref.cpuFps, one.startMs, all.startMs, planMiB, peak, refPeak,
                        g_failed ? "  (a job failed!)" : "");
            std::fflush(stdout);
            if (std::string(model->name) == "VEGA" && std::string(shape.name) == "square")
                vegaFps = all.fps;
            if (std::string(shape.name) == "square") {
                char viewRow[160];
                std::snprintf(
                    viewRow, sizeof viewRow, "%-9s %-12s %-9s | %8.1f %8.1f", model->name, geometry,
                    frame,
                    fanViewRate(o, model, shape.width, shape.height, CONVERT_FAST_KERNEL_AUTO),
                    fanViewRate(o, model, shape.width, shape.height, CONVERT_FAST_KERNEL_GENERIC));
                viewRows.push_back(viewRow);
                kernelRows.push_back(kernelRow(o, model, shape.width, shape.height, ticksPerNs));
                const std::vector<Speed> wide =
                    measure(o, job_shape, shortFrames,
                            {Config {Worker::Reference360, 1, &longFrames, o.frames},
                             Config {Worker::Fast360, 1, &longFrames, o.frames}});
                const Speed& ref360 = wide[0];
                const Speed& fast360 = wide[1];
                char row[256];
                std::snprintf(row, sizeof row,
                              "%-9s %-12s %-9s | %8.1f %8.1f | %6.1fx | %7.1f %7.1f %6.1fx%s",
                              model->name, geometry, frame, ref360.fps, fast360.fps,
                              fast360.fps / ref360.fps, ref360.cpuFps, fast360.cpuFps,
                              fast360.cpuFps / ref360.cpuFps, g_failed ? "  (a job failed!)" : "");
                wideRows.push_back(row);
            }
            std::remove(refFrames.c_str());
        }
    }
    std::remove(shortFrames.c_str());
    std::remove(longFrames.c_str());
    std::remove(audio.c_str());
    std::remove(audioShort.c_str());
    std::remove(out.c_str());
    if (!wideRows.empty()) {
        std::printf("\n360 jobs (one input, one column per line, window centred), one thread:\n");
        std::printf("%-9s %-12s %-9s | %8s %8s | %7s | %7s %7s %7s\n", "model", "N x L x D",
                    "frame", "ref fps", "fast", "fast/ref", "cpu ref", "cpu 1", "1/ref");
        for (const std::string& row : wideRows)
            std::printf("%s\n", row.c_str());
    }
    if (!kernelRows.empty()) {
        std::printf(
            "\nKernels on one thread, a frame in memory (no files, no pool): nanoseconds and "
            "cycles per LED,\n"
            "for each chunk of 8 lines the best of %d runs, summed. floor: the kernel's "
            "reads of the plan\n"
            "and loads of the pixels without arithmetic. cyc: time-stamp counter ticks "
            "(%.2f GHz).\n",
            o.kernelRepeat, ticksPerNs);
        std::printf("%-9s %-12s %-9s | %-34s | %-34s | %-34s\n", "", "", "", "generic", "avx2",
                    "avx512");
        std::printf("%-9s %-12s %-9s", "model", "N x L x D", "frame");
        for (int k = 0; k < 3; ++k)
            std::printf(" | %6s %6s %6s %6s %5s", "ns", "cyc", "floor", "cyc", "/flr");
        std::printf("\n");
        for (const std::string& row : kernelRows)
            std::printf("%s\n", row.c_str());
    }
    if (!viewRows.empty()) {
        std::printf("\nFan view (convert_fast_plan_leds, one thread), updates per second:\n");
        std::printf("%-9s %-12s %-9s | %8s %8s\n", "model", "N x L x D", "frame",
                    convert_fast_kernel_name(CONVERT_FAST_KERNEL_AUTO), "generic");
        for (const std::string& row : viewRows)
            std::printf("%s\n", row.c_str());
    }
    if (vegaFps > 0)
        std::printf("\nVEGA, 60 s clip (1200 frames at 20 fps): engine %.2f s with all threads\n",
                    1200.0 / vegaFps);
    std::printf("load average at the end %s\n", loadAverage().c_str());
    return 0;
}
