/* Job description parsing and the engine entry. */
#include "convert_internal.h"
#include "convert_fast.h"

#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "util_json.h"
#include "util_log.h"

/* The worker that runs flat jobs (convert_start and convert_run_job). */
#define CONVERT_FLAT_WORKER convert_fast_worker

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

/* Copies at most CONVERT_PATH_SIZE - 1 bytes of src; the field stays
 * terminated (the record is zero-filled). NULL leaves the field empty. */
static void copy_path(char* field, const char* src)
{
    if (!src)
        return;
    size_t n = strlen(src);
    if (n > CONVERT_PATH_SIZE - 1)
        n = CONVERT_PATH_SIZE - 1;
    memcpy(field, src, n);
    field[n] = '\0';
}

int32_t convert_parse_job(const char* json, convert_result_cb callback, void* ctx,
                          convert_parsed_job* out)
{
    convert_parsed_job parsed = {0, NULL, NULL};
    if (out)
        *out = parsed;
    if (!json) {
        LOG("cfg is NULL, exit");
        return 1;
    }
    cJSON* root = json_parse(json);
    if (!root) {
        LOG("parse json failed, json:%s", json);
        return 2;
    }

    int is_360 = json_get_bool(root, "is_360");
    const char* out_path = json_get_string(root, "out_path");
    int lights = json_get_int(root, "lights");
    int lines = json_get_int(root, "lines");
    int color_deep = json_get_int(root, "colorDeep");
    const char* aud_path = json_get_string(root, "in_aud_path");

/* The members flat and 360 records share. */
#define SET_SHARED_FIELDS(job)                                                                     \
    do {                                                                                           \
        copy_path((job)->out_path, out_path);                                                      \
        copy_path((job)->in_aud_path, aud_path);                                                   \
        (job)->lines = (uint32_t)lines;                                                            \
        (job)->colorDeep = (uint32_t)color_deep;                                                   \
        (job)->is_360 = is_360;                                                                    \
        (job)->lights = (uint32_t)lights;                                                          \
        (job)->callback = callback;                                                                \
        (job)->ctx = ctx;                                                                          \
    } while (0)

    if (is_360 == 1) {
        convert_360_job* job = calloc(1, sizeof *job);
        if (!job)
            goto no_memory;
        SET_SHARED_FIELDS(job);
        job->destTotalWidth = json_get_int(root, "destTotalWidth");
        job->destTotalHeight = json_get_int(root, "destTotalHeight");
        job->destItemWidth = json_get_int(root, "destItemWidth");
        job->destItemHeight = json_get_int(root, "destItemHeight");

        const cJSON* list = json_get_array(root, "list");
        if (!list) {
            free(job);
            json_delete(root);
            LOG("parse json list failed, json:%s", json);
            return 3;
        }
        uint32_t count = 0;
        const cJSON* element = NULL;
        cJSON_ArrayForEach(element, list)
        {
            if (count >= CONVERT_360_MAX_ITEMS)
                break;
            convert_360_item* item = &job->items[count];
            copy_path(item->path, json_get_string(element, "frames_resized_file"));
            item->in_width = json_get_int(element, "in_width");
            item->in_height = json_get_int(element, "in_height");
            item->center_x = json_get_int(element, "center_x");
            item->center_y = json_get_int(element, "center_y");
            ++count;
        }
        job->item_count = count;
        parsed.is_360 = 1;
        parsed.wide = job;
    } else {
        convert_job* job = calloc(1, sizeof *job);
        if (!job)
            goto no_memory;
        SET_SHARED_FIELDS(job);
        copy_path(job->frames_resized_file, json_get_string(root, "frames_resized_file"));
        job->in_width = (uint32_t)json_get_int(root, "in_width");
        job->in_height = (uint32_t)json_get_int(root, "in_height");
        job->gamma = json_get_double(root, "gamma");
        job->min_brightness = json_get_double(root, "min_brightness");
        job->change_brightness_lights = json_get_int(root, "change_brightness_lights");
        job->radius = (uint32_t)json_get_int(root, "radius");
        job->center_x = json_get_int(root, "center_x");
        job->center_y = json_get_int(root, "center_y");
        parsed.flat = job;
    }

#undef SET_SHARED_FIELDS
    json_delete(root);
    if (out)
        *out = parsed;
    else
        free(parsed.is_360 ? (void*)parsed.wide : (void*)parsed.flat);
    return 0;

no_memory:
    json_delete(root);
    LOG("malloc job failed");
    return -1;
}

static void run_flat(void* job) { CONVERT_FLAT_WORKER((convert_job*)job); }

static void run_360(void* job) { convert_fast_360_worker((convert_360_job*)job); }

/* Workers started by convert_start and still running. */
static atomic_int running_jobs;

int32_t convert_running_jobs(void) { return (int32_t)atomic_load(&running_jobs); }

static void thread_flat(void* job)
{
    run_flat(job);
    atomic_fetch_sub(&running_jobs, 1);
}

static void thread_360(void* job)
{
    run_360(job);
    atomic_fetch_sub(&running_jobs, 1);
}

void convert_run_job(convert_parsed_job* job)
{
    if (!job)
        return;
    if (job->is_360 && job->wide)
        run_360(job->wide);
    else if (!job->is_360 && job->flat)
        run_flat(job->flat);
    job->flat = NULL;
    job->wide = NULL;
}

static convert_thread_starter thread_starter = engine_thread_start;

void convert_set_thread_starter(convert_thread_starter starter)
{
    thread_starter = starter ? starter : engine_thread_start;
}

int32_t convert_start(const char* json, convert_result_cb callback, void* ctx)
{
    return convert_start_cancellable(json, callback, ctx, NULL);
}

int32_t convert_start_cancellable(const char* json, convert_result_cb callback, void* ctx,
                                  convert_cancel* cancel)
{
    convert_parsed_job job;
    int32_t rc = convert_parse_job(json, callback, ctx, &job);
    if (rc != 0)
        return rc;
    if (job.is_360)
        job.wide->cancel = cancel;
    else
        job.flat->cancel = cancel;

    void* record = job.is_360 ? (void*)job.wide : (void*)job.flat;
    atomic_fetch_add(&running_jobs, 1);
    unsigned long err =
        thread_starter(job.is_360 ? thread_360 : thread_flat, record, CONVERT_THREAD_STACK_SIZE);
    if (err != 0) {
        atomic_fetch_sub(&running_jobs, 1);
        free(record);
        LOG("Error creating thread: %lu", err);
        return -1;
    }
    return 0;
}
