#include "util_log.h"

#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

int32_t log_threshold = 4;

static atomic_int muted;

void util_log_mute(int mute) { atomic_store(&muted, mute != 0); }

int util_log(int force, int level, const char* tag, const char* fmt, ...)
{
    if ((!force && level < log_threshold) || atomic_load(&muted))
        return 0;

    char buffer[UTIL_LOG_BUFFER_SIZE];
    memset(buffer, 0, sizeof buffer);
    if (fmt) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(buffer, sizeof buffer, fmt, args);
        va_end(args);
    }
    /* One call per line: stdio locks the stream for the call, so lines from
     * concurrent jobs never interleave. */
    fprintf(stdout, "[%s] %s\n", tag ? tag : "", buffer);
    fflush(stdout);
    return 0;
}
