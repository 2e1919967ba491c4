/* The generic per-frame kernel (plain C, any processor) and the choice of
 * kernel. Every floating-point step repeats the reference's
 * (convert_worker.c, sample_bilinear) in the same precision and order; the
 * engine is compiled without FMA contraction. */
#include "convert_fast_internal.h"

#include <string.h>

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

void fast_apply_ramp(const convert_fast_plan* plan, uint8_t* values)
{
    for (uint32_t t = plan->lights - plan->ramp; t < plan->lights; ++t) {
        /* LED t sits at distance lights - 1 - t and uses row distance + 1. */
        const uint8_t* row = plan->lut + (size_t)(plan->lights - t) * 256u;
        values[3u * t + 0u] = row[values[3u * t + 0u]];
        values[3u * t + 1u] = row[values[3u * t + 1u]];
        values[3u * t + 2u] = row[values[3u * t + 2u]];
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
    fast_apply_ramp(plan, values);
}

/* One sub-sample of the reference's sampler: four taps, weights formed and
 * summed as there, truncated to a byte; the three channels are added to acc.
 * dx and dy step to the right and lower taps (3 and the stride; 0 where the
 * tap lies on the last column or row, whose neighbour then carries weight
 * exactly 0, so that the frame is never read past its end). */
static inline void sub_sample_generic(const uint8_t* frame, uint32_t dx, uint32_t dy,
                                      uint32_t offset, float fx, float fy, unsigned acc[3])
{
    const float w00 = (1.0f - fx) * (1.0f - fy);
    const float w10 = fx * (1.0f - fy);
    const float w01 = (1.0f - fx) * fy;
    const float w11 = fx * fy;
    const uint8_t* p00 = frame + offset;
    const uint8_t* p10 = p00 + dx;
    const uint8_t* p01 = p00 + dy;
    const uint8_t* p11 = p01 + dx;
    for (int k = 0; k < 3; ++k) {
        float v = (float)p00[k] * w00;
        v = v + (float)p10[k] * w10;
        v = v + (float)p01[k] * w01;
        v = v + (float)p11[k] * w11;
        /* v is never negative; at most 255 plus rounding. */
        acc[k] += v >= 255.0f ? 255u : (unsigned)v;
    }
}

/* The tone-mapped, brightness-adjusted values of line l (3 x lights bytes).
 * With `bounded` the taps stay inside the frame's own bytes; otherwise the
 * frame needs the plan's zeroed slack (frame_alloc bytes). */
static inline void line_values_generic(const convert_fast_plan* plan, const uint8_t* frame,
                                       uint32_t l, uint8_t* values, int bounded)
{
    const uint32_t stride = plan->stride;
    const uint32_t last_x = 3u * (plan->width - 1u);
    const uint32_t last_y = (plan->height - 1u) * stride;
    const fast_block* line = plan->blocks + (size_t)l * plan->groups;
    for (uint32_t t = 0; t < plan->lights; ++t) {
        const fast_block* b = line + t / GROUP;
        const uint32_t j = t % GROUP;
        const uint32_t f = fast_lane_of[j];
        uint32_t dxa = 3u, dxb = 3u, dya = stride, dyb = stride;
        if (bounded) {
            dxa = b->xa[j] < last_x ? 3u : 0u;
            dxb = b->xb[j] < last_x ? 3u : 0u;
            dya = b->ya[j] < last_y ? stride : 0u;
            dyb = b->yb[j] < last_y ? stride : 0u;
        }
        unsigned acc[3] = {0, 0, 0};
        sub_sample_generic(frame, dxa, dya, b->xa[j] + b->ya[j], b->fxa[f], b->fya[f], acc);
        sub_sample_generic(frame, dxb, dya, b->xb[j] + b->ya[j], b->fxb[f], b->fya[f], acc);
        sub_sample_generic(frame, dxa, dyb, b->xa[j] + b->yb[j], b->fxa[f], b->fyb[f], acc);
        sub_sample_generic(frame, dxb, dyb, b->xb[j] + b->yb[j], b->fxb[f], b->fyb[f], acc);
        values[3u * t + 0u] = (uint8_t)((acc[0] + 2u) >> 2);
        values[3u * t + 1u] = (uint8_t)((acc[1] + 2u) >> 2);
        values[3u * t + 2u] = (uint8_t)((acc[2] + 2u) >> 2);
    }
    apply_tables(plan, values);
}

static void lines_generic(const convert_fast_plan* plan, const uint8_t* frame, uint32_t first,
                          uint32_t end, uint8_t* out, fast_scratch* scratch)
{
    uint8_t* values = scratch->values + plan->pack.pad_bits;
    for (uint32_t l = first; l < end; ++l) {
        line_values_generic(plan, frame, l, values, 0);
        pack_line_generic(&plan->pack, scratch->values, scratch->planes,
                          out + (size_t)l * plan->pack.line_bytes);
    }
}

static int leds_generic(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    const size_t line_values = 3u * (size_t)plan->lights;
    for (uint32_t l = 0; l < plan->lines; ++l)
        line_values_generic(plan, frame, l, leds + (size_t)l * line_values, 1);
    return 0;
}

const fast_kernel fast_kernel_generic = {lines_generic, pack_line_generic, leds_generic};

const fast_kernel* fast_kernel_for(convert_fast_kernel kernel)
{
#if FAST_HAVE_AVX2
    if (kernel != CONVERT_FAST_KERNEL_GENERIC && fast_cpu_has_avx2())
        return &fast_kernel_avx2;
#else
    (void)kernel;
#endif
    return &fast_kernel_generic;
}

convert_fast_kernel convert_fast_best_kernel(void)
{
    return fast_kernel_for(CONVERT_FAST_KERNEL_AUTO) == &fast_kernel_generic
        ? CONVERT_FAST_KERNEL_GENERIC
        : CONVERT_FAST_KERNEL_AVX2;
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
