/* Conversion engine entry: turns a JSON job description into a fan file on a
 * detached worker thread of its own and reports once through a callback. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONVERT_PATH_SIZE 1024

/* The largest geometry a job may ask for: about four times the LEDs and the
 * lines of the largest fan model, and far below what would make a single
 * frame record gigabytes long. Jobs beyond it are refused before any file
 * is opened. */
#define CONVERT_MAX_LIGHTS 1024u
#define CONVERT_MAX_LINES 4096u

/* The `failed` value of a job that stopped because its cancel flag was set. */
#define CONVERT_CANCELLED 2

/* Called exactly once per accepted job, on the worker thread, after the output
 * file is complete and closed. failed is 0 on success, 1 on failure and
 * CONVERT_CANCELLED for a cancelled job; out_path is valid only during the
 * call; message is "ok", "failed" or "cancelled". The fan file is written
 * under a temporary name beside out_path and takes its name only when it is
 * whole: after a failed or cancelled job, out_path holds what it held before
 * (nothing, or an earlier file). convert_failure_reason() tells, during the
 * call, why a job failed. */
typedef void (*convert_result_cb)(void* ctx, int failed, const char* out_path, const char* message);

/* Starts a job. Returns 0 when the worker was started, 1 when json is NULL,
 * 2 when the text is not JSON, 3 when a 360 job has no list array and -1 when
 * the thread could not be created; for every non-zero code the callback is
 * never called. */
int32_t convert_start(const char* json, convert_result_cb callback, void* ctx);

/* A thread-safe cancel flag for jobs (opaque). */
typedef struct convert_cancel convert_cancel;

/* A fresh flag, not set; NULL when memory is short. */
convert_cancel* convert_cancel_create(void);

/* Sets the flag; from any thread, any number of times. NULL is ignored. */
void convert_cancel_request(convert_cancel* cancel);

/* 1 once the flag was set, otherwise 0 (also for NULL). */
int convert_cancel_requested(const convert_cancel* cancel);

void convert_cancel_free(convert_cancel* cancel);

/* convert_start with a cancel flag (NULL: exactly convert_start). The job
 * reads the flag before every frame; once it is set, the job stops before
 * its next frame, closes and removes its output file and reports
 * CONVERT_CANCELLED with the message "cancelled". A flag set before the job
 * starts cancels it before it opens any file. The caller keeps `cancel`
 * alive until the callback has returned. Return codes are convert_start's. */
int32_t convert_start_cancellable(const char* json, convert_result_cb callback, void* ctx,
                                  convert_cancel* cancel);

/* Why the last job that ended on the calling thread failed, one line of
 * English such as "cannot write /x/VEGA/00_00001.bin: No space left on
 * device" or "cancelled"; "" when it did not fail or the cause is not known.
 * Valid during a job's callback (and after convert_stream_finish) until the
 * next job starts on the same thread. */
const char* convert_failure_reason(void);

/* Number of worker threads started by convert_start that have not yet
 * finished. A worker calls its callback before it frees its buffers and logs
 * its last line; a program that is about to exit waits for this to reach 0 so
 * that no job is cut short. */
int32_t convert_running_jobs(void);

#ifdef __cplusplus
}
#endif
