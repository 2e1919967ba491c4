/* The fast workers (see convert_fast.h): the flat one converts frame n + 1
 * on the pool's threads while it writes frame n; the 360 one runs the
 * reference's body with the fast bit-plane packing. */
#if !defined(_DEFAULT_SOURCE) /* fwrite_unlocked (glibc) */
#define _DEFAULT_SOURCE 1
#endif

#include "convert_fast_internal.h"

#include <stdlib.h>
#include <string.h>

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

int convert_fast_worker(convert_job* job) { return convert_fast_worker_with(job, NULL); }

int convert_fast_worker_with(convert_job* job, const convert_fast_options* options)
{
    /* A job cancelled before it starts needs no plan; the reference worker
     * reports it. */
    if (convert_cancel_requested(job->cancel))
        return convert_worker(job);
    fast_state st;
    if (state_init(&st, job, options) != 0) {
        state_free(&st);
        return convert_worker(job);
    }
    const convert_fast_plan* plan = st.plan;
    fast_pool* pool = &st.pool;

    int failed = 1;
    int name_failed = 0;
    FILE* in = NULL;
    FILE* aud = NULL;
    FILE* out = NULL;

    LOG(">> start");

    const uint32_t frame_size = plan->frame_size;
    const size_t plane_bytes = plan->pack.plane_bytes;

    in = convert_open_input(job->frames_resized_file, "1", &name_failed);
    if (!in || convert_open_audio(job->in_aud_path, "2", &aud) != 0 ||
        convert_open_output(job->out_path, "3", &out) != 0)
        goto done;

    uint64_t n = 0;
    unsigned cur = 0;
    size_t got = engine_seek(in, 0, SEEK_SET) == 0 ? fread(st.frame[0], 1, frame_size, in) : 0;
    /* Set when the next frame is not to be started: the job is cancelled. */
    int stop = got == frame_size && convert_stop_before_frame(job->cancel, 0);
    if (got == frame_size && !stop)
        fast_pool_post(pool, st.frame[0], st.out[0]);
    while (got == frame_size && !stop) {
        /* Frame n converts while the next one is read. */
        got = engine_seek(in, (int64_t)((n + 1u) * frame_size), SEEK_SET) == 0
            ? fread(st.frame[cur ^ 1u], 1, frame_size, in)
            : 0;

        convert_read_audio(aud, job->in_aud_path, n, st.audio);

        fast_pool_finish(pool);
        /* Frame n + 1 converts while frame n is written. */
        if (got == frame_size) {
            stop = convert_stop_before_frame(job->cancel, n + 1u);
            if (!stop)
                fast_pool_post(pool, st.frame[cur ^ 1u], st.out[cur ^ 1u]);
        }

        /* The frame's planes in one write. Should it fall short (a full
         * disk), the message names the plane it stopped in, as a write plane
         * by plane would. */
        const size_t written = FAST_FWRITE(st.out[cur], 1, plan->frame_out_bytes, out);
        if (written != plan->frame_out_bytes) {
            LOG("write to %s failed should write:%u actually written:%lu -> video", job->out_path,
                (unsigned)plane_bytes, (unsigned long)(written % plane_bytes));
            goto done;
        }

        if (convert_write_audio(out, job->out_path, st.audio) != 0)
            goto done;

        ++n;
        cur ^= 1u;
    }
    if (stop) {
        failed = CONVERT_CANCELLED;
        goto done;
    }

    failed = convert_end_of_input(job->frames_resized_file, frame_size, n);

done:
    /* A frame still converting must finish before its buffers go. */
    fast_pool_finish(pool);
    fast_pool_stop(pool);
    if (in)
        fclose(in);
    convert_report(aud, out, job->out_path, failed, job->callback, job->ctx);
    state_free(&st);
    free(job);
    LOG(">> finish");
    return 0;
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
