#include "fan_format.h"

#define LE32(v)                                                                                    \
    (uint8_t)((v)&0xffu), (uint8_t)(((v) >> 8) & 0xffu), (uint8_t)(((v) >> 16) & 0xffu),           \
        (uint8_t)(((v) >> 24) & 0xffu)

/* The remaining 780 bytes are zero by static initialisation. */
const uint8_t file_header[FAN_HEADER_SIZE] = {
    'P',
    'O',
    'V',
    'F',
    'I',
    'L',
    'E',
    '1',
    LE32(FAN_HEADER_SIZE),
    LE32(FAN_AUDIO_BLOCK),
    LE32(FAN_PAD_GRANULE),
    LE32(FAN_AUDIO_RATE),
    LE32(FAN_FRAME_RATE),
    LE32(FAN_BITS_PER_LED),
};
