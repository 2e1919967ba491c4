/* The reference flat worker: resamples every frame onto the fan's polar grid
 * and writes the fan file. Kept deliberately plain: faster workers must
 * produce exactly the same bytes. */
#include "convert_internal.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

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

        const convert_bgr s0 =
            sample_bilinear(frame, job->in_width, job->in_height, x - 0.25f, y - 0.25f);
        const convert_bgr s1 =
            sample_bilinear(frame, job->in_width, job->in_height, x + 0.25f, y - 0.25f);
        const convert_bgr s2 =
            sample_bilinear(frame, job->in_width, job->in_height, x - 0.25f, y + 0.25f);
        const convert_bgr s3 =
            sample_bilinear(frame, job->in_width, job->in_height, x + 0.25f, y + 0.25f);

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
                v[k] = convert_apply_factor(v[k], factor);
        }
        line[t].b = v[0];
        line[t].g = v[1];
        line[t].r = v[2];
    }
}

int convert_worker(convert_job* job)
{
    int failed = 1;
    FILE* in = NULL;
    FILE* aud = NULL;
    convert_output out = {0};
    uint8_t* frame = NULL;
    convert_bgr* line = NULL;
    uint8_t* plane = NULL;
    uint8_t* audio = NULL;

    LOG(">> start");
    convert_clear_reason();

    if (convert_cancel_requested(job->cancel)) {
        failed = CONVERT_CANCELLED;
        goto done;
    }

    if (job->frames_resized_file[0] == '\0' || job->out_path[0] == '\0') {
        LOG("input or output path is invalid input:%s output:%s", job->frames_resized_file,
            job->out_path);
        convert_set_reason("no frame file or no output path");
        goto done;
    }

    uint32_t frame_size = 0;
    if (convert_check_flat_job(job, &frame_size) != 0)
        goto done;
    const size_t plane_bytes = (size_t)convert_plane_bytes(job->lights);

    /* Every input is opened and checked before the output is created. */
    in = convert_open_frames(job->frames_resized_file, "1", frame_size);
    if (!in || convert_open_audio(job->in_aud_path, "2", &aud) != 0 ||
        convert_check_output_apart(job->out_path, in, aud) != 0 ||
        convert_open_output(job->out_path, "3", &out) != 0)
        goto done;

    frame = malloc(frame_size);
    if (!frame) {
        LOG("malloc frameData failed");
        convert_set_reason("out of memory");
        goto done;
    }
    line = malloc((size_t)job->lights * sizeof *line);
    if (!line) {
        LOG("malloc lineData failed");
        convert_set_reason("out of memory");
        goto done;
    }
    plane = malloc(plane_bytes);
    if (!plane) {
        LOG("malloc planeData failed");
        convert_set_reason("out of memory");
        goto done;
    }
    audio = malloc(FAN_AUDIO_BLOCK);
    if (!audio) {
        LOG("malloc audioData failed");
        convert_set_reason("out of memory");
        goto done;
    }

    uint64_t n = 0;
    int write_failed = 0;
    memset(frame, 0, frame_size);
    size_t got = engine_seek(in, 0, SEEK_SET) == 0 ? fread(frame, 1, frame_size, in) : 0;
    while (got == frame_size) {
        if (convert_stop_before_frame(job->cancel, n)) {
            failed = CONVERT_CANCELLED;
            goto done;
        }
        convert_read_audio(aud, job->in_aud_path, n, audio);

        for (uint32_t l = 0; l < job->lines && !write_failed; ++l) {
            line_values(job, frame, l, line);
            for (uint32_t i = 0; i < job->colorDeep; ++i) {
                convert_pack_plane(line, job->lights, i, plane);
                const size_t written = fwrite(plane, 1, plane_bytes, out.file);
                if (written != plane_bytes) {
                    convert_set_write_reason(job->out_path);
                    LOG("write to %s failed should write:%u actually written:%lu -> video",
                        job->out_path, (unsigned)plane_bytes, (unsigned long)written);
                    write_failed = 1;
                    break;
                }
            }
        }
        if (write_failed)
            goto done;

        if (convert_write_audio(out.file, job->out_path, audio) != 0)
            goto done;

        ++n;
        memset(frame, 0, frame_size);
        got = engine_seek(in, (int64_t)(n * frame_size), SEEK_SET) == 0
            ? fread(frame, 1, frame_size, in)
            : 0;
    }

    failed = convert_end_of_input(job->frames_resized_file, frame_size, n);

done:
    if (in)
        fclose(in);
    convert_report(aud, &out, job->out_path, failed, job->callback, job->ctx);
    free(frame);
    free(line);
    free(plane);
    free(audio);
    free(job);
    LOG(">> finish");
    return 0;
}
