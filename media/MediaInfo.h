// The input of one conversion and how to frame it: a plain value, filled by
// the caller (mostly from the preview player) and copied into the job.
#pragma once

#include "MediaFacts.h"

#include <QString>

#include <optional>

struct MediaInfo {
    bool isVideo = true; // time-based input; false for a still image
    QString inputPath;   // the file to convert
    QString outputDir;   // folder for results (never left empty by the window)
    int mediaWidth = 0;  // source size in pixels
    int mediaHeight = 0;
    double centerX = 0.0;    // framing centre in source pixels: x from the left,
    double centerY = 0.0;    // y upward from the bottom of the picture as shown
    double scale = 1.0;      // source pixels -> job pixels (circle radius becomes `lights`)
    int startSeconds = 0;    // excerpt start (video only)
    int durationSeconds = 0; // excerpt length (video only)
    // The user's flips, of the picture as shown: the fan shows it mirrored
    // left-right (hFlip) and upside down (vFlip).
    bool hFlip = false;
    bool vFlip = false;
    // What the caller's probe of the input found (MediaProbe); without it the
    // job probes the input itself. The conversion's decisions (GIF, cover,
    // transparency, HDR, interlacing, colours, sound) read it.
    std::optional<MediaFacts> facts;
};
