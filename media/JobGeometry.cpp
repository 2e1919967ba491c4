#include "JobGeometry.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>

int nearestInt(double x) { return static_cast<int>(std::floor(x + 0.5)); }

int evenInt(int n) { return n % 2 == 0 ? n : n + 1; }

JobGeometry computeJobGeometry(double scale, double centerX, double centerY, int mediaWidth,
                               int mediaHeight)
{
    JobGeometry g;
    g.centerX = nearestInt(scale * centerX);
    g.centerY = nearestInt(scale * centerY);
    g.width = evenInt(nearestInt(mediaWidth * scale));
    g.height = evenInt(nearestInt(mediaHeight * scale));
    return g;
}

bool scalablePictureSize(int width, int height)
{
    return width >= 2 && height >= 2 &&
        (qint64(width) + 128) * (qint64(height) + 128) < qint64(0x7fffffff) / 8;
}

namespace {

struct AxisFit {
    bool holds = true;
    int keepStart = 0;
    int keepLength = 0;
    int frameLength = 0;
    int padStart = 0;
    int center = 0;
};

// The engine samples LED r of a line at r * cos + c +- 0.25 (r below lights)
// and reads the pixel below and above each position: pixels c - lights up to
// c + lights - 1.
AxisFit fitAxis(int size, int c, int lights)
{
    AxisFit fit;
    fit.keepLength = fit.frameLength = size;
    fit.center = c;
    if (qint64(c) - lights >= 0 && qint64(c) + lights <= size)
        return fit;
    fit.holds = false;
    const int reach = lights + 1;
    const qint64 boxStart = qint64(c) - reach;
    fit.frameLength = 2 * reach;
    fit.center = reach;
    const qint64 keepStart = std::max<qint64>(0, boxStart);
    const qint64 keepEnd = std::min<qint64>(size, boxStart + fit.frameLength);
    if (keepEnd <= keepStart) {
        // Nothing of the picture on this axis: keep one pixel (FFmpeg crops
        // to no less) where no sample reaches, at the frame's far end.
        fit.keepStart = 0;
        fit.keepLength = 1;
        fit.padStart = fit.frameLength - 1;
    } else {
        fit.keepStart = int(keepStart);
        fit.keepLength = int(keepEnd - keepStart);
        fit.padStart = int(keepStart - boxStart);
    }
    return fit;
}

} // namespace

FrameWindow fitFrameWindow(JobGeometry& geometry, int lights)
{
    FrameWindow window;
    if (lights <= 0 || geometry.width <= 0 || geometry.height <= 0)
        return window;
    const AxisFit x = fitAxis(geometry.width, geometry.centerX, lights);
    const AxisFit y = fitAxis(geometry.height, geometry.centerY, lights);
    if (x.holds && y.holds)
        return window;
    window.active = true;
    window.cropX = x.keepStart;
    window.cropY = y.keepStart;
    window.cropWidth = x.keepLength;
    window.cropHeight = y.keepLength;
    window.width = x.frameLength;
    window.height = y.frameLength;
    window.padX = x.padStart;
    window.padY = y.padStart;
    geometry.centerX = x.center;
    geometry.centerY = y.center;
    return window;
}

JobFrames computeJobFrames(double scale, double centerX, double centerY, int mediaWidth,
                           int mediaHeight, int lights)
{
    JobFrames f;
    f.scaled = computeJobGeometry(scale, centerX, centerY, mediaWidth, mediaHeight);
    f.frames = f.scaled;
    f.window = fitFrameWindow(f.frames, lights);
    if (f.window.active) {
        f.frames.width = f.window.width;
        f.frames.height = f.window.height;
    }
    return f;
}
