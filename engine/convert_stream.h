/* The engine's streaming entry: a flat job whose frames come from memory as
 * they are decoded, instead of from a file of raw frames.
 *
 *   convert_stream* s = convert_stream_open(&spec);
 *   while (a frame arrives) {
 *       read it into convert_stream_frame(s) (convert_stream_frame_size bytes);
 *       if (convert_stream_push(s) != 0) break;   // failed or cancelled
 *   }
 *   convert_stream_sound_after(s, sound);          // optional
 *   failed = convert_stream_finish(s);             // or convert_stream_discard(s)
 *
 * The engine converts frame n on its threads while the caller fills frame
 * n + 1 and the frame before is written, so decoding and converting overlap
 * and no frame is ever copied between the decoder and the engine. The file
 * is the one convert_start writes for the same frames and sound, byte for
 * byte: header, one record per frame (light data, then the frame's sound
 * block), zero padding; it is written under a temporary name beside out_path
 * and renamed into place only when whole (see convert_start).
 *
 * Every call but convert_stream_open takes a stream from convert_stream_open
 * and is made on one thread at a time (the caller's); the engine's log lines
 * and the reason of a failure (convert_failure_reason) belong to the thread
 * that calls convert_stream_open and convert_stream_finish. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "convert.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct convert_stream convert_stream;

/* What a streamed job converts: the members of a flat job description (see
 * convert_start) except its frame file. */
typedef struct convert_stream_spec {
    const char* out_path;   /* the fan file, UTF-8 */
    const char* sound_path; /* a sound file complete before the first frame, read block by
                               block as the frames are written; NULL or "": none */
    uint32_t in_width;      /* frame size: rows top to bottom of in_width blue, green, red */
    uint32_t in_height;     /* pixels, no padding */
    int32_t center_x;
    int32_t center_y;
    uint32_t radius; /* non-zero (the job description repeats lights here) */
    uint32_t lights;
    uint32_t lines;
    uint32_t colorDeep;
    double gamma;
    double min_brightness;
    int32_t change_brightness_lights;
    convert_cancel* cancel; /* NULL: not cancellable; else alive until finish or discard */
    unsigned threads;       /* converting threads; 0: the engine's default */
    /* Non-zero: out_path is a file the caller created to reserve the name
     * (see the output names of the window). The finished file replaces that
     * file only while it is still there (or takes the name while it is
     * free); when another file has taken the name meanwhile, the job fails
     * and that file stays. 0: the finished file replaces whatever is at
     * out_path. */
    int out_reserved;
} convert_stream_spec;

/* Checks the job, prepares its sampling plan and converting threads, creates
 * the output under its temporary name and writes the header. NULL when the
 * job cannot run (invalid geometry, no memory, the output cannot be created:
 * the lines are logged as a job logs them and convert_failure_reason() says
 * why). */
convert_stream* convert_stream_open(const convert_stream_spec* spec);

/* Bytes of one frame: in_width x in_height x 3. */
size_t convert_stream_frame_size(const convert_stream* stream);

/* Where the next frame goes: convert_stream_frame_size bytes for the caller
 * to fill, the same memory until convert_stream_push. */
uint8_t* convert_stream_frame(convert_stream* stream);

/* Hands in the frame the caller has filled. Returns 0, or -1 once the job
 * has failed (a write to the output failed) or was cancelled (its cancel flag
 * is read before every frame); the caller then hands in no more frames and
 * ends the stream. */
int convert_stream_push(convert_stream* stream);

/* Frames handed in so far. */
uint64_t convert_stream_frames(const convert_stream* stream);

/* The frames' sound from a file that is complete only now (the decoder wrote
 * it beside the frames): when the stream is finished, frame k's record gets
 * block k of it (zeros where the file has none), as a sound file given to
 * convert_stream_open would have given it. Returns 0, or -1 when the path
 * does not fit. */
int convert_stream_sound_after(convert_stream* stream, const char* sound_path);

/* Ends the job: writes the last frame, the sound given afterwards and the
 * padding, puts the file on the disk and renames it to out_path. Returns 0,
 * 1 (failed; also without a single frame) or CONVERT_CANCELLED (the cancel
 * flag is read once more before the rename); on anything but 0 out_path is
 * left as it was. Frees the stream. */
int convert_stream_finish(convert_stream* stream);

/* Ends the job without a file (the decoder failed, say): out_path is left as
 * it was. Frees the stream. */
void convert_stream_discard(convert_stream* stream);

#ifdef __cplusplus
}
#endif
