// One conversion as a value: what to convert, for which fan, and a handle to
// cancel it; and how the conversion ended.
#pragma once

#include "MediaInfo.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

// Cancels a running conversion. Shared by the caller and the running job; every
// member may be called from any thread.
class ConvertCancel {
public:
    // Asks the job to stop: FFmpeg is ended, the engine stops at its next frame,
    // partial and temporary files are removed and the job ends as Cancelled.
    // Idempotent.
    void request();
    bool requested() const;

    // Used by the running job: the hook runs once on the first request() (at
    // once, on this thread, when the cancel has already been requested). Only
    // one hook is held; setHook({}) removes it and returns only after a hook
    // running on another thread has returned, so whatever the hook refers to
    // may be released afterwards. A hook must not call setHook.
    void setHook(std::function<void()> hook);

private:
    std::atomic_bool flag {false};
    std::mutex mutex;
    std::function<void()> hook;
};

struct ConvertRequest {
    MediaInfo media;   // the input and its framing
    QString fileName;  // fan file name without folder
    QString modelName; // output sub-folder
    int lights = 0;    // LEDs per line; also the framing radius in job pixels
    int lines = 0;     // lines per revolution
    int colorDeep = 0; // bits kept per colour channel
    double gamma = 1.0;
    double minBrightness = 0.0;
    int changeBrightnessLights = 0; // LEDs from the centre with brightness adjustment
    bool debugMode = false;         // FFmpeg commands/output and the engine result go to onLog
    QString runIndex;               // the caller's counter, carried along and not used
    std::shared_ptr<ConvertCancel> cancel; // may be null
    // Set by a caller that has reserved the fan file's name (created a file
    // there for this job, see OutputName in the app): the path the fan file
    // goes to instead of <outputDir>/<modelName>/<fileName>, and, when that
    // is not the model folder, why not (one line for the user). The finished
    // file replaces only that reservation, never a file that took its place.
    // The caller removes the reservation when the job does not succeed.
    QString reservedPath;
    QString reservedFallbackReason;
};

enum class ConvertOutcome { Succeeded, Failed, Cancelled };

struct ConvertResult {
    ConvertOutcome outcome = ConvertOutcome::Failed;
    QString path;           // Succeeded: the fan file; Failed: the planned path; Cancelled: empty
    QString fallbackFolder; // non-empty when the output folder could not be written and the
                            // file went there instead (the Desktop)
    QString fallbackReason; // then: why, one line for the user
    QString reason;         // Failed: why, one line (English, from the system or FFmpeg),
                            // when the cause is known; otherwise empty
    QString warning;        // Succeeded: what the user should know about the file, one
                            // line (English; a clip that ended early: the length
                            // converted); otherwise empty
};
