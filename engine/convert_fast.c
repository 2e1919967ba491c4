/* The fast flat worker (see convert_fast.h). Every floating-point step below
 * repeats the reference's (convert_worker.c, sample_bilinear) in the same
 * precision and order; the engine is compiled without FMA contraction, and
 * the AVX2 kernel uses separate multiplies and adds only.
 *
 * Threads are POSIX threads (create, join, one mutex, two condition
 * variables); a port to another platform maps those calls. */
#if !defined(_DEFAULT_SOURCE) /* fwrite_unlocked (glibc) */
#define _DEFAULT_SOURCE 1
#endif

#include "convert_fast.h"

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <math.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <pthread.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define FAST_HAVE_AVX2 1
#include <immintrin.h>
#else
#define FAST_HAVE_AVX2 0
#endif

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

/* fwrite without the stream lock: the output belongs to the job thread. */
#if defined(__GLIBC__)
#define FAST_FWRITE fwrite_unlocked
#else
#define FAST_FWRITE fwrite
#endif

#define GROUP 8u             /* LEDs per plan block (one AVX2 vector) */
#define MAX_EXACT (1u << 24) /* larger coordinates are not exact in single precision */
#define CHUNKS_PER_THREAD 8u /* line chunks per converting thread, for balance */

/* Where LED j of a group keeps its fractions: the AVX2 kernel's gathers
 * deliver the LEDs in this order (the order is its own inverse). */
static const uint8_t lane_of[GROUP] = {0, 1, 4, 5, 2, 3, 6, 7};

/* Sampling plan of eight LEDs of one line. For each LED, x offsets are 3 x
 * column and y offsets row x stride of the integer tap of its left (a) and
 * right (b) sub-sample column and its upper (a) and lower (b) sub-sample
 * row, in LED order; f are the fractional parts, in lane_of order. The four
 * sub-samples are (xa, ya), (xb, ya), (xa, yb), (xb, yb). */
typedef struct fast_block {
    uint32_t xa[GROUP], xb[GROUP], ya[GROUP], yb[GROUP];
    float fxa[GROUP], fxb[GROUP], fya[GROUP], fyb[GROUP];
} fast_block;

/* Bit-plane layout of one line: D planes of B bytes, each P zero bits and
 * then 3 x lights value bits. Packing works on a padded value array of
 * 8 x B bytes (P zero bytes, then the values), in 32-byte chunks. */
typedef struct fast_packing {
    uint32_t depth;       /* D */
    uint32_t plane_bytes; /* B */
    uint32_t pad_bits;    /* P */
    uint32_t chunks;      /* 32-byte chunks of the padded value array */
    size_t planes_stride; /* scratch bytes per packed plane (4 x chunks) */
    size_t line_bytes;    /* D x B */
} fast_packing;

struct convert_fast_plan {
    uint32_t lights, lines;
    fast_packing pack;
    uint32_t width, height, stride; /* stride = 3 x width */
    uint32_t frame_size;            /* bytes of one frame in the file */
    size_t frame_alloc; /* frame buffer: frame_size + zeroed slack for the right and lower taps */
    uint32_t groups;    /* plan blocks per line */
    size_t frame_out_bytes; /* lines x D x B */
    size_t values_alloc;    /* scratch: padded value array */
    fast_block* blocks;     /* lines x groups */
    uint32_t ramp;          /* LEDs (from the centre) that the brightness ramp changes */
    uint8_t* lut;           /* row r + 1: tone curve and brightness at distance r < ramp */
    size_t lut_bytes;
};

/* Per-thread scratch: the line's values with P leading zero bytes, then its
 * packed planes. */
typedef struct fast_scratch {
    uint8_t* values;
    uint8_t* planes;
} fast_scratch;

typedef void (*fast_lines_fn)(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                              uint32_t end, uint8_t* out, fast_scratch* scratch);

/* ---------------------------------------------------------------- plan -- */

static void packing_init(fast_packing* pack, uint32_t lights, uint32_t depth)
{
    pack->depth = depth;
    pack->plane_bytes = (uint32_t)convert_plane_bytes(lights);
    pack->pad_bits = 8u * pack->plane_bytes - 3u * lights;
    pack->line_bytes = (size_t)depth * pack->plane_bytes;
    pack->chunks = (uint32_t)(((uint64_t)pack->plane_bytes * 8u + 31u) / 32u);
    pack->planes_stride = 4u * (size_t)pack->chunks;
}

/* Bytes of a padded value array that holds `values` values stored with
 * 16-byte stores (up to 16 bytes past the last) and is read in whole
 * 32-byte chunks. */
static size_t values_bytes(const fast_packing* pack, size_t values)
{
    size_t n = (size_t)pack->pad_bits + values + 16u;
    if (n < 32u * (size_t)pack->chunks)
        n = 32u * (size_t)pack->chunks;
    return (n + 32u + 31u) & ~(size_t)31u;
}

/* One coordinate of a sub-sample, clamped and split exactly as
 * sample_bilinear does it. */
static void split_coordinate(float v, uint32_t size, uint32_t* index, float* frac)
{
    const uint32_t last = size - 1u;
    const float max = (float)last;
    if (!(v > 0.0f))
        v = 0.0f;
    else if (v > max)
        v = max;
    uint32_t i = (uint32_t)v;
    if (i > last)
        i = last;
    *index = i;
    *frac = v - (float)i;
}

/* Whether the fast path takes the job: the reference's own parameter checks
 * plus the limits of the plan (exact single-precision coordinates, frame
 * offsets in signed 32 bits for the gathers). */
static int job_supported(const convert_job* job)
{
    if (job->frames_resized_file[0] == '\0' || job->out_path[0] == '\0')
        return 0;
    if (job->lines == 0 || job->lines > INT32_MAX || job->lights == 0 || job->lights > INT32_MAX ||
        job->in_width == 0 || job->in_height == 0 || job->radius == 0 || job->colorDeep < 1 ||
        job->colorDeep > FAN_MAX_COLOR_DEEP)
        return 0;
    if (job->in_width > MAX_EXACT || job->in_height > MAX_EXACT)
        return 0;
    const uint64_t frame_size = (uint64_t)job->in_width * job->in_height * 3u;
    if (frame_size + 3u * (uint64_t)job->in_width + 64u > INT32_MAX)
        return 0;
    return 1;
}

void convert_fast_plan_free(convert_fast_plan* plan)
{
    if (!plan)
        return;
    free(plan->blocks);
    free(plan->lut);
    free(plan);
}

convert_fast_plan* convert_fast_plan_create(const convert_job* job)
{
    if (!job || !job_supported(job))
        return NULL;
    convert_fast_plan* plan = calloc(1, sizeof *plan);
    if (!plan)
        return NULL;

    plan->lights = job->lights;
    plan->lines = job->lines;
    plan->width = job->in_width;
    plan->height = job->in_height;
    plan->stride = 3u * job->in_width;
    plan->frame_size = (uint32_t)((uint64_t)job->in_width * job->in_height * 3u);
    /* The taps right of and below the last column and row carry weight 0
     * (their fraction is 0 there) but are still read; one zeroed row and a
     * few bytes past the frame keep every read inside the buffer. */
    plan->frame_alloc = (size_t)plan->frame_size + plan->stride + 64u;
    plan->groups = (uint32_t)(((uint64_t)job->lights + GROUP - 1u) / GROUP);
    packing_init(&plan->pack, job->lights, job->colorDeep);
    /* Values are stored 24 bytes per group with 16-byte stores; packing reads
     * whole 32-byte chunks. */
    plan->values_alloc = values_bytes(&plan->pack, 3u * GROUP * (size_t)plan->groups);

    const uint64_t block_count = (uint64_t)plan->lines * plan->groups;
    const uint64_t out_bytes = (uint64_t)plan->lines * plan->pack.line_bytes;
    if (block_count > SIZE_MAX / sizeof(fast_block) || out_bytes > SIZE_MAX / 4u) {
        convert_fast_plan_free(plan);
        return NULL;
    }
    plan->frame_out_bytes = (size_t)out_bytes;

    /* Lookup tables: row 0 is the plain tone curve; each LED that the
     * brightness ramp touches has a row of its own. */
    const int32_t q = job->change_brightness_lights;
    uint64_t ramp = 0;
    if (q >= 2)
        ramp = (uint64_t)q < job->lights ? (uint64_t)q : job->lights;
    else if (q == 1)
        ramp = 1;
    plan->ramp = (uint32_t)ramp;
    plan->lut_bytes = (size_t)((ramp + 1u) * 256u);
    plan->lut = calloc(1, plan->lut_bytes);
    plan->blocks = calloc((size_t)block_count, sizeof(fast_block));
    if (!plan->lut || !plan->blocks) {
        convert_fast_plan_free(plan);
        return NULL;
    }

    memcpy(plan->lut, tone_table, 256);
    for (uint64_t r = 0; r < ramp; ++r) {
        float factor;
        if (q >= 2) {
            const float base = (float)((int64_t)r + 1) / (float)q;
            const float p = powf(base, (float)job->gamma);
            factor = (float)((double)p * (1.0 - job->min_brightness) + job->min_brightness);
        } else {
            factor = (float)job->min_brightness;
        }
        uint8_t* row = plan->lut + (r + 1u) * 256u;
        for (int v = 0; v < 256; ++v)
            row[v] = convert_apply_factor(tone_table[v], factor);
    }

    for (uint32_t l = 0; l < plan->lines; ++l) {
        const double theta = (CONVERT_TWO_PI / (double)job->lines) * (double)l;
        const double s = sin(theta);
        const double c = cos(theta);
        fast_block* line = plan->blocks + (size_t)l * plan->groups;
        for (uint32_t t = 0; t < job->lights; ++t) {
            fast_block* b = line + t / GROUP;
            const uint32_t j = t % GROUP;
            const uint32_t f = lane_of[j];
            const uint32_t r = job->lights - 1u - t;
            const float x = (float)((double)r * c + (double)job->center_x);
            const float y = (float)((double)r * s + (double)job->center_y);
            uint32_t i;
            split_coordinate(x - 0.25f, plan->width, &i, &b->fxa[f]);
            b->xa[j] = 3u * i;
            split_coordinate(x + 0.25f, plan->width, &i, &b->fxb[f]);
            b->xb[j] = 3u * i;
            split_coordinate(y - 0.25f, plan->height, &i, &b->fya[f]);
            b->ya[j] = i * plan->stride;
            split_coordinate(y + 0.25f, plan->height, &i, &b->fyb[f]);
            b->yb[j] = i * plan->stride;
        }
        /* LEDs past the last one (to fill the group) stay at offset 0 with
         * weight 0; their values land beyond the plane and are dropped. */
    }
    return plan;
}

size_t convert_fast_plan_bytes(const convert_fast_plan* plan)
{
    if (!plan)
        return 0;
    return sizeof *plan + (size_t)plan->lines * plan->groups * sizeof(fast_block) + plan->lut_bytes;
}

/* Per-thread scratch, rounded to whole 128-byte blocks so that no two
 * threads ever write to the same cache line. */
#define SCRATCH_ALIGN 128u

static size_t scratch_bytes(const convert_fast_plan* plan)
{
    const size_t bytes = plan->values_alloc + (size_t)plan->pack.depth * plan->pack.planes_stride;
    return (bytes + SCRATCH_ALIGN - 1u) & ~(size_t)(SCRATCH_ALIGN - 1u);
}

/* ------------------------------------------------------------- kernels -- */

/* Packs the D planes of one line from its padded value array (P zero bytes,
 * then 3 x lights values) into out (D planes of B bytes). Eight values make
 * one byte of every plane: an 8 x 8 bit transpose. */
static void pack_line_generic(const fast_packing* pack, const uint8_t* values, uint8_t* planes,
                              uint8_t* out)
{
    (void)planes;
    const uint32_t B = pack->plane_bytes;
    const uint32_t D = pack->depth;
    for (uint32_t k = 0; k < B; ++k) {
        const uint8_t* v = values + 8u * k;
        /* Byte a of x holds value 7 - a, so that after the transpose byte c
         * holds bit c of every value with value 0 in the top bit. */
        uint64_t x = 0;
        for (unsigned a = 0; a < 8u; ++a)
            x |= (uint64_t)v[7u - a] << (8u * a);
        uint64_t t;
        t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
        x = x ^ t ^ (t << 7);
        t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
        x = x ^ t ^ (t << 14);
        t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
        x = x ^ t ^ (t << 28);
        /* Plane i carries bit 7 - i. */
        for (uint32_t i = 0; i < D; ++i)
            out[(size_t)i * B + k] = (uint8_t)(x >> (8u * (7u - i)));
    }
}

/* Replaces the averages of a line by their tone-mapped, brightness-adjusted
 * values: the outer LEDs all use the tone curve, each LED of the ramp its
 * own row. */
static void apply_tables(const convert_fast_plan* plan, uint8_t* values)
{
    const uint32_t plain = 3u * (plan->lights - plan->ramp);
    for (uint32_t i = 0; i < plain; ++i)
        values[i] = tone_table[values[i]];
    for (uint32_t t = plan->lights - plan->ramp; t < plan->lights; ++t) {
        /* LED t sits at distance lights - 1 - t and uses row distance + 1. */
        const uint8_t* row = plan->lut + (size_t)(plan->lights - t) * 256u;
        values[3u * t + 0u] = row[values[3u * t + 0u]];
        values[3u * t + 1u] = row[values[3u * t + 1u]];
        values[3u * t + 2u] = row[values[3u * t + 2u]];
    }
}

/* One sub-sample of the reference's sampler: four taps, weights formed and
 * summed as there, truncated to a byte; the three channels are added to acc. */
static inline void sub_sample_generic(const uint8_t* frame, uint32_t stride, uint32_t offset,
                                      float fx, float fy, unsigned acc[3])
{
    const float w00 = (1.0f - fx) * (1.0f - fy);
    const float w10 = fx * (1.0f - fy);
    const float w01 = (1.0f - fx) * fy;
    const float w11 = fx * fy;
    const uint8_t* p00 = frame + offset;
    const uint8_t* p10 = p00 + 3;
    const uint8_t* p01 = p00 + stride;
    const uint8_t* p11 = p01 + 3;
    for (int k = 0; k < 3; ++k) {
        float v = (float)p00[k] * w00;
        v = v + (float)p10[k] * w10;
        v = v + (float)p01[k] * w01;
        v = v + (float)p11[k] * w11;
        /* v is never negative; at most 255 plus rounding. */
        acc[k] += v >= 255.0f ? 255u : (unsigned)v;
    }
}

static void lines_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                          uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    const uint32_t stride = plan->stride;
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    for (uint32_t l = first; l < end; ++l) {
        const fast_block* line = plan->blocks + (size_t)l * plan->groups;
        for (uint32_t t = 0; t < plan->lights; ++t) {
            const fast_block* b = line + t / GROUP;
            const uint32_t j = t % GROUP;
            const uint32_t f = lane_of[j];
            unsigned acc[3] = {0, 0, 0};
            sub_sample_generic(frame, stride, b->xa[j] + b->ya[j], b->fxa[f], b->fya[f], acc);
            sub_sample_generic(frame, stride, b->xb[j] + b->ya[j], b->fxb[f], b->fya[f], acc);
            sub_sample_generic(frame, stride, b->xa[j] + b->yb[j], b->fxa[f], b->fyb[f], acc);
            sub_sample_generic(frame, stride, b->xb[j] + b->yb[j], b->fxb[f], b->fyb[f], acc);
            values[3u * t + 0u] = (uint8_t)((acc[0] + 2u) >> 2);
            values[3u * t + 1u] = (uint8_t)((acc[1] + 2u) >> 2);
            values[3u * t + 2u] = (uint8_t)((acc[2] + 2u) >> 2);
        }
        apply_tables(plan, values);
        pack_line_generic(&plan->pack, scratch->values, scratch->planes,
                          out + (size_t)l * plan->pack.line_bytes);
    }
}

#if FAST_HAVE_AVX2

#define AVX2 __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

/* The taps of one sub-sample of eight LEDs: two 8-byte gathers per row
 * fetch both taps of a row at once (blue, green, red of the left pixel, then
 * of the right one), LEDs 0-3 in lo and 4-7 in hi. */
typedef struct fast_taps {
    __m256i top_lo, top_hi, bot_lo, bot_hi;
} fast_taps;

static AVX2_INLINE fast_taps gather_taps(const uint8_t* frame, uint32_t stride, __m256i offset)
{
    const __m128i lo = _mm256_castsi256_si128(offset);
    const __m128i hi = _mm256_extracti128_si256(offset, 1);
    const long long* row0 = (const long long*)(const void*)frame;
    const long long* row1 = (const long long*)(const void*)(frame + stride);
    fast_taps t;
    t.top_lo = _mm256_i32gather_epi64(row0, lo, 1);
    t.top_hi = _mm256_i32gather_epi64(row0, hi, 1);
    t.bot_lo = _mm256_i32gather_epi64(row1, lo, 1);
    t.bot_hi = _mm256_i32gather_epi64(row1, hi, 1);
    return t;
}

/* Weighs the taps of one sub-sample as sample_bilinear does and adds the
 * truncated channel values to acc. Unpacking the halves yields the LEDs in
 * the order 0 1 4 5 2 3 6 7, the order in which the plan stores the
 * fractions. */
static AVX2_INLINE void weigh_taps(fast_taps t, __m256 fx, __m256 fy, __m256i* acc0, __m256i* acc1,
                                   __m256i* acc2)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 gx = _mm256_sub_ps(one, fx);
    const __m256 gy = _mm256_sub_ps(one, fy);
    const __m256 w00 = _mm256_mul_ps(gx, gy);
    const __m256 w10 = _mm256_mul_ps(fx, gy);
    const __m256 w01 = _mm256_mul_ps(gx, fy);
    const __m256 w11 = _mm256_mul_ps(fx, fy);
    __m256i* acc[3] = {acc0, acc1, acc2};
#define FAST_CHANNEL(k)                                                                            \
    do {                                                                                           \
        const __m256i pick = _mm256_setr_epi8(k, -1, -1, -1, 8 + k, -1, -1, -1, 3 + k, -1, -1, -1, \
                                              11 + k, -1, -1, -1, k, -1, -1, -1, 8 + k, -1, -1,    \
                                              -1, 3 + k, -1, -1, -1, 11 + k, -1, -1, -1);          \
        const __m256i t0 = _mm256_shuffle_epi8(t.top_lo, pick);                                    \
        const __m256i t1 = _mm256_shuffle_epi8(t.top_hi, pick);                                    \
        const __m256i b0 = _mm256_shuffle_epi8(t.bot_lo, pick);                                    \
        const __m256i b1 = _mm256_shuffle_epi8(t.bot_hi, pick);                                    \
        const __m256 p00 = _mm256_cvtepi32_ps(_mm256_unpacklo_epi64(t0, t1));                      \
        const __m256 p10 = _mm256_cvtepi32_ps(_mm256_unpackhi_epi64(t0, t1));                      \
        const __m256 p01 = _mm256_cvtepi32_ps(_mm256_unpacklo_epi64(b0, b1));                      \
        const __m256 p11 = _mm256_cvtepi32_ps(_mm256_unpackhi_epi64(b0, b1));                      \
        __m256 v = _mm256_mul_ps(p00, w00);                                                        \
        v = _mm256_add_ps(v, _mm256_mul_ps(p10, w10));                                             \
        v = _mm256_add_ps(v, _mm256_mul_ps(p01, w01));                                             \
        v = _mm256_add_ps(v, _mm256_mul_ps(p11, w11));                                             \
        /* Truncation toward zero; v lies in [0, 256). */                                          \
        *acc[k] = _mm256_add_epi32(*acc[k], _mm256_cvttps_epi32(v));                               \
    } while (0)
    FAST_CHANNEL(0);
    FAST_CHANNEL(1);
    FAST_CHANNEL(2);
#undef FAST_CHANNEL
}

static AVX2 void pack_line_avx2(const fast_packing* pack, const uint8_t* values, uint8_t* planes,
                                uint8_t* out)
{
    /* Reverse each group of 8 values so that movemask puts the first value
     * of a group in the top bit of its byte. */
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const uint32_t D = pack->depth;
    const size_t ps = pack->planes_stride;
    for (uint32_t c = 0; c < pack->chunks; ++c) {
        __m256i v = _mm256_loadu_si256((const __m256i*)(const void*)(values + 32u * c));
        v = _mm256_shuffle_epi8(v, reverse);
        for (uint32_t i = 0; i < D; ++i) {
            const uint32_t mask = (uint32_t)_mm256_movemask_epi8(v);
            memcpy(planes + i * ps + 4u * c, &mask, 4);
            v = _mm256_add_epi8(v, v);
        }
    }
    const uint32_t B = pack->plane_bytes;
    for (uint32_t i = 0; i < D; ++i)
        memcpy(out + (size_t)i * B, planes + i * ps, B);
}

/* apply_tables with the tone curve looked up 32 values at a time: the low
 * nibble indexes a 16-entry slice of the table (one byte shuffle per slice),
 * the high nibble picks the slice. */
static AVX2 void apply_tables_avx2(const convert_fast_plan* plan, uint8_t* values)
{
    const uint32_t plain = 3u * (plan->lights - plan->ramp);
    const __m256i low = _mm256_set1_epi8(0x0f);
    __m256i slices[16];
    for (int h = 0; h < 16; ++h)
        slices[h] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128((const __m128i*)(const void*)(tone_table + 16 * h)));
    uint32_t i = 0;
    for (; i + 32u <= plain; i += 32u) {
        const __m256i v = _mm256_loadu_si256((const __m256i*)(const void*)(values + i));
        const __m256i lo = _mm256_and_si256(v, low);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low);
        __m256i r = _mm256_setzero_si256();
        for (int h = 0; h < 16; ++h) {
            const __m256i pick = _mm256_cmpeq_epi8(hi, _mm256_set1_epi8((char)h));
            r = _mm256_blendv_epi8(r, _mm256_shuffle_epi8(slices[h], lo), pick);
        }
        _mm256_storeu_si256((__m256i*)(void*)(values + i), r);
    }
    for (; i < plain; ++i)
        values[i] = tone_table[values[i]];
    for (uint32_t t = plan->lights - plan->ramp; t < plan->lights; ++t) {
        const uint8_t* row = plan->lut + (size_t)(plan->lights - t) * 256u;
        values[3u * t + 0u] = row[values[3u * t + 0u]];
        values[3u * t + 1u] = row[values[3u * t + 1u]];
        values[3u * t + 2u] = row[values[3u * t + 2u]];
    }
}

static AVX2 void lines_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                            uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    const uint32_t stride = plan->stride;
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    const __m256i two = _mm256_set1_epi32(2);
    /* Within each 128-bit half: bytes 0-2 of each of the four pixels. */
    const __m256i squeeze =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    for (uint32_t l = first; l < end; ++l) {
        const fast_block* line = plan->blocks + (size_t)l * plan->groups;
        for (uint32_t g = 0; g < plan->groups; ++g) {
            const fast_block* b = line + g;
            const __m256i xa = _mm256_loadu_si256((const __m256i*)(const void*)b->xa);
            const __m256i xb = _mm256_loadu_si256((const __m256i*)(const void*)b->xb);
            const __m256i ya = _mm256_loadu_si256((const __m256i*)(const void*)b->ya);
            const __m256i yb = _mm256_loadu_si256((const __m256i*)(const void*)b->yb);
            const __m256 fxa = _mm256_loadu_ps(b->fxa);
            const __m256 fxb = _mm256_loadu_ps(b->fxb);
            const __m256 fya = _mm256_loadu_ps(b->fya);
            const __m256 fyb = _mm256_loadu_ps(b->fyb);
            __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(),
                              _mm256_setzero_si256()};
            /* Each sub-sample's gathers are issued one step ahead of its
             * arithmetic, so that their latency overlaps the previous one. */
            fast_taps t0 = gather_taps(frame, stride, _mm256_add_epi32(xa, ya));
            fast_taps t1 = gather_taps(frame, stride, _mm256_add_epi32(xb, ya));
            weigh_taps(t0, fxa, fya, &acc[0], &acc[1], &acc[2]);
            t0 = gather_taps(frame, stride, _mm256_add_epi32(xa, yb));
            weigh_taps(t1, fxb, fya, &acc[0], &acc[1], &acc[2]);
            t1 = gather_taps(frame, stride, _mm256_add_epi32(xb, yb));
            weigh_taps(t0, fxa, fyb, &acc[0], &acc[1], &acc[2]);
            weigh_taps(t1, fxb, fyb, &acc[0], &acc[1], &acc[2]);

            __m256i v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = _mm256_srli_epi32(_mm256_add_epi32(acc[k], two), 2);
            __m256i px = _mm256_or_si256(v[0], _mm256_slli_epi32(v[1], 8));
            px = _mm256_or_si256(px, _mm256_slli_epi32(v[2], 16));
            /* Back from the order 0 1 4 5 2 3 6 7 to 0 .. 7. */
            px = _mm256_permute4x64_epi64(px, 0xD8);
            px = _mm256_shuffle_epi8(px, squeeze);
            uint8_t* dst = values + 24u * g;
            _mm_storeu_si128((__m128i*)(void*)dst, _mm256_castsi256_si128(px));
            _mm_storeu_si128((__m128i*)(void*)(dst + 12), _mm256_extracti128_si256(px, 1));
        }
        apply_tables_avx2(plan, values);
        pack_line_avx2(&plan->pack, scratch->values, scratch->planes,
                       out + (size_t)l * plan->pack.line_bytes);
    }
}

static int cpu_has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

#else

static int cpu_has_avx2(void) { return 0; }

#endif

convert_fast_kernel convert_fast_best_kernel(void)
{
    return cpu_has_avx2() ? CONVERT_FAST_KERNEL_AVX2 : CONVERT_FAST_KERNEL_GENERIC;
}

const char* convert_fast_kernel_name(convert_fast_kernel kernel)
{
    switch (kernel) {
    case CONVERT_FAST_KERNEL_AUTO:
        return convert_fast_kernel_name(convert_fast_best_kernel());
    case CONVERT_FAST_KERNEL_GENERIC:
        return "generic";
    case CONVERT_FAST_KERNEL_AVX2:
        return "avx2";
    }
    return "unknown";
}

static fast_lines_fn kernel_function(convert_fast_kernel kernel)
{
#if FAST_HAVE_AVX2
    if (kernel != CONVERT_FAST_KERNEL_GENERIC && cpu_has_avx2())
        return lines_avx2;
#else
    (void)kernel;
#endif
    return lines_generic;
}

/* ------------------------------------------------------------- threads -- */

unsigned convert_fast_default_threads(void)
{
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (cores < 1)
        cores = 1;
    if (cores > 256)
        cores = 256;
    const char* cap = getenv(CONVERT_FAST_THREADS_ENV);
    if (cap && *cap) {
        char* end = NULL;
        errno = 0;
        const long n = strtol(cap, &end, 10);
        if (errno == 0 && end && *end == '\0' && n >= 1 && n < cores)
            cores = n;
    }
    return (unsigned)cores;
}

/* The converting threads of one job: the job thread and `helpers` more.
 * Per frame the job thread posts the frame; every thread then claims chunks
 * of lines until none is left, and the job thread waits until every claimed
 * chunk is done. A claim names the frame's generation, so a helper that wakes
 * late (after the job thread has done the frame alone) can never take a chunk
 * of a later frame with an earlier frame's buffers; the job thread never
 * waits for a helper that is not working. With no helpers everything runs on
 * the job thread. */
/* A thread's home range of chunks: it converts these first, so that its
 * part of the plan tends to stay in its own cache from frame to frame, and
 * then helps with the others. Aligned apart: every claim writes to it. */
typedef struct fast_range {
    _Alignas(128) atomic_uint_fast64_t work; /* generation << 32 | next chunk to claim */
    uint32_t end;                            /* first chunk of the next range */
} fast_range;

typedef struct fast_pool {
    const convert_fast_plan* plan;
    fast_lines_fn kernel;
    fast_scratch* scratch; /* [0] for the job thread, [1 + h] for helper h */
    pthread_t* threads;
    unsigned helpers;
    pthread_mutex_t lock;
    pthread_cond_t wake;  /* helpers: a new frame or quit */
    pthread_cond_t idle;  /* job thread: the last chunk is done */
    uint32_t generation;  /* of the posted frame; under lock */
    int quit;             /* under lock */
    int pending;          /* a posted frame not yet finished (job thread only) */
    const uint8_t* frame; /* of the posted frame; under lock */
    uint8_t* out;
    uint32_t chunk_lines;
    uint32_t chunk_count;
    unsigned ranges;             /* one home range of chunks per thread */
    fast_range* range;           /* [0] the job thread's, [1 + h] helper h's */
    atomic_uint_fast64_t posted; /* generation of the posted frame, for spinning helpers */
    atomic_uint done;            /* chunks of the posted frame finished */
    atomic_int stopping;         /* quit, readable without the lock */
} fast_pool;

/* How long a waiting thread stays awake before it sleeps. Frames follow each
 * other within a fraction of a millisecond, and waking a sleeping thread
 * (on a virtual machine in particular, where an idle processor is halted)
 * can cost as much as converting a good part of a frame. */
#define SPIN_NS 200000u

static uint64_t monotonic_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
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

typedef struct fast_helper {
    fast_pool* pool;
    unsigned index;
} fast_helper;

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
                pthread_mutex_lock(&pool->lock);
                pthread_cond_signal(&pool->idle);
                pthread_mutex_unlock(&pool->lock);
            }
            w = atomic_load_explicit(&range->work, memory_order_acquire);
        }
    }
}

static void* helper_main(void* arg)
{
    fast_pool* pool = ((fast_helper*)arg)->pool;
    const unsigned home = 1u + ((fast_helper*)arg)->index;
    fast_scratch* scratch = &pool->scratch[home];
    uint32_t seen = 0;
    for (;;) {
        /* Stay awake a little for the next frame before going to sleep. */
        const uint64_t until = monotonic_ns() + SPIN_NS;
        for (unsigned i = 1; !helper_has_news(pool, seen); ++i) {
            cpu_relax();
            if (i % 256u == 0 && monotonic_ns() > until)
                break;
        }
        pthread_mutex_lock(&pool->lock);
        while (pool->generation == seen && !pool->quit)
            pthread_cond_wait(&pool->wake, &pool->lock);
        if (pool->quit)
            break;
        seen = pool->generation;
        const uint8_t* frame = pool->frame;
        uint8_t* out = pool->out;
        pthread_mutex_unlock(&pool->lock);
        run_chunks(pool, seen, frame, out, scratch, home);
    }
    pthread_mutex_unlock(&pool->lock);
    return NULL;
}

/* Starts a frame's conversion on the helpers (nothing yet without helpers). */
static void pool_post(fast_pool* pool, const uint8_t* frame, uint8_t* out)
{
    pthread_mutex_lock(&pool->lock);
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
        pthread_cond_broadcast(&pool->wake);
    pthread_mutex_unlock(&pool->lock);
    pool->pending = 1;
}

/* Converts on the job thread too until the posted frame is done. */
static void pool_finish(fast_pool* pool)
{
    if (!pool->pending)
        return;
    /* Only the job thread changes these, so it may read them unlocked. */
    run_chunks(pool, pool->generation, pool->frame, pool->out, &pool->scratch[0], 0u);
    if (!frame_done(pool)) {
        /* The helpers are finishing their last chunks: wait awake first. */
        const uint64_t until = monotonic_ns() + SPIN_NS;
        for (unsigned i = 1; !frame_done(pool); ++i) {
            cpu_relax();
            if (i % 256u == 0 && monotonic_ns() > until)
                break;
        }
    }
    if (!frame_done(pool)) {
        pthread_mutex_lock(&pool->lock);
        while (!frame_done(pool))
            pthread_cond_wait(&pool->idle, &pool->lock);
        pthread_mutex_unlock(&pool->lock);
    }
    pool->pending = 0;
}

static void pool_stop(fast_pool* pool)
{
    if (pool->helpers == 0)
        return;
    pthread_mutex_lock(&pool->lock);
    pool->quit = 1;
    atomic_store_explicit(&pool->stopping, 1, memory_order_release);
    pthread_cond_broadcast(&pool->wake);
    pthread_mutex_unlock(&pool->lock);
    for (unsigned h = 0; h < pool->helpers; ++h)
        pthread_join(pool->threads[h], NULL);
    pool->helpers = 0;
}

/* -------------------------------------------------------------- worker -- */

/* Everything a job holds, allocated before it starts so that a shortage
 * hands the job to the reference worker instead of failing differently. */
typedef struct fast_state {
    convert_fast_plan* plan;
    uint8_t* frame[2];
    uint8_t* out[2];
    uint8_t* audio;
    uint8_t* scratch_block;
    fast_scratch* scratch;
    pthread_t* threads;
    fast_helper* helper_args;
    fast_range* ranges;
    int sync_ready;
    fast_pool pool;
} fast_state;

static void state_free(fast_state* st)
{
    if (st->sync_ready) {
        pool_stop(&st->pool);
        pthread_cond_destroy(&st->pool.wake);
        pthread_cond_destroy(&st->pool.idle);
        pthread_mutex_destroy(&st->pool.lock);
    }
    convert_fast_plan_free(st->plan);
    free(st->frame[0]);
    free(st->frame[1]);
    free(st->out[0]);
    free(st->out[1]);
    free(st->audio);
    free(st->scratch_block);
    free(st->scratch);
    free(st->threads);
    free(st->helper_args);
    free(st->ranges);
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
    const size_t per_thread = scratch_bytes(plan);
    st->scratch_block = calloc(threads + 1u, per_thread);
    st->scratch = calloc(threads, sizeof *st->scratch);
    st->threads = calloc(threads, sizeof *st->threads);
    st->helper_args = calloc(threads, sizeof *st->helper_args);
    if (!st->audio || !st->scratch_block || !st->scratch || !st->threads || !st->helper_args)
        return -1;
    for (unsigned i = 0; i < threads; ++i) {
        /* From the first 128-byte boundary of the block on. */
        uint8_t* base = st->scratch_block + (-(uintptr_t)st->scratch_block & (SCRATCH_ALIGN - 1u));
        st->scratch[i].values = base + (size_t)i * per_thread;
        st->scratch[i].planes = st->scratch[i].values + plan->values_alloc;
    }

    fast_pool* pool = &st->pool;
    pool->plan = plan;
    pool->kernel = kernel_function(options ? options->kernel : CONVERT_FAST_KERNEL_AUTO);
    pool->scratch = st->scratch;
    pool->threads = st->threads;
    atomic_init(&pool->posted, 0u);
    atomic_init(&pool->done, 0u);
    atomic_init(&pool->stopping, 0);
    uint32_t chunks = threads > 1u ? threads * CHUNKS_PER_THREAD : 1u;
    if (chunks > plan->lines)
        chunks = plan->lines;
    pool->chunk_lines = (plan->lines + chunks - 1u) / chunks;
    pool->chunk_count = (plan->lines + pool->chunk_lines - 1u) / pool->chunk_lines;
    st->ranges = aligned_alloc(_Alignof(fast_range), threads * sizeof(fast_range));
    if (!st->ranges)
        return -1;
    pool->range = st->ranges;
    pool->ranges = threads;
    for (unsigned r = 0; r < threads; ++r) {
        atomic_init(&st->ranges[r].work, 0u);
        st->ranges[r].end = (uint32_t)((uint64_t)(r + 1u) * pool->chunk_count / threads);
    }

    if (pthread_mutex_init(&pool->lock, NULL) != 0)
        return -1;
    if (pthread_cond_init(&pool->wake, NULL) != 0) {
        pthread_mutex_destroy(&pool->lock);
        return -1;
    }
    if (pthread_cond_init(&pool->idle, NULL) != 0) {
        pthread_cond_destroy(&pool->wake);
        pthread_mutex_destroy(&pool->lock);
        return -1;
    }
    st->sync_ready = 1;
    /* A helper that cannot be started only costs speed. */
    for (unsigned h = 0; h + 1u < threads; ++h) {
        st->helper_args[h].pool = pool;
        st->helper_args[h].index = h;
        if (pthread_create(&st->threads[h], NULL, helper_main, &st->helper_args[h]) != 0)
            break;
        pool->helpers = h + 1u;
    }
    return 0;
}

size_t convert_fast_job_bytes(const convert_fast_plan* plan, unsigned threads)
{
    if (!plan)
        return 0;
    if (threads == 0)
        threads = 1;
    return convert_fast_plan_bytes(plan) + 2u * plan->frame_alloc + 2u * plan->frame_out_bytes +
        (threads + 1u) * scratch_bytes(plan) +
        threads *
        (sizeof(fast_scratch) + sizeof(pthread_t) + sizeof(fast_helper) + sizeof(fast_range)) +
        FAN_AUDIO_BLOCK;
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
        pool_post(pool, st.frame[0], st.out[0]);
    while (got == frame_size && !stop) {
        /* Frame n converts while the next one is read. */
        got = engine_seek(in, (int64_t)((n + 1u) * frame_size), SEEK_SET) == 0
            ? fread(st.frame[cur ^ 1u], 1, frame_size, in)
            : 0;

        convert_read_audio(aud, job->in_aud_path, n, st.audio);

        pool_finish(pool);
        /* Frame n + 1 converts while frame n is written. */
        if (got == frame_size) {
            stop = convert_stop_before_frame(job->cancel, n + 1u);
            if (!stop)
                pool_post(pool, st.frame[cur ^ 1u], st.out[cur ^ 1u]);
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

    /* The first incomplete frame marks the normal end of the input. */
    LOG("read:%s len:%u failed.", job->frames_resized_file, frame_size);
    if (n == 0)
        LOG("convert failed, not have one frame success");
    else
        failed = 0;

done:
    /* A frame still converting must finish before its buffers go. */
    pool_finish(pool);
    pool_stop(pool);
    if (in)
        fclose(in);
    convert_report(aud, out, job->out_path, failed, job->callback, job->ctx);
    state_free(&st);
    free(job);
    LOG(">> finish");
    return 0;
}

/* ------------------------------------------------------------------ 360 -- */

typedef void (*fast_pack_fn)(const fast_packing* pack, const uint8_t* values, uint8_t* planes,
                             uint8_t* out);

static fast_pack_fn pack_function(convert_fast_kernel kernel)
{
#if FAST_HAVE_AVX2
    if (kernel != CONVERT_FAST_KERNEL_GENERIC && cpu_has_avx2())
        return pack_line_avx2;
#else
    (void)kernel;
#endif
    return pack_line_generic;
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
    packing_init(&p->pack, lights, depth);
    p->values = calloc(1, values_bytes(&p->pack, 3u * (size_t)lights));
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
    state.pack_line = pack_function(options ? options->kernel : CONVERT_FAST_KERNEL_AUTO);
    const convert_360_packer packer = {fast_360_init, fast_360_pack, fast_360_release, &state};
    return convert_360_run(job, &packer);
}
