#define _POSIX_C_SOURCE 200809L
/* syscall() for a no-replace rename; strerror_r stays the XSI one. */
#define _DEFAULT_SOURCE 1
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#endif

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

FILE* engine_create_new(const char* utf8_path)
{
    if (!utf8_path) {
        errno = EINVAL;
        return NULL;
    }
    const int fd = open(utf8_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return NULL;
    FILE* f = fdopen(fd, "wb");
    if (!f) {
        const int err = errno;
        close(fd);
        unlink(utf8_path);
        errno = err;
    }
    return f;
}

/* Files the kernel makes up as they are read (under /proc and /sys): they
 * claim to be regular files but have no size and no fixed content. */
static int is_pseudo_file(int fd)
{
#ifdef __linux__
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return 0;
    return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
#else
    (void)fd;
    return 0;
#endif
}

FILE* engine_open_regular(const char* utf8_path, int* name_failed, int* not_regular)
{
    if (name_failed)
        *name_failed = 0;
    if (not_regular)
        *not_regular = 0;
    if (!utf8_path) {
        errno = EINVAL;
        return NULL;
    }
    /* Asked first, so that nothing else is even opened (opening a device may
     * do something); then asked again of what was opened. A FIFO put in its
     * place meanwhile does not make the open wait for a writer. */
    struct stat st;
    if (stat(utf8_path, &st) != 0)
        return NULL;
    int fd = -1;
    if (S_ISREG(st.st_mode))
        fd = open(utf8_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || is_pseudo_file(fd))) {
        close(fd);
        fd = -1;
        st.st_mode = 0;
    }
    if (fd < 0) {
        if (!S_ISREG(st.st_mode)) {
            if (not_regular)
                *not_regular = 1;
            errno = EINVAL;
        }
        return NULL;
    }
    const int flags = fcntl(fd, F_GETFL);
    FILE* f = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : NULL;
    if (!f) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

int engine_file_identity(const char* utf8_path, engine_file_id* id)
{
    struct stat st;
    if (!utf8_path || lstat(utf8_path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISREG(st.st_mode))
        return -1;
    if (id) {
        id->device = (uint64_t)st.st_dev;
        id->inode = (uint64_t)st.st_ino;
        id->changed_ns = (int64_t)st.st_ctim.tv_sec * 1000000000 + st.st_ctim.tv_nsec;
    }
    return 1;
}

int engine_file_id_equal(const engine_file_id* a, const engine_file_id* b)
{
    return a->device == b->device && a->inode == b->inode && a->changed_ns == b->changed_ns;
}

int engine_is_same_file(FILE* opened, const char* utf8_path)
{
    struct stat a, b;
    if (!opened || !utf8_path || fstat(fileno(opened), &a) != 0 || stat(utf8_path, &b) != 0)
        return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int engine_is_special(const char* utf8_path)
{
    struct stat st;
    if (!utf8_path || lstat(utf8_path, &st) != 0)
        return 0;
    return !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
}

int engine_write_at(FILE* file, int64_t offset, const void* data, size_t size)
{
    if (fflush(file) != 0)
        return -1;
    const int fd = fileno(file);
    const char* at = data;
    while (size > 0) {
        const ssize_t n = pwrite(fd, at, size, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        at += n;
        size -= (size_t)n;
        offset += n;
    }
    return 0;
}

int engine_sync(FILE* file)
{
    if (fflush(file) != 0)
        return -1;
    return fsync(fileno(file));
}

int engine_rename(const char* from, const char* to)
{
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    return rename(from, to);
}

int engine_rename_new(const char* from, const char* to)
{
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
#if defined(__linux__) && defined(SYS_renameat2)
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u /* RENAME_NOREPLACE */) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif
    /* A new link fails when the name is taken; then the old name goes. */
    if (link(from, to) != 0)
        return -1;
    unlink(from);
    return 0;
}

int engine_sync_folder(const char* utf8_path)
{
    const int fd = open(utf8_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int rc = fsync(fd);
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}

int engine_list_folder(const char* utf8_path, void (*fn)(const char* name, void* ctx), void* ctx)
{
    DIR* dir = opendir(utf8_path);
    if (!dir)
        return -1;
    for (struct dirent* e = readdir(dir); e; e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            fn(e->d_name, ctx);
    }
    closedir(dir);
    return 0;
}

int engine_remove_own_file(const char* folder, const char* name)
{
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    struct stat st;
    int rc = -1;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid())
        rc = unlinkat(dir, name, 0);
    close(dir);
    return rc;
}

/* The start time (field 22 of /proc/<pid>/stat) of a process, 0 when it
 * cannot be read; *state receives its state letter. Returns -1 when the
 * process does not exist, 1 when /proc cannot tell, 0 otherwise. */
static int read_process_start(long pid, unsigned long long* start, char* state)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = fopen(path, "re");
    if (!f) {
        if (errno != ENOENT)
            return 1;
        /* No such entry: either the process is gone or there is no /proc. */
        return access("/proc/self/stat", F_OK) == 0 ? -1 : 1;
    }
    char text[1024];
    const size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    /* The command name may hold spaces and parentheses: fields follow the
     * last ')'. From there, field 3 (the state) is the first. */
    const char* p = strrchr(text, ')');
    if (!p)
        return 1;
    p += 2;
    *state = *p;
    for (int field = 3; field < 22 && *p; ++p) {
        if (*p == ' ')
            ++field;
    }
    char* end = NULL;
    *start = strtoull(p, &end, 10);
    return end == p ? 1 : 0;
}

char* engine_process_tag(char* buf, size_t size)
{
    const long pid = (long)getpid();
    unsigned long long start = 0;
    char state = 0;
    if (read_process_start(pid, &start, &state) != 0)
        start = 0;
    if (buf && size > 0)
        snprintf(buf, size, "%ld-%llu", pid, start);
    return buf;
}

int engine_process_tag_alive(const char* text, const char** end)
{
    const char* p = text;
    if (end)
        *end = text;
    if (!p || *p < '0' || *p > '9')
        return -1;
    char* stop = NULL;
    errno = 0;
    const long pid = strtol(p, &stop, 10);
    if (errno != 0 || pid <= 0 || *stop != '-' || stop[1] < '0' || stop[1] > '9')
        return -1;
    const unsigned long long tagged = strtoull(stop + 1, &stop, 10);
    if (errno != 0)
        return -1;
    if (end)
        *end = stop;
    unsigned long long start = 0;
    char state = 0;
    const int rc = read_process_start(pid, &start, &state);
    if (rc < 0)
        return 0;
    if (rc > 0) {
        /* Without /proc only the id can be asked about. */
        return kill((pid_t)pid, 0) == 0 || errno == EPERM ? 1 : 0;
    }
    if (state == 'Z' || state == 'X')
        return 0;
    return tagged == 0 || start == tagged ? 1 : 0;
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
