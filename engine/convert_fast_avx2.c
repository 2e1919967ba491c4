/* The AVX2 per-frame kernel: eight LEDs at a time, the same arithmetic as
 * the generic kernel and the reference sampler in the same order (separate
 * multiplies and adds only; the engine is compiled without FMA
 * contraction). Every function carries its own target attribute, so the
 * file builds with the engine's flags and runs only where the processor
 * reports AVX2. */
#include "convert_fast_internal.h"

#if FAST_HAVE_AVX2

#include <immintrin.h>
#include <stdlib.h>
#include <string.h>

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
    fast_apply_ramp(plan, values);
}

/* The values of line l (3 x lights bytes, and up to 16 bytes of scratch
 * past them), from a frame with the plan's zeroed slack. */
static AVX2_INLINE void line_values_avx2(const convert_fast_plan* plan, const uint8_t* frame,
                                         uint32_t l, uint8_t* values)
{
    const uint32_t stride = plan->stride;
    const __m256i two = _mm256_set1_epi32(2);
    /* Within each 128-bit half: bytes 0-2 of each of the four pixels. */
    const __m256i squeeze =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
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
        __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
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
}

static AVX2 void lines_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                            uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    for (uint32_t l = first; l < end; ++l) {
        line_values_avx2(plan, frame, l, values);
        pack_line_avx2(&plan->pack, scratch->values, scratch->planes,
                       out + (size_t)l * plan->pack.line_bytes);
    }
}

/* The fan view's lines: the gathers read a little past the last row, so
 * the frame is copied into a buffer with the plan's zeroed slack first. */
static AVX2 int leds_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    uint8_t* block = malloc(plan->frame_alloc + plan->values_alloc);
    if (!block)
        return -1;
    memcpy(block, frame, plan->frame_size);
    memset(block + plan->frame_size, 0, plan->frame_alloc - plan->frame_size);
    uint8_t* values = block + plan->frame_alloc;
    const size_t line_values = 3u * (size_t)plan->lights;
    for (uint32_t l = 0; l < plan->lines; ++l) {
        line_values_avx2(plan, block, l, values);
        memcpy(leds + (size_t)l * line_values, values, line_values);
    }
    free(block);
    return 0;
}

const fast_kernel fast_kernel_avx2 = {lines_avx2, pack_line_avx2, leds_avx2};

int fast_cpu_has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

#endif
