#include "FfmpegRunner.h"

#include "ConvertRequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<int> g_defaultSilenceLimitMs {FfmpegRunner::kDefaultSilenceLimitMs};

QString findTool(const char* envName, const QString& name)
{
    const QString fromEnv = qEnvironmentVariable(envName);
    if (!fromEnv.isEmpty())
        return fromEnv;
    if (QCoreApplication::instance()) {
        const QFileInfo beside(QCoreApplication::applicationDirPath() + QLatin1Char('/') + name);
        if (beside.isFile() && beside.isExecutable())
            return beside.absoluteFilePath();
    }
    return name; // QProcess searches PATH
}

qint64 currentSize(const QString& path)
{
    if (path.isEmpty())
        return -1;
    QFileInfo info(path); // a fresh object, so the size is never a cached one
    return info.exists() ? info.size() : -1;
}

} // namespace

FfmpegRunner::FfmpegRunner(bool logEnabled, LogCallback logCallback, const QString& ffmpegPath)
    : logEnabled(logEnabled),
      logCallback(std::move(logCallback)),
      ffmpegPath(ffmpegPath.isEmpty() ? defaultFfmpegPath() : ffmpegPath),
      silenceLimit(g_defaultSilenceLimitMs.load())
{
}

QString FfmpegRunner::defaultFfmpegPath()
{
    return findTool("SPINDRA_FFMPEG", QStringLiteral("ffmpeg"));
}

QString FfmpegRunner::defaultFfprobePath()
{
    return findTool("SPINDRA_FFPROBE", QStringLiteral("ffprobe"));
}

void FfmpegRunner::setDefaultSilenceLimitMs(int ms)
{
    g_defaultSilenceLimitMs.store(ms > 0 ? ms : kDefaultSilenceLimitMs);
}

int FfmpegRunner::defaultSilenceLimitMs() { return g_defaultSilenceLimitMs.load(); }

void FfmpegRunner::log(const QString& line) const
{
    if (logEnabled && logCallback)
        logCallback(line);
}

bool FfmpegRunner::runFfmpeg(const QStringList& arguments, const QString& label,
                             const QString& watchedFile, const SizeCallback& onSize) const
{
    return run(arguments, label, watchedFile, onSize, OutputCallback());
}

bool FfmpegRunner::runFfmpegStreaming(const QStringList& arguments, const QString& label,
                                      const OutputCallback& onOutput) const
{
    return run(arguments, label, QString(), SizeCallback(), onOutput);
}

bool FfmpegRunner::run(const QStringList& arguments, const QString& label,
                       const QString& watchedFile, const SizeCallback& onSize,
                       const OutputCallback& onOutput) const
{
    const QString joined = arguments.join(QLatin1Char(' '));
    log(QStringLiteral(" %1 >> : %2").arg(label, joined));

    const auto failedToRun = [&]() {
        log(QStringLiteral("Error while running FFmpeg command."));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        return false;
    };

    const auto stopRequested = [this]() { return cancel && cancel->requested(); };
    if (stopRequested()) {
        log(QStringLiteral("%1 <<: cancelled").arg(label));
        return false;
    }

    QProcess process;
    process.start(ffmpegPath, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted())
        return failedToRun();
    // FFmpeg asks on standard input before overwriting a file; an open pipe
    // would leave it waiting for an answer that never comes.
    process.closeWriteChannel();

    // Wait in short slices so that a long but lively decode may take as long
    // as it needs while a stalled one is given up after the silence limit.
    const int slice = std::clamp(silenceLimit / 4, 1, 100);
    QByteArray errorOutput;
    qint64 lastSize = currentSize(watchedFile);
    QElapsedTimer quiet;
    quiet.start();
    bool finished = false;
    while (!finished) {
        if (onOutput) {
            // Wake for every piece of output, so that no more than a pipe's
            // worth of it is buffered here.
            finished = !process.waitForReadyRead(slice) && process.state() == QProcess::NotRunning;
        } else {
            finished = process.waitForFinished(slice) || process.state() == QProcess::NotRunning;
        }
        const QByteArray err = process.readAllStandardError();
        const QByteArray out = process.readAllStandardOutput(); // discarded unless streamed
        errorOutput += err;
        bool alive = !err.isEmpty() || !out.isEmpty();
        if (onOutput && !out.isEmpty()) {
            if (!onOutput(out)) {
                process.kill();
                process.waitForFinished(5000);
                return failedToRun();
            }
            // The time the consumer took is not FFmpeg's silence.
            quiet.restart();
        }
        const qint64 size = currentSize(watchedFile);
        if (size != lastSize) {
            lastSize = size;
            alive = true;
            if (onSize && size >= 0)
                onSize(size);
        }
        if (finished)
            break;
        if (stopRequested()) {
            process.kill();
            process.waitForFinished(5000);
            log(QStringLiteral("%1 <<: cancelled").arg(label));
            return false;
        }
        if (alive) {
            quiet.restart();
        } else if (quiet.elapsed() >= silenceLimit) {
            process.kill();
            process.waitForFinished(5000);
            return failedToRun();
        }
    }

    errorOutput += process.readAllStandardError();
    const QString errorText = QString::fromUtf8(errorOutput);
    if (!errorText.isEmpty())
        log(QStringLiteral("FFmpeg Error output: ") + errorText);

    const int code = process.exitCode();
    if (process.exitStatus() != QProcess::NormalExit || code != 0) {
        // A crashed program reports its signal number as exit code here.
        log(QStringLiteral("FFmpeg command failed with exit code: ") +
            QString::number(code != 0 ? code : -1));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        return false;
    }
    log(QStringLiteral("%1 <<: %2").arg(label, joined));
    return true;
}
