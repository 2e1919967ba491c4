/* The engine's small platform layer: opening files by UTF-8 names, 64-bit
 * file positions, detached worker threads, joinable helper threads with a
 * mutex and condition variables, the processor count, a monotonic clock and
 * the allocator's policy for large blocks.
 * One source file per platform (platform_posix.c here); no other engine file
 * calls the operating system's thread or clock interfaces. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opens a file named by a UTF-8 path with an fopen mode. On failure returns
 * NULL; *name_failed is then 1 when the path could not be converted to the
 * platform's file-name form (never on POSIX, where names are bytes) and 0
 * when the open itself failed (errno tells why). */
FILE* engine_fopen(const char* utf8_path, const char* mode, int* name_failed);

/* Removes the file named by a UTF-8 path. Returns 0 on success. */
int engine_remove(const char* utf8_path);

/* fseek/ftell with 64-bit offsets. engine_seek returns 0 on success. */
int engine_seek(FILE* file, int64_t offset, int whence);
int64_t engine_tell(FILE* file);

/* Creates a new file for writing, named by a UTF-8 path, with mode 0666
 * less the umask. Never opens a file that exists and never follows a link
 * at the path (a link there makes it fail). NULL on failure (errno tells
 * why). */
FILE* engine_create_new(const char* utf8_path);

/* Opens a file for reading only when it is a regular file with a content of
 * its own: never a folder, a device, a FIFO (without waiting for a writer),
 * a socket or a file the kernel makes up as it is read (/proc, /sys). A link
 * is followed. On failure returns NULL with errno set; *not_regular (when
 * not NULL) is then 1 when the file was refused for what it is, and
 * *name_failed as for engine_fopen. */
FILE* engine_open_regular(const char* utf8_path, int* name_failed, int* not_regular);

/* Which file a name stands for: its device and inode, and when its status
 * last changed (nanoseconds), so that a file made later in a freed inode is
 * told apart. */
typedef struct engine_file_id {
    uint64_t device;
    uint64_t inode;
    int64_t changed_ns;
} engine_file_id;

/* Whether two identities name the same file. */
int engine_file_id_equal(const engine_file_id* a, const engine_file_id* b);

/* 1 when the path names a regular file (a link is not followed), with its
 * identity in *id (when not NULL); 0 when nothing is there; -1 when
 * something else is there or the system cannot tell (errno). */
int engine_file_identity(const char* utf8_path, engine_file_id* id);

/* 1 when the path (a link followed) names the file `opened` reads, else 0. */
int engine_is_same_file(FILE* opened, const char* utf8_path);

/* 1 when the path names something that exists and is neither a regular file
 * nor a symbolic link (a device, a FIFO, a socket, a folder), otherwise 0. */
int engine_is_special(const char* utf8_path);

/* Writes size bytes at byte `offset` of a stream opened for writing,
 * without moving its position (its buffer is flushed first). Returns 0, or
 * -1 with errno set. */
int engine_write_at(FILE* file, int64_t offset, const void* data, size_t size);

/* Flushes the stream and asks the system to put its data on the disk.
 * Returns 0, or -1 with errno set. */
int engine_sync(FILE* file);

/* Renames a file, replacing whatever file or link is at `to` (a link there is
 * replaced, not followed). Returns 0, or -1 with errno set. */
int engine_rename(const char* from, const char* to);

/* Renames a file only when nothing is at `to`: fails with EEXIST (leaving
 * both names as they were) when something is. Returns 0, or -1 with errno
 * set. */
int engine_rename_new(const char* from, const char* to);

/* Puts a folder's entries on the disk (after a rename into it). Returns 0,
 * or -1 with errno set. */
int engine_sync_folder(const char* utf8_path);

/* Calls fn once for each entry of a folder (not "." and ".."), with the
 * entry's name. Returns 0, or -1 when the folder cannot be read. */
int engine_list_folder(const char* utf8_path, void (*fn)(const char* name, void* ctx), void* ctx);

/* Removes entry `name` of folder `folder` only when it is a regular file of
 * this process's user (never a link, a folder or a file of someone else).
 * Returns 0 when it was removed. */
int engine_remove_own_file(const char* folder, const char* name);

/* Names this process in the names of its temporary files, so that another
 * process can tell whether the files' owner is still running: "<pid>-<start>"
 * with the process id and its start time (in clock ticks after boot; 0 where
 * the system cannot tell). Constant for the life of the process. Writes at
 * most size - 1 characters; returns buf. */
char* engine_process_tag(char* buf, size_t size);

/* Whether the process named by a tag of engine_process_tag still runs: 1
 * when it does (or this cannot be told), 0 when it has gone (no such process,
 * a process that has ended but not been collected, or a later process that
 * got the same id), -1 when the text is not such a tag. Reads `text` up to
 * its first character that is not a digit or the one '-'; *end (when not
 * NULL) receives where it stopped. */
int engine_process_tag_alive(const char* text, const char** end);

/* The C library's text for error number err, thread-safe (written into buf
 * when needed); never NULL. */
const char* engine_strerror(int err, char* buf, size_t size);

/* Starts fn(arg) on a new detached thread with the given stack size. Returns
 * 0 on success; otherwise the operating system's error code (never 0), and
 * fn is not called. */
unsigned long engine_thread_start(void (*fn)(void*), void* arg, size_t stack_size);

/* A joinable thread running fn(arg) with the platform's default stack, or
 * NULL when it cannot be started (fn is then not called). */
typedef struct engine_thread engine_thread;
engine_thread* engine_thread_create(void (*fn)(void*), void* arg);

/* Waits for the thread to end and releases it. */
void engine_thread_join(engine_thread* thread);

/* A mutex with `conds` condition variables (a monitor). create returns
 * NULL on failure; free accepts NULL. wait, signal and broadcast name a
 * condition by its index (below conds); wait is called with the mutex held. */
typedef struct engine_lock engine_lock;
engine_lock* engine_lock_create(unsigned conds);
void engine_lock_free(engine_lock* lock);
void engine_lock_acquire(engine_lock* lock);
void engine_lock_release(engine_lock* lock);
void engine_lock_wait(engine_lock* lock, unsigned cond);
void engine_lock_signal(engine_lock* lock, unsigned cond);
void engine_lock_broadcast(engine_lock* lock, unsigned cond);

/* Processors online, at least 1. */
unsigned engine_cpu_count(void);

/* Nanoseconds of a clock that never goes backwards. */
uint64_t engine_monotonic_ns(void);

/* Makes every large block (frame and chunk buffers, from 128 KiB) come from
 * the system and go back to it when freed, so that the resident memory of a
 * long session follows what is live rather than the largest job so far.
 * Without it glibc raises its threshold for such blocks after the first is
 * freed and keeps later ones, once freed, cached in its arenas. Call once at
 * start, before other threads run; does nothing where there is nothing to
 * tune. */
void engine_settle_allocator(void);

#ifdef __cplusplus
}
#endif
