/* Measuring the fast flat kernels, for benchmarks: one kernel converting
 * lines of a frame held in memory (no files, no threads), and the floor of
 * that work, a pass that makes the same reads of the plan and the same
 * loads of the frame's pixels as the kernel but does no arithmetic.
 *
 *   convert_fast_probe* probe = convert_fast_probe_create(plan, CONVERT_FAST_KERNEL_AVX2, 0);
 *   convert_fast_probe_set_frame(probe, frame);     // one raw frame of the plan's size
 *   convert_fast_probe_run(probe, 0, lines);        // time this
 *   convert_fast_probe_free(probe);
 *
 * The plan must outlive the probe. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "convert_fast.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct convert_fast_probe convert_fast_probe;

/* A probe that runs `kernel` (AUTO: the best one; a kernel the processor
 * lacks falls back as in a job), or with `floor` set that kernel's floor.
 * NULL when memory is short. */
convert_fast_probe* convert_fast_probe_create(const convert_fast_plan* plan,
                                              convert_fast_kernel kernel, int floor);

void convert_fast_probe_free(convert_fast_probe* probe);

/* The kernel that runs (never AUTO). */
convert_fast_kernel convert_fast_probe_kernel(const convert_fast_probe* probe);

/* Copies one raw frame (convert_fast_plan_frame_bytes) into the probe. */
void convert_fast_probe_set_frame(convert_fast_probe* probe, const uint8_t* frame);

/* The probe's output: the bit planes of every line converted so far, line
 * after line as in a frame record (lines x colorDeep x plane bytes). */
const uint8_t* convert_fast_probe_planes(const convert_fast_probe* probe);

/* Converts lines first .. end - 1 of the frame into the probe's output (or
 * makes the floor's reads of them). Returns a value that depends on what was
 * read, so that no read can be left out. */
uint32_t convert_fast_probe_run(convert_fast_probe* probe, uint32_t first, uint32_t end);

#ifdef __cplusplus
}
#endif
