// Runs the external FFmpeg program for one decode step and turns the outcome
// into a single success flag, logging the command and FFmpeg's diagnostic
// output through the job's log callback when the job runs in debug mode.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class ConvertCancel;
class QProcess;

class FfmpegRunner {
public:
    using LogCallback = std::function<void(const QString&)>;
    // Called while the program runs with the current size of the watched file.
    using SizeCallback = std::function<void(qint64 size)>;
    // Receives the program's standard output piece by piece; returns false to
    // end the program (the run then fails).
    using OutputCallback = std::function<bool(const QByteArray& data)>;

    // Where a piped run puts the program's standard output: the runner reads
    // the pipe straight into the memory the sink names, with no copy between.
    class OutputSink {
    public:
        virtual ~OutputSink() = default;
        // Memory for the next bytes of output and how many fit (at least 1);
        // nullptr ends the program (the run then fails).
        virtual char* space(qint64* room) = 0;
        // `bytes` bytes arrived at the memory space() named; false ends the
        // program (the run then fails).
        virtual bool received(qint64 bytes) = 0;
    };

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

    // The same, reading the program's standard output (its frames, with
    // "pipe:1" as the output) straight into the sink's memory, and, with a
    // second sink, its descriptor 3 (secondOutput(), "pipe:3": the sound)
    // into that one. The program's outputs and standard error are pipes of
    // this run, watched together, so none waits for another and no output is
    // held here.
    bool runFfmpegPiped(const QStringList& arguments, const QString& label, OutputSink& sink,
                        OutputSink* second = nullptr) const;

    // The descriptor of the second output of a piped run, and its name for
    // FFmpeg.
    static constexpr int kSecondOutputFd = 3;
    static QString secondOutput() { return QStringLiteral("pipe:3"); }

    // Where the last piped run's time went on the calling thread, in
    // nanoseconds: waiting for the program's output, reading it, and in the
    // sink (for a conversion: the engine taking each frame).
    struct PipeStats {
        qint64 waitNs = 0;
        qint64 readNs = 0;
        qint64 sinkNs = 0;
        qint64 reads = 0;
        qint64 bytes = 0;
    };
    const PipeStats& pipeStats() const { return stats; }

    // Why the last run failed, one line for people: the program could not be
    // started, stopped answering, was cancelled, or failed with its exit code
    // and its last words on the error (the last lines of its error output
    // after its report of the streams). Empty after a run that succeeded.
    QString failureReason() const { return lastFailure; }
    // Everything the last run wrote on its standard error (FFmpeg's report:
    // its input's streams, progress, errors).
    QByteArray errorOutput() const { return lastErrorOutput; }

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
             const SizeCallback& onSize) const;
    // Ends a run whose program is still running: kills it and says why.
    bool endRun(QProcess& process, const QString& label, const QString& joined,
                const QString& reason, bool cancelled) const;
    bool finishRun(QProcess& process, const QString& label, const QString& joined,
                   const QByteArray& errorOutput) const;

    bool logEnabled;
    LogCallback logCallback;
    QString ffmpegPath;
    int silenceLimit;
    std::shared_ptr<ConvertCancel> cancel;
    mutable QString lastFailure;
    mutable QByteArray lastErrorOutput;
    mutable PipeStats stats;
};
