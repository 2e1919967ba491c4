/* The reference flat worker: resamples every frame onto the fan's polar grid
 * and writes the fan file. Kept deliberately plain: faster workers must
 * produce exactly the same bytes. */
#include "convert_internal.h"

#include <errno.h>
#include <inttypes.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

/* Applies the centre brightness factor to one tone-mapped value. */
static uint8_t apply_factor(uint8_t v, float factor)
{
    const float f = (float)v * factor + 0.5f;
    if (f >= 255.0f)
        return 255;
    if (!(f > 0.0f))
        return 0;
    return (uint8_t)f;
}

/* Computes the values of line l: LED t = 0 is the outermost, LED lights - 1
 * sits on the centre. */
static void line_values(const convert_job* job, const uint8_t* frame, uint32_t l, convert_bgr* line)
{
    const double theta = (CONVERT_TWO_PI / (double)job->lines) * (double)l;
    const double s = sin(theta);
    const double c = cos(theta);
    const int32_t q = job->change_brightness_lights;

    for (uint32_t t = 0; t < job->lights; ++t) {
        const uint32_t r = job->lights - 1u - t;
        const float x = (float)((double)r * c + (double)job->center_x);
        const float y = (float)((double)r * s + (double)job->center_y);

        const convert_bgr s0 = sample_bilinear(frame, job->in_width, job->in_height, x - 0.25f, y - 0.25f);
        const convert_bgr s1 = sample_bilinear(frame, job->in_width, job->in_height, x + 0.25f, y - 0.25f);
        const convert_bgr s2 = sample_bilinear(frame, job->in_width, job->in_height, x - 0.25f, y + 0.25f);
        const convert_bgr s3 = sample_bilinear(frame, job->in_width, job->in_height, x + 0.25f, y + 0.25f);

        uint8_t v[3];
        v[0] = tone_table[((unsigned)s0.b + s1.b + s2.b + s3.b + 2u) >> 2];
        v[1] = tone_table[((unsigned)s0.g + s1.g + s2.g + s3.g + 2u) >> 2];
        v[2] = tone_table[((unsigned)s0.r + s1.r + s2.r + s3.r + 2u) >> 2];

        int adjust = 0;
        float factor = 1.0f;
        if (q >= 2 && (int64_t)r < (int64_t)q) {
            const float base = (float)((int64_t)r + 1) / (float)q;
            const float p = powf(base, (float)job->gamma);
            factor = (float)((double)p * (1.0 - job->min_brightness) + job->min_brightness);
            adjust = 1;
        } else if (q == 1 && r == 0) {
            factor = (float)job->min_brightness;
            adjust = 1;
        }
        if (adjust) {
            for (int k = 0; k < 3; ++k)
                v[k] = apply_factor(v[k], factor);
        }
        line[t].b = v[0];
        line[t].g = v[1];
        line[t].r = v[2];
    }
}

int convert_worker(convert_job* job)
{
    int failed = 1;
    int name_failed = 0;
    char err[256];
    FILE* in = NULL;
    FILE* aud = NULL;
    FILE* out = NULL;
    uint8_t* frame = NULL;
    convert_bgr* line = NULL;
    uint8_t* plane = NULL;
    uint8_t* audio = NULL;

    LOG(">> start");

    if (job->frames_resized_file[0] == '\0' || job->out_path[0] == '\0') {
        LOG("input or output path is invalid input:%s output:%s", job->frames_resized_file, job->out_path);
        goto done;
    }

    /* Counts above INT32_MAX are what a missing member (-1) becomes; they
     * would ask for gigabytes. A frame must also fit in 32 bits. */
    const uint64_t frame_size64 = (uint64_t)job->in_width * job->in_height * 3u;
    if (job->lines == 0 || job->lines > INT32_MAX || job->lights == 0 || job->lights > INT32_MAX
        || job->in_width == 0 || job->in_width > INT32_MAX || job->in_height == 0
        || job->in_height > INT32_MAX || job->radius == 0 || job->colorDeep < 1
        || job->colorDeep > FAN_MAX_COLOR_DEEP || frame_size64 > UINT32_MAX
        || frame_size64 > SIZE_MAX) {
        LOG("paramas invalid, lines:%u, lights:%u, colorDeep:%u, in_width:%u, in_height:%u, center_x:%u, "
            "center_y:%u, radius:%u",
            job->lines, job->lights, job->colorDeep, job->in_width, job->in_height, (unsigned)job->center_x,
            (unsigned)job->center_y, job->radius);
        goto done;
    }
    const uint32_t frame_size = (uint32_t)frame_size64;
    const size_t plane_bytes = (size_t)convert_plane_bytes(job->lights);

    in = engine_fopen(job->frames_resized_file, "rb", &name_failed);
    if (!in) {
        if (name_failed)
            LOG("convert_worker: UTF-8 to wchar_t failed 1");
        else
            LOG("open in %s failed, reasone:%s", job->frames_resized_file, engine_strerror(errno, err, sizeof err));
        goto done;
    }

    if (job->in_aud_path[0] != '\0') {
        aud = engine_fopen(job->in_aud_path, "rb", &name_failed);
        if (!aud) {
            if (name_failed) {
                LOG("convert_worker: UTF-8 to wchar_t failed 2");
                goto done;
            }
            LOG("open in %s failed, reasone:%s", job->in_aud_path, engine_strerror(errno, err, sizeof err));
        }
    }

    out = engine_fopen(job->out_path, "wb", &name_failed);
    if (!out) {
        if (name_failed)
            LOG("convert_worker: UTF-8 to wchar_t failed 3");
        else
            LOG("open out %s failed, reasone:%s", job->out_path, engine_strerror(errno, err, sizeof err));
        goto done;
    }

    size_t written = fwrite(file_header, 1, FAN_HEADER_SIZE, out);
    if (written != FAN_HEADER_SIZE) {
        LOG("write HEADER to %s failed should write:%u actually written:%lu", job->out_path, FAN_HEADER_SIZE,
            (unsigned long)written);
        goto done;
    }

    frame = malloc(frame_size);
    if (!frame) {
        LOG("malloc frameData failed");
        goto done;
    }
    line = malloc((size_t)job->lights * sizeof *line);
    if (!line) {
        LOG("malloc lineData failed");
        goto done;
    }
    plane = malloc(plane_bytes);
    if (!plane) {
        LOG("malloc planeData failed");
        goto done;
    }
    audio = malloc(FAN_AUDIO_BLOCK);
    if (!audio) {
        LOG("malloc audioData failed");
        goto done;
    }

    uint64_t n = 0;
    int write_failed = 0;
    memset(frame, 0, frame_size);
    size_t got = engine_seek(in, 0, SEEK_SET) == 0 ? fread(frame, 1, frame_size, in) : 0;
    while (got == frame_size) {
        memset(audio, 0, FAN_AUDIO_BLOCK);
        if (aud) {
            const uint64_t offset = n * FAN_AUDIO_BLOCK;
            size_t read = 0;
            if (engine_seek(aud, (int64_t)offset, SEEK_SET) == 0)
                read = fread(audio, 1, FAN_AUDIO_BLOCK, aud);
            if (read != FAN_AUDIO_BLOCK)
                LOG("read:%s at:%" PRIu64 " failed.", job->in_aud_path, offset);
        }

        for (uint32_t l = 0; l < job->lines && !write_failed; ++l) {
            line_values(job, frame, l, line);
            for (uint32_t i = 0; i < job->colorDeep; ++i) {
                convert_pack_plane(line, job->lights, i, plane);
                written = fwrite(plane, 1, plane_bytes, out);
                if (written != plane_bytes) {
                    LOG("write to %s failed should write:%u actually written:%lu -> video", job->out_path,
                        (unsigned)plane_bytes, (unsigned long)written);
                    write_failed = 1;
                    break;
                }
            }
        }
        if (write_failed)
            goto done;

        written = fwrite(audio, 1, FAN_AUDIO_BLOCK, out);
        if (written != FAN_AUDIO_BLOCK) {
            LOG("write to %s failed should write:%u actually written:%lu -> audio", job->out_path,
                FAN_AUDIO_BLOCK, (unsigned long)written);
            goto done;
        }

        ++n;
        memset(frame, 0, frame_size);
        got = engine_seek(in, (int64_t)(n * frame_size), SEEK_SET) == 0 ? fread(frame, 1, frame_size, in) : 0;
    }

    /* The first incomplete frame marks the normal end of the input. */
    LOG("read:%s len:%u failed.", job->frames_resized_file, frame_size);
    if (n == 0)
        LOG("convert failed, not have one frame success");
    else
        failed = 0;

done:
    if (in)
        fclose(in);
    if (aud)
        fclose(aud);
    if (out) {
        /* Buffered writes can fail only now (a full disk); such a file must
         * not be reported as converted. */
        if (convert_finish_output(out, job->out_path) != 0)
            failed = 1;
    }
    if (job->callback)
        job->callback(job->ctx, failed, job->out_path, failed ? "failed" : "ok");
    free(frame);
    free(line);
    free(plane);
    free(audio);
    free(job);
    LOG(">> finish");
    return 0;
}
