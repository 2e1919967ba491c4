// The request record of one conversion: what to convert and how to frame it.
// The caller fills every field before handing the record to
// MediaConvert::startConvert and keeps it alive until the job's onResult has
// been called (the result callback is its last user and usually deletes it).
#pragma once

#include <QObject>
#include <QString>

class MediaInfo : public QObject {
    Q_OBJECT
public:
    explicit MediaInfo(QObject* parent = nullptr);

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
    bool hFlip = false;      // mirror left-right
    bool vFlip = false;      // mirror top-bottom
};
