// The straightforward pipeline, kept as the tests' reference for the
// product's streamed one (and to check FFmpeg's argument lists on real
// media): every frame decoded by FFmpeg into one raw file and the sound into
// another, then one engine job (convert_start with a job description)
// converts them. The product never writes frames to the disk.
#pragma once

#include "ConvertRequest.h"
#include "DecodeSteps.h"

#include <QString>

#include <functional>
#include <memory>

struct DecodeResult {
    bool videoOk = false;
    bool audioOk = false;
};

// Runs the steps one after another: the frames into videoOutPath (the video
// step or the image step), then, for a video, the sound into audioOutPath
// (a failed sound step is taken for a clip without sound: "No audio track
// detected."). width and height are the scaled picture's size; the frames
// have the window's size when it is active; bottomUp and mirror are FFmpeg's
// vflip and hflip of the frames; picture what the input needs besides (see
// PictureSteps). onProgress receives the frame file's progress in percent
// (0..100) while the frames are written.
DecodeResult decodeMedia(bool isVideo, const QString& inputPath, int startSeconds,
                         int durationSeconds, const QString& videoOutPath,
                         const QString& audioOutPath, int width, int height, bool bottomUp,
                         bool mirror, bool debugMode,
                         const std::function<void(const QString&)>& onLog,
                         const std::function<void(int percent)>& onProgress = {},
                         const std::shared_ptr<ConvertCancel>& cancel = {},
                         const FrameWindow& window = FrameWindow(),
                         const PictureSteps& picture = PictureSteps());

// Converts a request the straightforward way into outPath, with its raw
// files in workDir (removed afterwards), deciding from the input's probe as
// the product does (clips and stills). True when the engine wrote the file.
bool referenceConvert(const ConvertRequest& request, const QString& workDir,
                      const QString& outPath);
