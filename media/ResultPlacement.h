// How a conversion job ends: the fan file is placed, onResult is called once,
// the closing log lines are sent and the temporary files are deleted. Also the
// plain callback handed to the engine and the single-use completion context
// behind it.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

class MediaInfo;

// The job's temporary files and its scratch folder, deleted at every end.
struct TempList {
    QStringList files;
    QString scratchDir;
};

// Shared between a waiting job and its completion so that no progress report
// can follow the result: the completion closes the gate before onResult.
struct ProgressGate {
    std::mutex mutex;
    bool closed = false;
};

class ResultPlacement {
public:
    using ResultCallback = std::function<void(bool, const QString&)>;
    using LogCallback = std::function<void(const QString&)>;

    // All four are references into the running job, which outlives every use.
    ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                    const LogCallback& onLog, const TempList& temps);

    // Moves a successful result outside outputDir into it, reports through
    // onResult, sends the closing log lines and deletes the temp list.
    void finishJob(bool success, const QString& path) const;

private:
    const MediaInfo& request;
    const ResultCallback& onResult;
    const LogCallback& onLog;
    const TempList& temps;
};

// Created on the heap just before the engine starts; the engine's callback
// invokes it once and it frees itself. When the engine refuses the job it is
// never invoked and its creator deletes it.
class CompletionContext {
public:
    CompletionContext(std::shared_ptr<std::atomic_bool> doneFlag, bool debugMode,
                      const ResultPlacement& placement, std::function<void(const QString&)> onLog,
                      std::shared_ptr<ProgressGate> gate = nullptr);

    // Logs the engine result (debug mode), finishes the job, sets the done
    // flag and deletes this object. Call at most once.
    void complete(int failed, const char* path, const char* message);

private:
    std::shared_ptr<std::atomic_bool> doneFlag;
    bool debugMode;
    ResultPlacement placement;
    std::function<void(const QString&)> onLog;
    std::shared_ptr<ProgressGate> gate;
};

// The engine's result callback; ctx is a CompletionContext*.
extern "C" void onEngineResult(void* ctx, int failed, const char* path, const char* message);
