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
//   onResult   exactly once, last, on the pool worker (failure before the
//              engine ran) or on the engine's thread; (success, fan file path;
//              on failure the planned path).
// None of them runs on the GUI thread: each must marshal to it itself. Temp
// files and the job's scratch folder are gone once onResult has returned and
// the closing log lines have been sent.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class MediaInfo;

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
    using ResultCallback = std::function<void(bool success, const QString& path)>;
    // percent is 0..100 and never decreases within one stage; Decoding reports
    // come before Converting reports.
    using ProgressCallback = std::function<void(MediaStage stage, int percent)>;

    explicit MediaConvert(QObject* parent = nullptr);

    // request: read by the job until onResult; the caller keeps ownership.
    // fileName: fan file name without folder; modelName: output sub-folder.
    // changeBrightnessLights: LEDs from the centre with brightness adjustment.
    // debugMode: FFmpeg command lines/output and the engine result go to onLog.
    // runIndex: the caller's counter, carried along and not used.
    void startConvert(MediaInfo* request, const QString& fileName, const QString& modelName,
                      int lights, int lines, int colorDeep, double gamma, double minBrightness,
                      int changeBrightnessLights, bool debugMode, const QString& runIndex,
                      StartCallback onStart, LogCallback onLog, ResultCallback onResult,
                      ProgressCallback onProgress = ProgressCallback());
};
