// The decode steps of a conversion job: FFmpeg turns the input into a file of
// raw bgr24 frames (20 per second, already scaled, flipped and trimmed) and a
// file of raw unsigned 8-bit mono audio at 32000 Hz.
//
// Raw frames: no header; each frame is `height` rows top to bottom of `width`
// pixels of 3 bytes (blue, green, red); an image yields exactly 2 frames.
// Raw audio: no header, one channel, unsigned 8-bit (silence 128), 32000
// samples per second, so 1600 bytes per frame; video input only.
#pragma once

#include "fan_format.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class ConvertCancel;

struct DecodeResult {
    bool videoOk = false;
    bool audioOk = false;
};

// The part of the scaled, flipped picture the stored frames hold, when that is
// not simply the whole picture: a window of it (crop) placed on a black frame
// (pad). Lets the frames cover the whole fan disc with black where the
// picture does not reach.
struct FrameWindow {
    bool active = false; // false: the frames are the scaled picture as it is
    int cropX = 0;       // kept part of the scaled picture, stored-frame pixels
    int cropY = 0;
    int cropWidth = 0;
    int cropHeight = 0;
    int width = 0; // frame size
    int height = 0;
    int padX = 0; // where the kept part lies in the frame
    int padY = 0;
};

// "hh:mm:ss" for FFmpeg's -ss option; hours take three digits from 100 on.
QString formatClock(int seconds);

// The -vf chain: scale, fps, optional hflip then vflip, bgr24, then the
// window's crop and black pad when it is active.
// fpsFirst: fps=20 before the scale, so that only the kept frames are scaled
// (the same frames, fewer scaler runs).
QString decodeFilterChain(int width, int height, bool vFlip, bool hFlip,
                          const FrameWindow& window = FrameWindow(), bool fpsFirst = false);

// The argument lists of the three steps (program path not included).
QStringList videoStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& filterChain, const QString& videoOutPath);
QStringList audioStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& audioOutPath);
QStringList imageStepArguments(const QString& inputPath, const QString& filterChain,
                               const QString& videoOutPath);
// The video step and the sound step in one run, which decodes the input
// once: the frames exactly as videoStepArguments writes them (no sound on
// that output) and the sound exactly as audioStepArguments writes it. FFmpeg
// refuses to start it when the input has no sound stream.
QStringList videoAndSoundStepArguments(const QString& inputPath, int startSeconds,
                                       int durationSeconds, const QString& filterChain,
                                       const QString& videoOutPath, const QString& audioOutPath);

// Runs the steps one after another with the job's debugMode and onLog. width
// and height are the scaled picture's size; the frames have the window's size
// when it is active.
// onProgress receives the frame file's progress in percent (0..100) while the
// frames are written.
DecodeResult decodeMedia(bool isVideo, const QString& inputPath, int startSeconds,
                         int durationSeconds, const QString& videoOutPath,
                         const QString& audioOutPath, int width, int height, bool vFlip, bool hFlip,
                         bool debugMode, const std::function<void(const QString&)>& onLog,
                         const std::function<void(int percent)>& onProgress = {},
                         const std::shared_ptr<ConvertCancel>& cancel = {},
                         const FrameWindow& window = FrameWindow());
