/* Renders the LED colours of one fan frame back into a square picture, the
 * way the spinning fan shows it.
 *
 * Geometry: line l lies at angle 2*pi*l / lines, LED t of a line at distance
 * lights - 1 - t from the centre (LED 0 outermost, LED lights - 1 on the
 * centre). As seen, line 0 points to the right of the centre and the lines
 * advance counter-clockwise (line lines/4 points up). This is the inverse of
 * the engine's sampling: the engine reads line lines/4 toward increasing rows
 * of a frame stored bottom row first, i.e. upward in the picture as shown.
 *
 * The disc is filled smoothly: every output pixel interpolates bilinearly
 * between its two neighbouring lines (angle) and its two neighbouring LEDs
 * (radius). The lit disc reaches half an LED spacing beyond the outermost
 * LED and its rim is antialiased; everything outside stays black. The whole
 * picture spans the framing circle, 2 x lights LED spacings across.
 *
 * All trigonometry happens once, in the plan (an inverse polar map from
 * output pixels to LEDs); rendering a frame is integer work only. A plan is
 * read-only after creation and can serve several threads at once. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FAN_RENDER_MAX_SIZE                                                                        \
    8192u /* largest output side in pixels (the plan takes 16 bytes a pixel) */

typedef struct fan_render_plan fan_render_plan;

/* Default output side: 2 x lights x 2 pixels (two pixels per LED spacing). */
uint32_t fan_render_default_size(uint32_t lights);

/* Builds the inverse polar map for a size x size picture. Returns NULL when
 * lines or lights is 0, size is 0 or above FAN_RENDER_MAX_SIZE, lines x
 * lights does not fit 32 bits, or memory runs out. */
fan_render_plan* fan_render_plan_create(uint32_t lines, uint32_t lights, uint32_t size);

void fan_render_plan_free(fan_render_plan* plan);

uint32_t fan_render_plan_size(const fan_render_plan* plan);
uint32_t fan_render_plan_lines(const fan_render_plan* plan);
uint32_t fan_render_plan_lights(const fan_render_plan* plan);

/* Renders one frame. leds holds lines x lights colour triples in file order:
 * the triple of line l, LED t starts at byte 3 x (l x lights + t) and is
 * (blue, green, red). rgb receives size rows from top to bottom, each size
 * pixels of (red, green, blue), rows `stride` bytes apart (stride >= 3 x size).
 * Pixels outside the disc are set to black. */
void fan_render_frame(const fan_render_plan* plan, const uint8_t* leds, uint8_t* rgb,
                      size_t stride);

/* The value the fan shows for a channel of which only the top colorDeep bits
 * were stored: the kept bits, repeated downward into the dropped low bits
 * (so 0 stays 0 and an all-ones value becomes 255). Bits below the kept ones
 * in `value` are ignored. colorDeep 8 (or more) returns value; 0 returns 0. */
uint8_t fan_render_expand(uint8_t value, uint32_t colorDeep);

/* Applies fan_render_expand to `count` bytes in place. */
void fan_render_expand_all(uint8_t* values, size_t count, uint32_t colorDeep);

#ifdef __cplusplus
}
#endif
