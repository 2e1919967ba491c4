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

/* One row of the squares of a block's LEDs, two pixels per LED: one 8-byte
 * gather per LED (blue, green, red of the left pixel, then of the right
 * one), LEDs 0-3 in lo and 4-7 in hi. */
typedef struct fast_pair {
    __m256i lo, hi;
} fast_pair;

static AVX2_INLINE fast_pair gather_pair(const uint8_t* at, __m128i lo, __m128i hi)
{
    const long long* base = (const long long*)(const void*)at;
    fast_pair p;
    p.lo = _mm256_i32gather_epi64(base, lo, 1);
    p.hi = _mm256_i32gather_epi64(base, hi, 1);
    return p;
}

/* Byte shuffle that takes channel k of the left pixel of two LEDs into
 * words 0 and 1 of a 128-bit half and of the right pixel into words 2 and
 * 3. Unpacking the halves of two such shuffles then yields the LEDs in the
 * order 0 1 4 5 2 3 6 7, the order in which the plan stores the rest of a
 * block. */
#define FAST_PICK(k)                                                                               \
    _mm256_setr_epi8(k, -1, -1, -1, 8 + k, -1, -1, -1, 3 + k, -1, -1, -1, 11 + k, -1, -1, -1, k,   \
                     -1, -1, -1, 8 + k, -1, -1, -1, 3 + k, -1, -1, -1, 11 + k, -1, -1, -1)

/* Channel `pick` of the left and the right pixel of a pair, as floats. */
static AVX2_INLINE void pair_channel(fast_pair p, __m256i pick, __m256* left, __m256* right)
{
    const __m256i a = _mm256_shuffle_epi8(p.lo, pick);
    const __m256i b = _mm256_shuffle_epi8(p.hi, pick);
    *left = _mm256_cvtepi32_ps(_mm256_unpacklo_epi64(a, b));
    *right = _mm256_cvtepi32_ps(_mm256_unpackhi_epi64(a, b));
}

/* The four weights of one sub-sample, formed as sample_bilinear forms them. */
typedef struct fast_weights {
    __m256 w00, w10, w01, w11;
} fast_weights;

static AVX2_INLINE fast_weights weights_of(__m256 fx, __m256 fy)
{
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 gx = _mm256_sub_ps(one, fx);
    const __m256 gy = _mm256_sub_ps(one, fy);
    fast_weights w;
    w.w00 = _mm256_mul_ps(gx, gy);
    w.w10 = _mm256_mul_ps(fx, gy);
    w.w01 = _mm256_mul_ps(gx, fy);
    w.w11 = _mm256_mul_ps(fx, fy);
    return w;
}

/* One sub-sample's channel value, summed as sample_bilinear sums it and
 * truncated toward zero (v lies in [0, 256)). */
static AVX2_INLINE __m256i weigh(__m256 p00, __m256 p10, __m256 p01, __m256 p11, fast_weights w)
{
    __m256 v = _mm256_mul_ps(p00, w.w00);
    v = _mm256_add_ps(v, _mm256_mul_ps(p10, w.w10));
    v = _mm256_add_ps(v, _mm256_mul_ps(p01, w.w01));
    v = _mm256_add_ps(v, _mm256_mul_ps(p11, w.w11));
    return _mm256_cvttps_epi32(v);
}

/* The pixels of a block's squares: near[y] holds columns 0 and 1 of row y;
 * far[y] (wide squares only) the word that ends with column 2 of row y (red
 * of column 1, then blue, green and red of column 2), in lane order. */
typedef struct fast_square {
    fast_pair near[3];
    __m256i far[3];
} fast_square;

/* The weights of the four sub-samples (xa, ya), (xb, ya), (xa, yb), (xb, yb). */
typedef struct fast_sub_weights {
    fast_weights aa, ba, ab, bb;
} fast_sub_weights;

/* Channel k of eight LEDs (pick: its byte shuffle; far_up: the shift that
 * brings its byte of a far word to the top, 16 - 8 x k):
 * the truncated values of the four sub-samples, averaged (rounding half
 * up), then looked up in the table rows of the lanes' LEDs. base is 4 x the
 * row's offset + 2, so that (base + sum) / 4 is the row's offset plus the
 * average. One word per LED, the looked-up value in its byte k (the word is
 * read from k bytes before the entry). */
static AVX2_INLINE __m256i channel_avx2(const fast_square* sq, const fast_sub_weights* w,
                                        __m256i pick, int far_up, __m256i base, const uint8_t* lut,
                                        int k, unsigned wide, unsigned tall)
{
    __m256 p[3][3];
    for (unsigned y = 0; y < 2u + tall; ++y) {
        pair_channel(sq->near[y], pick, &p[y][0], &p[y][1]);
        if (wide)
            p[y][2] =
                _mm256_cvtepi32_ps(_mm256_srli_epi32(_mm256_slli_epi32(sq->far[y], far_up), 24));
    }
    const unsigned c = wide, r = tall; /* column and row of the b sub-samples */
    __m256i acc = weigh(p[0][0], p[0][1], p[1][0], p[1][1], w->aa);
    acc = _mm256_add_epi32(acc, weigh(p[0][c], p[0][c + 1], p[1][c], p[1][c + 1], w->ba));
    acc = _mm256_add_epi32(acc, weigh(p[r][0], p[r][1], p[r + 1][0], p[r + 1][1], w->ab));
    acc = _mm256_add_epi32(acc, weigh(p[r][c], p[r][c + 1], p[r + 1][c], p[r + 1][c + 1], w->bb));
    const __m256i entry = _mm256_srli_epi32(_mm256_add_epi32(acc, base), 2);
    return _mm256_i32gather_epi32((const int*)(const void*)(lut - k), entry, 1);
}

/* The looked-up values of the eight LEDs of a block of class (wide, tall),
 * one word per LED (blue, green, red and a byte of no meaning) in lane
 * order. Every pixel of the LEDs' squares is gathered and converted once:
 * two 8-byte gathers per row for the first two columns, and for a wide
 * square a 4-byte gather in lane order for the third. */
static AVX2_INLINE __m256i block_avx2(const convert_fast_plan* plan, const fast_block* b,
                                      const uint8_t* frame, unsigned wide, unsigned tall)
{
    const uint32_t stride = plan->stride;
    const __m128i lo = _mm_loadu_si128((const __m128i*)(const void*)b->tap);
    const __m128i hi = _mm_loadu_si128((const __m128i*)(const void*)(b->tap + 4));
    fast_square sq;
    __m256i lanes = _mm256_setzero_si256();
    if (wide)
        lanes = _mm256_permutevar8x32_epi32(_mm256_loadu_si256((const __m256i*)(const void*)b->tap),
                                            _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    for (unsigned y = 0; y < 2u + tall; ++y) {
        sq.near[y] = gather_pair(frame + y * stride, lo, hi);
        if (wide)
            sq.far[y] = _mm256_i32gather_epi32((const int*)(const void*)(frame + y * stride + 5u),
                                               lanes, 1);
    }
    const __m256 fxa = _mm256_loadu_ps(b->fxa);
    const __m256 fxb = _mm256_loadu_ps(b->fxb);
    const __m256 fya = _mm256_loadu_ps(b->fya);
    const __m256 fyb = _mm256_loadu_ps(b->fyb);
    fast_sub_weights w;
    w.aa = weights_of(fxa, fya);
    w.ba = weights_of(fxb, fya);
    w.ab = weights_of(fxa, fyb);
    w.bb = weights_of(fxb, fyb);

    /* The lookup row of each lane's LED (see lut_row in the generic kernel). */
    const __m256i led = _mm256_loadu_si256((const __m256i*)(const void*)b->led);
    const __m256i d = _mm256_sub_epi32(_mm256_set1_epi32((int)plan->lights), led);
    const __m256i in_ramp = _mm256_cmpgt_epi32(_mm256_set1_epi32((int)plan->ramp + 1), d);
    const __m256i base =
        _mm256_add_epi32(_mm256_and_si256(in_ramp, _mm256_slli_epi32(d, 10)), _mm256_set1_epi32(2));
    const uint8_t* lut = plan->lut;

    const __m256i blue = channel_avx2(&sq, &w, FAST_PICK(0), 16, base, lut, 0, wide, tall);
    const __m256i green = channel_avx2(&sq, &w, FAST_PICK(1), 8, base, lut, 1, wide, tall);
    const __m256i red = channel_avx2(&sq, &w, FAST_PICK(2), 0, base, lut, 2, wide, tall);
    /* Bytes 0 and 1 from blue and green, 2 and 3 from red. */
    const __m256i low = _mm256_or_si256(_mm256_and_si256(blue, _mm256_set1_epi32(0xff)),
                                        _mm256_and_si256(green, _mm256_set1_epi32(0xff00)));
    return _mm256_blend_epi16(low, red, 0xaa);
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

/* The values of the blocks of one class of a line, each LED's word stored
 * at words[t] (fillers at words[lights]). */
static AVX2_INLINE void class_avx2(const convert_fast_plan* plan, const fast_block* b,
                                   uint32_t count, const uint8_t* frame, uint32_t* words,
                                   unsigned wide, unsigned tall)
{
    for (uint32_t g = 0; g < count; ++g, ++b) {
        _Alignas(32) uint32_t w[GROUP];
        _mm256_store_si256((__m256i*)(void*)w, block_avx2(plan, b, frame, wide, tall));
        for (uint32_t i = 0; i < GROUP; ++i)
            words[b->led[i]] = w[i];
    }
}

/* The values of line l (3 x lights bytes, and up to 16 bytes of scratch
 * past them), from a frame with the plan's zeroed slack; words is scratch
 * of one word per LED of every group and the fillers' slot. */
static AVX2_INLINE void line_values_avx2(const convert_fast_plan* plan, const uint8_t* frame,
                                         uint32_t l, uint8_t* values, uint32_t* words)
{
    const fast_line* line = &plan->line[l];
    const fast_block* b = plan->blocks + line->first;
    class_avx2(plan, b, line->count[0], frame, words, 0u, 0u);
    b += line->count[0];
    class_avx2(plan, b, line->count[FAST_WIDE], frame, words, 1u, 0u);
    b += line->count[FAST_WIDE];
    class_avx2(plan, b, line->count[FAST_TALL], frame, words, 0u, 1u);
    b += line->count[FAST_TALL];
    class_avx2(plan, b, line->count[FAST_WIDE | FAST_TALL], frame, words, 1u, 1u);

    /* The words, in line order, to three bytes per LED. */
    const __m256i squeeze =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    for (uint32_t g = 0; g < plan->groups; ++g) {
        const __m256i px = _mm256_shuffle_epi8(
            _mm256_loadu_si256((const __m256i*)(const void*)(words + GROUP * g)), squeeze);
        uint8_t* dst = values + 24u * g;
        _mm_storeu_si128((__m128i*)(void*)dst, _mm256_castsi256_si128(px));
        _mm_storeu_si128((__m128i*)(void*)(dst + 12), _mm256_extracti128_si256(px, 1));
    }
}

static AVX2 void lines_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                            uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    uint32_t* words = (uint32_t*)(void*)(scratch->values + plan->words_at);
    for (uint32_t l = first; l < end; ++l) {
        line_values_avx2(plan, frame, l, values, words);
        pack_line_avx2(&plan->pack, scratch->values, scratch->planes,
                       out + (size_t)l * plan->pack.line_bytes);
    }
}

/* The fan view's lines: the gathers read a little past the last row, so
 * the frame is copied into a buffer with the plan's zeroed slack first. */
static AVX2 int leds_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    /* The value array and the words first, at the block's 32-byte aligned
     * start. */
    const size_t bytes = (plan->values_alloc + plan->frame_alloc + 31u) & ~(size_t)31u;
    uint8_t* block = aligned_alloc(32u, bytes);
    if (!block)
        return -1;
    uint8_t* values = block;
    uint32_t* words = (uint32_t*)(void*)(block + plan->words_at);
    uint8_t* copy = block + plan->values_alloc;
    memcpy(copy, frame, plan->frame_size);
    memset(copy + plan->frame_size, 0, plan->frame_alloc - plan->frame_size);
    const size_t line_values = 3u * (size_t)plan->lights;
    for (uint32_t l = 0; l < plan->lines; ++l) {
        line_values_avx2(plan, copy, l, values, words);
        memcpy(leds + (size_t)l * line_values, values, line_values);
    }
    free(block);
    return 0;
}

const fast_kernel fast_kernel_avx2 = {lines_avx2, pack_line_avx2, leds_avx2};

/* The loads of block_avx2: the plan's fields and the gathers of the
 * squares' pixels, folded together. */
static AVX2_INLINE __m256i block_floor_avx2(const convert_fast_plan* plan, const fast_block* b,
                                            const uint8_t* frame, unsigned wide, unsigned tall)
{
    const uint32_t stride = plan->stride;
    const __m128i lo = _mm_loadu_si128((const __m128i*)(const void*)b->tap);
    const __m128i hi = _mm_loadu_si128((const __m128i*)(const void*)(b->tap + 4));
    __m256i seen = _mm256_loadu_si256((const __m256i*)(const void*)b->led);
    seen = _mm256_xor_si256(seen, _mm256_castps_si256(_mm256_loadu_ps(b->fxa)));
    seen = _mm256_xor_si256(seen, _mm256_castps_si256(_mm256_loadu_ps(b->fxb)));
    seen = _mm256_xor_si256(seen, _mm256_castps_si256(_mm256_loadu_ps(b->fya)));
    seen = _mm256_xor_si256(seen, _mm256_castps_si256(_mm256_loadu_ps(b->fyb)));
    __m256i lanes = _mm256_setzero_si256();
    if (wide)
        lanes = _mm256_permutevar8x32_epi32(_mm256_loadu_si256((const __m256i*)(const void*)b->tap),
                                            _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    for (unsigned y = 0; y < 2u + tall; ++y) {
        const fast_pair p = gather_pair(frame + y * stride, lo, hi);
        seen = _mm256_add_epi32(seen, _mm256_xor_si256(p.lo, p.hi));
        if (wide)
            seen =
                _mm256_add_epi32(seen,
                                 _mm256_i32gather_epi32(
                                     (const int*)(const void*)(frame + y * stride + 5u), lanes, 1));
    }
    return seen;
}

AVX2 uint32_t fast_floor_avx2(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                              uint32_t end)
{
    __m256i seen = _mm256_setzero_si256();
    for (uint32_t l = first; l < end; ++l) {
        const fast_line* line = &plan->line[l];
        const fast_block* b = plan->blocks + line->first;
        for (uint32_t g = 0; g < line->count[0]; ++g, ++b)
            seen = _mm256_add_epi32(seen, block_floor_avx2(plan, b, frame, 0u, 0u));
        for (uint32_t g = 0; g < line->count[FAST_WIDE]; ++g, ++b)
            seen = _mm256_add_epi32(seen, block_floor_avx2(plan, b, frame, 1u, 0u));
        for (uint32_t g = 0; g < line->count[FAST_TALL]; ++g, ++b)
            seen = _mm256_add_epi32(seen, block_floor_avx2(plan, b, frame, 0u, 1u));
        for (uint32_t g = 0; g < line->count[FAST_WIDE | FAST_TALL]; ++g, ++b)
            seen = _mm256_add_epi32(seen, block_floor_avx2(plan, b, frame, 1u, 1u));
    }
    const __m128i half =
        _mm_add_epi32(_mm256_castsi256_si128(seen), _mm256_extracti128_si256(seen, 1));
    const __m128i quarter = _mm_add_epi32(half, _mm_srli_si128(half, 8));
    return (uint32_t)_mm_cvtsi128_si32(_mm_add_epi32(quarter, _mm_srli_si128(quarter, 4)));
}

int fast_cpu_has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

#endif
