// The body of one conversion job (run on a pool worker by MediaConvert):
// temporary paths, framing in job pixels, decoding, the engine's job text,
// the engine start and the wait for its completion.
#pragma once

#include "DecodeSteps.h"
#include "MediaConvert.h"

#include <QString>

#include "convert.h"

// nearest(x) = floor(x + 0.5), halves upward also for negative x.
int nearestInt(double x);
// n for even n, n + 1 for odd n.
int evenInt(int n);

struct JobGeometry {
    int centerX = 0;
    int centerY = 0;
    int width = 0;
    int height = 0;
};
// Framing centre and frame size in job pixels.
JobGeometry computeJobGeometry(double scale, double centerX, double centerY, int mediaWidth,
                               int mediaHeight);

// The window of the scaled picture the stored frames hold so that every pixel
// the engine reads for a disc of `lights` LEDs around the job centre lies in
// the frame: the engine clamps positions to the frame, which would stretch the
// picture's outermost pixels out to the rim where black belongs. Inactive when
// the picture already holds the disc. Otherwise, on each axis the picture
// does not hold, the frame is the disc's square plus one spare pixel each side
// (so a centre far outside the picture costs no more than the disc), and
// geometry's centre is moved into the frame.
FrameWindow fitFrameWindow(JobGeometry& geometry, int lights);

// The folder under the platform's temporary directory that holds every job's
// temporary files: TempLocation + "/Vortiq".
QString mediaTempFolder();
// temp folder + "/" + base name of inputPath + ending; deletes any file there.
QString tempMediaPath(const QString& inputPath, const QString& ending);
// temp folder + "/" + base name + "_" + tag; recreated empty (parents too).
QString scratchDirPath(const QString& inputPath, const QString& tag);

// Text as the inside of a JSON string: quote, backslash and control
// characters escaped, everything else verbatim.
QString jsonEscaped(const QString& text);

struct JobTextValues {
    QString videoPath;
    int width = 0;
    int height = 0;
    QString audioPath; // empty: no sound
    QString outPath;
    int lights = 0;
    int centerX = 0;
    int centerY = 0;
    int lines = 0;
    int colorDeep = 0;
    double gamma = 0.0;
    double minBrightness = 0.0;
    int changeBrightnessLights = 0;
};
// The engine's flat job description, keys in their fixed order.
QString buildJobText(const JobTextValues& values);

// The body of one job; reports through the callbacks as MediaConvert
// describes.
void handleMedia(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks);

// Seams for tools and tests.
using EngineEntry = int32_t (*)(const char* json, convert_result_cb callback, void* ctx,
                                convert_cancel* cancel);
// The engine entry jobs call (nullptr restores the real engine).
void setEngineEntry(EngineEntry entry);
// How often a job waiting for the engine reports converting progress (default
// 1000 ms); the engine's completion wakes the job at once.
void setJobPollIntervalMs(int ms);
int jobPollIntervalMs();
// On (the default): decoding and converting overlap, a few frames at a time
// (see StreamingJob in JobBuilder.cpp), and a clip with sound is decoded by
// one FFmpeg run for frames and sound. Off: the straightforward pipeline, the
// frames decoded into one raw file, then the sound, before one engine job
// converts them. Both write the same bytes.
void setStreamingPipeline(bool on);
bool streamingPipeline();
// The files the overlapping pipeline keeps in a job's scratch folder.
QStringList streamingScratchFiles(const QString& scratchDir);
// Frames per chunk of the overlapping pipeline (0: about 8 MiB of frames).
void setStreamChunkFrames(int frames);
