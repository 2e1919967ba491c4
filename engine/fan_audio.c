#include "fan_audio.h"

#include <string.h>

#include "platform.h"

size_t fan_audio_block(FILE* sound, uint64_t index, uint8_t* block)
{
    memset(block, 0, FAN_AUDIO_BLOCK);
    if (!sound)
        return 0;
    const uint64_t offset = index * FAN_AUDIO_BLOCK;
    if (offset > (uint64_t)INT64_MAX || engine_seek(sound, (int64_t)offset, SEEK_SET) != 0)
        return 0;
    return fread(block, 1, FAN_AUDIO_BLOCK, sound);
}
