// One look at a media file before it is converted: what kind of input it is
// as a user sees it, the picture's size as shown, its length, sound, cover,
// colour tags, interlacing, transparency and animation. Read with ffprobe
// (FfmpegRunner::defaultFfprobePath()) and a few bytes of the file itself.
// The facts only describe the file; what to do with them is the caller's.
#pragma once

#include "MediaFacts.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;
class QTimer;

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
    // Whether a conversion takes the file as time-based: a video ending, or
    // moving pictures or a song by the probe (an animated GIF, an MP3 with its
    // cover); not an image ending or a still; else when the probe found a
    // container with a length (not a picture format).
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
