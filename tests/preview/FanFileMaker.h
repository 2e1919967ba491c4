// Test helper, the one that makes fan files for tests: turns upright pictures
// into a fan file the way the app does, without FFmpeg (the frames are stored
// bottom row first, the pipeline's default vertical flip, centred, 2 x lights
// pixels across, and converted by the engine on the calling thread); or lays
// out the bytes of a fan file of a given geometry directly, for tests that
// only need a valid file to send.
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

// The bytes of a fan file of `frames` records for a geometry, laid out as the
// engine writes it: the header, each record (light data and audio) filled
// with a pattern that depends on seed, so that files of other seeds differ,
// and zero padding to the padding granule. Empty for a geometry the format
// refuses.
QByteArray fanFileBytes(int lights, int lines, int colorDeep, int frames, quint32 seed = 1);
// The same for a model of the model table, by name; empty for an unknown one.
QByteArray fanFileBytes(const QString& model, int frames, quint32 seed = 1);
// Writes bytes to path (replacing it); false when that fails.
bool saveBytes(const QString& path, const QByteArray& bytes);

// Bilinear sample of an RGB picture at (x, y) in pixel-index coordinates
// (pixel (i, j) has its centre at (i, j)), clamped to the picture: the
// engine's sampling rule, in double precision.
void sampleBilinear(const QImage& image, double x, double y, double rgb[3]);
