#include "FakePipeline.h"

#include "FanFileMaker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {

// The steps of a run, one per turn of the event loop.
enum Step { Start, Decoding0, Decoding100, Converting0, Converting100, Result, LetGo };

} // namespace

FakePipeline::FakePipeline(QObject* parent)
    : QObject(parent)
{
}

FakePipeline::~FakePipeline()
{
    for (size_t i = 0; i < runs.size(); ++i)
        letGo(int(i));
}

int FakePipeline::runningCount() const
{
    int n = 0;
    for (const auto& run : runs)
        n += run->letGo ? 0 : 1;
    return n;
}

void FakePipeline::startConvert(ConvertRequest request, MediaConvert::Callbacks callbacks)
{
    auto run = std::make_unique<Run>();
    run->request = std::move(request);
    run->callbacks = std::move(callbacks);
    run->script = script;
    const int index = int(runs.size());
    if (run->request.cancel) {
        // The hook may run on any thread; the run hears of it on ours.
        run->request.cancel->setHook([this, index] {
            QMetaObject::invokeMethod(
                this, [this, index] { onCancel(index); }, Qt::QueuedConnection);
        });
    }
    runs.push_back(std::move(run));
    schedule(index);
}

void FakePipeline::schedule(int index)
{
    QTimer::singleShot(0, this, [this, index] { advance(index); });
}

void FakePipeline::advance(int index)
{
    Run& run = *runs.at(size_t(index));
    if (run.letGo || run.held)
        return;
    if (!run.ended && run.script.noticesCancel && run.request.cancel &&
        run.request.cancel->requested()) {
        onCancel(index);
        return;
    }
    const MediaConvert::Callbacks& cb = run.callbacks;
    const auto progress = [&cb](MediaStage stage, int percent) {
        if (cb.onProgress)
            cb.onProgress(stage, percent);
    };
    switch (run.step++) {
    case Start:
        if (cb.onStart)
            cb.onStart();
        if (cb.onLog)
            cb.onLog(QStringLiteral("fake pipeline: ") + run.request.media.inputPath);
        break;
    case Decoding0:
        progress(MediaStage::Decoding, 0);
        run.held = run.script.holdAt == MediaStage::Decoding;
        break;
    case Decoding100:
        progress(MediaStage::Decoding, 100);
        break;
    case Converting0:
        progress(MediaStage::Converting, 0);
        run.held = run.script.holdAt == MediaStage::Converting;
        break;
    case Converting100:
        progress(MediaStage::Converting, 100);
        break;
    case Result:
        end(index,
            QFileInfo::exists(run.request.media.inputPath) ? run.script.outcome
                                                           : ConvertOutcome::Failed);
        break;
    default:
        letGo(index);
        return;
    }
    if (!run.held)
        schedule(index);
}

void FakePipeline::onCancel(int index)
{
    Run& run = *runs.at(size_t(index));
    if (run.ended || run.letGo || !run.script.noticesCancel)
        return;
    run.held = false;
    if (run.callbacks.onLog)
        run.callbacks.onLog(QStringLiteral("cancelled"));
    end(index, ConvertOutcome::Cancelled);
    if (run.script.letsGoAfterCancel)
        QTimer::singleShot(0, this, [this, index] { letGo(index); });
}

void FakePipeline::end(int index, ConvertOutcome outcome)
{
    Run& run = *runs.at(size_t(index));
    const ConvertRequest& r = run.request;
    ConvertResult result;
    result.outcome = outcome;
    result.reason = QFileInfo::exists(r.media.inputPath)
        ? run.script.reason
        : QStringLiteral("%1: No such file or directory").arg(r.media.inputPath);
    // Where the real pipeline writes: the name the controller reserved, or
    // the model folder.
    const QString planned = !r.reservedPath.isEmpty()
        ? r.reservedPath
        : QDir(QDir(r.media.outputDir).filePath(r.modelName)).filePath(r.fileName);
    if (outcome == ConvertOutcome::Succeeded) {
        const int frames = r.media.isVideo ? qMax(1, r.media.durationSeconds) * 20 : 1;
        const QByteArray bytes = fanFileBytes(r.lights, r.lines, r.colorDeep, frames);
        if (bytes.isEmpty() || !QDir().mkpath(QFileInfo(planned).absolutePath()) ||
            !saveBytes(planned, bytes)) {
            result.outcome = ConvertOutcome::Failed;
            result.reason = QStringLiteral("cannot write %1").arg(planned);
        }
    }
    if (result.outcome != ConvertOutcome::Cancelled)
        result.path = planned;
    if (result.outcome != ConvertOutcome::Failed)
        result.reason.clear();
    run.ended = true;
    if (run.callbacks.onResult)
        run.callbacks.onResult(result);
}

void FakePipeline::letGo(int index)
{
    Run& run = *runs.at(size_t(index));
    if (run.letGo)
        return;
    run.letGo = true;
    run.held = false;
    if (run.request.cancel)
        run.request.cancel->setHook({});
    // The controller hears that the job is over once its callbacks are gone.
    run.callbacks = MediaConvert::Callbacks();
}

void FakePipeline::resume(int index)
{
    Run& run = *runs.at(size_t(index));
    if (!run.held)
        return;
    run.held = false;
    schedule(index);
}

void FakePipeline::release(int index) { letGo(index); }
