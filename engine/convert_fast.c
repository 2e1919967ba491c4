/* The fast workers (see convert_fast.h) and the streaming entry
 * (convert_stream.h): a flat job converts frame n + 1 on the pool's threads
 * while it writes frame n, whether its frames come from a file (the flat
 * worker) or from memory (a stream); the 360 worker runs the reference's body
 * with the fast bit-plane packing. */
#if !defined(_DEFAULT_SOURCE) /* fwrite_unlocked (glibc) */
#define _DEFAULT_SOURCE 1
#endif

#include "convert_fast_internal.h"

#include <stdlib.h>
#include <string.h>

#include "convert_stream.h"
#include "fan_audio.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

/* fwrite without the stream lock: the output belongs to the job thread. */
#if defined(__GLIBC__)
#define FAST_FWRITE fwrite_unlocked
#else
#define FAST_FWRITE fwrite
#endif

/* Everything a job holds, allocated before it starts so that a shortage
 * hands the job to the reference worker instead of failing differently. */
typedef struct fast_state {
    convert_fast_plan* plan;
    uint8_t* frame[2];
    uint8_t* out[2];
    uint8_t* audio;
    uint8_t* scratch_block;
    fast_scratch* scratch;
    fast_pool pool;
} fast_state;

static void state_free(fast_state* st)
{
    fast_pool_free(&st->pool);
    convert_fast_plan_free(st->plan);
    free(st->frame[0]);
    free(st->frame[1]);
    free(st->out[0]);
    free(st->out[1]);
    free(st->audio);
    free(st->scratch_block);
    free(st->scratch);
    memset(st, 0, sizeof *st);
}

static int state_init(fast_state* st, const convert_job* job, const convert_fast_options* options)
{
    memset(st, 0, sizeof *st);
    st->plan = convert_fast_plan_create(job);
    if (!st->plan)
        return -1;
    const convert_fast_plan* plan = st->plan;

    unsigned threads =
        options && options->threads ? options->threads : convert_fast_default_threads();
    if (threads > plan->lines)
        threads = plan->lines;
    if (threads > 256u)
        threads = 256u;
    if (threads < 1u)
        threads = 1u;

    for (int i = 0; i < 2; ++i) {
        st->frame[i] = calloc(1, plan->frame_alloc);
        st->out[i] = malloc(plan->frame_out_bytes ? plan->frame_out_bytes : 1u);
        if (!st->frame[i] || !st->out[i])
            return -1;
    }
    st->audio = malloc(FAN_AUDIO_BLOCK);
    const size_t per_thread = fast_scratch_bytes(plan);
    st->scratch_block = calloc(threads + 1u, per_thread);
    st->scratch = calloc(threads, sizeof *st->scratch);
    if (!st->audio || !st->scratch_block || !st->scratch)
        return -1;
    for (unsigned i = 0; i < threads; ++i) {
        /* From the first 128-byte boundary of the block on. */
        uint8_t* base = st->scratch_block + (-(uintptr_t)st->scratch_block & (SCRATCH_ALIGN - 1u));
        st->scratch[i].values = base + (size_t)i * per_thread;
        st->scratch[i].planes = st->scratch[i].values + plan->values_alloc;
    }
    const fast_kernel* kernel =
        fast_kernel_for(options ? options->kernel : CONVERT_FAST_KERNEL_AUTO);
    return fast_pool_init(&st->pool, plan, kernel->lines, st->scratch, threads);
}

size_t convert_fast_job_bytes(const convert_fast_plan* plan, unsigned threads)
{
    if (!plan)
        return 0;
    if (threads == 0)
        threads = 1;
    return convert_fast_plan_bytes(plan) + 2u * plan->frame_alloc + 2u * plan->frame_out_bytes +
        (threads + 1u) * fast_scratch_bytes(plan) + threads * sizeof(fast_scratch) +
        fast_pool_bytes(threads) + FAN_AUDIO_BLOCK;
}

/* ------------------------------------------------------------ stream -- */

/* One flat job of the fast path, whatever its frames come from: the file
 * worker below reads them from the job's frame file, convert_stream_open's
 * caller from a decoder. The caller fills frame[fill] while the pool converts
 * the frame before it (frame[fill ^ 1] into out[fill ^ 1]); handing a frame
 * in finishes that one, starts the new one and writes the finished one. */
struct convert_stream {
    convert_job* job; /* owned: geometry, paths, cancel flag, callback */
    fast_state st;
    convert_output out;
    FILE* aud;                           /* sound read as the frames are written */
    char sound_after[CONVERT_PATH_SIZE]; /* sound written into the records at the end */
    uint64_t frames;                     /* handed in */
    unsigned fill;                       /* the frame buffer the caller fills */
    int pending;                         /* frame `frames - 1` is converting, not yet written */
    int failed;                          /* 0; 1 once a write failed; CONVERT_CANCELLED */
};

/* The stream of a job the fast path handles; NULL (the job not consumed)
 * when it does not or memory is short. */
static convert_stream* stream_create(convert_job* job, const convert_fast_options* options)
{
    convert_stream* s = calloc(1, sizeof *s);
    if (!s)
        return NULL;
    if (state_init(&s->st, job, options) != 0) {
        state_free(&s->st);
        free(s);
        return NULL;
    }
    s->job = job;
    return s;
}

/* Opens the sound and the output (tags name them in the log lines of a name
 * that cannot be converted); frames: the job's frame file, if any, which the
 * output must not be. */
static int stream_open_files(convert_stream* s, FILE* frames, const char* sound_tag,
                             const char* out_tag)
{
    if (convert_open_audio(s->job->in_aud_path, sound_tag, &s->aud) != 0 ||
        convert_check_output_apart(s->job->out_path, frames, s->aud) != 0 ||
        convert_open_output(s->job->out_path, out_tag, &s->out) != 0) {
        s->failed = 1;
        return -1;
    }
    return 0;
}

/* Writes the frame that finished converting into out[index]: its planes in
 * one write (should it fall short, on a full disk, the message names the
 * plane it stopped in, as a write plane by plane would) and its sound. */
static int stream_write(convert_stream* s, unsigned index, uint64_t frame)
{
    const convert_fast_plan* plan = s->st.plan;
    const convert_job* job = s->job;
    const size_t plane_bytes = plan->pack.plane_bytes;
    convert_read_audio(s->aud, job->in_aud_path, frame, s->st.audio);
    const size_t written = FAST_FWRITE(s->st.out[index], 1, plan->frame_out_bytes, s->out.file);
    if (written != plan->frame_out_bytes) {
        convert_set_write_reason(job->out_path);
        LOG("write to %s failed should write:%u actually written:%lu -> video", job->out_path,
            (unsigned)plane_bytes, (unsigned long)(written % plane_bytes));
        return -1;
    }
    return convert_write_audio(s->out.file, job->out_path, s->st.audio);
}

int convert_stream_push(convert_stream* s)
{
    if (s->failed)
        return -1;
    fast_pool* pool = &s->st.pool;
    const unsigned prev = s->fill ^ 1u;
    if (s->pending)
        fast_pool_finish(pool);
    const int stop = convert_stop_before_frame(s->job->cancel, s->frames);
    if (!stop)
        fast_pool_post(pool, s->st.frame[s->fill], s->st.out[s->fill]);
    /* The frame before converted while the caller filled this one; it is
     * written while this one converts. */
    if (s->pending && stream_write(s, prev, s->frames - 1u) != 0)
        s->failed = 1;
    s->pending = !stop;
    if (stop) {
        s->failed = s->failed ? s->failed : CONVERT_CANCELLED;
        return -1;
    }
    ++s->frames;
    s->fill = prev;
    return s->failed ? -1 : 0;
}

/* Finishes and writes the frame still converting, if any. */
static void stream_drain(convert_stream* s)
{
    if (!s->pending)
        return;
    fast_pool_finish(&s->st.pool);
    s->pending = 0;
    if (!s->failed && stream_write(s, s->fill ^ 1u, s->frames - 1u) != 0)
        s->failed = 1;
}

/* Writes block k of the sound given afterwards into every record k. */
static int stream_write_sound_after(convert_stream* s)
{
    if (s->sound_after[0] == '\0' || s->frames == 0)
        return 0;
    int name_failed = 0;
    FILE* sound = convert_open_input(s->sound_after, "4", &name_failed);
    if (!sound)
        return -1;
    const convert_fast_plan* plan = s->st.plan;
    const uint64_t record = (uint64_t)plan->frame_out_bytes + FAN_AUDIO_BLOCK;
    int rc = 0;
    for (uint64_t k = 0; k < s->frames; ++k) {
        /* The records were written silent: where the file ends, they stay. */
        if (fan_audio_block(sound, k, s->st.audio) == 0)
            break;
        const uint64_t at = FAN_HEADER_SIZE + k * record + plan->frame_out_bytes;
        if (engine_write_at(s->out.file, (int64_t)at, s->st.audio, FAN_AUDIO_BLOCK) != 0) {
            convert_set_write_reason(s->job->out_path);
            LOG("write to %s failed should write:%u actually written:%lu -> audio",
                s->job->out_path, FAN_AUDIO_BLOCK, 0ul);
            rc = -1;
            break;
        }
    }
    fclose(sound);
    return rc;
}

/* Ends the job with `failed` (the file worker's verdict on its input, 0
 * for a stream) unless the stream failed already: the sound given
 * afterwards, the file completed or discarded, the callback. Frees the
 * stream and the job; returns the final failed flag. */
static int stream_end(convert_stream* s, int failed)
{
    stream_drain(s);
    if (s->failed)
        failed = s->failed;
    if (failed == 0 && stream_write_sound_after(s) != 0)
        failed = 1;
    /* A frame still converting must finish before its buffers go. */
    fast_pool_finish(&s->st.pool);
    fast_pool_stop(&s->st.pool);
    convert_job* job = s->job;
    failed = convert_report(s->aud, &s->out, job->out_path, failed, job->callback, job->ctx);
    state_free(&s->st);
    free(s);
    free(job);
    LOG(">> finish");
    return failed;
}

int convert_fast_worker(convert_job* job) { return convert_fast_worker_with(job, NULL); }

int convert_fast_worker_with(convert_job* job, const convert_fast_options* options)
{
    convert_clear_reason();
    /* A job cancelled before it starts needs no plan; the reference worker
     * reports it. */
    if (convert_cancel_requested(job->cancel))
        return convert_worker(job);
    convert_stream* s = stream_create(job, options);
    if (!s)
        return convert_worker(job);

    LOG(">> start");
    const uint32_t frame_size = s->st.plan->frame_size;
    FILE* in = convert_open_frames(job->frames_resized_file, "1", frame_size);
    if (!in || stream_open_files(s, in, "2", "3") != 0) {
        if (in)
            fclose(in);
        stream_end(s, 1);
        return 0;
    }

    size_t got = 0;
    do {
        got = engine_seek(in, (int64_t)(s->frames * frame_size), SEEK_SET) == 0
            ? fread(convert_stream_frame(s), 1, frame_size, in)
            : 0;
    } while (got == frame_size && convert_stream_push(s) == 0);
    fclose(in);
    int failed = 0;
    if (got != frame_size) {
        /* The end of the input: the last frame is written before that is
         * said, as the reference does. */
        stream_drain(s);
        if (!s->failed)
            failed = convert_end_of_input(job->frames_resized_file, frame_size, s->frames);
    }
    stream_end(s, failed);
    return 0;
}

convert_stream* convert_stream_open(const convert_stream_spec* spec)
{
    convert_clear_reason();
    if (!spec || !spec->out_path || spec->out_path[0] == '\0') {
        LOG("input or output path is invalid input:%s output:%s", "",
            spec && spec->out_path ? spec->out_path : "");
        convert_set_reason("no output path");
        return NULL;
    }
    convert_job* job = calloc(1, sizeof *job);
    if (!job) {
        LOG("malloc job failed");
        convert_set_reason("out of memory");
        return NULL;
    }
    snprintf(job->out_path, sizeof job->out_path, "%s", spec->out_path);
    /* A streamed job's frames have no file; the name only stands in the
     * record (a job without one is not a valid flat job). */
    snprintf(job->frames_resized_file, sizeof job->frames_resized_file, "(frames in memory)");
    snprintf(job->in_aud_path, sizeof job->in_aud_path, "%s",
             spec->sound_path ? spec->sound_path : "");
    job->in_width = spec->in_width;
    job->in_height = spec->in_height;
    job->center_x = spec->center_x;
    job->center_y = spec->center_y;
    job->radius = spec->radius;
    job->lights = spec->lights;
    job->lines = spec->lines;
    job->colorDeep = spec->colorDeep;
    job->gamma = spec->gamma;
    job->min_brightness = spec->min_brightness;
    job->change_brightness_lights = spec->change_brightness_lights;
    job->cancel = spec->cancel;

    LOG(">> start");
    uint32_t frame_size = 0;
    if (convert_check_flat_job(job, &frame_size) != 0) {
        free(job);
        return NULL;
    }
    const convert_fast_options options = {spec->threads, CONVERT_FAST_KERNEL_AUTO};
    convert_stream* s = stream_create(job, &options);
    if (!s) {
        /* The numbers are valid: the frame is wider or taller than the
         * engine addresses exactly, or memory is short. */
        LOG("stream: cannot prepare a job for %ux%u frames", job->in_width, job->in_height);
        convert_set_reason("cannot convert frames of %ux%u pixels", job->in_width, job->in_height);
        free(job);
        return NULL;
    }
    /* A cancel that comes while the last frames, the sound and the padding
     * are written still leaves nothing behind. */
    s->out.cancel = spec->cancel;
    s->out.reserved = spec->out_reserved;
    if (stream_open_files(s, NULL, "2", "3") != 0) {
        stream_end(s, 1);
        return NULL;
    }
    return s;
}

size_t convert_stream_frame_size(const convert_stream* s) { return s->st.plan->frame_size; }

uint8_t* convert_stream_frame(convert_stream* s) { return s->st.frame[s->fill]; }

uint64_t convert_stream_frames(const convert_stream* s) { return s->frames; }

int convert_stream_sound_after(convert_stream* s, const char* sound_path)
{
    const int n =
        snprintf(s->sound_after, sizeof s->sound_after, "%s", sound_path ? sound_path : "");
    if (n < 0 || (size_t)n >= sizeof s->sound_after) {
        s->sound_after[0] = '\0';
        return -1;
    }
    return 0;
}

int convert_stream_finish(convert_stream* s)
{
    stream_drain(s);
    int failed = 0;
    if (!s->failed && s->frames == 0) {
        LOG("convert failed, not have one frame success");
        convert_set_reason("no whole frame to convert");
        failed = 1;
    }
    return stream_end(s, failed);
}

void convert_stream_discard(convert_stream* s)
{
    if (!s->failed)
        s->failed = 1;
    stream_end(s, 1);
}

int convert_fast_360_worker(convert_360_job* job)
{
    return convert_fast_360_worker_with(job, NULL);
}

/* Packs eight values at a time from a padded value array (P zero bytes, then
 * the line) instead of bit by bit. */
typedef struct fast_360_packer {
    fast_pack_fn pack_line;
    fast_packing pack;
    uint8_t* values;
    uint8_t* planes;
    uint8_t* record;
} fast_360_packer;

/* The line is filled in place inside the padded value array. */
_Static_assert(sizeof(convert_bgr) == 3, "convert_bgr must be three packed bytes");

static convert_bgr* fast_360_init(void* self, uint32_t lights, uint32_t depth, const char** what)
{
    fast_360_packer* p = self;
    fast_packing_init(&p->pack, lights, depth);
    p->values = calloc(1, fast_values_bytes(&p->pack, 3u * (size_t)lights));
    if (!p->values) {
        *what = "lineData";
        return NULL;
    }
    p->planes = malloc((size_t)p->pack.depth * p->pack.planes_stride);
    p->record = malloc(p->pack.line_bytes);
    if (!p->planes || !p->record) {
        *what = "planeData";
        return NULL;
    }
    return (convert_bgr*)(void*)(p->values + p->pack.pad_bits);
}

static const uint8_t* fast_360_pack(void* self)
{
    fast_360_packer* p = self;
    p->pack_line(&p->pack, p->values, p->planes, p->record);
    return p->record;
}

static void fast_360_release(void* self)
{
    fast_360_packer* p = self;
    free(p->values);
    free(p->planes);
    free(p->record);
}

int convert_fast_360_worker_with(convert_360_job* job, const convert_fast_options* options)
{
    fast_360_packer state;
    memset(&state, 0, sizeof state);
    state.pack_line =
        fast_kernel_for(options ? options->kernel : CONVERT_FAST_KERNEL_AUTO)->pack_line;
    const convert_360_packer packer = {fast_360_init, fast_360_pack, fast_360_release, &state};
    return convert_360_run(job, &packer);
}
