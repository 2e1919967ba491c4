// How a conversion job ends: the fan file is placed, onResult is called once,
// the closing log lines are sent and the temporary files are deleted. Also the
// plain callback handed to the engine and the single-use completion context
// behind it.
#pragma once

#include "ConvertRequest.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

// The job's temporary files and its scratch folder, deleted at every end.
struct TempList {
    QStringList files;
    QString scratchDir;
};

// The engine callback's failed value of a cancelled job.
constexpr int kEngineCancelled = 2;

// Shared between a waiting job and its completion so that no progress report
// can follow the result: the completion closes the gate before onResult.
struct ProgressGate {
    std::mutex mutex;
    bool closed = false;
};

class ResultPlacement {
public:
    using ResultCallback = std::function<void(const ConvertResult&)>;
    using LogCallback = std::function<void(const QString&)>;

    // All four are references into the running job, which outlives every use.
    // fallbackReason: non-empty when the job writes outside the planned
    // output folder (then it says why).
    ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                    const LogCallback& onLog, const TempList& temps,
                    const QString& fallbackReason = QString());

    // Moves a successful result outside outputDir into it, reports through
    // onResult, sends the closing log lines and deletes the temp list. A
    // cancelled job's partial fan file at path is deleted and no path is
    // reported.
    void finishJob(ConvertOutcome outcome, const QString& path) const;

private:
    const MediaInfo& request;
    const ResultCallback& onResult;
    const LogCallback& onLog;
    const TempList& temps;
    QString fallbackReason;
};

// Set once by the completion, waited for by the job: wakes the job at once
// instead of it polling a flag.
class JobDone {
public:
    void set();
    bool isSet();
    // Waits at most ms; true once set.
    bool waitFor(int ms);

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

// Created on the heap just before the engine starts; the engine's callback
// invokes it once and it frees itself. When the engine refuses the job it is
// never invoked and its creator deletes it.
class CompletionContext {
public:
    CompletionContext(std::shared_ptr<JobDone> done, bool debugMode,
                      const ResultPlacement& placement, std::function<void(const QString&)> onLog,
                      std::shared_ptr<ProgressGate> gate = nullptr,
                      std::shared_ptr<ConvertCancel> cancel = nullptr);

    // Logs the engine result (debug mode), finishes the job (as cancelled when
    // the engine says so or the job's cancel was requested), sets the done
    // flag and deletes this object. Call at most once.
    void complete(int failed, const char* path, const char* message);

private:
    std::shared_ptr<JobDone> done;
    bool debugMode;
    ResultPlacement placement;
    std::function<void(const QString&)> onLog;
    std::shared_ptr<ProgressGate> gate;
    std::shared_ptr<ConvertCancel> cancel;
};

// The engine's result callback; ctx is a CompletionContext*.
extern "C" void onEngineResult(void* ctx, int failed, const char* path, const char* message);
