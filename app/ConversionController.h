// The conversion workflow without widgets: a queue of conversion jobs run one
// at a time on the media pipeline, each followed by an upload to the fan while
// it counts as connected, with a cancel for the running job. The pipeline's
// reports come from pool and engine threads; the controller turns them into
// signals on its own (the GUI) thread. The window only shows and asks.
#pragma once

#include "ConversionPipeline.h"
#include "ConvertRequest.h"

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>

class ConnectionManager;
class MediaProbe;
class QSettings;
class Uploader;
struct MediaFacts;

// WaitingForFan: the whole file has gone out and the fan has not answered
// yet (its percent is always 100).
enum class JobStage { Decoding, Converting, Uploading, WaitingForFan };
enum class JobOutcome { Succeeded, Failed, Cancelled };

Q_DECLARE_METATYPE(JobStage)
Q_DECLARE_METATYPE(JobOutcome)
Q_DECLARE_METATYPE(ConvertResult)

class ConversionController : public QObject {
    Q_OBJECT
public:
    // connection: asked whether the fan is there when a conversion ends, and
    // for the output names; uploader: sends the finished files. Neither is
    // owned. The conversions run on the media pipeline.
    explicit ConversionController(ConnectionManager* connection, Uploader* uploader,
                                  QObject* parent = nullptr);
    // The same with another pipeline, which the controller owns.
    ConversionController(ConnectionManager* connection, Uploader* uploader,
                         std::unique_ptr<ConversionPipeline> pipeline, QObject* parent = nullptr);
    ~ConversionController() override;

    // Replaces the pipeline of a controller that was built with the default
    // one (the window's). Only while no job runs; false otherwise.
    bool setPipeline(std::unique_ptr<ConversionPipeline> pipeline);

    // Queues a conversion and returns its id (> 0). It starts at once when no
    // job runs, else after the jobs before it. A request without a file name
    // is named when it starts: the connection manager's next identifier and
    // the next sequence number ("convert_index"), "%1_%2.bin", a name no
    // file in the output folder has yet (see OutputName: the name is
    // reserved there until the fan file takes it, and given back when the
    // job does not succeed).
    int enqueue(ConvertRequest request);
    // The same for a file the user has not framed: when it starts, it is
    // probed (MediaProbe) for its size as shown and its length, the framing
    // is the picture whole (centre in the middle, longest side across the
    // circle) and a time-based file (a video, an animated GIF, a song with
    // its cover: MediaProbe::treatAsVideo) is taken from its start to its end. Only media.inputPath
    // and media.outputDir of the request are read, besides the model parameters. A file without a
    // picture fails.
    int enqueueWhole(ConvertRequest request);

    // Stops the running job, in whichever stage: it ends as Cancelled at once
    // and the next job starts once the pipeline has cleaned up behind it.
    void cancel();
    // Drops the waiting jobs (each ends as Cancelled); the running one goes on.
    void clearQueue();

    // A job runs (from its start until the pipeline has let go of it).
    bool isBusy() const { return current != nullptr; }
    // A job is before its conversion result (probing, decoding, converting).
    bool isConverting() const;
    int currentJob() const;
    QList<int> waitingJobs() const;
    // The input file of a running or waiting job; empty for others.
    QString inputOf(int id) const;

    // Longest upload (60000 ms unless set).
    void setUploadTimeout(int ms) { uploadTimeoutMs = ms; }

    static JobOutcome outcomeOf(ConvertOutcome outcome);

signals:
    void jobStarted(int id);
    void jobProgress(int id, JobStage stage, int percent);
    void jobLog(int id, QString line);
    // The conversion has ended (before any upload); uploading tells whether
    // the file is now being sent to the fan.
    void jobConverted(int id, ConvertResult result, bool uploading);
    // Exactly once per job, last. path: the fan file (empty when there is
    // none; after a failed or cancelled upload, the converted file, which is
    // kept); message: the device's answer after an upload, why an upload
    // failed (the device's "msg" or the error text), after a cancelled upload
    // a sentence for the user on what became of the file on the fan, why a
    // dropped file could not be read or no name could be reserved, else
    // empty.
    void jobFinished(int id, JobOutcome outcome, QString path, QString message);
    // A fan file has been converted successfully.
    void fanFileReady(QString path, QString modelName);
    // A word for the status line that concerns no single job: the sequence
    // number of the file names cannot be stored (said once per controller).
    void notice(QString text);
    void queueChanged();
    // The last job has ended and none waits.
    void idle();

private:
    struct Job;
    class ReportBox;
    class Relay;
    enum class Phase { Probing, Converting, Uploading, Ending };

    int add(ConvertRequest request, bool whole);
    void startNext();
    void startProbe();
    void onProbeFinished(const MediaFacts& facts);
    void startConversion();
    void onConversionResult(const ConvertResult& result);
    void startUpload(const QString& path);
    void finish(JobOutcome outcome, const QString& path, const QString& message);
    void onPipelineReleased(int id);
    void advance();
    // Names the current job's fan file and reserves the name; why not, when
    // no name can be reserved (empty otherwise).
    QString nameCurrentJob();
    void releaseName(Job& job);

    ConnectionManager* connection = nullptr;
    Uploader* uploader = nullptr;
    std::unique_ptr<ConversionPipeline> pipeline;
    QSettings* settings = nullptr;
    MediaProbe* probe = nullptr;
    int uploadTimeoutMs = 60000;
    int lastId = 0;
    bool counterProblemSaid = false;

    QList<std::shared_ptr<Job>> waiting;
    std::shared_ptr<Job> current;
};
