// Test helper: turns upright pictures into a fan file the way the app does,
// without FFmpeg: the frames are stored bottom row first (the pipeline's
// default vertical flip), centred, 2 x lights pixels across, and converted by
// the engine on the calling thread.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QVector>

struct FanFileJob {
    int lights = 48;
    int lines = 300;
    int colorDeep = 5;
    QVector<QImage> frames; // upright pictures, any size (scaled to 2 x lights)
    QByteArray audio;       // unsigned 8-bit samples; empty: no audio file
};

// Writes `outPath` through the engine. Returns false (with *error) when the
// engine reports a failure.
bool makeFanFile(const FanFileJob& job, const QString& workDir, const QString& outPath,
                 QString* error);

// Bilinear sample of an RGB picture at (x, y) in pixel-index coordinates
// (pixel (i, j) has its centre at (i, j)), clamped to the picture: the
// engine's sampling rule, in double precision.
void sampleBilinear(const QImage& image, double x, double y, double rgb[3]);
