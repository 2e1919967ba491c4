/* Conversion engine entry: turns a JSON job description into a fan file on a
 * detached worker thread of its own and reports once through a callback. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONVERT_PATH_SIZE 1024

/* Called exactly once per accepted job, on the worker thread, after the output
 * file is complete and closed. failed is 0 on success and 1 on failure;
 * out_path is valid only during the call; message is "ok" or "failed". */
typedef void (*convert_result_cb)(void* ctx, int failed, const char* out_path, const char* message);

/* Starts a job. Returns 0 when the worker was started, 1 when json is NULL,
 * 2 when the text is not JSON, 3 when a 360 job has no list array and -1 when
 * the thread could not be created; for every non-zero code the callback is
 * never called. */
int32_t convert_start(const char* json, convert_result_cb callback, void* ctx);

/* Number of worker threads started by convert_start that have not yet
 * finished. A worker calls its callback before it frees its buffers and logs
 * its last line; a program that is about to exit waits for this to reach 0 so
 * that no job is cut short. */
int32_t convert_running_jobs(void);

#ifdef __cplusplus
}
#endif
