/* The AVX-512 per-frame kernel: sixteen LEDs at a time, two plan blocks of
 * one tap class side by side, with the arithmetic of the other kernels in
 * the same order (separate multiplies and adds only; the engine is compiled
 * without FMA contraction). Byte permutes take each channel of each pixel
 * straight out of the gathered rows, and the tone curve is looked up with
 * byte permutes from four registers that hold its 256 entries; only the
 * blocks with LEDs inside the brightness ramp look their rows up by gather.
 * Every function carries its own target attribute, so the file builds with
 * the engine's flags and runs only where the processor and the operating
 * system support AVX-512 F, BW, DQ, VL and VBMI. */
#include "convert_fast_internal.h"

#if FAST_HAVE_AVX512

#include <cpuid.h>
#include <immintrin.h>
#include <stdlib.h>
#include <string.h>

#define AVX512_TARGET "avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi"
#define AVX512 __attribute__((target(AVX512_TARGET)))
#define AVX512_INLINE __attribute__((target(AVX512_TARGET), always_inline)) inline

#define LANES 16u                             /* LEDs per vector: two plan blocks */
#define LOW_DWORD_BYTES 0x1111111111111111ull /* byte 0 of every 32-bit lane */
#define FIRST_BLOCK 0x00FFu                   /* the lanes of the first block */

/* Lane i of a vector holds the LED whose fractions the plan keeps at
 * position i % 8 of block i / 8: the one with tap fast_lane_of[i % 8] of
 * that block (the order is its own inverse). The pixel rows are gathered in
 * tap order, eight taps of one block per register; these tables say where
 * each lane's byte lies. */
#define TAP_OF_0 0
#define TAP_OF_1 1
#define TAP_OF_2 4
#define TAP_OF_3 5
#define TAP_OF_4 2
#define TAP_OF_5 3
#define TAP_OF_6 6
#define TAP_OF_7 7

/* Byte `at` of the 8-byte row of lane `lane`'s tap: the first block's rows
 * are bytes 0-63 of a two-register permute, the second block's 64-127. */
#define NEAR_LANE(block, lane, at) (64 * (block) + 8 * TAP_OF_##lane + (at)), 0, 0, 0
#define NEAR_BLOCK(block, at)                                                                      \
    NEAR_LANE(block, 0, at), NEAR_LANE(block, 1, at), NEAR_LANE(block, 2, at),                     \
        NEAR_LANE(block, 3, at), NEAR_LANE(block, 4, at), NEAR_LANE(block, 5, at),                 \
        NEAR_LANE(block, 6, at), NEAR_LANE(block, 7, at)
#define NEAR_PICK(at)                                                                              \
    {                                                                                              \
        NEAR_BLOCK(0, at), NEAR_BLOCK(1, at)                                                       \
    }

/* Byte `at` of the 4-byte far word of lane `lane`'s tap (one register, the
 * sixteen taps in tap order). */
#define FAR_LANE(block, lane, at) (4 * (8 * (block) + TAP_OF_##lane) + (at)), 0, 0, 0
#define FAR_BLOCK(block, at)                                                                       \
    FAR_LANE(block, 0, at), FAR_LANE(block, 1, at), FAR_LANE(block, 2, at),                        \
        FAR_LANE(block, 3, at), FAR_LANE(block, 4, at), FAR_LANE(block, 5, at),                    \
        FAR_LANE(block, 6, at), FAR_LANE(block, 7, at)
#define FAR_PICK(at)                                                                               \
    {                                                                                              \
        FAR_BLOCK(0, at), FAR_BLOCK(1, at)                                                         \
    }

/* near_pick[3 c + k]: channel k of column c (0 or 1) of a row; far_pick[k]:
 * channel k of column 2, from the far word (red of column 1, then blue,
 * green and red of column 2). */
static const _Alignas(64) uint8_t near_pick[6][64] = {NEAR_PICK(0), NEAR_PICK(1), NEAR_PICK(2),
                                                      NEAR_PICK(3), NEAR_PICK(4), NEAR_PICK(5)};
static const _Alignas(64) uint8_t far_pick[3][64] = {FAR_PICK(1), FAR_PICK(2), FAR_PICK(3)};

/* The pixels of the squares of sixteen LEDs: near[y][h] the 8 bytes from
 * the tap of row y (columns 0 and 1) of the taps of block h, in tap order;
 * far[y] (wide squares only) the word that ends with column 2 of row y, the
 * sixteen taps in tap order. */
typedef struct fast_rows16 {
    __m512i near[3][2];
    __m512i far[3];
} fast_rows16;

/* The four weights of one sub-sample, formed as sample_bilinear forms them. */
typedef struct fast_weights16 {
    __m512 w00, w10, w01, w11;
} fast_weights16;

/* The weights of the sub-samples (xa, ya), (xb, ya), (xa, yb), (xb, yb). */
typedef struct fast_sub_weights16 {
    fast_weights16 aa, ba, ab, bb;
} fast_sub_weights16;

/* The tone curve in four registers of 64 entries. */
typedef struct fast_tone16 {
    __m512i t0, t1, t2, t3;
} fast_tone16;

static AVX512_INLINE __m512 load_pair_ps(const float* a, const float* b)
{
    return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a)), _mm256_loadu_ps(b), 1);
}

static AVX512_INLINE __m512i load_pair_epi32(const uint32_t* a, const uint32_t* b)
{
    return _mm512_inserti32x8(
        _mm512_castsi256_si512(_mm256_loadu_si256((const __m256i*)(const void*)a)),
        _mm256_loadu_si256((const __m256i*)(const void*)b), 1);
}

static AVX512_INLINE fast_weights16 weights16(__m512 fx, __m512 fy)
{
    const __m512 one = _mm512_set1_ps(1.0f);
    const __m512 gx = _mm512_sub_ps(one, fx);
    const __m512 gy = _mm512_sub_ps(one, fy);
    fast_weights16 w;
    w.w00 = _mm512_mul_ps(gx, gy);
    w.w10 = _mm512_mul_ps(fx, gy);
    w.w01 = _mm512_mul_ps(gx, fy);
    w.w11 = _mm512_mul_ps(fx, fy);
    return w;
}

/* One sub-sample's channel value, summed as sample_bilinear sums it and
 * truncated toward zero (v lies in [0, 256)). */
static AVX512_INLINE __m512i weigh16(__m512 p00, __m512 p10, __m512 p01, __m512 p11,
                                     fast_weights16 w)
{
    __m512 v = _mm512_mul_ps(p00, w.w00);
    v = _mm512_add_ps(v, _mm512_mul_ps(p10, w.w10));
    v = _mm512_add_ps(v, _mm512_mul_ps(p01, w.w01));
    v = _mm512_add_ps(v, _mm512_mul_ps(p11, w.w11));
    return _mm512_cvttps_epi32(v);
}

/* Channel k of the sixteen LEDs: the sum of the four truncated sub-samples
 * (0 .. 1020), in lane order. */
static AVX512_INLINE __m512i channel_sum16(const fast_rows16* rows, const fast_sub_weights16* w,
                                           int k, unsigned wide, unsigned tall)
{
    __m512 p[3][3];
    for (unsigned y = 0; y < 2u + tall; ++y) {
        for (unsigned x = 0; x < 2u; ++x) {
            const __m512i pick = _mm512_load_si512((const void*)near_pick[3 * x + (unsigned)k]);
            p[y][x] = _mm512_cvtepi32_ps(_mm512_maskz_permutex2var_epi8(
                LOW_DWORD_BYTES, rows->near[y][0], pick, rows->near[y][1]));
        }
        if (wide) {
            const __m512i pick = _mm512_load_si512((const void*)far_pick[k]);
            p[y][2] = _mm512_cvtepi32_ps(
                _mm512_maskz_permutexvar_epi8(LOW_DWORD_BYTES, pick, rows->far[y]));
        }
    }
    const unsigned c = wide, r = tall; /* column and row of the b sub-samples */
    __m512i acc = weigh16(p[0][0], p[0][1], p[1][0], p[1][1], w->aa);
    acc = _mm512_add_epi32(acc, weigh16(p[0][c], p[0][c + 1], p[1][c], p[1][c + 1], w->ba));
    acc = _mm512_add_epi32(acc, weigh16(p[r][0], p[r][1], p[r + 1][0], p[r + 1][1], w->ab));
    acc = _mm512_add_epi32(acc, weigh16(p[r][c], p[r][c + 1], p[r + 1][c], p[r + 1][c + 1], w->bb));
    return acc;
}

/* The table entries of the three channels' averages (rounding half up) in
 * the tone curve: blue, green and red in bytes 0, 1 and 2 of each lane. */
static AVX512_INLINE __m512i tone16(__m512i blue, __m512i green, __m512i red,
                                    const fast_tone16* tone)
{
    const __m512i two = _mm512_set1_epi32(2);
    const __m512i b = _mm512_srli_epi32(_mm512_add_epi32(blue, two), 2);
    const __m512i g = _mm512_slli_epi32(_mm512_srli_epi32(_mm512_add_epi32(green, two), 2), 8);
    const __m512i r = _mm512_slli_epi32(_mm512_srli_epi32(_mm512_add_epi32(red, two), 2), 16);
    const __m512i entry = _mm512_ternarylogic_epi32(b, g, r, 0xfe); /* b | g | r */
    /* Entries below 128 from the first two registers, the others from the
     * last two (the permutes read the low seven bits of each entry). */
    const __m512i low = _mm512_permutex2var_epi8(tone->t0, entry, tone->t1);
    const __m512i high = _mm512_permutex2var_epi8(tone->t2, entry, tone->t3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(entry), low, high);
}

/* The same through the lookup rows of the lanes' LEDs (see lut_row in the
 * generic kernel), by gather: base is 4 x the row's offset + 2, so that
 * (base + sum) / 4 is the row's offset plus the average; channel k's word
 * is read from k bytes before its entry, so that the value lands in byte k. */
static AVX512_INLINE __m512i rows16(__m512i blue, __m512i green, __m512i red, __m512i base,
                                    const uint8_t* lut)
{
    const __m512i b = _mm512_i32gather_epi32(_mm512_srli_epi32(_mm512_add_epi32(blue, base), 2),
                                             (const void*)lut, 1);
    const __m512i g = _mm512_i32gather_epi32(_mm512_srli_epi32(_mm512_add_epi32(green, base), 2),
                                             (const void*)(lut - 1), 1);
    const __m512i r = _mm512_i32gather_epi32(_mm512_srli_epi32(_mm512_add_epi32(red, base), 2),
                                             (const void*)(lut - 2), 1);
    const __m512i bg = _mm512_mask_blend_epi8(0x2222222222222222ull, b, g);
    return _mm512_mask_blend_epi8(0x4444444444444444ull, bg, r);
}

/* The looked-up values of the LEDs of blocks b0 and b1 of class (wide,
 * tall), stored as one word per LED (blue, green, red and a byte of no
 * meaning) at words[led]. With b1 == b0 (a class's last, unpaired block)
 * only the first block's lanes are loaded and stored. Every pixel of the
 * squares is gathered and converted once. */
static AVX512_INLINE void pass16(const convert_fast_plan* plan, const fast_block* b0,
                                 const fast_block* b1, const uint8_t* frame, uint32_t* words,
                                 const fast_tone16* tone, unsigned wide, unsigned tall)
{
    const int both = b1 != b0;
    const __mmask16 lanes = both ? 0xFFFFu : FIRST_BLOCK;
    const uint32_t stride = plan->stride;
    const __m256i tap0 = _mm256_loadu_si256((const __m256i*)(const void*)b0->tap);
    const __m256i tap1 = _mm256_loadu_si256((const __m256i*)(const void*)b1->tap);
    const __m512i taps = _mm512_inserti32x8(_mm512_castsi256_si512(tap0), tap1, 1);
    fast_rows16 rows;
    for (unsigned y = 0; y < 2u + tall; ++y) {
        const uint8_t* row = frame + y * stride;
        rows.near[y][0] = _mm512_i32gather_epi64(tap0, (const void*)row, 1);
        rows.near[y][1] =
            both ? _mm512_i32gather_epi64(tap1, (const void*)row, 1) : rows.near[y][0];
        if (wide)
            rows.far[y] = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), lanes, taps,
                                                      (const void*)(row + 5u), 1);
    }
    const __m512 fxa = load_pair_ps(b0->fxa, b1->fxa);
    const __m512 fxb = load_pair_ps(b0->fxb, b1->fxb);
    const __m512 fya = load_pair_ps(b0->fya, b1->fya);
    const __m512 fyb = load_pair_ps(b0->fyb, b1->fyb);
    fast_sub_weights16 w;
    w.aa = weights16(fxa, fya);
    w.ba = weights16(fxb, fya);
    w.ab = weights16(fxa, fyb);
    w.bb = weights16(fxb, fyb);

    const __m512i blue = channel_sum16(&rows, &w, 0, wide, tall);
    const __m512i green = channel_sum16(&rows, &w, 1, wide, tall);
    const __m512i red = channel_sum16(&rows, &w, 2, wide, tall);

    const __m512i led = load_pair_epi32(b0->led, b1->led);
    /* Distance from the centre + 1; 0 for the fillers, which take the plain
     * tone curve. */
    const __m512i d = _mm512_sub_epi32(_mm512_set1_epi32((int)plan->lights), led);
    const __m512i reach = _mm512_set1_epi32((int)plan->ramp + 1);
    const __mmask16 in_ramp = _mm512_cmpgt_epi32_mask(reach, d);
    const __mmask16 ramped =
        plan->ramp ? (__mmask16)(in_ramp & lanes & _mm512_test_epi32_mask(d, d)) : (__mmask16)0;
    __m512i value;
    if (!ramped) {
        value = tone16(blue, green, red, tone);
    } else {
        const __m512i base =
            _mm512_add_epi32(_mm512_maskz_slli_epi32(in_ramp, d, 10), _mm512_set1_epi32(2));
        value = rows16(blue, green, red, base, plan->lut);
    }
    _mm512_mask_i32scatter_epi32((void*)words, lanes, led, value, 4);
}

/* The blocks of one class of a line, two at a time. */
static AVX512_INLINE void class16(const convert_fast_plan* plan, const fast_block* b,
                                  uint32_t count, const uint8_t* frame, uint32_t* words,
                                  const fast_tone16* tone, unsigned wide, unsigned tall)
{
    uint32_t g = 0;
    for (; g + 1u < count; g += 2u)
        pass16(plan, b + g, b + g + 1u, frame, words, tone, wide, tall);
    if (g < count)
        pass16(plan, b + g, b + g, frame, words, tone, wide, tall);
}

/* The values of line l (3 x lights bytes, and up to 48 bytes of scratch
 * past them), from a frame with the plan's zeroed slack; words is scratch
 * of one word per LED of every group of sixteen and the fillers' slot. */
static AVX512_INLINE void line_values_avx512(const convert_fast_plan* plan, const uint8_t* frame,
                                             uint32_t l, uint8_t* values, uint32_t* words,
                                             const fast_tone16* tone)
{
    const fast_line* line = &plan->line[l];
    const fast_block* b = plan->blocks + line->first;
    class16(plan, b, line->count[0], frame, words, tone, 0u, 0u);
    b += line->count[0];
    class16(plan, b, line->count[FAST_WIDE], frame, words, tone, 1u, 0u);
    b += line->count[FAST_WIDE];
    class16(plan, b, line->count[FAST_TALL], frame, words, tone, 0u, 1u);
    b += line->count[FAST_TALL];
    class16(plan, b, line->count[FAST_WIDE | FAST_TALL], frame, words, tone, 1u, 1u);

    /* The words, in line order, to three bytes per LED. */
    const __m512i squeeze = _mm512_set_epi8(
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 62, 61, 60, 58, 57, 56, 54, 53, 52, 50, 49,
        48, 46, 45, 44, 42, 41, 40, 38, 37, 36, 34, 33, 32, 30, 29, 28, 26, 25, 24, 22, 21, 20, 18,
        17, 16, 14, 13, 12, 10, 9, 8, 6, 5, 4, 2, 1, 0);
    const uint32_t groups = (plan->lights + LANES - 1u) / LANES;
    for (uint32_t g = 0; g < groups; ++g) {
        const __m512i px =
            _mm512_permutexvar_epi8(squeeze, _mm512_loadu_si512((const void*)(words + LANES * g)));
        _mm512_mask_storeu_epi8((void*)(values + 48u * g), (1ull << 48) - 1u, px);
    }
}

static AVX512 void pack_line_avx512(const fast_packing* pack, const uint8_t* values,
                                    uint8_t* planes, uint8_t* out)
{
    /* Reverse each group of 8 values so that the mask of a byte's top bits
     * puts the first value of a group in the top bit of its byte. */
    const __m512i reverse = _mm512_set_epi64(
        0x08090a0b0c0d0e0fll, 0x0001020304050607ll, 0x08090a0b0c0d0e0fll, 0x0001020304050607ll,
        0x08090a0b0c0d0e0fll, 0x0001020304050607ll, 0x08090a0b0c0d0e0fll, 0x0001020304050607ll);
    const uint32_t D = pack->depth;
    const size_t ps = pack->planes_stride;
    /* 64 values at a time: two of the packing's 32-byte chunks (see
     * fast_packing_init for the room this needs). */
    const uint32_t pairs = (pack->chunks + 1u) / 2u;
    for (uint32_t c = 0; c < pairs; ++c) {
        __m512i v = _mm512_loadu_si512((const void*)(values + 64u * c));
        v = _mm512_shuffle_epi8(v, reverse);
        for (uint32_t i = 0; i < D; ++i) {
            const uint64_t mask = (uint64_t)_mm512_movepi8_mask(v);
            memcpy(planes + i * ps + 8u * c, &mask, 8);
            v = _mm512_add_epi8(v, v);
        }
    }
    const uint32_t B = pack->plane_bytes;
    for (uint32_t i = 0; i < D; ++i)
        memcpy(out + (size_t)i * B, planes + i * ps, B);
}

static AVX512_INLINE fast_tone16 tone_of(const convert_fast_plan* plan)
{
    fast_tone16 tone;
    tone.t0 = _mm512_loadu_si512((const void*)plan->lut);
    tone.t1 = _mm512_loadu_si512((const void*)(plan->lut + 64));
    tone.t2 = _mm512_loadu_si512((const void*)(plan->lut + 128));
    tone.t3 = _mm512_loadu_si512((const void*)(plan->lut + 192));
    return tone;
}

static AVX512 void lines_avx512(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                                uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    uint32_t* words = (uint32_t*)(void*)(scratch->values + plan->words_at);
    const fast_tone16 tone = tone_of(plan);
    for (uint32_t l = first; l < end; ++l) {
        line_values_avx512(plan, frame, l, values, words, &tone);
        pack_line_avx512(&plan->pack, scratch->values, scratch->planes,
                         out + (size_t)l * plan->pack.line_bytes);
    }
}

/* The fan view's lines: the gathers read a little past the last row, so
 * the frame is copied into a buffer with the plan's zeroed slack first. */
static AVX512 int leds_avx512(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    const size_t bytes = (plan->values_alloc + plan->frame_alloc + 63u) & ~(size_t)63u;
    uint8_t* block = aligned_alloc(64u, bytes);
    if (!block)
        return -1;
    uint8_t* values = block;
    uint32_t* words = (uint32_t*)(void*)(block + plan->words_at);
    uint8_t* copy = block + plan->values_alloc;
    memcpy(copy, frame, plan->frame_size);
    memset(copy + plan->frame_size, 0, plan->frame_alloc - plan->frame_size);
    const fast_tone16 tone = tone_of(plan);
    const size_t line_values = 3u * (size_t)plan->lights;
    for (uint32_t l = 0; l < plan->lines; ++l) {
        line_values_avx512(plan, copy, l, values, words, &tone);
        memcpy(leds + (size_t)l * line_values, values, line_values);
    }
    free(block);
    return 0;
}

const fast_kernel fast_kernel_avx512 = {lines_avx512, pack_line_avx512, leds_avx512};

/* The loads of pass16: the plan's fields and the gathers of the squares'
 * pixels, folded together. */
static AVX512_INLINE __m512i pass_floor16(const convert_fast_plan* plan, const fast_block* b0,
                                          const fast_block* b1, const uint8_t* frame, unsigned wide,
                                          unsigned tall)
{
    const int both = b1 != b0;
    const __mmask16 lanes = both ? 0xFFFFu : FIRST_BLOCK;
    const uint32_t stride = plan->stride;
    const __m256i tap0 = _mm256_loadu_si256((const __m256i*)(const void*)b0->tap);
    const __m256i tap1 = _mm256_loadu_si256((const __m256i*)(const void*)b1->tap);
    const __m512i taps = _mm512_inserti32x8(_mm512_castsi256_si512(tap0), tap1, 1);
    __m512i seen = load_pair_epi32(b0->led, b1->led);
    seen = _mm512_xor_si512(seen, _mm512_castps_si512(load_pair_ps(b0->fxa, b1->fxa)));
    seen = _mm512_xor_si512(seen, _mm512_castps_si512(load_pair_ps(b0->fxb, b1->fxb)));
    seen = _mm512_xor_si512(seen, _mm512_castps_si512(load_pair_ps(b0->fya, b1->fya)));
    seen = _mm512_xor_si512(seen, _mm512_castps_si512(load_pair_ps(b0->fyb, b1->fyb)));
    for (unsigned y = 0; y < 2u + tall; ++y) {
        const uint8_t* row = frame + y * stride;
        __m512i near = _mm512_i32gather_epi64(tap0, (const void*)row, 1);
        if (both)
            near = _mm512_xor_si512(near, _mm512_i32gather_epi64(tap1, (const void*)row, 1));
        seen = _mm512_add_epi32(seen, near);
        if (wide)
            seen = _mm512_add_epi32(seen,
                                    _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), lanes, taps,
                                                                (const void*)(row + 5u), 1));
    }
    return seen;
}

static AVX512_INLINE __m512i class_floor16(const convert_fast_plan* plan, const fast_block* b,
                                           uint32_t count, const uint8_t* frame, unsigned wide,
                                           unsigned tall)
{
    __m512i seen = _mm512_setzero_si512();
    uint32_t g = 0;
    for (; g + 1u < count; g += 2u)
        seen = _mm512_add_epi32(seen, pass_floor16(plan, b + g, b + g + 1u, frame, wide, tall));
    if (g < count)
        seen = _mm512_add_epi32(seen, pass_floor16(plan, b + g, b + g, frame, wide, tall));
    return seen;
}

AVX512 uint32_t fast_floor_avx512(const convert_fast_plan* plan, const uint8_t* frame,
                                  uint32_t first, uint32_t end)
{
    __m512i seen = _mm512_setzero_si512();
    for (uint32_t l = first; l < end; ++l) {
        const fast_line* line = &plan->line[l];
        const fast_block* b = plan->blocks + line->first;
        seen = _mm512_add_epi32(seen, class_floor16(plan, b, line->count[0], frame, 0u, 0u));
        b += line->count[0];
        seen =
            _mm512_add_epi32(seen, class_floor16(plan, b, line->count[FAST_WIDE], frame, 1u, 0u));
        b += line->count[FAST_WIDE];
        seen =
            _mm512_add_epi32(seen, class_floor16(plan, b, line->count[FAST_TALL], frame, 0u, 1u));
        b += line->count[FAST_TALL];
        seen = _mm512_add_epi32(
            seen, class_floor16(plan, b, line->count[FAST_WIDE | FAST_TALL], frame, 1u, 1u));
    }
    /* Summed as unsigned words: the compiler's reduction adds signed ints,
     * and a floor's checksum wraps by design. */
    uint32_t lanes[16];
    _mm512_storeu_si512((void*)lanes, seen);
    uint32_t sum = 0;
    for (int i = 0; i < 16; ++i)
        sum += lanes[i];
    return sum;
}

int fast_cpu_has_avx512(void)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    /* The operating system saves the vector and mask registers (OSXSAVE,
     * then XCR0: SSE, AVX, opmask and both halves of the upper registers). */
    if (!(c & bit_OSXSAVE))
        return 0;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    (void)hi;
    if ((lo & 0xe6u) != 0xe6u)
        return 0;
    if (__get_cpuid_max(0, NULL) < 7)
        return 0;
    __cpuid_count(7, 0, a, b, c, d);
    const unsigned need_b = bit_AVX512F | bit_AVX512DQ | bit_AVX512BW | bit_AVX512VL;
    return (b & need_b) == need_b && (c & bit_AVX512VBMI) ? 1 : 0;
}

#endif
