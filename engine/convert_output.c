/* A job's output file, whole or not at all (see convert_output in
 * convert_internal.h): the temporary name beside the final path, the rename
 * into place, and the removal of what ended processes left behind. */
#include "convert_internal.h"

#include <errno.h>
#include <stdatomic.h>
#include <string.h>

#include "platform.h"
#include "util_log.h"

#define LOG(...) util_log(1, CONVERT_LOG_LEVEL, CONVERT_LOG_TAG, __VA_ARGS__)

#define TEMP_PREFIX ".spindra-"
#define TEMP_SUFFIX ".part"

/* Numbers the temporary files of this process, so that jobs running side by
 * side never share one. */
static atomic_uint temp_counter;

/* The folder part of path ("." when there is none), into folder. */
static void folder_of(const char* path, char* folder, size_t size)
{
    const char* slash = strrchr(path, '/');
    if (!slash) {
        snprintf(folder, size, ".");
        return;
    }
    const size_t n = slash == path ? 1u : (size_t)(slash - path);
    snprintf(folder, size, "%.*s", (int)n, path);
}

int convert_output_is_stale(const char* name)
{
    const size_t prefix = sizeof TEMP_PREFIX - 1u;
    const size_t suffix = sizeof TEMP_SUFFIX - 1u;
    const size_t length = strlen(name);
    if (length <= prefix + suffix || strncmp(name, TEMP_PREFIX, prefix) != 0 ||
        strcmp(name + length - suffix, TEMP_SUFFIX) != 0)
        return 0;
    const char* end = NULL;
    const int alive = engine_process_tag_alive(name + prefix, &end);
    if (alive != 0 || !end || *end != '-')
        return 0;
    /* Then the file's number and the suffix. */
    const char* p = end + 1;
    if (*p < '0' || *p > '9')
        return 0;
    while (*p >= '0' && *p <= '9')
        ++p;
    return strcmp(p, TEMP_SUFFIX) == 0;
}

typedef struct sweep {
    const char* folder;
} sweep;

static void sweep_entry(const char* name, void* ctx)
{
    const sweep* s = ctx;
    if (convert_output_is_stale(name) && engine_remove_own_file(s->folder, name) == 0)
        LOG("removed %s/%s, left by an ended run", s->folder, name);
}

int convert_open_output(const char* path, const char* tag, convert_output* out)
{
    char err[256];
    convert_cancel* const cancel = out->cancel;
    const int reserved = out->reserved;
    memset(out, 0, sizeof *out);
    out->cancel = cancel;
    out->reserved = reserved;
    snprintf(out->path, sizeof out->path, "%s", path);
    if (reserved) {
        const int found = engine_file_identity(path, &out->reservation);
        if (found < 0) {
            LOG("open out %s failed, reasone:not the reserved file", path);
            convert_set_reason("cannot write %s: something else than its reservation is there",
                               path);
            return -1;
        }
        out->has_reservation = found;
    }

    int name_failed = 0;
    if (!reserved && engine_is_special(path)) {
        out->in_place = 1;
        out->file = engine_fopen(path, "wb", &name_failed);
    } else {
        char folder[CONVERT_PATH_SIZE];
        folder_of(path, folder, sizeof folder);
        const sweep s = {folder};
        engine_list_folder(folder, sweep_entry, (void*)&s);

        char process[64];
        engine_process_tag(process, sizeof process);
        const unsigned number = atomic_fetch_add(&temp_counter, 1u);
        const int n = snprintf(out->temp, sizeof out->temp, "%s/" TEMP_PREFIX "%s-%u" TEMP_SUFFIX,
                               folder, process, number);
        if (n < 0 || (size_t)n >= sizeof out->temp) {
            out->temp[0] = '\0';
            errno = ENAMETOOLONG;
        } else {
            out->file = engine_create_new(out->temp);
        }
        if (!out->file)
            out->temp[0] = '\0';
    }
    if (!out->file) {
        const int e = errno;
        if (name_failed) {
            LOG("convert_worker: UTF-8 to wchar_t failed %s", tag);
            convert_set_reason("cannot create %s: invalid file name", path);
        } else {
            engine_strerror(e, err, sizeof err);
            LOG("open out %s failed, reasone:%s", path, err);
            convert_set_reason("cannot create %s: %s", path, err);
        }
        return -1;
    }
    const size_t written = fwrite(file_header, 1, FAN_HEADER_SIZE, out->file);
    if (written != FAN_HEADER_SIZE) {
        LOG("write HEADER to %s failed should write:%u actually written:%lu", path, FAN_HEADER_SIZE,
            (unsigned long)written);
        convert_set_write_reason(path);
        return -1;
    }
    return 0;
}

void convert_discard_output(convert_output* out)
{
    if (out->file)
        fclose(out->file);
    out->file = NULL;
    if (!out->in_place && out->temp[0] != '\0')
        engine_remove(out->temp);
    out->temp[0] = '\0';
}

/* Gives the finished temporary file its final name: over whatever is there,
 * or, for a reservation, over the reservation only (EEXIST when another file
 * has taken its place). */
static int put_in_place(const convert_output* out)
{
    if (!out->reserved)
        return engine_rename(out->temp, out->path);
    engine_file_id now;
    const int found = engine_file_identity(out->path, &now);
    if (found == 0)
        return engine_rename_new(out->temp, out->path);
    if (found > 0 && out->has_reservation && engine_file_id_equal(&now, &out->reservation))
        return engine_rename(out->temp, out->path);
    errno = EEXIST;
    return -1;
}

int convert_finish_output(convert_output* out)
{
    char err[256];
    const char* path = out->path;
    int rc = 0;
    errno = 0;
    if (convert_pad_output(out->file) != 0 || fflush(out->file) != 0 || ferror(out->file)) {
        const int e = errno ? errno : EIO;
        LOG("write to %s failed, reasone:%s", path, engine_strerror(e, err, sizeof err));
        convert_set_reason("cannot write %s: %s", path, err);
        rc = -1;
    }
    /* On the disk before it takes the final name: after a crash the final
     * path holds either the earlier file or this one whole. */
    if (rc == 0 && !out->in_place && engine_sync(out->file) != 0) {
        LOG("write to %s failed, reasone:%s", path, engine_strerror(errno, err, sizeof err));
        convert_set_reason("cannot write %s: %s", path, err);
        rc = -1;
    }
    if (fclose(out->file) != 0 && rc == 0) {
        LOG("close %s failed, reasone:%s", path, engine_strerror(errno, err, sizeof err));
        convert_set_reason("cannot write %s: %s", path, err);
        rc = -1;
    }
    out->file = NULL;
    if (out->in_place)
        return rc;
    if (rc == 0 && out->cancel && convert_cancel_requested(out->cancel)) {
        engine_remove(out->temp);
        out->temp[0] = '\0';
        return 1;
    }
    if (rc == 0 && put_in_place(out) != 0) {
        if (errno == EEXIST) {
            LOG("rename %s failed, reasone:another file took its name", path);
            convert_set_reason("cannot write %s: another file took its name", path);
        } else {
            LOG("rename %s failed, reasone:%s", path, engine_strerror(errno, err, sizeof err));
            convert_set_reason("cannot write %s: %s", path, err);
        }
        rc = -1;
    }
    if (rc != 0) {
        engine_remove(out->temp);
    } else {
        char folder[CONVERT_PATH_SIZE];
        folder_of(path, folder, sizeof folder);
        engine_sync_folder(folder);
    }
    out->temp[0] = '\0';
    return rc;
}
