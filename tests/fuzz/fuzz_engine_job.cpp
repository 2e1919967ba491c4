// The engine entry with its job description: any text goes through
// convert_parse_job and, when accepted, the job runs synchronously on this
// thread. The paths of the text are never used as given: every non-empty
// path is pointed at tiny files in a private scratch folder (a path whose
// text starts with "m" at a file that does not exist, an output path that
// starts with "d" at a folder), and geometries that would take more than a
// few milliseconds are skipped. Checks on every run:
//   - parse codes are 0, 2 or 3 for non-null text; a refused text calls back
//     never, an accepted job exactly once with "ok"/"failed" and its out_path;
//   - a successful job leaves a fan file the reader accepts, holding exactly
//     the frames the input had; a failed one leaves no file or a padded one;
//   - with the fast flat worker built in, it writes the same bytes and
//     reports the same outcome as the reference worker.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert_internal.h"
#include "fan_file.h"
#include "fuzz_support.h"
#ifdef SPINDRA_HAVE_FAST_WORKER
#include "convert_fast.h"
#endif

namespace {

// 16 x 12 frames, three whole ones and a partial fourth.
const uint32_t kFrameBytes = 16 * 12 * 3;
const size_t kFramesSize = 3 * kFrameBytes + 100;
const size_t kAudioSize = 2 * 1600 + 123;
// Most sample evaluations (frames x lines x LEDs x planes) one run may take.
const uint64_t kWorkLimit = 1u << 18;

struct Outcome {
    int calls = 0;
    int failed = -1;
    std::string path;
    std::string message;
};

void onResult(void* ctx, int failed, const char* outPath, const char* message)
{
    auto* o = static_cast<Outcome*>(ctx);
    ++o->calls;
    o->failed = failed;
    o->path = outPath ? outPath : "(null)";
    o->message = message ? message : "(null)";
}

std::string scratch(const char* name) { return fuzz::scratchDir() + "/" + name; }

// Points a non-empty path field at a scratch file.
void redirect(char* field, const char* existing, const char* missing)
{
    if (field[0] == '\0')
        return;
    const std::string target = scratch(field[0] == 'm' ? missing : existing);
    std::snprintf(field, CONVERT_PATH_SIZE, "%s", target.c_str());
}

void redirectOut(char* field, const char* name)
{
    if (field[0] == '\0')
        return;
    const std::string target = field[0] == 'd' ? fuzz::scratchDir() : scratch(name);
    std::snprintf(field, CONVERT_PATH_SIZE, "%s", target.c_str());
}

bool fileExists(const std::string& path, std::vector<uint8_t>* bytes = nullptr)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (bytes) {
        std::ifstream in(path, std::ios::binary);
        bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return true;
}

uint64_t framesIn(uint64_t frameSize, size_t fileSize)
{
    return frameSize ? fileSize / frameSize : 0;
}

// Runs at all, and cheaply enough? Jobs the worker rejects at once always run.
bool flatAffordable(const convert_job* j)
{
    const bool valid = j->lines && j->lines <= INT32_MAX && j->lights && j->lights <= INT32_MAX &&
        j->in_width && j->in_width <= INT32_MAX && j->in_height && j->in_height <= INT32_MAX &&
        j->radius && j->colorDeep >= 1 && j->colorDeep <= 8 && j->frames_resized_file[0] &&
        j->out_path[0];
    if (!valid)
        return true;
    const uint64_t frameSize = uint64_t(j->in_width) * j->in_height * 3u;
    if (frameSize > (1u << 22) || j->lines > 4096 || j->lights > 4096)
        return false;
    const uint64_t frames = std::max<uint64_t>(1, framesIn(frameSize, kFramesSize));
    return frames * j->lines * j->lights * j->colorDeep <= kWorkLimit;
}

bool wideAffordable(const convert_360_job* j)
{
    if (j->item_count == 0 || j->lines == 0 || j->lines > INT32_MAX || j->lights == 0 ||
        j->lights > INT32_MAX || j->colorDeep < 1 || j->colorDeep > 8 || j->destItemWidth < 1 ||
        !j->out_path[0])
        return true;
    if (j->lines > 4096 || j->lights > 4096)
        return false;
    uint64_t frames = 1;
    for (uint32_t i = 0; i < j->item_count && i < CONVERT_360_MAX_ITEMS; ++i) {
        const convert_360_item& it = j->items[i];
        if (it.in_width <= 0 || it.in_height <= 0)
            continue;
        const uint64_t frameSize = uint64_t(it.in_width) * uint64_t(it.in_height) * 3u;
        if (frameSize > (1u << 22))
            return false;
        frames = std::max(frames, framesIn(frameSize, kFramesSize));
    }
    return frames * j->lines * j->lights * j->colorDeep <= kWorkLimit;
}

// The report and the file a finished job left behind.
void checkOutcome(const Outcome& o, const std::string& outPath, uint32_t lines, uint32_t lights,
                  uint32_t deep, uint64_t expectedFrames)
{
    FUZZ_CHECK(o.calls == 1, "the callback ran %d times", o.calls);
    FUZZ_CHECK(o.failed == 0 || o.failed == 1, "failed flag %d", o.failed);
    FUZZ_CHECK(o.message == (o.failed ? "failed" : "ok"), "message \"%s\" with failed=%d",
               o.message.c_str(), o.failed);
    FUZZ_CHECK(o.path == outPath, "reported path \"%s\", job path \"%s\"", o.path.c_str(),
               outPath.c_str());

    struct stat st;
    const bool exists = stat(outPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (o.failed) {
        // A job that failed after writing its header still pads the file.
        if (exists)
            FUZZ_CHECK(st.st_size % FAN_PAD_GRANULE == 0, "failed job left %lld bytes",
                       (long long)st.st_size);
        return;
    }
    FUZZ_CHECK(exists, "success without an output file");
    fan_file f;
    const int rc = fan_file_open(&f, outPath.c_str(), lines, lights, deep);
    FUZZ_CHECK(rc == FAN_FILE_OK, "the reader refuses the output: %s", fan_file_status_text(rc));
    FUZZ_CHECK(f.frame_count >= 1, "success with no frame");
    if (expectedFrames) {
        FUZZ_CHECK(f.frame_count_min <= expectedFrames && expectedFrames <= f.frame_count,
                   "%llu frames in, reader sees %llu..%llu", (unsigned long long)expectedFrames,
                   (unsigned long long)f.frame_count_min, (unsigned long long)f.frame_count);
        FUZZ_CHECK(fan_file_padded_size(&f.layout, expectedFrames) == f.size,
                   "size %llu for %llu frames", (unsigned long long)f.size,
                   (unsigned long long)expectedFrames);
    }
    fan_file_close(&f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietStdout();
    std::vector<uint8_t> frames(kFramesSize);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = uint8_t(i * 37u + (i / kFrameBytes) * 101u);
    fuzz::writeFile(scratch("frames.bgr"), frames.data(), frames.size());
    std::vector<uint8_t> audio(kAudioSize);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = uint8_t(128 + (i % 64));
    fuzz::writeFile(scratch("audio.pcm"), audio.data(), audio.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Outcome outcome;
    convert_parsed_job job;
    const int32_t rc = convert_parse_job(text.c_str(), onResult, &outcome, &job);
    if (rc != 0) {
        FUZZ_CHECK(rc == 2 || rc == 3, "parse code %d", rc);
        FUZZ_CHECK(!job.flat && !job.wide, "a refused job left a record");
        FUZZ_CHECK(outcome.calls == 0, "a refused job called back");
        return 0;
    }
    FUZZ_CHECK((job.is_360 == 1) == (job.wide != nullptr) &&
                   (job.wide != nullptr) != (job.flat != nullptr),
               "parsed job holds no record or both");

    if (job.is_360) {
        convert_360_job* w = job.wide;
        FUZZ_CHECK(w->item_count <= CONVERT_360_MAX_ITEMS, "%u items", w->item_count);
        for (uint32_t i = 0; i < w->item_count; ++i)
            redirect(w->items[i].path, "frames.bgr", "missing.bgr");
        redirect(w->in_aud_path, "audio.pcm", "missing.pcm");
        redirectOut(w->out_path, "out360.bin");
        if (!wideAffordable(w)) {
            free(w);
            return 0;
        }
        uint64_t frames = 0;
        for (uint32_t i = 0; i < w->item_count; ++i) {
            const convert_360_item& it = w->items[i];
            if (it.in_width > 0 && it.in_height > 0)
                frames = std::max(
                    frames,
                    framesIn(uint64_t(it.in_width) * uint64_t(it.in_height) * 3u, kFramesSize));
        }
        const std::string out = w->out_path;
        const uint32_t lines = w->lines, lights = w->lights, deep = w->colorDeep;
        unlink(out.c_str());
        convert_run_job(&job);
        checkOutcome(outcome, out, lines, lights, deep, frames);
        return 0;
    }

    convert_job* flat = job.flat;
    redirect(flat->frames_resized_file, "frames.bgr", "missing.bgr");
    redirect(flat->in_aud_path, "audio.pcm", "missing.pcm");
    redirectOut(flat->out_path, "out.bin");
    if (!flatAffordable(flat)) {
        free(flat);
        return 0;
    }
    const std::string out = flat->out_path;
    const uint32_t lines = flat->lines, lights = flat->lights, deep = flat->colorDeep;
    const uint64_t frames = framesIn(uint64_t(flat->in_width) * flat->in_height * 3u, kFramesSize);

#ifdef SPINDRA_HAVE_FAST_WORKER
    // The fast worker gets its own copy and output path; the outcome and the
    // bytes must equal the reference's.
    auto* copy = static_cast<convert_job*>(malloc(sizeof *flat));
    FUZZ_CHECK(copy != nullptr, "no memory");
    std::memcpy(copy, flat, sizeof *flat);
    Outcome fastOutcome;
    copy->ctx = &fastOutcome;
    std::string fastOut = out;
    if (copy->out_path[0] && out != fuzz::scratchDir()) {
        fastOut = scratch("out-fast.bin");
        std::snprintf(copy->out_path, CONVERT_PATH_SIZE, "%s", fastOut.c_str());
    }
    unlink(fastOut.c_str());
    convert_fast_options options;
    options.threads = 1 + (size % 3);
    options.kernel = (size & 4) ? CONVERT_FAST_KERNEL_GENERIC : CONVERT_FAST_KERNEL_AUTO;
    convert_fast_worker_with(copy, &options);
    checkOutcome(fastOutcome, fastOut, lines, lights, deep, frames);
#endif

    unlink(out.c_str());
    convert_worker(flat);
    checkOutcome(outcome, out, lines, lights, deep, frames);

#ifdef SPINDRA_HAVE_FAST_WORKER
    FUZZ_CHECK(fastOutcome.failed == outcome.failed, "fast worker failed=%d, reference failed=%d",
               fastOutcome.failed, outcome.failed);
    std::vector<uint8_t> ref, fast;
    const bool haveRef = fileExists(out, &ref);
    const bool haveFast = fileExists(fastOut, &fast);
    FUZZ_CHECK(haveRef == haveFast, "only one worker left a file");
    FUZZ_CHECK(ref == fast, "the fast worker wrote other bytes (%zu vs %zu)", fast.size(),
               ref.size());
#endif
    return 0;
}
