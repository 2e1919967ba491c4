// The decoding and converting of one job, overlapped: one FFmpeg run decodes
// the input once, its frames go from its standard output straight into the
// engine's frame buffers (convert_stream: FFmpeg's pipe is read into the
// memory of the engine's next frame, which the engine converts on its threads
// while the following one is read), and its sound (of a video that has
// sound) comes on a second pipe into a file of the job's private folder,
// which the engine writes into the frame records at the end. No frame ever touches the disk; the
// engine writes the whole fan file (header, records, padding) under a
// temporary name and renames it into place.
#pragma once

#include "ConvertRequest.h"
#include "FfmpegRunner.h"
#include "JobGeometry.h"
#include "MediaConvert.h"

#include "convert_stream.h"

#include <QString>
#include <QStringList>

// The engine's streaming entry as a job calls it; tests put a stand-in in
// its place to make the engine refuse, fail or succeed on cue.
struct EngineStreamApi {
    convert_stream* (*open)(const convert_stream_spec* spec);
    size_t (*frameSize)(const convert_stream* stream);
    uint8_t* (*frame)(convert_stream* stream);
    int (*push)(convert_stream* stream);
    int (*soundAfter)(convert_stream* stream, const char* soundPath);
    int (*finish)(convert_stream* stream);
    void (*discard)(convert_stream* stream);
    const char* (*reason)(void);
};
// The entry jobs use from now on (nullptr: the engine's own).
void setEngineStreamApi(const EngineStreamApi* api);

class StreamingJob : public FfmpegRunner::OutputSink {
public:
    // Where a job's time went on its own thread (for the benchmark; also
    // logged): the FFmpeg run's pipe (see FfmpegRunner::PipeStats; the sink
    // is the engine taking frames, pushNs) and the end (the last frame, the
    // sound, padding, the file put on the disk and renamed).
    struct Timings {
        FfmpegRunner::PipeStats pipe;
        qint64 finishNs = 0;
        qint64 frames = 0;
    };
    // The timings of the last job that ended in this process.
    static Timings lastTimings();

    struct Outcome {
        ConvertOutcome outcome = ConvertOutcome::Failed;
        QString reason;    // Failed: why, when known
        qint64 frames = 0; // frames the engine took
    };

    // frames: the stored frames' size and centre (JobFrames::frames).
    StreamingJob(const ConvertRequest& request, const MediaConvert::Callbacks& callbacks,
                 const JobGeometry& frames, const QString& outPath);
    ~StreamingJob() override;

    StreamingJob(const StreamingJob&) = delete;
    StreamingJob& operator=(const StreamingJob&) = delete;

    // Runs FFmpeg with these arguments (frames on "pipe:1", the sound, if
    // any, on FfmpegRunner::secondOutput()); soundFile is where the sound is
    // kept (empty: no sound). expectedFrames measures the decoding progress.
    // May be called again after a run that failed before its first frame
    // (with other arguments); progress then carries on where it was.
    Outcome run(const QStringList& arguments, const QString& label, const QString& soundFile,
                qint64 expectedFrames);

    // OutputSink: FFmpeg's output goes into the engine's next frame.
    char* space(qint64* room) override;
    bool received(qint64 bytes) override;

private:
    // Ends the engine's stream and tells how the job ended.
    Outcome finishEngine(bool cancelledNow);
    void reportDecoding(int percent);
    void reportConverting(int percent);
    void logEngineResult(const char* result, const char* message);
    bool isCancelled() const;

    const ConvertRequest& request;
    const MediaConvert::Callbacks& callbacks;
    JobGeometry frames;
    QString outPath;
    const EngineStreamApi* api;
    convert_cancel* engineCancel;
    convert_stream* stream = nullptr;
    size_t frameSize = 0;
    size_t filled = 0;
    qint64 expectedFrames = 0;
    qint64 framesIn = 0;
    bool engineStopped = false;
    int lastDecoding = -1;
    int lastConverting = -1;
    bool bannerSent = false;
    Timings timings;
};
