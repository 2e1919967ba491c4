/* The line-parallel thread pool of the fast flat worker (see
 * convert_fast_internal.h): the job thread and its helpers claim chunks of
 * a frame's lines. Threads, the lock and the clock come from platform.h. */
#include "convert_fast_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#define CHUNKS_PER_THREAD 8u /* line chunks per converting thread, for balance */

/* How long a waiting thread stays awake before it sleeps. Frames follow each
 * other within a fraction of a millisecond, and waking a sleeping thread
 * (on a virtual machine in particular, where an idle processor is halted)
 * can cost as much as converting a good part of a frame. */
#define SPIN_NS 200000u

unsigned convert_fast_default_threads(void)
{
    unsigned cores = engine_cpu_count();
    if (cores > 256u)
        cores = 256u;
    const char* cap = getenv(CONVERT_FAST_THREADS_ENV);
    if (cap && *cap) {
        char* end = NULL;
        errno = 0;
        const long n = strtol(cap, &end, 10);
        if (errno == 0 && end && *end == '\0' && n >= 1 && n < (long)cores)
            cores = (unsigned)n;
    }
    return cores;
}

static inline void cpu_relax(void)
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#endif
}

/* A new frame was posted after `seen`, or the pool stops. */
static int helper_has_news(fast_pool* pool, uint32_t seen)
{
    return (uint32_t)atomic_load_explicit(&pool->posted, memory_order_acquire) != seen ||
        atomic_load_explicit(&pool->stopping, memory_order_acquire);
}

static int frame_done(fast_pool* pool)
{
    return atomic_load_explicit(&pool->done, memory_order_acquire) >= pool->chunk_count;
}

struct fast_helper {
    fast_pool* pool;
    unsigned index;
};

/* Converts chunks of frame `generation` until none is left to claim:
 * first those of range `home`, then those of the other ranges. */
static void run_chunks(fast_pool* pool, uint32_t generation, const uint8_t* frame, uint8_t* out,
                       fast_scratch* scratch, unsigned home)
{
    const convert_fast_plan* plan = pool->plan;
    for (unsigned k = 0; k < pool->ranges; ++k) {
        fast_range* range = &pool->range[(home + k) % pool->ranges];
        uint_fast64_t w = atomic_load_explicit(&range->work, memory_order_acquire);
        for (;;) {
            if ((uint32_t)(w >> 32) != generation || (uint32_t)w >= range->end)
                break;
            if (!atomic_compare_exchange_weak_explicit(&range->work, &w, w + 1u,
                                                       memory_order_acq_rel, memory_order_acquire))
                continue;
            const uint32_t c = (uint32_t)w;
            const uint32_t first = c * pool->chunk_lines;
            uint32_t end = first + pool->chunk_lines;
            if (end > plan->lines)
                end = plan->lines;
            pool->kernel(plan, frame, first, end, out, scratch);
            if (atomic_fetch_add_explicit(&pool->done, 1u, memory_order_acq_rel) + 1u ==
                pool->chunk_count) {
                engine_lock_acquire(pool->lock);
                engine_lock_signal(pool->lock, FAST_IDLE);
                engine_lock_release(pool->lock);
            }
            w = atomic_load_explicit(&range->work, memory_order_acquire);
        }
    }
}

static void helper_main(void* arg)
{
    fast_pool* pool = ((fast_helper*)arg)->pool;
    const unsigned home = 1u + ((fast_helper*)arg)->index;
    fast_scratch* scratch = &pool->scratch[home];
    uint32_t seen = 0;
    /* Whether the frame before came within the spinning time. Frames read
     * from a file follow each other at once; a stream's come as its decoder
     * delivers them, far apart, and spinning for them would only take the
     * processor from the decoder. */
    int frames_close = 1;
    for (;;) {
        /* Stay awake a little for the next frame before going to sleep. */
        const uint64_t start = engine_monotonic_ns();
        const uint64_t until = start + SPIN_NS;
        for (unsigned i = 1; frames_close && !helper_has_news(pool, seen); ++i) {
            cpu_relax();
            if (i % 256u == 0 && engine_monotonic_ns() > until)
                break;
        }
        engine_lock_acquire(pool->lock);
        while (pool->generation == seen && !pool->quit)
            engine_lock_wait(pool->lock, FAST_WAKE);
        if (pool->quit)
            break;
        frames_close = engine_monotonic_ns() - start <= SPIN_NS;
        seen = pool->generation;
        const uint8_t* frame = pool->frame;
        uint8_t* out = pool->out;
        engine_lock_release(pool->lock);
        run_chunks(pool, seen, frame, out, scratch, home);
    }
    engine_lock_release(pool->lock);
}

void fast_pool_post(fast_pool* pool, const uint8_t* frame, uint8_t* out)
{
    engine_lock_acquire(pool->lock);
    pool->frame = frame;
    pool->out = out;
    ++pool->generation;
    atomic_store_explicit(&pool->done, 0u, memory_order_relaxed);
    for (unsigned r = 0; r < pool->ranges; ++r) {
        const uint32_t start = r == 0 ? 0u : pool->range[r - 1u].end;
        atomic_store_explicit(&pool->range[r].work, (uint_fast64_t)pool->generation << 32 | start,
                              memory_order_release);
    }
    atomic_store_explicit(&pool->posted, pool->generation, memory_order_release);
    if (pool->helpers > 0)
        engine_lock_broadcast(pool->lock, FAST_WAKE);
    engine_lock_release(pool->lock);
    pool->pending = 1;
}

void fast_pool_finish(fast_pool* pool)
{
    if (!pool->pending)
        return;
    /* Only the job thread changes these, so it may read them unlocked. */
    run_chunks(pool, pool->generation, pool->frame, pool->out, &pool->scratch[0], 0u);
    if (!frame_done(pool)) {
        /* The helpers are finishing their last chunks: wait awake first. */
        const uint64_t until = engine_monotonic_ns() + SPIN_NS;
        for (unsigned i = 1; !frame_done(pool); ++i) {
            cpu_relax();
            if (i % 256u == 0 && engine_monotonic_ns() > until)
                break;
        }
    }
    if (!frame_done(pool)) {
        engine_lock_acquire(pool->lock);
        while (!frame_done(pool))
            engine_lock_wait(pool->lock, FAST_IDLE);
        engine_lock_release(pool->lock);
    }
    pool->pending = 0;
}

void fast_pool_stop(fast_pool* pool)
{
    if (pool->helpers == 0)
        return;
    engine_lock_acquire(pool->lock);
    pool->quit = 1;
    atomic_store_explicit(&pool->stopping, 1, memory_order_release);
    engine_lock_broadcast(pool->lock, FAST_WAKE);
    engine_lock_release(pool->lock);
    for (unsigned h = 0; h < pool->helpers; ++h)
        engine_thread_join(pool->threads[h]);
    pool->helpers = 0;
}

int fast_pool_init(fast_pool* pool, const convert_fast_plan* plan, fast_lines_fn kernel,
                   fast_scratch* scratch, unsigned threads)
{
    memset(pool, 0, sizeof *pool);
    pool->plan = plan;
    pool->kernel = kernel;
    pool->scratch = scratch;
    atomic_init(&pool->posted, 0u);
    atomic_init(&pool->done, 0u);
    atomic_init(&pool->stopping, 0);
    uint32_t chunks = threads > 1u ? threads * CHUNKS_PER_THREAD : 1u;
    if (chunks > plan->lines)
        chunks = plan->lines;
    pool->chunk_lines = (plan->lines + chunks - 1u) / chunks;
    pool->chunk_count = (plan->lines + pool->chunk_lines - 1u) / pool->chunk_lines;
    pool->threads = calloc(threads, sizeof *pool->threads);
    pool->helper_args = calloc(threads, sizeof *pool->helper_args);
    pool->range = aligned_alloc(_Alignof(fast_range), threads * sizeof(fast_range));
    if (!pool->threads || !pool->helper_args || !pool->range)
        return -1;
    pool->ranges = threads;
    for (unsigned r = 0; r < threads; ++r) {
        atomic_init(&pool->range[r].work, 0u);
        pool->range[r].end = (uint32_t)((uint64_t)(r + 1u) * pool->chunk_count / threads);
    }
    pool->lock = engine_lock_create(2);
    if (!pool->lock)
        return -1;
    /* A helper that cannot be started only costs speed. */
    for (unsigned h = 0; h + 1u < threads; ++h) {
        pool->helper_args[h].pool = pool;
        pool->helper_args[h].index = h;
        pool->threads[h] = engine_thread_create(helper_main, &pool->helper_args[h]);
        if (!pool->threads[h])
            break;
        pool->helpers = h + 1u;
    }
    return 0;
}

void fast_pool_free(fast_pool* pool)
{
    fast_pool_stop(pool);
    engine_lock_free(pool->lock);
    free(pool->threads);
    free(pool->helper_args);
    free(pool->range);
    memset(pool, 0, sizeof *pool);
}

size_t fast_pool_bytes(unsigned threads)
{
    return threads * (sizeof(engine_thread*) + sizeof(fast_helper) + sizeof(fast_range));
}
