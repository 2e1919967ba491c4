// The conversion queue: one job at a time through the media pipeline, the
// upload after it, and the cancel.
#include "ConversionController.h"

#include "ConnectionManager.h"
#include "MediaProbe.h"
#include "OutputName.h"
#include "ResultPlacement.h"
#include "Settings.h"
#include "ThreadHandover.h"
#include "Uploader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// What the user reads after cancelling an upload: what became of the file on
// the fan. The converted file stays on this computer in every case.
QString cancelledUploadText(Uploader::Fate fate)
{
    switch (fate) {
    case Uploader::Fate::Stored:
        return QCoreApplication::translate("ConversionController", "upload_cancelled_stored");
    case Uploader::Fate::MayBeStored:
        return QCoreApplication::translate("ConversionController",
                                           "upload_cancelled_may_be_stored");
    case Uploader::Fate::Ended:
    case Uploader::Fate::NotStored:
        break;
    }
    return QCoreApplication::translate("ConversionController", "upload_cancelled_not_stored");
}

// Why an upload failed, for the user: the device's own "msg" when its answer
// has one, else the answer itself or the error text.
QString uploadFailureText(const QVariant& response)
{
    if (response.userType() != QMetaType::QJsonObject)
        return response.toString();
    const QJsonObject answer = response.toJsonObject();
    const QString msg = answer.value(QStringLiteral("msg")).toString();
    if (!msg.isEmpty())
        return msg;
    return QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
}

} // namespace

struct ConversionController::Job {
    int id = 0;
    ConvertRequest request;
    bool whole = false;
    Phase phase = Phase::Probing;
    bool cancelRequested = false;
    bool pipelineHolds = false; // the pipeline still runs this job's task
    int uploadId = 0;
    QString uploadPath;   // the local fan file being uploaded
    NameReservation name; // the fan file's reserved name, if the controller named it
};

// The pipeline's reports on their way from its threads to the controller:
// the pipeline's threads leave each report here under a lock, and the one
// that finds the box empty tells the controller through its relay (below),
// which then takes everything in the box on its own thread. Progress reports
// that come faster than the controller takes them are folded into the latest
// one. The lock also orders each report's memory for race detectors, which
// cannot see Qt's own hand-over of queued signal arguments inside Qt.
class ConversionController::ReportBox {
public:
    struct Report {
        enum class Kind { Log, Progress, Result } kind = Kind::Log;
        QString line;
        MediaStage stage = MediaStage::Decoding;
        int percent = 0;
        ConvertResult result;
    };

    // On a pipeline thread: whether the box was empty (the controller must
    // be told).
    bool put(Report report)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool first = box.empty();
        if (report.kind == Report::Kind::Progress && !first &&
            box.back().kind == Report::Kind::Progress)
            box.back() = std::move(report);
        else
            box.push_back(std::move(report));
        return first;
    }

    // On the controller's thread.
    std::vector<Report> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(box, {});
    }

private:
    std::mutex mutex;
    std::vector<Report> box;
};

// Tells the controller, queued to its thread, that reports wait in the job's
// box and, from the last callback that lets go of it, that the pipeline is
// done with the job (its temporary files are gone by then). Qt drops what it
// has not delivered once the controller is gone.
class ConversionController::Relay : public QObject {
    Q_OBJECT
public:
    // Deleted on the controller's thread after the last callback, on a
    // pipeline thread, let go of it (see startConversion).
    ~Relay() override { threadhandover::receive(); }

signals:
    void arrived();
    void released();
};

ConversionController::ConversionController(ConnectionManager* connection, Uploader* uploader,
                                           QObject* parent)
    : ConversionController(connection, uploader, std::make_unique<MediaConvertPipeline>(), parent)
{
}

ConversionController::ConversionController(ConnectionManager* connection, Uploader* uploader,
                                           std::unique_ptr<ConversionPipeline> pipeline,
                                           QObject* parent)
    : QObject(parent),
      connection(connection),
      uploader(uploader),
      pipeline(std::move(pipeline)),
      settings(new QSettings(QLatin1String(Settings::Organisation),
                             QLatin1String(Settings::Application), this))
{
    qRegisterMetaType<JobStage>("JobStage");
    qRegisterMetaType<JobOutcome>("JobOutcome");
    qRegisterMetaType<ConvertResult>("ConvertResult");
    qRegisterMetaType<MediaStage>("MediaStage");
}

ConversionController::~ConversionController()
{
    // The pipeline's task outlives us and cleans up by itself; it only has to
    // stop early.
    if (current) {
        if (current->request.cancel)
            current->request.cancel->request();
        if (current->uploadId && uploader)
            uploader->abort(current->uploadId);
    }
    if (probe)
        probe->abort();
}

bool ConversionController::setPipeline(std::unique_ptr<ConversionPipeline> replacement)
{
    if (current || !replacement)
        return false;
    pipeline = std::move(replacement);
    return true;
}

JobOutcome ConversionController::outcomeOf(ConvertOutcome outcome)
{
    switch (outcome) {
    case ConvertOutcome::Succeeded:
        return JobOutcome::Succeeded;
    case ConvertOutcome::Cancelled:
        return JobOutcome::Cancelled;
    case ConvertOutcome::Failed:
        break;
    }
    return JobOutcome::Failed;
}

bool ConversionController::isConverting() const
{
    return current && (current->phase == Phase::Probing || current->phase == Phase::Converting);
}

int ConversionController::currentJob() const { return current ? current->id : 0; }

QList<int> ConversionController::waitingJobs() const
{
    QList<int> ids;
    for (const auto& job : waiting)
        ids << job->id;
    return ids;
}

QString ConversionController::inputOf(int id) const
{
    if (current && current->id == id)
        return current->request.media.inputPath;
    for (const auto& job : waiting) {
        if (job->id == id)
            return job->request.media.inputPath;
    }
    return QString();
}

int ConversionController::enqueue(ConvertRequest request) { return add(std::move(request), false); }

int ConversionController::enqueueWhole(ConvertRequest request)
{
    return add(std::move(request), true);
}

int ConversionController::add(ConvertRequest request, bool whole)
{
    auto job = std::make_shared<Job>();
    job->id = ++lastId;
    job->request = std::move(request);
    job->whole = whole;
    waiting.append(job);
    const int id = job->id;
    emit queueChanged();
    if (!current)
        startNext();
    return id;
}

void ConversionController::cancel()
{
    if (!current || current->phase == Phase::Ending)
        return;
    qDebug() << "cancel job" << current->id;
    current->cancelRequested = true;
    switch (current->phase) {
    case Phase::Probing:
        if (probe) {
            probe->abort();
            probe->deleteLater();
            probe = nullptr;
        }
        break;
    case Phase::Converting:
        // The pipeline stops FFmpeg or the engine, removes what it wrote and
        // reports Cancelled; until it lets go, the next job waits.
        current->request.cancel->request();
        break;
    case Phase::Uploading: {
        // The converted file stays where it is; the user learns what became
        // of it on the fan.
        const Uploader::Fate fate = uploader->abort(current->uploadId);
        finish(JobOutcome::Cancelled, current->uploadPath, cancelledUploadText(fate));
        return;
    }
    case Phase::Ending:
        break;
    }
    finish(JobOutcome::Cancelled, QString(), QString());
}

void ConversionController::clearQueue()
{
    if (waiting.isEmpty())
        return;
    const QList<std::shared_ptr<Job>> dropped = std::exchange(waiting, {});
    emit queueChanged();
    for (const auto& job : dropped)
        emit jobFinished(job->id, JobOutcome::Cancelled, QString(), QString());
    if (!current)
        emit idle();
}

QString ConversionController::nameCurrentJob()
{
    ConvertRequest& request = current->request;
    // The identifier of this run's next file; the number follows.
    const QString id = connection->makeUniqueFileName(QStringLiteral("0"), QStringLiteral("bin"))
                           .section(QLatin1Char('_'), 0, 0);
    if (id.isEmpty())
        return QString(); // no name: the pipeline refuses the job and says so
    // The name is reserved where the file will go: the model folder, or the
    // Desktop when that cannot be written. When neither can, the number is
    // only counted and the pipeline fails the job with the reason.
    const OutputTarget target = planOutput(request.media, request.modelName, id);
    const QString folder =
        target.error.isEmpty() ? QFileInfo(target.path).absolutePath() : QString();
    QString counterProblem;
    NameReservation name = outputname::takeNumberedName(*settings, folder, id, &counterProblem);
    if (!counterProblem.isEmpty()) {
        qWarning().noquote() << counterProblem;
        if (!counterProblemSaid) {
            counterProblemSaid = true;
            emit notice(QCoreApplication::translate("ConversionController", "counter_not_stored") +
                        QStringLiteral(": ") + counterProblem);
        }
    }
    if (name.fileName.isEmpty()) {
        qWarning().noquote() << "no output name:" << name.error;
        return name.error;
    }
    request.runIndex = name.number;
    request.fileName = name.fileName;
    request.reservedPath = name.path;
    request.reservedFallbackReason = target.fallbackReason;
    current->name = name;
    return QString();
}

void ConversionController::releaseName(Job& job)
{
    if (outputname::release(job.name))
        qDebug().noquote() << "gave back the name" << job.name.path;
    job.name = NameReservation();
}

void ConversionController::startNext()
{
    if (current || waiting.isEmpty())
        return;
    current = waiting.takeFirst();
    emit queueChanged();
    ConvertRequest& request = current->request;
    if (!request.cancel)
        request.cancel = std::make_shared<ConvertCancel>();
    const QString unnamed = request.fileName.isEmpty() ? nameCurrentJob() : QString();
    // A receiver may cancel the job right away.
    const std::shared_ptr<Job> job = current;
    emit jobStarted(job->id);
    if (current != job || job->phase == Phase::Ending)
        return;
    if (!unnamed.isEmpty())
        return finish(JobOutcome::Failed, QString(), unnamed);
    if (current->whole)
        startProbe();
    else
        startConversion();
}

void ConversionController::startProbe()
{
    current->phase = Phase::Probing;
    // A receiver may cancel the job right away; there is nothing to probe then.
    const std::shared_ptr<Job> job = current;
    emit jobProgress(job->id, JobStage::Decoding, 0);
    if (current != job || job->phase == Phase::Ending)
        return;
    probe = new MediaProbe(this);
    connect(probe, &MediaProbe::finished, this, &ConversionController::onProbeFinished);
    probe->start(current->request.media.inputPath);
}

void ConversionController::onProbeFinished(const MediaFacts& facts)
{
    if (!probe || !current)
        return;
    probe->deleteLater();
    probe = nullptr;

    MediaInfo& media = current->request.media;
    if (!facts.hasPicture()) {
        qWarning().noquote() << "cannot read media" << media.inputPath << facts.reason;
        finish(JobOutcome::Failed, QString(),
               QStringLiteral("cannot read media %1: %2").arg(media.inputPath, facts.reason));
        return;
    }
    // The size as shown: a photo or clip turned upright by its orientation is
    // framed as FFmpeg hands it over.
    const int w = facts.width;
    const int h = facts.height;
    const int lights = current->request.lights;
    // Time-based: a video, an animated GIF, a song with its cover.
    media.isVideo = MediaProbe::treatAsVideo(media.inputPath, facts);
    media.facts = facts;
    media.mediaWidth = w;
    media.mediaHeight = h;
    // The framing fallback of the window: the picture whole inside the circle.
    media.scale = 2.0 * lights / double(qMax(w, h));
    media.centerX = w * 0.5;
    media.centerY = h * 0.5;
    media.startSeconds = 0;
    media.durationSeconds = media.isVideo && std::isfinite(facts.duration)
        ? qMax(1, int(std::ceil(facts.duration)))
        : 0;
    startConversion();
}

void ConversionController::startConversion()
{
    current->phase = Phase::Converting;
    current->pipelineHolds = true;
    const int id = current->id;

    // Released through deleteLater on our thread; the custom deleter runs on
    // whichever thread drops the last callback.
    std::shared_ptr<Relay> relay(new Relay, [](Relay* r) {
        emit r->released();
        threadhandover::publish();
        r->deleteLater();
    });
    // The box outlives the relay: a report may be taken after the relay is
    // gone (Qt may delete it before delivering its last signal).
    const auto box = std::make_shared<ReportBox>();
    connect(
        relay.get(), &Relay::arrived, this,
        [this, id, box] {
            for (ReportBox::Report& report : box->take()) {
                switch (report.kind) {
                case ReportBox::Report::Kind::Log:
                    emit jobLog(id, report.line);
                    break;
                case ReportBox::Report::Kind::Progress:
                    if (current && current->id == id && current->phase == Phase::Converting)
                        emit jobProgress(id,
                                         report.stage == MediaStage::Decoding
                                             ? JobStage::Decoding
                                             : JobStage::Converting,
                                         report.percent);
                    break;
                case ReportBox::Report::Kind::Result:
                    if (current && current->id == id)
                        onConversionResult(report.result);
                    break;
                }
            }
        },
        Qt::QueuedConnection);
    connect(
        relay.get(), &Relay::released, this, [this, id] { onPipelineReleased(id); },
        Qt::QueuedConnection);

    const auto put = [relay, box](ReportBox::Report report) {
        if (box->put(std::move(report)))
            emit relay->arrived();
    };
    MediaConvert::Callbacks callbacks;
    callbacks.onStart = [] { qDebug() << "开始转换..."; };
    callbacks.onLog = [put](const QString& text) {
        qDebug() << "日志:" << text;
        ReportBox::Report report;
        report.line = text;
        put(std::move(report));
    };
    callbacks.onProgress = [put](MediaStage stage, int percent) {
        ReportBox::Report report;
        report.kind = ReportBox::Report::Kind::Progress;
        report.stage = stage;
        report.percent = percent;
        put(std::move(report));
    };
    callbacks.onResult = [put](const ConvertResult& result) {
        qDebug() << "完成:"
                 << (result.outcome == ConvertOutcome::Succeeded       ? "成功"
                         : result.outcome == ConvertOutcome::Cancelled ? "取消"
                                                                       : "失败");
        ReportBox::Report report;
        report.kind = ReportBox::Report::Kind::Result;
        report.result = result;
        put(std::move(report));
    };
    pipeline->startConvert(current->request, std::move(callbacks));
}

void ConversionController::onConversionResult(const ConvertResult& result)
{
    // The pipeline is done with the file: a name it did not fill is free.
    if (result.outcome != ConvertOutcome::Succeeded)
        releaseName(*current);
    if (current->phase == Phase::Ending) {
        // Cancelled already: a file that was finished just before the cancel
        // reached the pipeline is not wanted either.
        if (result.outcome == ConvertOutcome::Succeeded && !result.path.isEmpty())
            QFile::remove(result.path);
        return;
    }
    const JobOutcome outcome = outcomeOf(result.outcome);
    // The decision to upload is taken now, from the state of the link at the
    // moment the result arrives.
    const bool upload = outcome == JobOutcome::Succeeded && connection->isConnected();
    // Receivers may cancel the job while they hear of it.
    const std::shared_ptr<Job> job = current;
    auto goesOn = [this, &job] { return current == job && job->phase != Phase::Ending; };
    if (outcome == JobOutcome::Succeeded)
        emit fanFileReady(result.path, job->request.modelName);
    if (goesOn())
        emit jobConverted(job->id, result, upload);
    if (!goesOn())
        return;
    if (upload)
        startUpload(result.path);
    else
        finish(outcome, result.path, QString());
}

void ConversionController::startUpload(const QString& path)
{
    current->phase = Phase::Uploading;
    current->uploadPath = path;
    const int id = current->id;
    // Every report comes from the event loop, after uploadFile has returned,
    // and the result exactly once.
    current->uploadId = uploader->uploadFile(
        path, QFileInfo(path).fileName(),
        [this, id, path](bool ok, QVariant response) {
            if (ok)
                qDebug() << "✅ Upload finished, server response:" << response;
            else
                qDebug() << "❌ Upload failed!";
            if (!current || current->id != id || current->phase != Phase::Uploading)
                return;
            if (ok)
                finish(JobOutcome::Succeeded, path,
                       QString::fromUtf8(
                           QJsonDocument(response.toJsonObject()).toJson(QJsonDocument::Compact)));
            else
                finish(JobOutcome::Failed, path, uploadFailureText(response));
        },
        [this, id](int percent) {
            qDebug() << "📤 Upload progress:" << percent << "%";
            // 100: the fan has taken the whole file and its answer is awaited.
            if (percent >= 100)
                emit jobProgress(id, JobStage::WaitingForFan, 100);
            else
                emit jobProgress(id, JobStage::Uploading, percent);
        },
        uploadTimeoutMs);
}

void ConversionController::finish(JobOutcome outcome, const QString& path, const QString& message)
{
    if (!current || current->phase == Phase::Ending)
        return;
    current->phase = Phase::Ending;
    emit jobFinished(current->id, outcome, path, message);
    advance();
}

void ConversionController::onPipelineReleased(int id)
{
    if (!current || current->id != id)
        return;
    current->pipelineHolds = false;
    advance();
}

void ConversionController::advance()
{
    if (!current || current->phase != Phase::Ending || current->pipelineHolds || probe)
        return;
    // A job cancelled before its conversion ended, or one that never reached
    // the pipeline, leaves its reservation behind.
    releaseName(*current);
    current.reset();
    if (!waiting.isEmpty())
        startNext();
    else
        emit idle();
}

#include "ConversionController.moc"
