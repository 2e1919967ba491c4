/* The sampling plan of a flat job: for every LED the taps and fractions of
 * its four sub-samples, computed exactly as the reference sampler computes
 * them, and the lookup tables of the tone curve and the brightness ramp. */
#include "convert_fast_internal.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

void fast_packing_init(fast_packing* pack, uint32_t lights, uint32_t depth)
{
    pack->depth = depth;
    pack->plane_bytes = (uint32_t)convert_plane_bytes(lights);
    pack->pad_bits = 8u * pack->plane_bytes - 3u * lights;
    pack->line_bytes = (size_t)depth * pack->plane_bytes;
    pack->chunks = (uint32_t)(((uint64_t)pack->plane_bytes * 8u + 31u) / 32u);
    /* Room for an even number of chunks: the AVX-512 kernel packs two at a
     * time, and a plane's last write must not reach into the next plane. */
    pack->planes_stride = 8u * (((size_t)pack->chunks + 1u) / 2u);
}

size_t fast_values_bytes(const fast_packing* pack, size_t values)
{
    size_t n = (size_t)pack->pad_bits + values + 16u;
    /* Whole chunks, read two at a time. */
    const size_t read = 64u * (((size_t)pack->chunks + 1u) / 2u);
    if (n < read)
        n = read;
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

/* One LED's square of taps (see FAST_WIDE and FAST_TALL). */
typedef struct fast_tap {
    uint32_t tap;
    uint32_t cls;
    float fxa, fxb, fya, fyb;
} fast_tap;

/* The taps of the LED at (x, y): its four sub-samples at a quarter pixel
 * from it, clamped and split as sample_bilinear does it. Returns 0 should
 * the sub-sample columns or rows ever lie further apart than neighbours
 * (the plan then refuses the job). */
static int plan_tap(const convert_fast_plan* plan, float x, float y, fast_tap* tap)
{
    uint32_t xa, xb, ya, yb;
    split_coordinate(x - 0.25f, plan->width, &xa, &tap->fxa);
    split_coordinate(x + 0.25f, plan->width, &xb, &tap->fxb);
    split_coordinate(y - 0.25f, plan->height, &ya, &tap->fya);
    split_coordinate(y + 0.25f, plan->height, &yb, &tap->fyb);
    if (xb < xa || xb - xa > 1u || yb < ya || yb - ya > 1u)
        return 0;
    tap->tap = 3u * xa + ya * plan->stride;
    tap->cls = (xb > xa ? FAST_WIDE : 0u) | (yb > ya ? FAST_TALL : 0u);
    return 1;
}

/* Whether the fast path takes the job: the reference's own parameter checks
 * plus the limits of the plan (exact single-precision coordinates, frame
 * offsets and lookup-table offsets, four times over, in signed 32 bits for
 * the gathers). */
static int job_supported(const convert_job* job)
{
    if (job->frames_resized_file[0] == '\0' || job->out_path[0] == '\0')
        return 0;
    if (job->lines == 0 || job->lines > CONVERT_MAX_LINES || job->lights == 0 ||
        job->lights > CONVERT_MAX_LIGHTS || job->in_width == 0 || job->in_height == 0 ||
        job->radius == 0 || job->colorDeep < 1 || job->colorDeep > FAN_MAX_COLOR_DEEP)
        return 0;
    if (job->in_width > MAX_EXACT || job->in_height > MAX_EXACT)
        return 0;
    const uint64_t frame_size = (uint64_t)job->in_width * job->in_height * 3u;
    if (frame_size + 3u * (uint64_t)job->in_width + 64u > INT32_MAX)
        return 0;
    if (job->change_brightness_lights >= MAX_RAMP && job->lights >= MAX_RAMP)
        return 0;
    return 1;
}

void convert_fast_plan_free(convert_fast_plan* plan)
{
    if (!plan)
        return;
    free(plan->line);
    free(plan->blocks);
    free(plan->lut_block);
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
    fast_packing_init(&plan->pack, job->lights, job->colorDeep);
    /* Values are stored 24 bytes per group of eight with 16-byte stores, or
     * 48 bytes per group of sixteen; packing reads whole 32-byte chunks. The
     * vector kernels first put each LED's values into a word of its own (one
     * per LED of every group of sixteen, and the fillers' slot). */
    const size_t wide_groups = ((size_t)plan->lights + WIDE_GROUP - 1u) / WIDE_GROUP;
    plan->words_at = fast_values_bytes(&plan->pack, 3u * WIDE_GROUP * wide_groups);
    plan->values_alloc = plan->words_at + 4u * WIDE_GROUP * (wide_groups + 1u);

    /* Each class fills its last block of a line with fillers: at most three
     * blocks per line more than the LEDs need. */
    const uint64_t block_count = (uint64_t)plan->lines * (plan->groups + FAST_CLASSES - 1u);
    const uint64_t out_bytes = (uint64_t)plan->lines * plan->pack.line_bytes;
    if (block_count > UINT32_MAX || block_count > SIZE_MAX / sizeof(fast_block) ||
        out_bytes > SIZE_MAX / 4u) {
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
    plan->lut_bytes = (size_t)((ramp + 1u) * 256u + 2u * FAST_LUT_MARGIN);
    plan->lut_block = calloc(1, plan->lut_bytes);
    plan->lut = plan->lut_block ? plan->lut_block + FAST_LUT_MARGIN : NULL;
    plan->line = calloc(plan->lines, sizeof *plan->line);
    plan->blocks = calloc((size_t)block_count, sizeof(fast_block));
    fast_tap* taps = calloc(plan->lights, sizeof *taps);
    if (!plan->lut || !plan->line || !plan->blocks || !taps) {
        free(taps);
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

    size_t used = 0;
    for (uint32_t l = 0; l < plan->lines; ++l) {
        const double theta = (CONVERT_TWO_PI / (double)job->lines) * (double)l;
        const double s = sin(theta);
        const double c = cos(theta);
        uint32_t members[FAST_CLASSES] = {0, 0, 0, 0};
        for (uint32_t t = 0; t < job->lights; ++t) {
            const uint32_t r = job->lights - 1u - t;
            const float x = (float)((double)r * c + (double)job->center_x);
            const float y = (float)((double)r * s + (double)job->center_y);
            if (!plan_tap(plan, x, y, &taps[t])) {
                free(taps);
                convert_fast_plan_free(plan);
                return NULL;
            }
            ++members[taps[t].cls];
        }
        fast_line* line = &plan->line[l];
        line->first = (uint32_t)used;
        for (uint32_t k = 0; k < FAST_CLASSES; ++k)
            line->count[k] = (members[k] + GROUP - 1u) / GROUP;
        /* The LEDs of each class in line order, eight to a block. */
        for (uint32_t k = 0; k < FAST_CLASSES; ++k) {
            fast_block* b = plan->blocks + used;
            uint32_t n = 0;
            for (uint32_t t = 0; t < job->lights; ++t) {
                if (taps[t].cls != k)
                    continue;
                fast_block* to = b + n / GROUP;
                const uint32_t j = n % GROUP;
                const uint32_t f = fast_lane_of[j];
                to->tap[j] = taps[t].tap;
                to->fxa[f] = taps[t].fxa;
                to->fxb[f] = taps[t].fxb;
                to->fya[f] = taps[t].fya;
                to->fyb[f] = taps[t].fyb;
                to->led[f] = t;
                ++n;
            }
            for (; n % GROUP != 0; ++n)
                b[n / GROUP].led[fast_lane_of[n % GROUP]] = plan->lights;
            used += line->count[k];
        }
    }
    free(taps);
    plan->block_count = used;
    /* Give back what the fillers' reserve did not need. */
    fast_block* fitted = realloc(plan->blocks, (used ? used : 1u) * sizeof(fast_block));
    if (fitted)
        plan->blocks = fitted;
    return plan;
}

size_t convert_fast_plan_bytes(const convert_fast_plan* plan)
{
    if (!plan)
        return 0;
    return sizeof *plan + (size_t)plan->lines * sizeof(fast_line) +
        plan->block_count * sizeof(fast_block) + plan->lut_bytes;
}

size_t fast_scratch_bytes(const convert_fast_plan* plan)
{
    const size_t bytes = plan->values_alloc + (size_t)plan->pack.depth * plan->pack.planes_stride;
    return (bytes + SCRATCH_ALIGN - 1u) & ~(size_t)(SCRATCH_ALIGN - 1u);
}
