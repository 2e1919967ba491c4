// One look at a media file before it is converted: what kind of input it is
// as a user sees it, the picture's size as shown, its length, sound, cover,
// colour tags, interlacing, transparency and animation. Read with ffprobe
// (FfmpegRunner::defaultFfprobePath()) and a few bytes of the file itself.
// The facts only describe the file; what to do with them is the caller's.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;
class QTimer;

// The kind of input as a user sees it.
enum class MediaKind {
    Unreadable,    // nothing FFmpeg can show or play; MediaFacts::reason says why
    Still,         // one picture (a photo, a one-frame GIF)
    Clip,          // moving pictures (a video, an animated GIF)
    SongWithCover, // sound with an attached picture (an MP3 or M4A with its cover)
    SoundOnly      // sound and no picture
};

// Transfer characteristic of the picture, as far as it asks for tone mapping.
enum class HdrTransfer {
    None, // SDR, or untagged
    Hlg,  // arib-std-b67
    Pq    // smpte2084
};

struct MediaFacts {
    MediaKind kind = MediaKind::Unreadable;
    // Unreadable and SoundOnly: why there is no picture, one line for the user.
    QString reason;

    // The picture: the video, the still, or a song's cover. Width and height
    // are as shown, that is as FFmpeg decodes it, turned upright: a phone
    // photo stored 1280x720 with EXIF orientation 6 is 720x1280 here.
    int width = 0;
    int height = 0;
    int storedWidth = 0; // as stored in the file
    int storedHeight = 0;
    // How the stored picture is turned to be shown: first mirrored left-right
    // when `mirrored`, then turned clockwise by `rotation` degrees (0..359).
    int rotation = 0;
    bool mirrored = false;
    // The EXIF orientation (1..8) the picture carries; 0 when it has none.
    int exifOrientation = 0;
    QString codec;       // of the picture stream ("h264", "mjpeg", "gif", ...)
    QString pixelFormat; // as decoded ("yuv420p", "rgba", "pal8", ...)
    // Frames of the picture stream when the file says (0: not said). An
    // animated GIF has more than one, a one-frame GIF exactly one.
    int frameCount = 0;
    bool animated = false;   // more than one frame in a picture format (GIF)
    bool hasAlpha = false;   // the picture can be transparent (rgba, yuva420p, GIF or
                             // palette PNG with a transparent colour, ...)
    bool interlaced = false; // flagged interlaced (field order tt, bb, tb or bt)
    QString fieldOrder;      // as tagged ("progressive", "tt", ...); empty: untagged
    // Colour tags as FFmpeg names them; empty: untagged ("unknown" counts as
    // untagged).
    QString colorTransfer;  // "bt709", "arib-std-b67", "smpte2084", ...
    QString colorPrimaries; // "bt709", "bt2020", ...
    QString colorMatrix;    // "bt709", "bt470bg", "bt2020nc", ...
    QString colorRange;     // "tv" (limited) or "pc" (full)
    HdrTransfer hdr = HdrTransfer::None;

    double duration = 0.0; // seconds; 0 when the file gives none
    bool hasSound = false;
    bool hasCover = false; // an attached picture beside the sound
    QString formatName;    // the container as FFmpeg names it ("mov,mp4,...", "image2")

    bool readable() const { return kind != MediaKind::Unreadable; }
    // Whether the file has a picture to frame (a still, a clip or a cover).
    bool hasPicture() const
    {
        return kind == MediaKind::Still || kind == MediaKind::Clip ||
            kind == MediaKind::SongWithCover;
    }
    bool colorTagged() const
    {
        return !colorTransfer.isEmpty() || !colorPrimaries.isEmpty() || !colorMatrix.isEmpty();
    }
};

Q_DECLARE_METATYPE(MediaFacts)

class MediaProbe : public QObject {
    Q_OBJECT
public:
    // How long ffprobe may take before the file counts as unreadable.
    static constexpr int kDefaultTimeoutMs = 60000;

    explicit MediaProbe(QObject* parent = nullptr);
    // Ends a running ffprobe; finished() is not emitted then.
    ~MediaProbe() override;

    // Probes in the background (for the GUI thread): finished() follows
    // exactly once, also when the file cannot be read, unless abort() comes
    // first. A probe still running is aborted.
    void start(const QString& path);
    // Ends the running probe without a report.
    void abort();
    bool isRunning() const { return process != nullptr; }
    void setTimeout(int ms) { timeoutMs = ms > 0 ? ms : kDefaultTimeoutMs; }

    // The same, waiting for the answer on the calling thread (pool threads,
    // tools); needs no event loop.
    static MediaFacts probe(const QString& path, int timeoutMs = kDefaultTimeoutMs);

    // The facts in ffprobe's JSON answer to arguments(). What only the file's
    // own bytes tell (transparency of GIF and palette pictures, a HEIC photo)
    // is added by probe() and start().
    static MediaFacts parse(const QByteArray& json);
    // ffprobe's arguments for one file.
    static QStringList arguments(const QString& path);

    // File name endings: what the file dialog offers as videos and as
    // images, and both together.
    static const QStringList& videoSuffixes();
    static const QStringList& imageSuffixes();
    static const QStringList& mediaSuffixes();
    // A video by its name alone: the ending, in any case, is a video ending.
    static bool hasVideoSuffix(const QString& path);
    static bool hasMediaSuffix(const QString& path);
    // Whether a conversion takes the file as time-based: by its ending when it
    // is a video or an image ending, else when the probe found a container
    // with a length (not a picture format).
    static bool treatAsVideo(const QString& path, const MediaFacts& facts);

signals:
    void finished(const MediaFacts& facts);

private:
    void onProcessEnded();

    QProcess* process = nullptr;
    QTimer* timer = nullptr;
    QString probedPath;
    int timeoutMs = kDefaultTimeoutMs;
};
