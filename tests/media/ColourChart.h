// A colour chart of flat patches, made at test time in every kind of input
// people put on a fan (a PNG, camera and phone clips, HDR video, transparent
// logos, GIFs, photos, songs with their cover, interlaced recordings), for
// the chart test and the chart benchmark. Every kind shows the same upright
// chart, whatever it stores and however it is turned; what a kind changes is
// said by its Chart record.
#pragma once

#include <QPointF>
#include <QString>
#include <QStringList>

namespace chart {

// The chart: 4 columns x 3 rows of flat patches over the whole picture.
constexpr int kColumns = 4;
constexpr int kRows = 3;
constexpr int kPatches = kColumns * kRows;

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// The kinds of input.
enum class Kind {
    Png,         // 640x480 RGB
    HdTagged,    // 1920x1080 H.264, tagged BT.709
    HdUntagged,  // 1920x1080 H.264 without colour tags, encoded as BT.709
    Uhd,         // 3840x2160 H.264, tagged BT.709, 1 s
    Hlg,         // 1280x720 10-bit HEVC, BT.2020, HLG
    Pq,          // 1280x720 10-bit HEVC, BT.2020, PQ
    AlphaPng,    // 640x480 RGBA, patches of several opacities over hidden colours
    AlphaWebp,   // the same as a WebP (YUV with alpha)
    AnimatedGif, // 320x240, the chart for 0.5 s, then the second chart for 0.5 s
    ExifJpeg,    // stored turned a quarter to the left, EXIF orientation 6
    GreyJpeg,    // a grey-level JPEG (one component, full range) of the chart's luma
    RotatedClip, // H.264 (BT.709) stored turned a quarter to the left, shown turned back
    Song,        // an MP3 whose cover is the chart, 2 s
    Interlaced,  // H.264 top field first; the chart moves a third of its width per field
                 // and stands upright in the field at 0.02 s
    Truncated,   // 6 s H.264, index at the front, cut at 60 %
    Heic,        // the start of a HEIC photo, which FFmpeg cannot read
};

struct Chart {
    Kind kind;
    const char* name;
    int width; // as shown
    int height;
    bool hdr;      // tolerance of HDR
    bool alpha;    // patches have several opacities
    bool animated; // the second chart follows at 0.5 s
    bool grey;     // the chart's colours as grey levels (their luma)
};
const Chart& chartOf(Kind kind);
QList<Kind> allKinds();

// A patch's colour (second: the animation's second chart), its opacity
// (255 unless the kind has alpha) and the colour over black (what the fan
// shows).
Rgb patchColour(int patch, bool second = false);
int patchAlpha(const Chart& chart, int patch);
Rgb shownColour(const Chart& chart, int patch, bool second = false);
// The grey level of a colour as a grey-level picture stores it (BT.601 luma).
int greyLevel(const Rgb& colour);
// The patch's centre in the picture as shown, 0..1 from the left and the top.
QPointF patchCentre(int patch);

// Makes the chart of this kind in dir; its path, or empty (with a warning).
QString makeChart(const QString& dir, Kind kind);

} // namespace chart
