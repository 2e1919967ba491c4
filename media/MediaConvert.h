// Entry point of the media pipeline: queues one conversion job on the global
// thread pool and returns at once. The job decodes the input with FFmpeg,
// hands the raw frames and audio to the conversion engine, places the fan file
// and reports through the callbacks below.
//
// Callback contract (every callable may be empty; an empty one is skipped):
//   onStart    exactly once, first, on the pool worker;
//   onLog      any number of times, on the pool worker or the engine's thread;
//   onProgress any number of times between onStart and onResult, on the pool
//              worker (see MediaStage);
//   onResult   exactly once, last, on the pool worker or on the engine's
//              thread (see ConvertResult).
// None of them runs on the GUI thread: each must marshal to it itself. Temp
// files and the job's scratch folder are gone once onResult has returned and
// the closing log lines have been sent.
#pragma once

#include "ConvertRequest.h"

#include <QObject>
#include <QString>

#include <functional>

// The stage a progress report refers to.
enum class MediaStage {
    Decoding,  // FFmpeg writes the raw frames
    Converting // the engine writes the fan file
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
