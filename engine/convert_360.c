/* The 360 worker: up to three inputs side by side, each output line one pixel
 * column of its input, no interpolation and no brightness ramp. */
#include "convert_internal.h"

#include <errno.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

int convert_360_worker(convert_360_job* job)
{
    int failed = 1;
    int name_failed = 0;
    char err[256];
    FILE* aud = NULL;
    FILE* out = NULL;
    FILE* in[CONVERT_360_MAX_ITEMS] = {NULL, NULL, NULL};
    uint8_t* frames[CONVERT_360_MAX_ITEMS] = {NULL, NULL, NULL};
    uint32_t frame_size[CONVERT_360_MAX_ITEMS] = {0, 0, 0};
    uint64_t frame_count[CONVERT_360_MAX_ITEMS] = {0, 0, 0};
    convert_bgr* line = NULL;
    uint8_t* plane = NULL;
    uint8_t* audio = NULL;
    size_t written = 0;

    LOG("#### 1");
    /* A column window narrower than one line would divide by zero; counts
     * above INT32_MAX are what a missing member (-1) becomes. */
    if (job->item_count == 0 || job->item_count > CONVERT_360_MAX_ITEMS || job->lines == 0
        || job->lines > INT32_MAX || job->lights == 0 || job->lights > INT32_MAX || job->out_path[0] == '\0'
        || job->colorDeep < 1 || job->colorDeep > FAN_MAX_COLOR_DEEP || job->destItemWidth < 1) {
        LOG("input or output path is invalid, count:%u output:%s lines:%u lights:%u colorDeep:%u "
            "destItemWidth:%d",
            job->item_count, job->out_path, job->lines, job->lights, job->colorDeep, job->destItemWidth);
        goto done;
    }
    LOG("#### 2");

    if (job->in_aud_path[0] != '\0') {
        aud = engine_fopen(job->in_aud_path, "rb", &name_failed);
        if (!aud) {
            if (name_failed) {
                LOG("convert_worker: UTF-8 to wchar_t failed 360 1");
                goto done;
            }
            LOG("open in %s failed, reasone:%s", job->in_aud_path, engine_strerror(errno, err, sizeof err));
        }
    }
    LOG("#### 3");

    out = engine_fopen(job->out_path, "wb", &name_failed);
    if (!out) {
        if (name_failed)
            LOG("convert_worker: UTF-8 to wchar_t failed 360 2");
        else
            LOG("open out %s failed, reasone:%s", job->out_path, engine_strerror(errno, err, sizeof err));
        goto done;
    }
    written = fwrite(file_header, 1, FAN_HEADER_SIZE, out);
    if (written != FAN_HEADER_SIZE) {
        LOG("write HEADER to %s failed should write:%u actually written:%lu", job->out_path, FAN_HEADER_SIZE,
            (unsigned long)written);
        goto done;
    }
    LOG("#### 4");

    uint64_t total_frames = 0;
    for (uint32_t i = 0; i < job->item_count; ++i) {
        const convert_360_item* item = &job->items[i];
        const uint64_t size64 = item->in_width > 0 && item->in_height > 0
            ? (uint64_t)item->in_width * (uint64_t)item->in_height * 3u
            : 0;
        if (item->in_width <= 0 || item->in_height <= 0 || item->path[0] == '\0' || size64 > UINT32_MAX
            || size64 > SIZE_MAX) {
            LOG("paramas invalid, in_width:%u, in_height:%u", (unsigned)item->in_width, (unsigned)item->in_height);
            goto done;
        }
        in[i] = engine_fopen(item->path, "rb", &name_failed);
        if (!in[i]) {
            if (name_failed)
                LOG("convert_worker: UTF-8 to wchar_t failed 360 x %d", (int)i);
            else
                LOG("open in %s failed, reasone:%s", item->path, engine_strerror(errno, err, sizeof err));
            goto done;
        }
        frame_size[i] = (uint32_t)size64;
        int64_t file_size = -1;
        if (engine_seek(in[i], 0, SEEK_END) == 0)
            file_size = engine_tell(in[i]);
        frame_count[i] = file_size > 0 ? (uint64_t)file_size / frame_size[i] : 0;
        if (frame_count[i] == 0) {
            LOG("not found images on %s", item->path);
            goto done;
        }
        frames[i] = malloc(frame_size[i]);
        if (!frames[i]) {
            LOG("malloc frameData failed");
            goto done;
        }
        if (frame_count[i] > total_frames)
            total_frames = frame_count[i];
    }
    LOG("#### 5");

    const size_t plane_bytes = (size_t)convert_plane_bytes(job->lights);
    line = malloc((size_t)job->lights * sizeof *line);
    if (!line) {
        LOG("malloc lineData failed");
        goto done;
    }
    plane = malloc(plane_bytes);
    audio = malloc(FAN_AUDIO_BLOCK);
    if (!plane || !audio) {
        LOG("malloc planeData failed");
        goto done;
    }

    const int64_t item_width = job->destItemWidth;
    uint64_t frames_written = 0;
    for (uint64_t j = 0; j < total_frames; ++j) {
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

        memset(audio, 0, FAN_AUDIO_BLOCK);
        if (aud) {
            const uint64_t offset = j * FAN_AUDIO_BLOCK;
            size_t read = 0;
            if (engine_seek(aud, (int64_t)offset, SEEK_SET) == 0)
                read = fread(audio, 1, FAN_AUDIO_BLOCK, aud);
            if (read != FAN_AUDIO_BLOCK)
                LOG("read:%s at:%" PRIu64 " failed.", job->in_aud_path, offset);
        }

        LOG("#### write one frame");
        for (uint32_t c = 0; c < job->lines; ++c) {
            const int64_t q = (int64_t)c / item_width;
            const convert_360_item* item = q < (int64_t)job->item_count ? &job->items[q] : NULL;
            for (uint32_t t = 0; t < job->lights; ++t) {
                convert_bgr v = {0, 0, 0};
                if (item) {
                    const int64_t x = (int64_t)item->center_x - item_width / 2 + ((int64_t)c - q * item_width);
                    const int64_t y = (int64_t)item->center_y - (int64_t)(job->destItemHeight / 2)
                        + ((int64_t)job->lights - 1 - (int64_t)t);
                    if (x >= 0 && x < item->in_width && y >= 0 && y < item->in_height) {
                        const uint8_t* p = frames[q] + 3u * ((size_t)y * (size_t)item->in_width + (size_t)x);
                        v.b = p[0];
                        v.g = p[1];
                        v.r = p[2];
                    }
                }
                line[t].b = tone_table[v.b];
                line[t].g = tone_table[v.g];
                line[t].r = tone_table[v.r];
            }
            for (uint32_t i = 0; i < job->colorDeep; ++i) {
                convert_pack_plane(line, job->lights, i, plane);
                written = fwrite(plane, 1, plane_bytes, out);
                if (written != plane_bytes) {
                    LOG("write to %s failed should write:%u actually written:%lu -> video", job->out_path,
                        (unsigned)plane_bytes, (unsigned long)written);
                    goto done;
                }
            }
        }

        written = fwrite(audio, 1, FAN_AUDIO_BLOCK, out);
        if (written != FAN_AUDIO_BLOCK) {
            LOG("write to %s failed should write:%u actually written:%lu -> audio", job->out_path,
                FAN_AUDIO_BLOCK, (unsigned long)written);
            goto done;
        }
        ++frames_written;
    }

    LOG("#### 6");
    if (frames_written == 0)
        LOG("convert failed, not have one frame success");
    else
        failed = 0;

done:
    for (uint32_t i = 0; i < CONVERT_360_MAX_ITEMS; ++i) {
        if (in[i])
            fclose(in[i]);
    }
    if (aud)
        fclose(aud);
    if (out && convert_finish_output(out, job->out_path) != 0)
        failed = 1;
    if (job->callback)
        job->callback(job->ctx, failed, job->out_path, failed ? "failed" : "ok");
    for (uint32_t i = 0; i < CONVERT_360_MAX_ITEMS; ++i)
        free(frames[i]);
    free(line);
    free(plane);
    free(audio);
    free(job);
    LOG(">> finish convert_360_worker");
    return 0;
}
