/* Reading fan files (for tests, the preview renderer, the fan simulator and
 * fuzzers). Plain C, no allocation except the FILE of fan_file_open.
 *
 * A fan file does not carry its geometry: the reader is told `lines` (L),
 * `lights` (N) and `colorDeep` (D). Layout, with B = ceil(3N/8) bytes per bit
 * plane, P = 8B - 3N leading pad bits, V = L*D*B light bytes per frame and
 * F = V + 1600 bytes per record:
 *
 *   0             812 bytes   file_header
 *   812 + k*F     V bytes     frame k: L lines, each D planes of B bytes;
 *                             plane i holds bit 7-i of every value; per plane
 *                             P zero bits, then blue, green, red bit of LED 0,
 *                             1, ... (most significant bit of a byte first)
 *   812 + k*F + V 1600 bytes  audio of frame k (unsigned 8-bit, 32000 Hz)
 *   812 + n*F     0..28799    zero bytes up to a multiple of 28800
 *
 * In a flat file LED 0 is the outermost LED and LED N-1 the centre.
 *
 * Usage:
 *   fan_file f;
 *   if (fan_file_open_memory(&f, data, size, lines, lights, deep) == FAN_FILE_OK) {
 *       for (uint64_t k = 0; k < f.frame_count; ++k) {
 *           fan_file_read_frame(&f, k, light, audio);    // light: V bytes
 *           fan_file_decode_frame(&f.layout, light, bgr); // bgr: L*N*3 bytes
 *       }
 *       fan_file_close(&f);
 *   }
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "fan_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the reader's functions. */
enum fan_file_status {
    FAN_FILE_OK = 0,
    FAN_FILE_ERR_GEOMETRY = 1, /* lines/lights 0 or above INT32_MAX, colorDeep not 1..8 */
    FAN_FILE_ERR_IO = 2,       /* file cannot be opened, sized or read */
    FAN_FILE_ERR_SIZE = 3,     /* size not a positive multiple of 28800 */
    FAN_FILE_ERR_HEADER = 4,   /* the first 812 bytes are not file_header */
    FAN_FILE_ERR_PADDING = 5, /* bytes after the last whole record are not zero, or 28800 or more */
    FAN_FILE_ERR_RANGE = 6,   /* frame index out of range, or a NULL argument */
    FAN_FILE_ERR_PAD_BITS = 7, /* a plane's leading pad bits are not zero (values still decoded) */
    FAN_FILE_ERR_NOT_REGULAR =
        8 /* a folder, device, FIFO or socket, not a file (never waited on) */
};

/* The sizes that follow from a geometry. */
typedef struct fan_file_layout {
    uint32_t lines;        /* L */
    uint32_t lights;       /* N */
    uint32_t color_deep;   /* D */
    uint32_t plane_bytes;  /* B = ceil(3N/8) */
    uint32_t pad_bits;     /* P = 8B - 3N, 0..7 */
    uint64_t line_bytes;   /* D*B */
    uint64_t light_bytes;  /* V = L*D*B */
    uint64_t record_bytes; /* F = V + 1600 */
} fan_file_layout;

/* An open fan file. Fields are read-only for callers. */
typedef struct fan_file {
    fan_file_layout layout;
    uint64_t size;        /* bytes in the file */
    uint64_t frame_count; /* whole records after the header */
    /* The fewest frames a writer could have produced this file from: trailing
     * all-zero records (black light data and silent audio) that lie inside
     * the padding are not counted. Equals frame_count unless the last records
     * are entirely zero. */
    uint64_t frame_count_min;
    const uint8_t* data; /* memory source, or NULL */
    FILE* file;          /* file source (owned), or NULL */
} fan_file;

/* Computes the layout of a geometry; FAN_FILE_OK or FAN_FILE_ERR_GEOMETRY. */
int fan_file_layout_init(fan_file_layout* layout, uint32_t lines, uint32_t lights,
                         uint32_t color_deep);

/* Size of a file of `frames` frames as the writer pads it: 812 + frames * F
 * rounded up to a multiple of 28800. */
uint64_t fan_file_padded_size(const fan_file_layout* layout, uint64_t frames);

/* Checks a fan file held in memory (the memory must outlive the fan_file)
 * and fills *f: the header bytes, the size (a positive multiple of 28800),
 * whole records and zero padding shorter than 28800 bytes. Returns a
 * fan_file_status; on failure *f is closed. */
int fan_file_open_memory(fan_file* f, const void* data, size_t size, uint32_t lines,
                         uint32_t lights, uint32_t color_deep);

/* The same for a file named by a UTF-8 path; keeps the file open until
 * fan_file_close. Only a regular file is read (FAN_FILE_ERR_NOT_REGULAR
 * otherwise, at once: a FIFO is never waited on). */
int fan_file_open(fan_file* f, const char* path, uint32_t lines, uint32_t lights,
                  uint32_t color_deep);

/* Releases the file (if any) and clears *f. Safe on a cleared or closed f. */
void fan_file_close(fan_file* f);

/* Copies frame `index` (0 .. frame_count - 1): its V light bytes into light
 * and its 1600 audio bytes into audio; either may be NULL. */
int fan_file_read_frame(fan_file* f, uint64_t index, uint8_t* light, uint8_t* audio);

/* Memory source only: pointer to record `index` (V light bytes followed by
 * 1600 audio bytes), or NULL. */
const uint8_t* fan_file_frame_data(const fan_file* f, uint64_t index);

/* Turns one line's D planes (D*B bytes) back into N blue, green, red byte
 * triples: the kept bits at the top of each byte, the low 8 - D bits zero.
 * Returns FAN_FILE_OK, or FAN_FILE_ERR_PAD_BITS when a pad bit is set. */
int fan_file_decode_line(const fan_file_layout* layout, const uint8_t* planes, uint8_t* bgr);

/* The same for a whole frame (V bytes) into L*N*3 bytes, line after line. */
int fan_file_decode_frame(const fan_file_layout* layout, const uint8_t* light, uint8_t* bgr);

/* A short English description of a fan_file_status. */
const char* fan_file_status_text(int status);

#ifdef __cplusplus
}
#endif
