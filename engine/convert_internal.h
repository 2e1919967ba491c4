/* Engine internals for the workers, the fast path, benchmarks, fuzzers and
 * tests. Applications use convert.h only.
 *
 * Job records are zero-filled heap blocks; string fields hold UTF-8,
 * NUL-terminated, cut at CONVERT_PATH_SIZE - 1 bytes. A worker owns the
 * record it is given: it calls the callback exactly once (if non-NULL), after
 * the output file is closed, then frees the record. New fields go at the end
 * of a record, never in the middle. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "convert.h"
#include "fan_format.h"
#include "platform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONVERT_LOG_TAG "MEDIA"
#define CONVERT_LOG_LEVEL 5
#define CONVERT_THREAD_STACK_SIZE 4194304u /* 4 MiB: the log buffer is 128 KiB */
#define CONVERT_360_MAX_ITEMS 3
#define CONVERT_TWO_PI 6.283185307179586

/* Flat (polar) job. */
typedef struct convert_job {
    char frames_resized_file[CONVERT_PATH_SIZE];
    uint32_t in_width;
    uint32_t in_height;
    char in_aud_path[CONVERT_PATH_SIZE];
    int32_t center_x;
    int32_t center_y;
    int32_t is_360;
    char out_path[CONVERT_PATH_SIZE];
    uint32_t radius;
    uint32_t lights;
    uint32_t lines;
    uint32_t colorDeep;
    double gamma;
    double min_brightness;
    int32_t change_brightness_lights;
    convert_result_cb callback;
    void* ctx;
    convert_cancel* cancel; /* NULL: the job cannot be cancelled */
} convert_job;

/* One input of a 360 job. */
typedef struct convert_360_item {
    char path[CONVERT_PATH_SIZE];
    int32_t in_width;
    int32_t in_height;
    int32_t center_x;
    int32_t center_y;
} convert_360_item;

/* 360 (column) job. */
typedef struct convert_360_job {
    convert_360_item items[CONVERT_360_MAX_ITEMS];
    uint32_t item_count;
    int32_t is_360;
    char in_aud_path[CONVERT_PATH_SIZE];
    char out_path[CONVERT_PATH_SIZE];
    int32_t destTotalWidth;
    int32_t destTotalHeight;
    int32_t destItemWidth;
    int32_t destItemHeight;
    uint32_t lights;
    uint32_t lines;
    uint32_t colorDeep;
    convert_result_cb callback;
    void* ctx;
    convert_cancel* cancel; /* NULL: the job cannot be cancelled */
} convert_360_job;

/* One pixel or LED value, channels in file order. */
typedef struct convert_bgr {
    uint8_t b, g, r;
} convert_bgr;

/* A parsed job description: exactly one of flat / wide is non-NULL. */
typedef struct convert_parsed_job {
    int is_360; /* 1: wide is set; 0: flat is set */
    convert_job* flat;
    convert_360_job* wide;
} convert_parsed_job;

/* The fixed tone curve applied to every channel value before packing. */
extern const uint8_t tone_table[256];

/* Parses a job description into a fresh heap record without starting a
 * thread; logs exactly as convert_start. Returns 0 with *out filled (the
 * caller then runs the record's worker, which frees it, or frees it itself
 * with free()), or convert_start's codes 1 (json NULL), 2 (not JSON),
 * 3 (360 job without a list array), -1 (no memory for the record); on a
 * non-zero code *out is zeroed and nothing is allocated. */
int32_t convert_parse_job(const char* json, convert_result_cb callback, void* ctx,
                          convert_parsed_job* out);

/* Runs a parsed job on the calling thread with the worker convert_start
 * would use (flat jobs: the dispatched flat worker). Consumes the record. */
void convert_run_job(convert_parsed_job* job);

/* How convert_start starts a worker thread: returns 0 or the operating
 * system's error code. Tests replace it to provoke a failed start; NULL
 * restores the platform's detached-thread starter. Not thread-safe: set it
 * only while no job is being started. */
typedef unsigned long (*convert_thread_starter)(void (*fn)(void*), void* arg, size_t stack_size);
void convert_set_thread_starter(convert_thread_starter starter);

/* The reference flat worker: polar resampling, tone curve, brightness ramp,
 * bit planes, audio, padding. Always returns 0; reports through the callback
 * and frees job. */
int convert_worker(convert_job* job);

/* The 360 worker: each line is one pixel column of up to three inputs. Always
 * returns 0; reports through the callback and frees job. */
int convert_360_worker(convert_360_job* job);

/* Bilinear sample of a bgr24 frame (rows of width x 3 bytes, no padding) at
 * (x, y) in pixels. The position is clamped to the frame, so the frame is
 * never read outside its bounds. Each channel is
 * p00*((1-fx)*(1-fy)) + p10*(fx*(1-fy)) + p01*((1-fx)*fy) + p11*(fx*fy)
 * summed left to right in single precision and truncated. width and height
 * must be at least 1. */
convert_bgr sample_bilinear(const uint8_t* frame, uint32_t width, uint32_t height, float x,
                            float y);

/* Applies a centre brightness factor to one tone-mapped value:
 * v * factor + 0.5 in single precision, truncated into 0..255. */
uint8_t convert_apply_factor(uint8_t v, float factor);

/* Bytes per bit plane for a line of `lights` LEDs: ceil(3 * lights / 8). */
uint64_t convert_plane_bytes(uint32_t lights);

/* Packs bit plane `plane` (0 = most significant bit, bit 7 - plane of each
 * value) of a line of `lights` LED values into out (convert_plane_bytes(lights)
 * bytes): leading pad bits zero, then blue, green, red bits of LED 0, 1, ...,
 * most significant bit of each byte first. */
void convert_pack_plane(const convert_bgr* values, uint32_t lights, uint32_t plane, uint8_t* out);

/* Appends zero bytes to an output positioned at its end so that its size is a
 * multiple of FAN_PAD_GRANULE. Returns 0 on success. */
int convert_pad_output(FILE* out);

/* Records why the job running on this thread failed (printf-style, English),
 * unless a reason is recorded already: the first cause is the one that
 * counts. convert_failure_reason() reads it. */
void convert_set_reason(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

/* Forgets the recorded reason: every job calls it as it starts. */
void convert_clear_reason(void);

/* Records "cannot write <path>: <errno text>" after a failed write. */
void convert_set_write_reason(const char* path);

/* A job's output file. A fan file is written under a temporary name beside
 * its final path (".spindra-<process tag>-<number>.part", see
 * engine_process_tag) and renamed into place only once it is complete and on
 * the disk, so a failed, cancelled or interrupted job leaves whatever was at
 * the final path before untouched. A temporary file whose process has ended
 * (killed, say) is removed by the next job that writes into its folder. An
 * output path that names a device or a FIFO is written in place. */
typedef struct convert_output {
    FILE* file;   /* NULL until created */
    int in_place; /* written straight to path */
    char path[CONVERT_PATH_SIZE];
    char temp[CONVERT_PATH_SIZE]; /* empty when in place */
    convert_cancel* cancel;       /* when set, read once more just before the rename */
    /* Set by the caller before convert_open_output: path is a reservation
     * the caller made (a file it created for this job). The finished file
     * then replaces that file only while it is still there, and takes the
     * name only while it is free after it was removed; never another file
     * that took the name meanwhile. */
    int reserved;
    int has_reservation; /* the reservation was there when the output was created */
    engine_file_id reservation;
} convert_output;

/* Whether `name` is a temporary output name of a process that has ended. */
int convert_output_is_stale(const char* name);

/* Completes an output: pads it, puts it on the disk and renames it into
 * place. Returns 0 when every byte reached the final path; 1 when the
 * output's cancel flag was set by the time of the rename (the temporary
 * file is removed); otherwise logs "write to %s failed, ...", "close %s
 * failed, ..." or "rename %s failed, ..." (with the final path), records the
 * reason, removes the temporary file and returns -1 (buffered writes can
 * fail only here, for example on a full disk). The stream is closed in every
 * case. */
int convert_finish_output(convert_output* out);

/* Closes an output that is not to be kept and removes its temporary file
 * (an output written in place is only closed). */
void convert_discard_output(convert_output* out);

/* Checks the numbers of a flat job (counts, colour depth, a frame of at
 * most 2^32 - 1 bytes). Returns 0 with *frame_size set, or -1 after logging
 * "paramas invalid, ..." and recording the reason. */
int convert_check_flat_job(const convert_job* job, uint32_t* frame_size);

/* Opens an input for reading, only when it is a regular file (never a
 * folder, a device, a FIFO or a /proc file: see engine_open_regular). On
 * failure logs "convert_worker: UTF-8 to wchar_t failed <tag>" when the name
 * cannot be converted (*name_failed set), otherwise "open in <path> failed,
 * reasone:<error>", records the reason and returns NULL. */
FILE* convert_open_input(const char* path, const char* tag, int* name_failed);

/* Opens a job's frame file (as convert_open_input) and checks that it holds
 * at least one frame of frame_size bytes (otherwise logs as
 * convert_end_of_input does for no frame at all). NULL, with the reason
 * recorded, when it cannot be read or holds no whole frame. */
FILE* convert_open_frames(const char* path, const char* tag, uint32_t frame_size);

/* Opens the optional audio input (an empty path: none, *aud stays NULL).
 * Returns -1 when the name cannot be converted or the path names something
 * that is not a regular file (a FIFO, a device, a folder: refused); an audio
 * file that cannot be opened is logged and the job goes on silent. */
int convert_open_audio(const char* path, const char* tag, FILE** aud);

/* Refuses an output path that names one of the job's inputs (the same
 * file, through any name or link): writing it would destroy the input.
 * Returns 0, or -1 after logging and recording the reason. Either input may
 * be NULL. */
int convert_check_output_apart(const char* out_path, FILE* frames, FILE* sound);

/* Creates the output for the final path `path` (see convert_output; first
 * removes the folder's temporary files of ended processes) and writes
 * file_header. Returns 0, or -1 after logging the failure with the final
 * path; out->file is set whenever the file was created, so the caller always
 * completes it with convert_report. */
int convert_open_output(const char* path, const char* tag, convert_output* out);

/* Fills audio (FAN_AUDIO_BLOCK bytes) with audio block `index` of aud; what
 * cannot be read (no audio, or a short file: logged) stays zero. */
void convert_read_audio(FILE* aud, const char* path, uint64_t index, uint8_t* audio);

/* Writes one audio block; logs a short write and returns -1. */
int convert_write_audio(FILE* out, const char* path, const uint8_t* audio);

/* The end of a flat job's input, the first incomplete frame: logs it (and
 * that no frame was converted when `frames` is 0). Returns the failed flag:
 * 0 when at least one frame was converted. */
int convert_end_of_input(const char* frames_path, uint32_t frame_size, uint64_t frames);

/* Called by every worker just before it starts frame `frame`, with the job's
 * cancel flag (may be NULL); tests use it to cancel at a chosen frame. NULL
 * (the default) calls nothing. */
typedef void (*convert_frame_hook)(convert_cancel* cancel, uint64_t frame);
void convert_set_frame_hook(convert_frame_hook hook);

/* Whether a worker stops before frame `frame`: calls the frame hook, then
 * reads the flag. */
int convert_stop_before_frame(convert_cancel* cancel, uint64_t frame);

/* Ends a job: closes aud, completes out (when it was created) with
 * convert_finish_output (a failure there makes the job failed, a cancel
 * there cancelled) or, for a failed or cancelled job, discards it, and
 * reports the result through the callback with out_path. Returns the final
 * failed flag. A cancelled job logs ">> cancelled" and reports
 * "cancelled". */
int convert_report(FILE* aud, convert_output* out, const char* out_path, int failed,
                   convert_result_cb callback, void* ctx);

/* How a 360 worker packs its lines. init prepares buffers for lines of
 * `lights` LEDs and `depth` planes and returns the line to fill, or NULL
 * with *what naming the buffer that could not be allocated ("lineData" or
 * "planeData"); pack packs the filled line and returns its `depth` planes,
 * back to back; release frees what init allocated (also after a failed
 * init). */
typedef struct convert_360_packer {
    convert_bgr* (*init)(void* self, uint32_t lights, uint32_t depth, const char** what);
    const uint8_t* (*pack)(void* self);
    void (*release)(void* self);
    void* self;
} convert_360_packer;

/* The 360 worker's body with the given packing: checks, reads, log lines,
 * writes and the callback are those of convert_360_worker. Consumes job. */
int convert_360_run(convert_360_job* job, const convert_360_packer* packer);

#ifdef __cplusplus
}
#endif
