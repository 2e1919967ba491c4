/* The 360 worker: up to three inputs side by side, each output line one pixel
 * column of its input, no interpolation and no brightness ramp. The body is
 * shared with the fast 360 worker, which only packs the planes differently. */
#include "convert_internal.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

/* Computes line c: column c of the window, LED 0 at the window's bottom
 * row; pixels outside the input (or past the last input) are black. */
static void line_values(const convert_360_job* job, uint8_t* const* frames, uint32_t c,
                        convert_bgr* line)
{
    const int64_t item_width = job->destItemWidth;
    const int64_t q = (int64_t)c / item_width;
    const convert_360_item* item = q < (int64_t)job->item_count ? &job->items[q] : NULL;
    const int64_t x =
        item ? (int64_t)item->center_x - item_width / 2 + ((int64_t)c - q * item_width) : -1;
    const convert_bgr black = {tone_table[0], tone_table[0], tone_table[0]};
    if (!item || x < 0 || x >= item->in_width) {
        for (uint32_t t = 0; t < job->lights; ++t)
            line[t] = black;
        return;
    }
    const int64_t top =
        (int64_t)item->center_y - (int64_t)(job->destItemHeight / 2) + ((int64_t)job->lights - 1);
    const uint8_t* column = frames[q] + 3u * (size_t)x;
    const size_t stride = 3u * (size_t)item->in_width;
    for (uint32_t t = 0; t < job->lights; ++t) {
        const int64_t y = top - (int64_t)t;
        if (y >= 0 && y < item->in_height) {
            const uint8_t* p = column + (size_t)y * stride;
            line[t].b = tone_table[p[0]];
            line[t].g = tone_table[p[1]];
            line[t].r = tone_table[p[2]];
        } else {
            line[t] = black;
        }
    }
}

int convert_360_run(convert_360_job* job, const convert_360_packer* packer)
{
    int failed = 1;
    int name_failed = 0;
    FILE* aud = NULL;
    convert_output out = {0};
    FILE* in[CONVERT_360_MAX_ITEMS] = {NULL, NULL, NULL};
    uint8_t* frames[CONVERT_360_MAX_ITEMS] = {NULL, NULL, NULL};
    uint32_t frame_size[CONVERT_360_MAX_ITEMS] = {0, 0, 0};
    uint64_t frame_count[CONVERT_360_MAX_ITEMS] = {0, 0, 0};
    uint8_t* audio = NULL;

    LOG("#### 1");
    convert_clear_reason();
    if (convert_cancel_requested(job->cancel)) {
        failed = CONVERT_CANCELLED;
        goto done;
    }
    /* A column window narrower than one line would divide by zero; counts
     * above INT32_MAX are what a missing member (-1) becomes, counts beyond
     * a fan's would write gigabytes per frame. */
    if (job->item_count == 0 || job->item_count > CONVERT_360_MAX_ITEMS || job->lines == 0 ||
        job->lines > CONVERT_MAX_LINES || job->lights == 0 || job->lights > CONVERT_MAX_LIGHTS ||
        job->out_path[0] == '\0' || job->colorDeep < 1 || job->colorDeep > FAN_MAX_COLOR_DEEP ||
        job->destItemWidth < 1) {
        LOG("input or output path is invalid, count:%u output:%s lines:%u lights:%u colorDeep:%u "
            "destItemWidth:%d",
            job->item_count, job->out_path, job->lines, job->lights, job->colorDeep,
            job->destItemWidth);
        convert_set_reason("invalid job");
        goto done;
    }
    LOG("#### 2");

    if (convert_open_audio(job->in_aud_path, "360 1", &aud) != 0)
        goto done;
    LOG("#### 3");

    /* Every input is opened and sized before the output is created. */
    uint64_t total_frames = 0;
    for (uint32_t i = 0; i < job->item_count; ++i) {
        const convert_360_item* item = &job->items[i];
        const uint64_t size64 = item->in_width > 0 && item->in_height > 0
            ? (uint64_t)item->in_width * (uint64_t)item->in_height * 3u
            : 0;
        if (item->in_width <= 0 || item->in_height <= 0 || item->path[0] == '\0' ||
            size64 > UINT32_MAX || size64 > SIZE_MAX) {
            LOG("paramas invalid, in_width:%u, in_height:%u", (unsigned)item->in_width,
                (unsigned)item->in_height);
            convert_set_reason("invalid job: frame %dx%d", (int)item->in_width,
                               (int)item->in_height);
            goto done;
        }
        char tag[32];
        snprintf(tag, sizeof tag, "360 x %d", (int)i);
        in[i] = convert_open_input(item->path, tag, &name_failed);
        if (!in[i])
            goto done;
        frame_size[i] = (uint32_t)size64;
        int64_t file_size = -1;
        if (engine_seek(in[i], 0, SEEK_END) == 0)
            file_size = engine_tell(in[i]);
        frame_count[i] = file_size > 0 ? (uint64_t)file_size / frame_size[i] : 0;
        if (frame_count[i] == 0) {
            LOG("not found images on %s", item->path);
            convert_set_reason("no whole frame in %s", item->path);
            goto done;
        }
        frames[i] = malloc(frame_size[i]);
        if (!frames[i]) {
            LOG("malloc frameData failed");
            goto done;
        }
        if (frame_count[i] > total_frames)
            total_frames = frame_count[i];
        if (convert_check_output_apart(job->out_path, in[i], NULL) != 0)
            goto done;
    }
    if (convert_check_output_apart(job->out_path, NULL, aud) != 0 ||
        convert_open_output(job->out_path, "360 2", &out) != 0)
        goto done;
    LOG("#### 4");
    LOG("#### 5");

    const size_t plane_bytes = (size_t)convert_plane_bytes(job->lights);
    const char* what = "planeData";
    convert_bgr* line = packer->init(packer->self, job->lights, job->colorDeep, &what);
    audio = line ? malloc(FAN_AUDIO_BLOCK) : NULL;
    if (!audio) {
        LOG("malloc %s failed", line ? "planeData" : what);
        goto done;
    }

    uint64_t frames_written = 0;
    for (uint64_t j = 0; j < total_frames; ++j) {
        if (convert_stop_before_frame(job->cancel, j)) {
            failed = CONVERT_CANCELLED;
            goto done;
        }
        for (uint32_t k = 0; k < job->item_count; ++k) {
            /* A shorter input repeats its last frame. */
            const uint64_t index = j < frame_count[k] ? j : frame_count[k] - 1u;
            memset(frames[k], 0, frame_size[k]);
            size_t got = 0;
            if (engine_seek(in[k], (int64_t)(index * frame_size[k]), SEEK_SET) == 0)
                got = fread(frames[k], 1, frame_size[k], in[k]);
            if (got != frame_size[k])
                LOG("read:%s len:%u failed.", job->items[k].path, frame_size[k]);
        }

        convert_read_audio(aud, job->in_aud_path, j, audio);

        LOG("#### write one frame");
        for (uint32_t c = 0; c < job->lines; ++c) {
            line_values(job, frames, c, line);
            const uint8_t* planes = packer->pack(packer->self);
            for (uint32_t i = 0; i < job->colorDeep; ++i) {
                const size_t written =
                    fwrite(planes + (size_t)i * plane_bytes, 1, plane_bytes, out.file);
                if (written != plane_bytes) {
                    convert_set_write_reason(job->out_path);
                    LOG("write to %s failed should write:%u actually written:%lu -> video",
                        job->out_path, (unsigned)plane_bytes, (unsigned long)written);
                    goto done;
                }
            }
        }

        if (convert_write_audio(out.file, job->out_path, audio) != 0)
            goto done;
        ++frames_written;
    }

    LOG("#### 6");
    if (frames_written == 0) {
        LOG("convert failed, not have one frame success");
        convert_set_reason("no whole frame to convert");
    } else
        failed = 0;

done:
    for (uint32_t i = 0; i < CONVERT_360_MAX_ITEMS; ++i) {
        if (in[i])
            fclose(in[i]);
    }
    convert_report(aud, &out, job->out_path, failed, job->callback, job->ctx);
    for (uint32_t i = 0; i < CONVERT_360_MAX_ITEMS; ++i)
        free(frames[i]);
    packer->release(packer->self);
    free(audio);
    free(job);
    LOG(">> finish convert_360_worker");
    return 0;
}

/* The plain packing: one plane after the other, bit by bit. */
typedef struct plain_packer {
    uint32_t lights, depth;
    size_t plane_bytes;
    convert_bgr* line;
    uint8_t* planes;
} plain_packer;

static convert_bgr* plain_init(void* self, uint32_t lights, uint32_t depth, const char** what)
{
    plain_packer* p = self;
    p->lights = lights;
    p->depth = depth;
    p->plane_bytes = (size_t)convert_plane_bytes(lights);
    p->line = malloc((size_t)lights * sizeof *p->line);
    if (!p->line) {
        *what = "lineData";
        return NULL;
    }
    p->planes = malloc((size_t)depth * p->plane_bytes);
    if (!p->planes) {
        *what = "planeData";
        return NULL;
    }
    return p->line;
}

static const uint8_t* plain_pack(void* self)
{
    plain_packer* p = self;
    for (uint32_t i = 0; i < p->depth; ++i)
        convert_pack_plane(p->line, p->lights, i, p->planes + (size_t)i * p->plane_bytes);
    return p->planes;
}

static void plain_release(void* self)
{
    plain_packer* p = self;
    free(p->line);
    free(p->planes);
}

int convert_360_worker(convert_360_job* job)
{
    plain_packer state = {0, 0, 0, NULL, NULL};
    const convert_360_packer packer = {plain_init, plain_pack, plain_release, &state};
    return convert_360_run(job, &packer);
}
