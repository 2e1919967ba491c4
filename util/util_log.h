/* Engine diagnostics: one line per call, "[TAG] text", on standard output. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the per-call formatting buffer; longer messages are cut to
 * UTIL_LOG_BUFFER_SIZE - 1 characters. The buffer lives on the caller's
 * stack, so every thread that logs needs a stack larger than this. */
#define UTIL_LOG_BUFFER_SIZE 131072

/* Level below which an unforced message is dropped (initially 4). */
extern int32_t log_threshold;

/* With a non-zero value every line is dropped, forced or not, until it is
 * called again with 0: for a program that prints only its own result on
 * standard output (a command-line tool without --verbose). Safe to call
 * from any thread. */
void util_log_mute(int muted);

/* Prints "[tag] message\n" to standard output as one write and flushes it.
 * With force 0 the message is dropped when level < log_threshold.
 * Safe to call from several threads at once; always returns 0. */
int util_log(int force, int level, const char* tag, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

#ifdef __cplusplus
}
#endif
