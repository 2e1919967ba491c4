// The FFmpeg commands of a conversion job: FFmpeg turns the input into raw
// bgr24 frames (20 per second, already scaled, flipped and trimmed) and raw
// unsigned 8-bit mono audio at 32000 Hz.
//
// Raw frames: no header; each frame is `height` rows top to bottom of `width`
// pixels of 3 bytes (blue, green, red); an image yields exactly 2 frames.
// Raw audio: no header, one channel, unsigned 8-bit (silence 128), 32000
// samples per second, so 1600 bytes per frame; video input only.
#pragma once

#include "JobGeometry.h"
#include "MediaFacts.h"
#include "MediaInfo.h"

#include <QString>
#include <QStringList>

// "hh:mm:ss" for FFmpeg's -ss option; hours take three digits from 100 on.
QString formatClock(int seconds);

// What a job decodes: a clip's excerpt; a still picture (two frames); a
// song's cover, still, for the excerpt's length with the song's sound.
enum class DecodeKind { Clip, Still, Cover };
// From the caller's choice (time-based or not) and what the probe found.
DecodeKind decodeKind(const MediaInfo& media, const MediaFacts& facts);

// What the picture needs on its way to the frames besides scaling and
// flipping, decided from what the probe found. The default is a picture in
// RGB (or grey levels) that needs nothing more.
struct PictureSteps {
    // One picture from a reader that cannot repeat it (a GIF, a song's
    // cover): the loop filter repeats it, 20 times a second.
    bool loopStill = false;
    // Flagged interlaced: each field becomes a picture of its own before
    // anything else, so that motion never shows twice at half brightness.
    bool deinterlace = false;
    // Transparent: laid over black, weighted by its alpha (black is "LED
    // off"), before it is scaled, so that no hidden colour shows or bleeds.
    bool composite = false;
    // HDR: tone-mapped to SDR BT.709 after the scale.
    HdrTransfer toneMap = HdrTransfer::None;
    // Stored as YUV: scaled as YUV, then turned into RGB at the frames' size
    // with the colour interpolated to every pixel, which keeps a flat colour
    // exact (one step writing bgr24 shifts a flat grey 128 towards green).
    bool yuv = false;
    // FFmpeg's name of the YUV matrix to use instead of the stream's tag
    // (empty: as tagged). An untagged HD picture is BT.709, as players
    // take it, since FFmpeg's own default is BT.601.
    QString matrix;
};
PictureSteps pictureSteps(const MediaFacts& facts, DecodeKind kind);

// The frames' -vf chain.
struct FrameChain {
    int width = 0; // the scaled picture
    int height = 0;
    bool mirror = false;   // "hflip": the picture mirrored left-right
    bool bottomUp = false; // "vflip": rows stored bottom row first
    FrameWindow window;    // the window's crop and black pad, when active
    // fps=20 before the scale, so that only the kept frames are scaled (the
    // same frames, fewer scaler runs).
    bool fpsFirst = false;
    PictureSteps picture;
};
// In order: the loop of a still, deinterlacing, fps (when first), the
// composite over black, the scale, fps, hflip then vflip, the tone mapping or
// the conversion of YUV into RGB, bgr24, then the window's crop and pad.
QString decodeFilterChain(const FrameChain& chain);

// The chain of a job: its scaled size and window, the user's flips (the
// engine counts rows upward from the bottom of the picture as shown, so the
// frames are stored bottom row first unless the user turned the picture
// upside down) and the picture's steps.
FrameChain jobFrameChain(const MediaInfo& media, const JobFrames& frames, const MediaFacts& facts,
                         bool fpsFirst);

// The argument lists of the steps (program path not included).
QStringList videoStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& filterChain, const QString& videoOutPath);
QStringList audioStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& audioOutPath);
// loopOption: the reader repeats the picture itself ("-loop 1": pictures
// read as images); otherwise the chain loops it (PictureSteps::loopStill).
QStringList imageStepArguments(const QString& inputPath, const QString& filterChain,
                               const QString& videoOutPath, bool loopOption = true);
// The video step and the sound step in one run, which decodes the input
// once: the frames exactly as videoStepArguments writes them (no sound on
// that output) and the sound exactly as audioStepArguments writes it. FFmpeg
// refuses to start it when the input has no sound stream.
QStringList videoAndSoundStepArguments(const QString& inputPath, int startSeconds,
                                       int durationSeconds, const QString& filterChain,
                                       const QString& videoOutPath, const QString& audioOutPath);
// A song's cover and its sound in one run: the cover from the whole file (a
// seek would pass it by), looped by the chain into `frames` frames, and the
// sound of the excerpt as audioStepArguments writes it.
QStringList coverStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               qint64 frames, const QString& filterChain,
                               const QString& videoOutPath, const QString& audioOutPath);
