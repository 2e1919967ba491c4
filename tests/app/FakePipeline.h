// A stand-in for the media pipeline in controller and window tests, so that
// they check their own state without FFmpeg and the engine. Each conversion
// plays a short script on the event loop: the start, decoding and converting
// progress, a fan file of the request's geometry in the model's folder, the
// result, and then it lets go of the job. A test can hold a run at a stage,
// choose how runs end, keep a cancelled run from letting go, and see every
// request it was given. A cancel ends a run as the real pipeline does:
// Cancelled, no file.
#pragma once

#include "ConversionPipeline.h"

#include <QObject>

#include <memory>
#include <optional>
#include <vector>

class FakePipeline : public QObject, public ConversionPipeline {
    Q_OBJECT
public:
    // How the runs started from now on play out.
    struct Script {
        // How a run ends by itself. A run whose input does not exist fails,
        // as a real decoder would.
        ConvertOutcome outcome = ConvertOutcome::Succeeded;
        // Why a run fails (a missing input: as a decoder says it).
        QString reason = QStringLiteral("the stand-in failed");
        // A run stops after its first report of this stage until resume().
        std::optional<MediaStage> holdAt;
        // false: a cancel goes unnoticed and the run ends as scripted, as when
        // the result crossed the cancel.
        bool noticesCancel = true;
        // false: a cancelled run reports Cancelled but holds on to the job
        // until release(), as a pipeline still cleaning up.
        bool letsGoAfterCancel = true;
    };
    Script script;

    explicit FakePipeline(QObject* parent = nullptr);
    // Lets go of every run still held.
    ~FakePipeline() override;

    void startConvert(ConvertRequest request, MediaConvert::Callbacks callbacks) override;

    int runCount() const { return int(runs.size()); }
    // The request of a run, in the order the runs started.
    const ConvertRequest& request(int run) const { return runs.at(size_t(run))->request; }
    // The run waits at its holdAt stage.
    bool isHeld(int run) const { return runs.at(size_t(run))->held; }
    // The run has reported its result / has let go of the job.
    bool hasEnded(int run) const { return runs.at(size_t(run))->ended; }
    bool hasLetGo(int run) const { return runs.at(size_t(run))->letGo; }
    // Runs that have not let go yet.
    int runningCount() const;

    // A held run goes on.
    void resume(int run);
    // A cancelled run that holds on lets go.
    void release(int run);

private:
    struct Run {
        ConvertRequest request;
        MediaConvert::Callbacks callbacks;
        Script script;
        int step = 0;
        bool held = false;
        bool ended = false;
        bool letGo = false;
    };

    void schedule(int run);
    void advance(int run);
    void onCancel(int run);
    void end(int run, ConvertOutcome outcome);
    void letGo(int run);

    std::vector<std::unique_ptr<Run>> runs;
};
