/* The fan view (fan_view.h): the LEDs of one raw frame from the fast
 * worker's own plan and kernels, without files. */
#include "convert_fast_internal.h"

#include <stdlib.h>

convert_fast_plan* convert_fast_plan_create_for(uint32_t in_width, uint32_t in_height,
                                                int32_t center_x, int32_t center_y, uint32_t lights,
                                                uint32_t lines, uint32_t colorDeep, double gamma,
                                                double min_brightness,
                                                int32_t change_brightness_lights)
{
    convert_job* job = calloc(1, sizeof *job);
    if (!job)
        return NULL;
    /* The plan never opens the files; the names only have to be there. */
    job->frames_resized_file[0] = '-';
    job->out_path[0] = '-';
    job->in_width = in_width;
    job->in_height = in_height;
    job->center_x = center_x;
    job->center_y = center_y;
    job->radius = lights;
    job->lights = lights;
    job->lines = lines;
    job->colorDeep = colorDeep;
    job->gamma = gamma;
    job->min_brightness = min_brightness;
    job->change_brightness_lights = change_brightness_lights;
    convert_fast_plan* plan = convert_fast_plan_create(job);
    free(job);
    return plan;
}

uint32_t convert_fast_plan_lights(const convert_fast_plan* plan) { return plan ? plan->lights : 0; }

uint32_t convert_fast_plan_lines(const convert_fast_plan* plan) { return plan ? plan->lines : 0; }

size_t convert_fast_plan_frame_bytes(const convert_fast_plan* plan)
{
    return plan ? plan->frame_size : 0;
}

size_t convert_fast_plan_led_bytes(const convert_fast_plan* plan)
{
    return plan ? 3u * (size_t)plan->lines * plan->lights : 0;
}

/* Drops the bits the file does not keep. */
static void cut_to_depth(const convert_fast_plan* plan, uint8_t* leds)
{
    const uint8_t mask = (uint8_t)(0xFFu << (8u - plan->pack.depth));
    const size_t n = convert_fast_plan_led_bytes(plan);
    for (size_t i = 0; i < n; ++i)
        leds[i] &= mask;
}

void convert_fast_plan_leds_with(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds,
                                 convert_fast_kernel kernel)
{
    if (!plan || !frame || !leds)
        return;
    /* Short of memory a kernel writes nothing; the generic one needs none. */
    if (fast_kernel_for(kernel)->leds(plan, frame, leds) != 0)
        fast_kernel_generic.leds(plan, frame, leds);
    cut_to_depth(plan, leds);
}

void convert_fast_plan_leds(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds)
{
    convert_fast_plan_leds_with(plan, frame, leds, CONVERT_FAST_KERNEL_AUTO);
}
