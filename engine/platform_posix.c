#define _POSIX_C_SOURCE 200809L
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform.h"

#include <errno.h>
#include <limits.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

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

struct engine_thread {
    pthread_t thread; /* joinable threads only */
    void (*fn)(void*);
    void* arg;
    int detached; /* the thread frees this record as it starts */
};

static void* thread_main(void* p)
{
    engine_thread* t = p;
    void (*fn)(void*) = t->fn;
    void* arg = t->arg;
    if (t->detached)
        free(t);
    fn(arg);
    return NULL;
}

/* Starts fn(arg) on a new thread (stack_size 0: the default stack). Returns
 * 0 or the error code; *out receives the record of a joinable thread. */
static int spawn(void (*fn)(void*), void* arg, size_t stack_size, engine_thread** out)
{
    engine_thread* t = malloc(sizeof *t);
    if (!t)
        return ENOMEM;
    t->fn = fn;
    t->arg = arg;
    t->detached = out == NULL;

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        free(t);
        return rc;
    }
    if (stack_size > 0) {
        if (stack_size < PTHREAD_STACK_MIN)
            stack_size = PTHREAD_STACK_MIN;
        rc = pthread_attr_setstacksize(&attr, stack_size);
    }
    if (rc == 0 && t->detached)
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    /* A detached thread may free t at once: its id goes elsewhere. */
    pthread_t id;
    if (rc == 0)
        rc = pthread_create(&id, &attr, thread_main, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(t);
        return rc;
    }
    if (out) {
        t->thread = id;
        *out = t;
    }
    return 0;
}

unsigned long engine_thread_start(void (*fn)(void*), void* arg, size_t stack_size)
{
    /* A request for the default stack still gets the smallest one. */
    return (unsigned long)spawn(fn, arg, stack_size ? stack_size : PTHREAD_STACK_MIN, NULL);
}

engine_thread* engine_thread_create(void (*fn)(void*), void* arg)
{
    engine_thread* t = NULL;
    return spawn(fn, arg, 0, &t) == 0 ? t : NULL;
}

void engine_thread_join(engine_thread* thread)
{
    if (!thread)
        return;
    pthread_join(thread->thread, NULL);
    free(thread);
}

struct engine_lock {
    pthread_mutex_t mutex;
    unsigned conds;
    pthread_cond_t cond[];
};

engine_lock* engine_lock_create(unsigned conds)
{
    engine_lock* lock = malloc(sizeof *lock + conds * sizeof lock->cond[0]);
    if (!lock)
        return NULL;
    if (pthread_mutex_init(&lock->mutex, NULL) != 0) {
        free(lock);
        return NULL;
    }
    for (lock->conds = 0; lock->conds < conds; ++lock->conds) {
        if (pthread_cond_init(&lock->cond[lock->conds], NULL) != 0) {
            engine_lock_free(lock);
            return NULL;
        }
    }
    return lock;
}

void engine_lock_free(engine_lock* lock)
{
    if (!lock)
        return;
    for (unsigned i = 0; i < lock->conds; ++i)
        pthread_cond_destroy(&lock->cond[i]);
    pthread_mutex_destroy(&lock->mutex);
    free(lock);
}

void engine_lock_acquire(engine_lock* lock) { pthread_mutex_lock(&lock->mutex); }

void engine_lock_release(engine_lock* lock) { pthread_mutex_unlock(&lock->mutex); }

void engine_lock_wait(engine_lock* lock, unsigned cond)
{
    pthread_cond_wait(&lock->cond[cond], &lock->mutex);
}

void engine_lock_signal(engine_lock* lock, unsigned cond)
{
    pthread_cond_signal(&lock->cond[cond]);
}

void engine_lock_broadcast(engine_lock* lock, unsigned cond)
{
    pthread_cond_broadcast(&lock->cond[cond]);
}

unsigned engine_cpu_count(void)
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    return cores < 1 ? 1u : cores > (long)UINT_MAX ? UINT_MAX : (unsigned)cores;
}

uint64_t engine_monotonic_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void engine_settle_allocator(void)
{
#ifdef __GLIBC__
    /* Setting the threshold also stops glibc from moving it. */
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}
