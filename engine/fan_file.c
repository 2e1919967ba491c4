#include "fan_file.h"

#include <string.h>

#include "platform.h"

int fan_file_layout_init(fan_file_layout* layout, uint32_t lines, uint32_t lights,
                         uint32_t color_deep)
{
    if (!layout)
        return FAN_FILE_ERR_RANGE;
    memset(layout, 0, sizeof *layout);
    if (lines == 0 || lines > INT32_MAX || lights == 0 || lights > INT32_MAX || color_deep < 1 ||
        color_deep > FAN_MAX_COLOR_DEEP)
        return FAN_FILE_ERR_GEOMETRY;
    const uint64_t plane = ((uint64_t)FAN_BITS_PER_LED * lights + 7u) / 8u; /* < 2^30 */
    layout->lines = lines;
    layout->lights = lights;
    layout->color_deep = color_deep;
    layout->plane_bytes = (uint32_t)plane;
    layout->pad_bits = (uint32_t)(8u * plane - (uint64_t)FAN_BITS_PER_LED * lights);
    layout->line_bytes = plane * color_deep;          /* < 2^33 */
    layout->light_bytes = layout->line_bytes * lines; /* < 2^64 */
    layout->record_bytes = layout->light_bytes + FAN_AUDIO_BLOCK;
    return FAN_FILE_OK;
}

uint64_t fan_file_padded_size(const fan_file_layout* layout, uint64_t frames)
{
    const uint64_t raw = FAN_HEADER_SIZE + frames * layout->record_bytes;
    return (raw + FAN_PAD_GRANULE - 1u) / FAN_PAD_GRANULE * FAN_PAD_GRANULE;
}

/* Reads size bytes at offset from either source. */
static int read_at(const fan_file* f, uint64_t offset, void* buffer, size_t size)
{
    if (offset > f->size || size > f->size - offset)
        return FAN_FILE_ERR_RANGE;
    if (f->data) {
        memcpy(buffer, f->data + offset, size);
        return FAN_FILE_OK;
    }
    if (!f->file || engine_seek(f->file, (int64_t)offset, SEEK_SET) != 0)
        return FAN_FILE_ERR_IO;
    return fread(buffer, 1, size, f->file) == size ? FAN_FILE_OK : FAN_FILE_ERR_IO;
}

/* 1 when bytes [from, to) are all zero, 0 when not, negative on a read error. */
static int range_is_zero(const fan_file* f, uint64_t from, uint64_t to)
{
    uint8_t buffer[4096];
    while (from < to) {
        const size_t chunk = to - from < sizeof buffer ? (size_t)(to - from) : sizeof buffer;
        if (read_at(f, from, buffer, chunk) != FAN_FILE_OK)
            return -1;
        for (size_t i = 0; i < chunk; ++i) {
            if (buffer[i] != 0)
                return 0;
        }
        from += chunk;
    }
    return 1;
}

/* Checks the opened source and fills the counts. */
static int check(fan_file* f)
{
    if (f->size < FAN_PAD_GRANULE || f->size % FAN_PAD_GRANULE != 0)
        return FAN_FILE_ERR_SIZE;
    uint8_t header[FAN_HEADER_SIZE];
    int rc = read_at(f, 0, header, sizeof header);
    if (rc != FAN_FILE_OK)
        return rc;
    if (memcmp(header, file_header, FAN_HEADER_SIZE) != 0)
        return FAN_FILE_ERR_HEADER;

    const uint64_t body = f->size - FAN_HEADER_SIZE;
    const uint64_t frames = body / f->layout.record_bytes;
    const uint64_t records_end = FAN_HEADER_SIZE + frames * f->layout.record_bytes;
    if (f->size - records_end >= FAN_PAD_GRANULE)
        return FAN_FILE_ERR_PADDING;
    int zero = range_is_zero(f, records_end, f->size);
    if (zero < 0)
        return FAN_FILE_ERR_IO;
    if (!zero)
        return FAN_FILE_ERR_PADDING;

    /* Trailing zero records may be padding: the writer padded at most 28799
     * bytes after its last record. */
    uint64_t fewest = frames;
    while (fewest > 0) {
        const uint64_t end = FAN_HEADER_SIZE + (fewest - 1u) * f->layout.record_bytes;
        if (f->size - end >= FAN_PAD_GRANULE)
            break;
        zero = range_is_zero(f, end, end + f->layout.record_bytes);
        if (zero < 0)
            return FAN_FILE_ERR_IO;
        if (!zero)
            break;
        --fewest;
    }
    f->frame_count = frames;
    f->frame_count_min = fewest;
    return FAN_FILE_OK;
}

int fan_file_open_memory(fan_file* f, const void* data, size_t size, uint32_t lines,
                         uint32_t lights, uint32_t color_deep)
{
    if (!f)
        return FAN_FILE_ERR_RANGE;
    memset(f, 0, sizeof *f);
    int rc = fan_file_layout_init(&f->layout, lines, lights, color_deep);
    if (rc != FAN_FILE_OK)
        return rc;
    if (!data && size > 0)
        return FAN_FILE_ERR_RANGE;
    static const uint8_t empty[1];
    f->data = data ? data : empty;
    f->size = size;
    rc = check(f);
    if (rc != FAN_FILE_OK)
        fan_file_close(f);
    return rc;
}

int fan_file_open(fan_file* f, const char* path, uint32_t lines, uint32_t lights,
                  uint32_t color_deep)
{
    if (!f)
        return FAN_FILE_ERR_RANGE;
    memset(f, 0, sizeof *f);
    int rc = fan_file_layout_init(&f->layout, lines, lights, color_deep);
    if (rc != FAN_FILE_OK)
        return rc;
    int name_failed = 0;
    int not_regular = 0;
    f->file = engine_open_regular(path, &name_failed, &not_regular);
    if (!f->file)
        return not_regular ? FAN_FILE_ERR_NOT_REGULAR : FAN_FILE_ERR_IO;
    int64_t size = -1;
    if (engine_seek(f->file, 0, SEEK_END) == 0)
        size = engine_tell(f->file);
    if (size < 0) {
        fan_file_close(f);
        return FAN_FILE_ERR_IO;
    }
    f->size = (uint64_t)size;
    rc = check(f);
    if (rc != FAN_FILE_OK)
        fan_file_close(f);
    return rc;
}

void fan_file_close(fan_file* f)
{
    if (!f)
        return;
    if (f->file)
        fclose(f->file);
    memset(f, 0, sizeof *f);
}

int fan_file_read_frame(fan_file* f, uint64_t index, uint8_t* light, uint8_t* audio)
{
    if (!f || index >= f->frame_count)
        return FAN_FILE_ERR_RANGE;
    const uint64_t offset = FAN_HEADER_SIZE + index * f->layout.record_bytes;
    int rc = FAN_FILE_OK;
    if (light) {
        if (f->layout.light_bytes > SIZE_MAX)
            return FAN_FILE_ERR_RANGE;
        rc = read_at(f, offset, light, (size_t)f->layout.light_bytes);
    }
    if (rc == FAN_FILE_OK && audio)
        rc = read_at(f, offset + f->layout.light_bytes, audio, FAN_AUDIO_BLOCK);
    return rc;
}

const uint8_t* fan_file_frame_data(const fan_file* f, uint64_t index)
{
    if (!f || !f->data || index >= f->frame_count)
        return NULL;
    return f->data + FAN_HEADER_SIZE + index * f->layout.record_bytes;
}

int fan_file_decode_line(const fan_file_layout* layout, const uint8_t* planes, uint8_t* bgr)
{
    if (!layout || !planes || !bgr || layout->lights == 0)
        return FAN_FILE_ERR_RANGE;
    const uint64_t values = (uint64_t)FAN_BITS_PER_LED * layout->lights;
    memset(bgr, 0, (size_t)values);
    int rc = FAN_FILE_OK;
    for (uint32_t i = 0; i < layout->color_deep; ++i) {
        const uint8_t* plane = planes + (size_t)i * layout->plane_bytes;
        for (uint32_t bit = 0; bit < layout->pad_bits; ++bit) {
            if (plane[0] & (0x80u >> bit))
                rc = FAN_FILE_ERR_PAD_BITS;
        }
        uint64_t bit = layout->pad_bits;
        for (uint64_t v = 0; v < values; ++v, ++bit) {
            if (plane[bit >> 3] & (0x80u >> (bit & 7u)))
                bgr[v] |= (uint8_t)(0x80u >> i);
        }
    }
    return rc;
}

int fan_file_decode_frame(const fan_file_layout* layout, const uint8_t* light, uint8_t* bgr)
{
    if (!layout || !light || !bgr)
        return FAN_FILE_ERR_RANGE;
    int rc = FAN_FILE_OK;
    const size_t line_values = (size_t)FAN_BITS_PER_LED * layout->lights;
    for (uint32_t l = 0; l < layout->lines; ++l) {
        const int line_rc = fan_file_decode_line(layout, light + (size_t)l * layout->line_bytes,
                                                 bgr + (size_t)l * line_values);
        if (line_rc != FAN_FILE_OK)
            rc = line_rc;
    }
    return rc;
}

const char* fan_file_status_text(int status)
{
    switch (status) {
    case FAN_FILE_OK:
        return "ok";
    case FAN_FILE_ERR_GEOMETRY:
        return "invalid geometry";
    case FAN_FILE_ERR_IO:
        return "cannot read the file";
    case FAN_FILE_ERR_SIZE:
        return "size is not a multiple of 28800 bytes";
    case FAN_FILE_ERR_HEADER:
        return "not a fan file header";
    case FAN_FILE_ERR_PADDING:
        return "bad padding after the last frame";
    case FAN_FILE_ERR_RANGE:
        return "out of range";
    case FAN_FILE_ERR_PAD_BITS:
        return "pad bits set in a bit plane";
    case FAN_FILE_ERR_NOT_REGULAR:
        return "not a regular file";
    default:
        return "unknown";
    }
}
