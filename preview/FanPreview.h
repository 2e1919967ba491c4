// Reads a fan file and turns its frames back into pictures and a video, as
// the spinning fan would show them. Shared by spindra-preview, the converter's
// preview option and the tests.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>

struct fan_file;
struct fan_render_plan;

struct FanGeometry {
    int lights = 0;
    int lines = 0;
    int colorDeep = 0;
};

class FanPreview {
public:
    FanPreview();
    ~FanPreview();
    FanPreview(const FanPreview&) = delete;
    FanPreview& operator=(const FanPreview&) = delete;

    // Opens and checks a fan file for this geometry. On failure returns false
    // and sets *error to one line that says what is wrong with the file.
    bool open(const QString& path, const FanGeometry& geometry, QString* error);
    void close();

    // Frames in the file. Black, silent records that may be the writer's
    // zero padding at the end are not counted.
    int frameCount() const { return frames; }
    const FanGeometry& geometry() const { return geo; }

    // One frame as the fan shows it, size x size pixels (RGB888), or a null
    // image with *error set. The kept colour bits are widened as the fan does
    // (fan_render_expand); the values are the tone-mapped ones in the file.
    QImage renderFrame(int index, int size, QString* error);

    // The 1600 audio bytes of a frame (unsigned 8-bit, 32000 Hz), or empty.
    QByteArray audioBlock(int index, QString* error);

    // Writers; each returns false with *error set on failure.
    // One frame as a picture; the name's ending chooses the format (.png, ...).
    bool writeFrameImage(int index, int size, const QString& outPath, QString* error);
    // Every `every`-th frame (0: chosen so that at most 25 tiles result) in a
    // grid of `columns` tiles per row (0: about square), each tile size x size.
    bool writeContactSheet(int every, int columns, int size, const QString& outPath,
                           QString* error);
    // All frames at 20 per second with the audio blocks as sound track, through
    // FFmpeg (ffmpegPath empty: defaultFfmpegPath()) fed by a pipe; H.264 and
    // AAC, so .mp4, .mkv and .mov work. An odd size grows by one pixel.
    bool writeVideo(int size, const QString& outPath, const QString& ffmpegPath, QString* error);

    // $SPINDRA_FFMPEG, else "ffmpeg" beside the running executable, else
    // "ffmpeg" from PATH.
    static QString defaultFfmpegPath();

    // Default picture side for a model: 2 x lights x 2 pixels.
    static int defaultSize(int lights);

private:
    fan_render_plan* planFor(int size, QString* error);
    bool readFrame(int index, bool wantAudio, QString* error);

    FanGeometry geo;
    QString filePath;
    std::unique_ptr<fan_file> file;
    int frames = 0;
    QByteArray light; // one frame's bit planes
    QByteArray leds;  // lines x lights BGR triples
    QByteArray audio; // one audio block
    fan_render_plan* plan = nullptr;
};
