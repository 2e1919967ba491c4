/* What the fan will show, frame by frame, computed by the engine itself: the
 * sampling plan, kernels, tone table, brightness ramp and colour depth of
 * the fast flat worker, without a job description or files. A live preview
 * feeds it raw frames and renders the result with fan_render_frame().
 *
 *   convert_fast_plan* plan = convert_fast_plan_create_for(w, h, cx, cy, lights, lines,
 *                                                          deep, gamma, min, ramp);
 *   convert_fast_plan_leds(plan, frame, leds);         // leds: convert_fast_plan_led_bytes()
 *   fan_render_expand_all(leds, bytes, deep);          // as the fan shows the kept bits
 *   fan_render_frame(render_plan, leds, rgb, stride);
 *   convert_fast_plan_free(plan);
 *
 * The LEDs equal, byte for byte, those decoded (fan_file_decode_frame) from
 * the record the worker writes for the same frame and parameters. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The sampling plan of a flat job (read-only once built; one plan may serve
 * several threads at once). */
typedef struct convert_fast_plan convert_fast_plan;

/* Builds the plan for frames of in_width x in_height pixels and the job
 * parameters of the same names (center_y counts rows as stored in the raw
 * file, bottom row first). Returns NULL for what the fast worker does not
 * take (lights, lines, in_width or in_height 0 or above INT32_MAX, colorDeep
 * not 1..8, frames wider or taller than 2^24 pixels or of 2 GiB and more,
 * a brightness ramp over 2^20 LEDs or more) and when memory is short. */
convert_fast_plan* convert_fast_plan_create_for(uint32_t in_width, uint32_t in_height,
                                                int32_t center_x, int32_t center_y, uint32_t lights,
                                                uint32_t lines, uint32_t colorDeep, double gamma,
                                                double min_brightness,
                                                int32_t change_brightness_lights);

void convert_fast_plan_free(convert_fast_plan* plan);

/* The plan's geometry; 0 for NULL. */
uint32_t convert_fast_plan_lights(const convert_fast_plan* plan);
uint32_t convert_fast_plan_lines(const convert_fast_plan* plan);

/* Bytes of one raw frame (in_width x in_height x 3) and of the LED output
 * (lines x lights x 3). */
size_t convert_fast_plan_frame_bytes(const convert_fast_plan* plan);
size_t convert_fast_plan_led_bytes(const convert_fast_plan* plan);

/* LED colours of one frame as the fan shows them: lines x lights triples
 * (blue, green, red) in file order (the triple of line l, LED t at byte
 * 3 * (l * lights + t); LED 0 outermost), i.e. what fan_render_frame()
 * takes, after sampling, tone table, brightness ramp and cutting to colorDeep
 * bits (the low bits zero). `frame` is one raw bgr24 frame of the plan's
 * size, rows in the order of the raw file. Runs on the calling thread with
 * the best kernel of the processor; the plan is only read. */
void convert_fast_plan_leds(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds);

#ifdef __cplusplus
}
#endif
