/* Inverse polar rendering of fan frames; see fan_render.h. */
#include "fan_render.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#define RENDER_TWO_PI 6.283185307179586
#define RENDER_ONE 256u /* fixed-point unit of the weights */

/* How one output pixel is made from four LEDs: the LED pair (line l0 and
 * line l1 at the same distance) and, one step further out, the next pair.
 * Indices count LEDs (triples), not bytes. */
typedef struct render_pixel {
    uint32_t a;       /* LED (l0, t0) */
    uint32_t b;       /* LED (l1, t0) */
    uint16_t fa;      /* weight of line l1, 0..256 */
    uint16_t fr;      /* weight of the next LED outward, 0..256 */
    uint16_t alpha;   /* coverage of the disc, 0..256; 0 means black */
    uint16_t outward; /* 1 when LED t0 - 1 exists (t0 is not the outermost) */
} render_pixel;

struct fan_render_plan {
    uint32_t lines;
    uint32_t lights;
    uint32_t size;
    render_pixel* pixels; /* size x size, rows top to bottom */
};

uint32_t fan_render_default_size(uint32_t lights)
{
    uint64_t s = 4ull * lights;
    if (s < 2)
        s = 2;
    if (s > FAN_RENDER_MAX_SIZE)
        s = FAN_RENDER_MAX_SIZE;
    return (uint32_t)s;
}

static uint16_t to_weight(double f)
{
    if (!(f > 0.0))
        return 0;
    if (f >= 1.0)
        return RENDER_ONE;
    return (uint16_t)lround(f * RENDER_ONE);
}

fan_render_plan* fan_render_plan_create(uint32_t lines, uint32_t lights, uint32_t size)
{
    if (lines == 0 || lights == 0 || size == 0 || size > FAN_RENDER_MAX_SIZE)
        return NULL;
    if ((uint64_t)lines * lights > UINT32_MAX)
        return NULL;

    fan_render_plan* plan = calloc(1, sizeof(*plan));
    if (!plan)
        return NULL;
    plan->pixels = malloc((size_t)size * size * sizeof(render_pixel));
    if (!plan->pixels) {
        free(plan);
        return NULL;
    }
    plan->lines = lines;
    plan->lights = lights;
    plan->size = size;

    const double half = size / 2.0;
    const double k = size / (2.0 * lights); /* output pixels per LED spacing */
    const double outer = (double)(lights - 1);
    const double rim = lights - 0.5; /* lit radius, in LED spacings */
    const double per_radian = lines / RENDER_TWO_PI;

    for (uint32_t j = 0; j < size; j++) {
        const double y = (half - (j + 0.5)) / k; /* upward */
        for (uint32_t i = 0; i < size; i++) {
            const double x = (i + 0.5 - half) / k;
            render_pixel* p = &plan->pixels[(size_t)j * size + i];
            const double r = sqrt(x * x + y * y);
            const uint16_t alpha = to_weight((rim - r) * k + 0.5);
            if (alpha == 0) {
                memset(p, 0, sizeof(*p));
                continue;
            }

            double phi = atan2(y, x);
            if (phi < 0.0)
                phi += RENDER_TWO_PI;
            double pos = phi * per_radian;
            uint32_t l0 = (uint32_t)pos;
            double fa = pos - l0;
            if (l0 >= lines) { /* rounding at 2*pi */
                l0 = 0;
                fa = 0.0;
            }
            const uint32_t l1 = (l0 + 1 == lines) ? 0 : l0 + 1;

            const double rr = r < outer ? r : outer;
            const uint32_t r0 = (uint32_t)rr;
            const double fr = rr - r0;
            const uint32_t t0 = lights - 1 - r0;

            p->a = l0 * lights + t0;
            p->b = l1 * lights + t0;
            p->fa = to_weight(fa);
            p->fr = t0 > 0 ? to_weight(fr) : 0;
            p->alpha = alpha;
            p->outward = t0 > 0 ? 1 : 0;
        }
    }
    return plan;
}

void fan_render_plan_free(fan_render_plan* plan)
{
    if (!plan)
        return;
    free(plan->pixels);
    free(plan);
}

uint32_t fan_render_plan_size(const fan_render_plan* plan) { return plan ? plan->size : 0; }

uint32_t fan_render_plan_lines(const fan_render_plan* plan) { return plan ? plan->lines : 0; }

uint32_t fan_render_plan_lights(const fan_render_plan* plan) { return plan ? plan->lights : 0; }

void fan_render_frame(const fan_render_plan* plan, const uint8_t* leds, uint8_t* rgb, size_t stride)
{
    const uint32_t size = plan->size;
    for (uint32_t j = 0; j < size; j++) {
        const render_pixel* p = &plan->pixels[(size_t)j * size];
        uint8_t* out = rgb + (size_t)j * stride;
        for (uint32_t i = 0; i < size; i++, p++, out += 3) {
            if (p->alpha == 0) {
                out[0] = out[1] = out[2] = 0;
                continue;
            }
            const uint8_t* p00 = leds + 3 * (size_t)p->a;
            const uint8_t* p10 = leds + 3 * (size_t)p->b;
            const uint8_t* p01 = p00 - 3 * (size_t)p->outward;
            const uint8_t* p11 = p10 - 3 * (size_t)p->outward;
            const uint32_t wa1 = p->fa, wa0 = RENDER_ONE - wa1;
            const uint32_t wr1 = p->fr, wr0 = RENDER_ONE - wr1;
            for (int c = 0; c < 3; c++) {
                const uint32_t in = p00[c] * wa0 + p10[c] * wa1;
                const uint32_t on = p01[c] * wa0 + p11[c] * wa1;
                /* in, on <= 255 x 256; the sum stays below 2^24 before the shift */
                const uint32_t v = ((in * wr0 + on * wr1) >> 8) * p->alpha;
                out[2 - c] = (uint8_t)((v + (1u << 15)) >> 16); /* BGR in, RGB out */
            }
        }
    }
}

uint8_t fan_render_expand(uint8_t value, uint32_t colorDeep)
{
    if (colorDeep >= 8)
        return value;
    if (colorDeep == 0)
        return 0;
    const unsigned kept = value >> (8 - colorDeep);
    unsigned out = 0;
    int pos = 8;
    while (pos > 0) {
        pos -= (int)colorDeep;
        out |= pos >= 0 ? kept << pos : kept >> -pos;
    }
    return (uint8_t)out;
}

void fan_render_expand_all(uint8_t* values, size_t count, uint32_t colorDeep)
{
    if (colorDeep >= 8)
        return;
    uint8_t table[256];
    for (unsigned v = 0; v < 256; v++)
        table[v] = fan_render_expand((uint8_t)v, colorDeep);
    for (size_t n = 0; n < count; n++)
        values[n] = table[values[n]];
}
