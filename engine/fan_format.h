/* Constants of the fan file and its fixed 812-byte header.
 *
 * A fan file is: the header, then one record per frame (the frame's light data
 * as bit planes, then 1600 bytes of raw audio), then zero bytes up to the next
 * multiple of 28800 bytes of the whole file. The geometry (lines, lights,
 * colour depth) is not stored; the device knows it from its model. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FAN_HEADER_SIZE 812u   /* bytes of file_header */
#define FAN_AUDIO_BLOCK 1600u  /* audio bytes after each frame's light data */
#define FAN_PAD_GRANULE 28800u /* the file size is a multiple of this */
#define FAN_AUDIO_RATE 32000u  /* unsigned 8-bit mono samples per second */
#define FAN_FRAME_RATE 20u     /* frames per second */
#define FAN_BITS_PER_LED 3u    /* blue, green, red bit of one LED in a plane */
#define FAN_MAX_COLOR_DEEP 8u  /* at most 8 bit planes per line */

/* The header every fan file starts with (all integers unsigned 32-bit
 * little-endian): "POVFILE1", then at 8 the header size (812), at 12 the audio
 * block size (1600), at 16 the padding granule (28800), at 20 the audio
 * sample rate (32000), at 24 the frame rate (20), at 28 the bits per LED per
 * plane (3); every other byte is zero. */
extern const uint8_t file_header[FAN_HEADER_SIZE];

#ifdef __cplusplus
}
#endif
