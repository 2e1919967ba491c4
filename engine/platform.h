/* The engine's small platform layer: opening files by UTF-8 names, 64-bit
 * file positions and detached worker threads. One source file per platform
 * (platform_posix.c here). */
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

/* The C library's text for error number err, thread-safe (written into buf
 * when needed); never NULL. */
const char* engine_strerror(int err, char* buf, size_t size);

/* Starts fn(arg) on a new detached thread with the given stack size. Returns
 * 0 on success; otherwise the operating system's error code (never 0), and
 * fn is not called. */
unsigned long engine_thread_start(void (*fn)(void*), void* arg, size_t stack_size);

#ifdef __cplusplus
}
#endif
