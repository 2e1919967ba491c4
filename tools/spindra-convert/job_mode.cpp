#include "job_mode.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <QFile>

#include "convert.h"
#include "interrupt_cleanup.h"

namespace {

struct JobWait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int failed = 1;
    QString outPath;
    QString reason;
};

void onEngineResult(void* ctx, int failed, const char* outPath, const char* /*message*/)
{
    auto* wait = static_cast<JobWait*>(ctx);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->failed = failed;
    wait->outPath = QString::fromUtf8(outPath ? outPath : "");
    wait->reason = QString::fromUtf8(convert_failure_reason());
    wait->finished = true;
    wait->done.notify_all();
}

void printError(const QString& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "spindra-convert: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int runJobMode(const QString& jobFile)
{
    QFile file(jobFile);
    if (!file.open(QIODevice::ReadOnly)) {
        printError(
            QStringLiteral("cannot read the job file %1: %2").arg(jobFile, file.errorString()));
        return JobModeRefused;
    }
    const QByteArray json = file.readAll();
    file.close();

    // The wait record outlives the job: the engine calls back exactly once
    // after it accepted the job, and never when it refused it.
    static JobWait wait;
    // An interrupted job stops before its next frame and leaves no partial
    // file (an earlier file at its path stays as it was).
    static convert_cancel* const cancel = convert_cancel_create();
    cancelOnInterrupt([]() { convert_cancel_request(cancel); });
    const int32_t rc = convert_start_cancellable(json.constData(), onEngineResult, &wait, cancel);
    if (rc != 0) {
        printError(QStringLiteral("the engine refused the job (return code %1)").arg(rc));
        return JobModeRefused;
    }

    {
        std::unique_lock<std::mutex> lock(wait.mutex);
        wait.done.wait(lock, [] { return wait.finished; });
    }
    // The worker logs its last line after the callback: let it finish.
    while (convert_running_jobs() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::fflush(stdout);
    endIfInterrupted();
    if (wait.failed) {
        printError(
            wait.reason.isEmpty()
                ? QStringLiteral("the conversion failed: %1").arg(wait.outPath)
                : QStringLiteral("the conversion failed: %1: %2").arg(wait.outPath, wait.reason));
        return JobModeFailed;
    }
    std::fprintf(stderr, "spindra-convert: wrote %s\n", wait.outPath.toLocal8Bit().constData());
    return JobModeOk;
}
