// How a conversion job ends: the fan file is placed, onResult is called once,
// the closing log lines are sent and the job's temporary folder is removed.
#pragma once

#include "ConvertRequest.h"

#include <QString>

#include <functional>

class JobTempFolder;

// Where a job's fan file goes: <outputDir>/<modelName>/<fileName>, or, when
// that folder cannot be created or written, the Desktop folder, with the
// reason for the user in fallbackReason (the folder and the system's reason).
// error is set (and path is the planned one) when the Desktop folder cannot
// be written either.
struct OutputTarget {
    QString path;
    QString fallbackReason;
    QString error;
};
OutputTarget planOutput(const MediaInfo& media, const QString& modelName, const QString& fileName);

// Creates the folder with its parents when missing; empty when it can then
// be written, otherwise why not, as the system says it ("Permission
// denied", "Read-only file system", "not a folder" for a file in its way).
QString outputFolderProblem(const QString& folder);

class ResultPlacement {
public:
    using ResultCallback = std::function<void(const ConvertResult&)>;
    using LogCallback = std::function<void(const QString&)>;

    // All are references into the running job, which outlives every use;
    // temps may be null. fallbackReason: non-empty when the job writes
    // outside the planned output folder (then it says why).
    ResultPlacement(const MediaInfo& request, const ResultCallback& onResult,
                    const LogCallback& onLog, JobTempFolder* temps,
                    const QString& fallbackReason = QString());

    // Moves a successful result outside outputDir into it (never over a
    // file that is there: the result then stays where it is), reports through
    // onResult (a failure with its reason, when known, also to the log),
    // sends the closing log lines and removes the temporary folder. A
    // cancelled job reports no path (and leaves path as it was). A warning
    // (a success only) goes with the result and to the log.
    void finishJob(ConvertOutcome outcome, const QString& path, const QString& reason = QString(),
                   const QString& warning = QString()) const;

private:
    const MediaInfo& request;
    const ResultCallback& onResult;
    const LogCallback& onLog;
    JobTempFolder* temps;
    QString fallbackReason;
};
