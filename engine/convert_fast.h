/* The fast workers: the same fan file, byte for byte, as convert_worker and
 * convert_360_worker. The flat one computes the per-job geometry once
 * instead of once per frame; both pack bit planes eight values at a time.
 *
 * Every frame of a job samples the same positions, so a sampling plan is
 * built when the job starts: for each LED the tap offsets and fractional
 * positions of its four sub-samples, and for each distance from the centre
 * within the brightness ramp a lookup table that folds the tone curve and
 * that distance's brightness factor together. Per
 * frame the worker only gathers and weighs pixels (sixteen LEDs at a time
 * where the processor has AVX-512, eight where it has AVX2, chosen at run
 * time), averages, looks the result up
 * and packs the bit planes eight values at a time. The lines of a frame are
 * split over worker threads; the job thread reads the next frame and writes
 * the previous one while they convert. The arithmetic is the reference's, in
 * the same order and precision, so the output does not depend on the kernel
 * or the number of threads.
 *
 * Jobs the fast path does not handle (invalid parameters, frames wider or
 * taller than single precision addresses exactly, no memory for the plan)
 * are handed to convert_worker unchanged, so every failure is reported
 * exactly as the reference reports it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "convert_internal.h"
#include "fan_view.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Environment variable that caps the number of converting threads (a
 * positive integer; anything else is ignored). */
#define CONVERT_FAST_THREADS_ENV "SPINDRA_ENGINE_THREADS"

/* The per-frame kernels. AUTO picks the best one the processor supports. */
typedef enum convert_fast_kernel {
    CONVERT_FAST_KERNEL_AUTO = 0,
    CONVERT_FAST_KERNEL_GENERIC = 1, /* plain C, any processor */
    CONVERT_FAST_KERNEL_AVX2 = 2,    /* x86-64 with AVX2 */
    CONVERT_FAST_KERNEL_AVX512 = 3   /* x86-64 with AVX-512 F, BW, DQ, VL and VBMI */
} convert_fast_kernel;

typedef struct convert_fast_options {
    unsigned threads;           /* converting threads; 0: convert_fast_default_threads() */
    convert_fast_kernel kernel; /* AUTO, or a kernel to force (falls back when unsupported) */
} convert_fast_options;

/* Thread function with the contract of convert_worker: reports once through
 * the job's callback, frees the job, returns 0. */
int convert_fast_worker(convert_job* job);

/* The same with explicit options (NULL: defaults). Benchmarks and tests use
 * it to compare thread counts and kernels. */
int convert_fast_worker_with(convert_job* job, const convert_fast_options* options);

/* The 360 worker with the same fast bit-plane packing: the contract, log
 * lines and bytes of convert_360_worker (options: only the kernel counts;
 * a 360 frame is little work besides the packing). */
int convert_fast_360_worker(convert_360_job* job);
int convert_fast_360_worker_with(convert_360_job* job, const convert_fast_options* options);

/* The number of threads a job uses by default: the processor count, capped by
 * SPINDRA_ENGINE_THREADS when that is set. At least 1. */
unsigned convert_fast_default_threads(void);

/* The kernel AUTO resolves to on this processor, and a kernel's name. */
convert_fast_kernel convert_fast_best_kernel(void);

/* The kernel that runs when `kernel` is asked for on this processor (never
 * AUTO): AVX512 falls back to AVX2, AVX2 to GENERIC. */
convert_fast_kernel convert_fast_kernel_runs(convert_fast_kernel kernel);

/* The same on a processor that has (non-zero) or lacks AVX2 and AVX-512 (F,
 * BW, DQ, VL and VBMI, saved by the system). AVX-512 counts only with AVX2. */
convert_fast_kernel convert_fast_kernel_choose(convert_fast_kernel kernel, int avx2, int avx512);
const char* convert_fast_kernel_name(convert_fast_kernel kernel);

/* The sampling plan of a job (fan_view.h), for benchmarks and tests. */

/* Builds the plan of a job the fast path handles; NULL when it does not
 * (invalid parameters, frame too large) or memory is short. */
convert_fast_plan* convert_fast_plan_create(const convert_job* job);

/* convert_fast_plan_leds with a chosen kernel (AUTO: the best one). */
void convert_fast_plan_leds_with(const convert_fast_plan* plan, const uint8_t* frame, uint8_t* leds,
                                 convert_fast_kernel kernel);

/* Heap bytes held by the plan. */
size_t convert_fast_plan_bytes(const convert_fast_plan* plan);

/* Heap bytes a job with this plan holds while it runs with `threads`
 * converting threads: the plan, two frame and two output buffers, the
 * per-thread scratch and the audio block (thread stacks not counted). */
size_t convert_fast_job_bytes(const convert_fast_plan* plan, unsigned threads);

#ifdef __cplusplus
}
#endif
