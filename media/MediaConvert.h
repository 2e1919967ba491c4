// Entry point of the media pipeline: queues one conversion job on the global
// thread pool and returns at once. The job decodes the input with FFmpeg,
// streams the frames into the conversion engine, places the fan file and
// reports through the callbacks below.
//
// Callback contract (every callable may be empty; an empty one is skipped):
//   onStart    exactly once, first;
//   onLog      any number of times;
//   onProgress any number of times between onStart and onResult (see
//              MediaStage);
//   onResult   exactly once, last (see ConvertResult; a failure says why when
//              the cause is known).
// All of them run on the job's pool worker, never on the GUI thread: each
// must marshal to it itself. The job's temporary folder is gone once onResult
// has returned and the closing log lines have been sent.
//
// The fan file appears at its path only when it is whole: a job that fails or
// is cancelled leaves whatever was at that path before.
//
// A cancel (ConvertRequest::cancel) stops the job in any stage: FFmpeg is
// ended, the engine stops before its next frame, the unfinished fan file and
// every temporary file are removed, the log gets "cancelled" and onResult
// reports Cancelled with no path. A cancel that comes before the fan file
// takes its name ends the job as Cancelled even when its last frame was
// already converted; one that comes later changes nothing.
#pragma once

#include "ConvertRequest.h"

#include <QObject>
#include <QString>

#include <functional>

// The stage a progress report refers to.
enum class MediaStage {
    Decoding,  // FFmpeg decodes the frames (and the engine converts them as they come)
    Converting // the engine completes the fan file
};

class MediaConvert : public QObject {
    Q_OBJECT
public:
    using StartCallback = std::function<void()>;
    using LogCallback = std::function<void(const QString& line)>;
    using ResultCallback = std::function<void(const ConvertResult& result)>;
    // percent is 0..100 and never decreases within one stage; Decoding reports
    // come before Converting reports.
    using ProgressCallback = std::function<void(MediaStage stage, int percent)>;

    struct Callbacks {
        StartCallback onStart;
        LogCallback onLog;
        ProgressCallback onProgress;
        ResultCallback onResult;
    };

    explicit MediaConvert(QObject* parent = nullptr);

    // Copies the request and the callbacks into the job and queues it.
    void startConvert(ConvertRequest request, Callbacks callbacks);
};
