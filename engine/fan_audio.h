/* The sound of a fan file's frames: each record carries FAN_AUDIO_BLOCK bytes
 * of the raw sound file (unsigned 8-bit, mono, 32000 Hz), block k for frame
 * k. One rule for sound that is missing, used wherever a record's sound is
 * written: no sound file gives a silent (zero) block, and a sound file that
 * ends inside or before block k gives its remaining bytes followed by
 * zeros. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "fan_format.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills block (FAN_AUDIO_BLOCK bytes) with audio block `index` of sound (may
 * be NULL): the bytes from index * FAN_AUDIO_BLOCK on, zero where the file
 * has none. Returns how many bytes came from the file: FAN_AUDIO_BLOCK for a
 * whole block, less when the sound is missing or short. Moves the file's
 * position. */
size_t fan_audio_block(FILE* sound, uint64_t index, uint8_t* block);

#ifdef __cplusplus
}
#endif
