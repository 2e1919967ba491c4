/* Pieces the workers share: the tone curve, the bilinear sampler, bit-plane
 * packing, opening the files, audio blocks and completing the output. */
#include "convert_internal.h"

#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fan_audio.h"
#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

const uint8_t tone_table[256] = {
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   1,   1,   1,   1,   1,   1,   1,
    1,   1,   1,   1,   1,   2,   2,   2,   2,   2,   2,   2,   2,   3,   3,   3,   3,   3,   3,
    4,   4,   4,   4,   4,   4,   5,   5,   5,   6,   6,   6,   7,   7,   8,   8,   9,   9,   10,
    10,  11,  12,  12,  13,  13,  14,  14,  15,  16,  17,  17,  18,  19,  20,  21,  22,  23,  24,
    25,  26,  27,  28,  29,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  40,  41,  43,  44,
    45,  47,  49,  51,  53,  55,  56,  58,  59,  61,  62,  63,  64,  66,  68,  70,  72,  74,  77,
    79,  81,  83,  85,  88,  90,  93,  96,  98,  101, 103, 106, 108, 111, 114, 117, 120, 123, 126,
    130, 133, 136, 140, 143, 146, 150, 154, 157, 160, 164, 167, 170, 173, 176, 180, 183, 186, 188,
    190, 192, 194, 196, 198, 200, 202, 204, 206, 208, 210, 211, 213, 215, 216, 217, 218, 219, 220,
    222, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 239, 239, 240,
    240, 241, 242, 242, 243, 244, 244, 245, 246, 246, 247, 248, 248, 249, 249, 249, 250, 250, 250,
    251, 251, 251, 251, 252, 252, 252, 252, 253, 253, 253, 253, 253, 253, 254, 254, 254, 254, 254,
    254, 255, 255, 255, 255, 255, 255, 255, 255,
};

static uint8_t to_byte(float v)
{
    /* Truncation toward zero; the limits only matter for frames wider or
     * taller than single precision can address exactly. */
    if (!(v > 0.0f))
        return 0;
    if (v >= 255.0f)
        return 255;
    return (uint8_t)v;
}

convert_bgr sample_bilinear(const uint8_t* frame, uint32_t width, uint32_t height, float x, float y)
{
    const uint32_t last_x = width - 1u;
    const uint32_t last_y = height - 1u;
    const float max_x = (float)last_x;
    const float max_y = (float)last_y;

    if (!(x > 0.0f))
        x = 0.0f;
    else if (x > max_x)
        x = max_x;
    if (!(y > 0.0f))
        y = 0.0f;
    else if (y > max_y)
        y = max_y;

    uint32_t x0 = (uint32_t)x;
    uint32_t y0 = (uint32_t)y;
    /* (float)last_x may round up above last_x for very wide frames. */
    if (x0 > last_x)
        x0 = last_x;
    if (y0 > last_y)
        y0 = last_y;
    const uint32_t x1 = x0 < last_x ? x0 + 1u : last_x;
    const uint32_t y1 = y0 < last_y ? y0 + 1u : last_y;

    const float fx = x - (float)x0;
    const float fy = y - (float)y0;
    const float w00 = (1.0f - fx) * (1.0f - fy);
    const float w10 = fx * (1.0f - fy);
    const float w01 = (1.0f - fx) * fy;
    const float w11 = fx * fy;

    const size_t row0 = (size_t)y0 * width;
    const size_t row1 = (size_t)y1 * width;
    const uint8_t* p00 = frame + 3u * (row0 + x0);
    const uint8_t* p10 = frame + 3u * (row0 + x1);
    const uint8_t* p01 = frame + 3u * (row1 + x0);
    const uint8_t* p11 = frame + 3u * (row1 + x1);

    uint8_t out[3];
    for (int k = 0; k < 3; ++k) {
        float v = (float)p00[k] * w00;
        v = v + (float)p10[k] * w10;
        v = v + (float)p01[k] * w01;
        v = v + (float)p11[k] * w11;
        out[k] = to_byte(v);
    }
    convert_bgr result = {out[0], out[1], out[2]};
    return result;
}

uint8_t convert_apply_factor(uint8_t v, float factor)
{
    const float f = (float)v * factor + 0.5f;
    if (f >= 255.0f)
        return 255;
    if (!(f > 0.0f))
        return 0;
    return (uint8_t)f;
}

uint64_t convert_plane_bytes(uint32_t lights)
{
    return ((uint64_t)FAN_BITS_PER_LED * lights + 7u) / 8u;
}

void convert_pack_plane(const convert_bgr* values, uint32_t lights, uint32_t plane, uint8_t* out)
{
    const uint64_t bytes = convert_plane_bytes(lights);
    memset(out, 0, (size_t)bytes);
    const unsigned shift = 7u - plane;
    uint64_t bit = 8u * bytes - (uint64_t)FAN_BITS_PER_LED * lights; /* leading pad bits */
    for (uint32_t t = 0; t < lights; ++t) {
        const uint8_t channel[3] = {values[t].b, values[t].g, values[t].r};
        for (int k = 0; k < 3; ++k) {
            if ((channel[k] >> shift) & 1u)
                out[bit >> 3] |= (uint8_t)(0x80u >> (bit & 7u));
            ++bit;
        }
    }
}

int convert_pad_output(FILE* out)
{
    static const uint8_t zeros[4096];
    const int64_t size = engine_tell(out);
    if (size < 0)
        return -1;
    const uint64_t rest = (uint64_t)size % FAN_PAD_GRANULE;
    if (rest == 0)
        return 0;
    uint64_t pad = FAN_PAD_GRANULE - rest;
    while (pad > 0) {
        const size_t chunk = pad < sizeof zeros ? (size_t)pad : sizeof zeros;
        if (fwrite(zeros, 1, chunk, out) != chunk)
            return -1;
        pad -= chunk;
    }
    return 0;
}

int convert_check_flat_job(const convert_job* job, uint32_t* frame_size)
{
    /* Counts above INT32_MAX are what a missing member (-1) becomes; counts
     * beyond a fan's would write gigabytes per frame. A frame must also fit
     * in 32 bits. */
    const uint64_t frame_size64 = (uint64_t)job->in_width * job->in_height * 3u;
    if (job->lines == 0 || job->lines > CONVERT_MAX_LINES || job->lights == 0 ||
        job->lights > CONVERT_MAX_LIGHTS || job->in_width == 0 || job->in_width > INT32_MAX ||
        job->in_height == 0 || job->in_height > INT32_MAX || job->radius == 0 ||
        job->colorDeep < 1 || job->colorDeep > FAN_MAX_COLOR_DEEP || frame_size64 > UINT32_MAX ||
        frame_size64 > SIZE_MAX) {
        LOG("paramas invalid, lines:%u, lights:%u, colorDeep:%u, in_width:%u, in_height:%u, "
            "center_x:%u, "
            "center_y:%u, radius:%u",
            job->lines, job->lights, job->colorDeep, job->in_width, job->in_height,
            (unsigned)job->center_x, (unsigned)job->center_y, job->radius);
        convert_set_reason("invalid job: lines %u, lights %u, colorDeep %u, frame %ux%u (a fan "
                           "has 1 to %u lines, 1 to %u lights, 1 to %u bits)",
                           job->lines, job->lights, job->colorDeep, job->in_width, job->in_height,
                           CONVERT_MAX_LINES, CONVERT_MAX_LIGHTS, FAN_MAX_COLOR_DEEP);
        return -1;
    }
    *frame_size = (uint32_t)frame_size64;
    return 0;
}

/* Opens an input; *not_regular tells a refused kind of file. */
static FILE* open_input(const char* path, const char* tag, int* name_failed, int* not_regular)
{
    char err[256];
    FILE* f = engine_open_regular(path, name_failed, not_regular);
    if (!f) {
        if (*name_failed)
            LOG("convert_worker: UTF-8 to wchar_t failed %s", tag);
        else if (*not_regular)
            LOG("open in %s failed, reasone:not a regular file", path);
        else
            LOG("open in %s failed, reasone:%s", path, engine_strerror(errno, err, sizeof err));
        convert_set_reason("cannot read %s: %s", path,
                           *name_failed       ? "invalid file name"
                               : *not_regular ? "not a regular file"
                                              : err);
    }
    return f;
}

FILE* convert_open_input(const char* path, const char* tag, int* name_failed)
{
    int not_regular = 0;
    return open_input(path, tag, name_failed, &not_regular);
}

FILE* convert_open_frames(const char* path, const char* tag, uint32_t frame_size)
{
    int name_failed = 0;
    FILE* in = convert_open_input(path, tag, &name_failed);
    if (!in)
        return NULL;
    int64_t size = -1;
    if (engine_seek(in, 0, SEEK_END) == 0)
        size = engine_tell(in);
    if (engine_seek(in, 0, SEEK_SET) != 0 || size < 0) {
        convert_set_reason("cannot read %s: no size", path);
        LOG("open in %s failed, reasone:no size", path);
        fclose(in);
        return NULL;
    }
    if ((uint64_t)size < frame_size) {
        convert_end_of_input(path, frame_size, 0);
        fclose(in);
        return NULL;
    }
    return in;
}

int convert_open_audio(const char* path, const char* tag, FILE** aud)
{
    int name_failed = 0;
    int not_regular = 0;
    *aud = NULL;
    if (path[0] == '\0')
        return 0;
    const int had_reason = convert_failure_reason()[0] != '\0';
    *aud = open_input(path, tag, &name_failed, &not_regular);
    /* Sound that cannot be read is no reason for a job to fail; sound that
     * is not a file (a FIFO, a device) is not sound. */
    if (!*aud && !name_failed && !not_regular && !had_reason)
        convert_clear_reason();
    return name_failed || not_regular ? -1 : 0;
}

int convert_check_output_apart(const char* out_path, FILE* frames, FILE* sound)
{
    FILE* const inputs[2] = {frames, sound};
    const char* const what[2] = {"frame", "sound"};
    for (int i = 0; i < 2; ++i) {
        if (inputs[i] && engine_is_same_file(inputs[i], out_path)) {
            LOG("open out %s failed, reasone:it is the job's %s file", out_path, what[i]);
            convert_set_reason("cannot write %s: it is the job's %s file", out_path, what[i]);
            return -1;
        }
    }
    return 0;
}

void convert_read_audio(FILE* aud, const char* path, uint64_t index, uint8_t* audio)
{
    const size_t read = fan_audio_block(aud, index, audio);
    if (aud && read != FAN_AUDIO_BLOCK)
        LOG("read:%s at:%" PRIu64 " failed.", path, index * FAN_AUDIO_BLOCK);
}

int convert_write_audio(FILE* out, const char* path, const uint8_t* audio)
{
    const size_t written = fwrite(audio, 1, FAN_AUDIO_BLOCK, out);
    if (written != FAN_AUDIO_BLOCK) {
        convert_set_write_reason(path);
        LOG("write to %s failed should write:%u actually written:%lu -> audio", path,
            FAN_AUDIO_BLOCK, (unsigned long)written);
        return -1;
    }
    return 0;
}

int convert_end_of_input(const char* frames_path, uint32_t frame_size, uint64_t frames)
{
    LOG("read:%s len:%u failed.", frames_path, frame_size);
    if (frames > 0)
        return 0;
    LOG("convert failed, not have one frame success");
    convert_set_reason("no whole frame to convert");
    return 1;
}

struct convert_cancel {
    atomic_int requested;
};

convert_cancel* convert_cancel_create(void)
{
    convert_cancel* cancel = malloc(sizeof *cancel);
    if (cancel)
        atomic_init(&cancel->requested, 0);
    return cancel;
}

void convert_cancel_request(convert_cancel* cancel)
{
    if (cancel)
        atomic_store_explicit(&cancel->requested, 1, memory_order_release);
}

int convert_cancel_requested(const convert_cancel* cancel)
{
    if (!cancel)
        return 0;
    return atomic_load_explicit(&((convert_cancel*)cancel)->requested, memory_order_acquire) != 0;
}

void convert_cancel_free(convert_cancel* cancel) { free(cancel); }

static _Atomic(convert_frame_hook) frame_hook;

void convert_set_frame_hook(convert_frame_hook hook) { atomic_store(&frame_hook, hook); }

int convert_stop_before_frame(convert_cancel* cancel, uint64_t frame)
{
    const convert_frame_hook hook = atomic_load_explicit(&frame_hook, memory_order_acquire);
    if (hook)
        hook(cancel, frame);
    return convert_cancel_requested(cancel);
}

int convert_report(FILE* aud, convert_output* out, const char* out_path, int failed,
                   convert_result_cb callback, void* ctx)
{
    if (aud)
        fclose(aud);
    const int created = out && out->file;
    /* Buffered writes can fail only now (a full disk); such a file must not
     * be reported as converted. A failed job keeps whatever was at the final
     * path before. */
    if (created && failed == 0) {
        const int rc = convert_finish_output(out);
        failed = rc < 0 ? 1 : rc > 0 ? CONVERT_CANCELLED : 0;
    } else if (created) {
        convert_discard_output(out);
    }
    if (failed == CONVERT_CANCELLED) {
        /* A cancelled job leaves nothing behind. */
        LOG(">> cancelled");
        convert_set_reason("cancelled");
        if (callback)
            callback(ctx, CONVERT_CANCELLED, out_path, "cancelled");
        return failed;
    }
    if (callback)
        callback(ctx, failed, out_path, failed ? "failed" : "ok");
    return failed;
}

/* The reason of the job that runs (or last ran) on this thread. */
static _Thread_local char failure_reason[512];

void convert_set_reason(const char* format, ...)
{
    if (failure_reason[0] != '\0')
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(failure_reason, sizeof failure_reason, format, args);
    va_end(args);
}

void convert_clear_reason(void) { failure_reason[0] = '\0'; }

const char* convert_failure_reason(void) { return failure_reason; }

void convert_set_write_reason(const char* path)
{
    char err[256];
    convert_set_reason("cannot write %s: %s", path,
                       engine_strerror(errno ? errno : EIO, err, sizeof err));
}
