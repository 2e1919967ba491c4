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
#include "MediaInfo.h"

#include <QString>
#include <QStringList>

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

// Whether FFmpeg's report of its input (its standard error up to the stream
// mapping) lists a sound stream of input #0.
bool inputListsSound(const QByteArray& errorOutput);
