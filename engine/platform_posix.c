#define _POSIX_C_SOURCE 200809L
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

_Static_assert(sizeof(off_t) == 8, "the engine needs 64-bit file offsets");

FILE* engine_fopen(const char* utf8_path, const char* mode, int* name_failed)
{
    if (name_failed)
        *name_failed = 0;
    if (!utf8_path || !mode) {
        errno = EINVAL;
        return NULL;
    }
    return fopen(utf8_path, mode);
}

int engine_remove(const char* utf8_path)
{
    if (!utf8_path) {
        errno = EINVAL;
        return -1;
    }
    return remove(utf8_path);
}

int engine_seek(FILE* file, int64_t offset, int whence)
{
    return fseeko(file, (off_t)offset, whence);
}

int64_t engine_tell(FILE* file) { return (int64_t)ftello(file); }

const char* engine_strerror(int err, char* buf, size_t size)
{
    if (!buf || size == 0)
        return "";
    /* XSI strerror_r (this file asks for POSIX, not GNU, interfaces). */
    if (strerror_r(err, buf, size) != 0)
        snprintf(buf, size, "error %d", err);
    return buf;
}

typedef struct thread_start {
    void (*fn)(void*);
    void* arg;
} thread_start;

static void* thread_main(void* p)
{
    thread_start start = *(thread_start*)p;
    free(p);
    start.fn(start.arg);
    return NULL;
}

unsigned long engine_thread_start(void (*fn)(void*), void* arg, size_t stack_size)
{
    thread_start* start = malloc(sizeof *start);
    if (!start)
        return ENOMEM;
    start->fn = fn;
    start->arg = arg;

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        free(start);
        return (unsigned long)rc;
    }
    if (stack_size < PTHREAD_STACK_MIN)
        stack_size = PTHREAD_STACK_MIN;
    rc = pthread_attr_setstacksize(&attr, stack_size);
    if (rc == 0)
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (rc == 0)
        rc = pthread_create(&thread, &attr, thread_main, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(start);
        return (unsigned long)rc;
    }
    return 0;
}
