/* The generic per-frame kernel (plain C, any processor), the choice of
 * kernel and the probe that measures the kernels (convert_fast_probe.h).
 * Every floating-point step repeats the reference's (convert_worker.c,
 * sample_bilinear) in the same precision and order; the engine is compiled
 * without FMA contraction. */
#include "convert_fast_internal.h"

#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>

#include "convert_fast_probe.h"

const uint8_t fast_lane_of[GROUP] = {0, 1, 4, 5, 2, 3, 6, 7};

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

/* The lookup row of LED t: the tone curve, or within the brightness ramp
 * the row of its distance from the centre. */
static inline const uint8_t* lut_row(const convert_fast_plan* plan, uint32_t t)
{
    const uint32_t d = plan->lights - t; /* distance from the centre + 1 */
    return plan->lut + (d <= plan->ramp ? (size_t)d * 256u : 0u);
}

/* The weights of one sub-sample of the eight lanes of a block, formed as
 * sample_bilinear forms them. The lanes are independent: written as loops
 * over them, the compiler may run them side by side in vector registers
 * without changing a result. */
typedef struct fast_weights8 {
    float w00[GROUP], w10[GROUP], w01[GROUP], w11[GROUP];
} fast_weights8;

static FAST_INLINE void weights_generic(const float* fx, const float* fy, fast_weights8* w)
{
    for (uint32_t i = 0; i < GROUP; ++i) {
        w->w00[i] = (1.0f - fx[i]) * (1.0f - fy[i]);
        w->w10[i] = fx[i] * (1.0f - fy[i]);
        w->w01[i] = (1.0f - fx[i]) * fy[i];
        w->w11[i] = fx[i] * fy[i];
    }
}

/* One sub-sample's channel value for the eight lanes: the taps p00, p10,
 * p01, p11 weighed and summed as sample_bilinear does it, truncated toward
 * zero and added to acc. */
static FAST_INLINE void weigh_generic(const float* p00, const float* p10, const float* p01,
                                      const float* p11, const fast_weights8* w, int32_t* acc)
{
    for (uint32_t i = 0; i < GROUP; ++i) {
        float v = p00[i] * w->w00[i];
        v = v + p10[i] * w->w10[i];
        v = v + p01[i] * w->w01[i];
        v = v + p11[i] * w->w11[i];
        /* v is never negative and stays below 256 (255 plus rounding). */
        acc[i] += (int32_t)v;
    }
}

/* Blue, green and red of the pixel at px in the low three bytes of a word.
 * The four bytes at px are read as one where a fourth byte follows (the
 * compiler merges the byte reads), else only the three. */
static FAST_INLINE uint32_t pixel_word(const uint8_t* px, int fourth)
{
    if (fourth)
        return (uint32_t)px[0] | (uint32_t)px[1] << 8 | (uint32_t)px[2] << 16 |
            (uint32_t)px[3] << 24;
    return (uint32_t)px[0] | (uint32_t)px[1] << 8 | (uint32_t)px[2] << 16;
}

/* The values of the LEDs of one block of class (wide, tall) (spelled out
 * as constants, so that each class compiles to code of its own), looked up
 * and stored at values + 3 x t. Each pixel of an LED's square is read and
 * converted once. A tap that would lie past the frame's last byte is the
 * right or lower neighbour of the last column or row, whose weight is
 * exactly 0: any pixel serves, and the first one is read instead. */
static FAST_INLINE void block_generic(const convert_fast_plan* plan, const fast_block* b,
                                      const uint8_t* frame, uint8_t* values, unsigned wide,
                                      unsigned tall)
{
    const uint32_t stride = plan->stride;
    const uint32_t last = plan->frame_size - 3u; /* offset of the last pixel */
    uint32_t q[3][3][GROUP];                     /* row, column, lane: the pixel's word */
    for (uint32_t j = 0; j < GROUP; ++j) {
        const uint32_t i = fast_lane_of[j];
        for (unsigned r = 0; r < 2u + tall; ++r)
            for (unsigned c = 0; c < 2u + wide; ++c) {
                uint32_t at = b->tap[j] + r * stride + 3u * c;
                if (at > last)
                    at = 0;
                q[r][c][i] = pixel_word(frame + at, at < last);
            }
    }
    fast_weights8 waa, wba, wab, wbb;
    weights_generic(b->fxa, b->fya, &waa);
    weights_generic(b->fxb, b->fya, &wba);
    weights_generic(b->fxa, b->fyb, &wab);
    weights_generic(b->fxb, b->fyb, &wbb);
    const unsigned c = wide, r = tall; /* column and row of the b sub-samples */
    for (unsigned k = 0; k < 3u; ++k) {
        float p[3][3][GROUP];
        for (unsigned y = 0; y < 2u + tall; ++y)
            for (unsigned x = 0; x < 2u + wide; ++x)
                for (uint32_t i = 0; i < GROUP; ++i)
                    p[y][x][i] = (float)((q[y][x][i] >> (8u * k)) & 0xffu);
        int32_t acc[GROUP] = {0, 0, 0, 0, 0, 0, 0, 0};
        weigh_generic(p[0][0], p[0][1], p[1][0], p[1][1], &waa, acc);
        weigh_generic(p[0][c], p[0][c + 1], p[1][c], p[1][c + 1], &wba, acc);
        weigh_generic(p[r][0], p[r][1], p[r + 1][0], p[r + 1][1], &wab, acc);
        weigh_generic(p[r][c], p[r][c + 1], p[r + 1][c], p[r + 1][c + 1], &wbb, acc);
        for (uint32_t i = 0; i < GROUP; ++i) {
            const uint32_t t = b->led[i];
            if (t < plan->lights)
                values[3u * t + k] = lut_row(plan, t)[(uint32_t)(acc[i] + 2) >> 2];
        }
    }
}

/* The tone-mapped, brightness-adjusted values of line l (3 x lights
 * bytes). Reads only the frame's own bytes. */
static void line_values_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t l,
                                uint8_t* values)
{
    const fast_line* line = &plan->line[l];
    const fast_block* b = plan->blocks + line->first;
    for (uint32_t cls = 0; cls < FAST_CLASSES; ++cls) {
        const unsigned wide = cls & FAST_WIDE ? 1u : 0u;
        const unsigned tall = cls & FAST_TALL ? 1u : 0u;
        for (uint32_t g = 0; g < line->count[cls]; ++g, ++b) {
            if (wide && tall)
                block_generic(plan, b, frame, values, 1u, 1u);
            else if (wide)
                block_generic(plan, b, frame, values, 1u, 0u);
            else if (tall)
                block_generic(plan, b, frame, values, 0u, 1u);
            else
                block_generic(plan, b, frame, values, 0u, 0u);
        }
    }
}

static void lines_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                          uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    for (uint32_t l = first; l < end; ++l) {
        line_values_generic(plan, frame, l, values);
        pack_line_generic(&plan->pack, scratch->values, scratch->planes,
                          out + (size_t)l * plan->pack.line_bytes);
    }
}

static int leds_generic(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    const size_t line_values = 3u * (size_t)plan->lights;
    for (uint32_t l = 0; l < plan->lines; ++l)
        line_values_generic(plan, frame, l, leds + (size_t)l * line_values);
    return 0;
}

const fast_kernel fast_kernel_generic = {lines_generic, pack_line_generic, leds_generic};

/* The loads of block_generic: the plan's fields and the bytes of every
 * pixel of the squares. */
static FAST_INLINE uint32_t block_floor_generic(const convert_fast_plan* plan, const fast_block* b,
                                                const uint8_t* frame, unsigned wide, unsigned tall)
{
    const uint32_t stride = plan->stride;
    const uint32_t last = plan->frame_size - 3u;
    uint32_t seen = 0;
    for (uint32_t j = 0; j < GROUP; ++j) {
        const uint32_t i = fast_lane_of[j];
        uint32_t f[4];
        memcpy(&f[0], &b->fxa[i], 4);
        memcpy(&f[1], &b->fxb[i], 4);
        memcpy(&f[2], &b->fya[i], 4);
        memcpy(&f[3], &b->fyb[i], 4);
        seen ^= b->led[i] ^ f[0] ^ f[1] ^ f[2] ^ f[3];
        for (unsigned r = 0; r < 2u + tall; ++r)
            for (unsigned c = 0; c < 2u + wide; ++c) {
                const uint32_t at = b->tap[j] + r * stride + 3u * c;
                const uint8_t* px = frame + (at <= last ? at : 0u);
                seen += px[0] ^ (uint32_t)px[1] << 8 ^ (uint32_t)px[2] << 16;
            }
    }
    return seen;
}

uint32_t fast_floor_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                            uint32_t end)
{
    uint32_t seen = 0;
    for (uint32_t l = first; l < end; ++l) {
        const fast_line* line = &plan->line[l];
        const fast_block* b = plan->blocks + line->first;
        for (uint32_t g = 0; g < line->count[0]; ++g, ++b)
            seen += block_floor_generic(plan, b, frame, 0u, 0u);
        for (uint32_t g = 0; g < line->count[FAST_WIDE]; ++g, ++b)
            seen += block_floor_generic(plan, b, frame, 1u, 0u);
        for (uint32_t g = 0; g < line->count[FAST_TALL]; ++g, ++b)
            seen += block_floor_generic(plan, b, frame, 0u, 1u);
        for (uint32_t g = 0; g < line->count[FAST_WIDE | FAST_TALL]; ++g, ++b)
            seen += block_floor_generic(plan, b, frame, 1u, 1u);
    }
    return seen;
}

/* What the processor and the system support, asked once. */
enum { HAS_AVX2 = 1, HAS_AVX512 = 2, HAS_KNOWN = 4 };

static int cpu_features(void)
{
    static atomic_int known;
    int bits = atomic_load_explicit(&known, memory_order_relaxed);
    if (bits == 0) {
        bits = HAS_KNOWN;
#if FAST_HAVE_AVX2
        if (fast_cpu_has_avx2())
            bits |= HAS_AVX2;
#endif
#if FAST_HAVE_AVX512
        if (fast_cpu_has_avx512())
            bits |= HAS_AVX512;
#endif
        atomic_store_explicit(&known, bits, memory_order_relaxed);
    }
    return bits;
}

convert_fast_kernel convert_fast_kernel_choose(convert_fast_kernel kernel, int avx2, int avx512)
{
    if (kernel == CONVERT_FAST_KERNEL_AUTO || kernel == CONVERT_FAST_KERNEL_AVX512) {
        if (avx2 && avx512)
            return CONVERT_FAST_KERNEL_AVX512;
        kernel = CONVERT_FAST_KERNEL_AVX2;
    }
    if (kernel == CONVERT_FAST_KERNEL_AVX2 && avx2)
        return CONVERT_FAST_KERNEL_AVX2;
    return CONVERT_FAST_KERNEL_GENERIC;
}

/* The kernel that runs for a choice on this processor. */
static convert_fast_kernel resolve(convert_fast_kernel kernel)
{
    const int has = cpu_features();
    return convert_fast_kernel_choose(kernel, has & HAS_AVX2, has & HAS_AVX512);
}

const fast_kernel* fast_kernel_for(convert_fast_kernel kernel)
{
    switch (resolve(kernel)) {
#if FAST_HAVE_AVX512
    case CONVERT_FAST_KERNEL_AVX512:
        return &fast_kernel_avx512;
#endif
#if FAST_HAVE_AVX2
    case CONVERT_FAST_KERNEL_AVX2:
        return &fast_kernel_avx2;
#endif
    default:
        return &fast_kernel_generic;
    }
}

convert_fast_kernel convert_fast_best_kernel(void) { return resolve(CONVERT_FAST_KERNEL_AUTO); }

convert_fast_kernel convert_fast_kernel_runs(convert_fast_kernel kernel) { return resolve(kernel); }

const char* convert_fast_kernel_name(convert_fast_kernel kernel)
{
    switch (kernel) {
    case CONVERT_FAST_KERNEL_AUTO:
        return convert_fast_kernel_name(convert_fast_best_kernel());
    case CONVERT_FAST_KERNEL_GENERIC:
        return "generic";
    case CONVERT_FAST_KERNEL_AVX2:
        return "avx2";
    case CONVERT_FAST_KERNEL_AVX512:
        return "avx512";
    }
    return "unknown";
}

/* ---------------------------------------------------------------- probe -- */

struct convert_fast_probe {
    const convert_fast_plan* plan;
    convert_fast_kernel kernel;
    fast_lines_fn lines;
    fast_floor_fn floor; /* NULL: run the kernel */
    uint8_t* block;      /* scratch, then the frame with its slack, then the output */
    fast_scratch scratch;
    uint8_t* frame;
    uint8_t* out;
};

convert_fast_probe* convert_fast_probe_create(const convert_fast_plan* plan,
                                              convert_fast_kernel kernel, int floor)
{
    if (!plan)
        return NULL;
    convert_fast_probe* probe = calloc(1, sizeof *probe);
    if (!probe)
        return NULL;
    probe->plan = plan;
    probe->kernel = resolve(kernel);
    probe->lines = fast_kernel_for(probe->kernel)->lines;
    fast_floor_fn floor_fn = fast_floor_generic;
#if FAST_HAVE_AVX2
    if (probe->kernel == CONVERT_FAST_KERNEL_AVX2)
        floor_fn = fast_floor_avx2;
#endif
#if FAST_HAVE_AVX512
    if (probe->kernel == CONVERT_FAST_KERNEL_AVX512)
        floor_fn = fast_floor_avx512;
#endif
    probe->floor = floor ? floor_fn : NULL;
    const size_t scratch = fast_scratch_bytes(plan);
    const size_t frame = (plan->frame_alloc + SCRATCH_ALIGN - 1u) & ~(size_t)(SCRATCH_ALIGN - 1u);
    const size_t bytes = (scratch + frame + plan->frame_out_bytes + SCRATCH_ALIGN - 1u) &
        ~(size_t)(SCRATCH_ALIGN - 1u);
    probe->block = aligned_alloc(SCRATCH_ALIGN, bytes);
    if (!probe->block) {
        free(probe);
        return NULL;
    }
    memset(probe->block, 0, bytes);
    probe->scratch.values = probe->block;
    probe->scratch.planes = probe->block + plan->values_alloc;
    probe->frame = probe->block + scratch;
    probe->out = probe->frame + frame;
    return probe;
}

void convert_fast_probe_free(convert_fast_probe* probe)
{
    if (!probe)
        return;
    free(probe->block);
    free(probe);
}

convert_fast_kernel convert_fast_probe_kernel(const convert_fast_probe* probe)
{
    return probe ? probe->kernel : CONVERT_FAST_KERNEL_GENERIC;
}

const uint8_t* convert_fast_probe_planes(const convert_fast_probe* probe)
{
    return probe ? probe->out : NULL;
}

void convert_fast_probe_set_frame(convert_fast_probe* probe, const uint8_t* frame)
{
    if (probe && frame)
        memcpy(probe->frame, frame, probe->plan->frame_size);
}

uint32_t convert_fast_probe_run(convert_fast_probe* probe, uint32_t first, uint32_t end)
{
    if (!probe)
        return 0;
    const convert_fast_plan* plan = probe->plan;
    if (end > plan->lines)
        end = plan->lines;
    if (first >= end)
        return 0;
    if (probe->floor)
        return probe->floor(plan, probe->frame, first, end);
    probe->lines(plan, probe->frame, first, end, probe->out, &probe->scratch);
    return probe->out[(size_t)first * plan->pack.line_bytes];
}
