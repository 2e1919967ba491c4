// Runs the external FFmpeg program for one decode step and turns the outcome
// into a single success flag, logging the command and FFmpeg's diagnostic
// output through the job's log callback when the job runs in debug mode.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class ConvertCancel;

class FfmpegRunner {
public:
    using LogCallback = std::function<void(const QString&)>;
    // Called while the program runs with the current size of the watched file.
    using SizeCallback = std::function<void(qint64 size)>;
    // Receives the program's standard output piece by piece; returns false to
    // end the program (the run then fails).
    using OutputCallback = std::function<bool(const QByteArray& data)>;

    // A run fails when FFmpeg shows no sign of life for this long: the watched
    // output file stops growing and nothing arrives on its standard error.
    static constexpr int kDefaultSilenceLimitMs = 30000;

    // logEnabled is the job's debug mode; log lines go to logCallback (may be
    // empty) only while it is true. ffmpegPath empty means defaultFfmpegPath().
    FfmpegRunner(bool logEnabled, LogCallback logCallback, const QString& ffmpegPath = QString());

    // Runs the program with these arguments (the program path is not part of
    // the list); label names the step in log lines. watchedFile is the step's
    // output file: its growth counts as progress and is reported to onSize.
    // True only when the program ran and exited with code 0.
    bool runFfmpeg(const QStringList& arguments, const QString& label,
                   const QString& watchedFile = QString(),
                   const SizeCallback& onSize = SizeCallback()) const;

    // The same, handing the program's standard output to onOutput as it
    // arrives (the arguments name "pipe:1" as the output). The program waits
    // while onOutput runs, so what it writes is never held here in bulk.
    bool runFfmpegStreaming(const QStringList& arguments, const QString& label,
                            const OutputCallback& onOutput) const;

    const QString& program() const { return ffmpegPath; }

    // Once this is requested, a running program is ended within a slice of
    // the wait (at most 100 ms) and the run fails.
    void setCancel(std::shared_ptr<ConvertCancel> value) { cancel = std::move(value); }

    int silenceLimitMs() const { return silenceLimit; }
    void setSilenceLimitMs(int ms) { silenceLimit = ms > 0 ? ms : 1; }

    // The executable to run: $SPINDRA_FFMPEG when set, else "ffmpeg" beside the
    // application's executable when present, else "ffmpeg" from PATH.
    static QString defaultFfmpegPath();
    // Same rule for the probing companion: $SPINDRA_FFPROBE, beside the
    // executable, PATH.
    static QString defaultFfprobePath();

    // Silence limit given to runners created from now on (tests shorten it).
    static void setDefaultSilenceLimitMs(int ms);
    static int defaultSilenceLimitMs();

private:
    void log(const QString& line) const;
    bool run(const QStringList& arguments, const QString& label, const QString& watchedFile,
             const SizeCallback& onSize, const OutputCallback& onOutput) const;

    bool logEnabled;
    LogCallback logCallback;
    QString ffmpegPath;
    int silenceLimit;
    std::shared_ptr<ConvertCancel> cancel;
};
