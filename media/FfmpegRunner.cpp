#include "FfmpegRunner.h"

#include "ConvertRequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

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

namespace {

// What FFmpeg last said about an error, from its error output: up to its
// last three lines after the report of the streams, without its closing
// "Conversion failed!", its progress lines and the "[name @ 0x...]" tags of
// the parts that speak, joined by "; ". Any other program's last line.
QString lastErrorLines(const QByteArray& errorOutput)
{
    static const QRegularExpression tag(QStringLiteral("^(\\[[^\\]]* @ 0x[0-9a-fA-F]+\\] *)+"));
    const QList<QByteArray> lines = errorOutput.split('\n');
    QStringList said;
    for (auto it = lines.crbegin(); it != lines.crend() && said.size() < 3; ++it) {
        // FFmpeg rewrites its progress line with carriage returns.
        const QByteArray raw = it->split('\r').last();
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line == "Conversion failed!" || line.startsWith("frame=") ||
            line.startsWith("size=") || line.startsWith("video:"))
            continue;
        // The report of the input and the outputs comes before any error.
        if (raw.startsWith(' ') || line.startsWith("Press [q]") || line.startsWith("Input #") ||
            line.startsWith("Output #") || line.startsWith("Stream mapping:"))
            break;
        said.prepend(QString::fromUtf8(line).remove(tag));
    }
    if (said.isEmpty()) {
        for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
            const QByteArray line = it->split('\r').last().trimmed();
            if (!line.isEmpty())
                return QString::fromUtf8(line);
        }
    }
    return said.join(QStringLiteral("; "));
}

// A process whose standard output, descriptor 3 and standard error are pipes
// of the caller's (set up in the child, between fork and exec), and which ends when
// the thread that started it does (on Linux), so that a killed conversion
// leaves no FFmpeg behind writing into its folder.
class PipedProcess : public QProcess {
public:
    int outFd = -1;
    int secondFd = -1;
    int errFd = -1;

protected:
    void setupChildProcess() override
    {
        if (outFd >= 0)
            ::dup2(outFd, STDOUT_FILENO);
        if (secondFd >= 0)
            ::dup2(secondFd, FfmpegRunner::kSecondOutputFd);
        if (errFd >= 0)
            ::dup2(errFd, STDERR_FILENO);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    }
};

// Both ends of a pipe, closed on exec and when this goes.
struct Pipe {
    int read = -1;
    int write = -1;
    bool open()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read = fds[0];
        write = fds[1];
        ::fcntl(read, F_SETFL, ::fcntl(read, F_GETFL) | O_NONBLOCK);
        return true;
    }
    void closeRead()
    {
        if (read >= 0)
            ::close(read);
        read = -1;
    }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
};

} // namespace

bool FfmpegRunner::runFfmpeg(const QStringList& arguments, const QString& label,
                             const QString& watchedFile, const SizeCallback& onSize) const
{
    return run(arguments, label, watchedFile, onSize);
}

bool FfmpegRunner::runFfmpegStreaming(const QStringList& arguments, const QString& label,
                                      const OutputCallback& onOutput) const
{
    // Pieces of at most a pipe's worth, handed on as they come.
    class PieceSink : public OutputSink {
    public:
        explicit PieceSink(const OutputCallback& onOutput)
            : onOutput(onOutput),
              buffer(1 << 16, Qt::Uninitialized)
        {
        }
        char* space(qint64* room) override
        {
            *room = buffer.size();
            return buffer.data();
        }
        bool received(qint64 bytes) override
        {
            return onOutput(QByteArray(buffer.constData(), int(bytes)));
        }

    private:
        const OutputCallback& onOutput;
        QByteArray buffer;
    };
    PieceSink sink(onOutput);
    return runFfmpegPiped(arguments, label, sink);
}

bool FfmpegRunner::endRun(QProcess& process, const QString& label, const QString& joined,
                          const QString& reason, bool cancelled) const
{
    process.kill();
    process.waitForFinished(5000);
    lastFailure = reason;
    if (cancelled) {
        log(QStringLiteral("%1 <<: cancelled").arg(label));
    } else {
        log(QStringLiteral("Error while running FFmpeg command."));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
    }
    return false;
}

bool FfmpegRunner::finishRun(QProcess& process, const QString& label, const QString& joined,
                             const QByteArray& errorOutput) const
{
    lastErrorOutput = errorOutput;
    const QString errorText = QString::fromUtf8(errorOutput);
    if (!errorText.isEmpty())
        log(QStringLiteral("FFmpeg Error output: ") + errorText);

    const int code = process.exitCode();
    if (process.exitStatus() != QProcess::NormalExit || code != 0) {
        // A crashed program reports its signal number as exit code here.
        log(QStringLiteral("FFmpeg command failed with exit code: ") +
            QString::number(code != 0 ? code : -1));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        const QString said = lastErrorLines(errorOutput);
        lastFailure = process.exitStatus() != QProcess::NormalExit
            ? QStringLiteral("FFmpeg crashed")
            : QStringLiteral("FFmpeg failed (exit code %1)").arg(code);
        if (!said.isEmpty())
            lastFailure += QStringLiteral(": ") + said;
        return false;
    }
    log(QStringLiteral("%1 <<: %2").arg(label, joined));
    lastFailure.clear();
    return true;
}

bool FfmpegRunner::runFfmpegPiped(const QStringList& arguments, const QString& label,
                                  OutputSink& sink, OutputSink* second) const
{
    const QString joined = arguments.join(QLatin1Char(' '));
    log(QStringLiteral(" %1 >> : %2").arg(label, joined));
    lastErrorOutput.clear();
    const auto stopRequested = [this]() { return cancel && cancel->requested(); };
    if (stopRequested()) {
        lastFailure = QStringLiteral("cancelled");
        log(QStringLiteral("%1 <<: cancelled").arg(label));
        return false;
    }

    // The program's outputs: standard output into `sink`, descriptor 3 into
    // `second`; then its standard error.
    Pipe pipes[3];
    OutputSink* sinks[2] = {&sink, second};
    const int outputs = second ? 2 : 1;
    PipedProcess process;
    for (int i = 0; i < outputs; ++i) {
        if (!pipes[i].open()) {
            lastFailure = QStringLiteral("cannot create a pipe: %1").arg(qt_error_string(errno));
            log(QStringLiteral("Error while running FFmpeg command."));
            log(QStringLiteral("%1 <<: %2").arg(label, joined));
            return false;
        }
    }
    Pipe& err = pipes[2];
    if (!err.open()) {
        lastFailure = QStringLiteral("cannot create a pipe: %1").arg(qt_error_string(errno));
        log(QStringLiteral("Error while running FFmpeg command."));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        return false;
    }
#ifdef F_SETPIPE_SZ
    // Fewer, larger reads: frames are hundreds of kilobytes. The system's
    // limit for an unprivileged process is 1 MiB unless raised.
    for (int size = 1 << 20; size >= (1 << 16); size /= 2) {
        if (::fcntl(pipes[0].read, F_SETPIPE_SZ, size) >= 0)
            break;
    }
#endif
    process.outFd = pipes[0].write;
    process.secondFd = second ? pipes[1].write : -1;
    process.errFd = err.write;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(ffmpegPath, arguments, QIODevice::ReadOnly);
    // The child has its own copies; ours would keep the pipes from ending.
    for (Pipe& pipe : pipes)
        pipe.closeWrite();
    if (!process.waitForStarted()) {
        lastFailure = QStringLiteral("cannot start %1: %2").arg(ffmpegPath, process.errorString());
        log(QStringLiteral("Error while running FFmpeg command."));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        return false;
    }

    const int slice = std::clamp(silenceLimit / 4, 1, 100);
    QByteArray errorOutput;
    QElapsedTimer quiet;
    quiet.start();
    char errorPiece[4096];
    stats = PipeStats();
    QElapsedTimer clock;
    clock.start();
    const auto anyOpen = [&]() {
        for (const Pipe& pipe : pipes) {
            if (pipe.read >= 0)
                return true;
        }
        return false;
    };
    while (anyOpen()) {
        pollfd fds[3];
        nfds_t count = 0;
        for (const Pipe& pipe : pipes) {
            if (pipe.read >= 0)
                fds[count++] = {pipe.read, POLLIN, 0};
        }
        qint64 t0 = clock.nsecsElapsed();
        const int ready = ::poll(fds, count, slice);
        qint64 t1 = clock.nsecsElapsed();
        stats.waitNs += t1 - t0;
        if (ready < 0 && errno != EINTR)
            return endRun(process, label, joined,
                          QStringLiteral("cannot watch FFmpeg: %1").arg(qt_error_string(errno)),
                          false);
        bool alive = false;
        // Everything waiting on standard error: FFmpeg's diagnostics.
        while (err.read >= 0) {
            const ssize_t n = ::read(err.read, errorPiece, sizeof errorPiece);
            if (n > 0) {
                errorOutput.append(errorPiece, int(n));
                alive = true;
            } else if (n == 0) {
                err.closeRead();
            } else if (errno != EINTR) {
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    err.closeRead();
                break;
            }
        }
        // Everything waiting on the outputs, into their sinks' memory.
        for (int i = 0; i < outputs; ++i) {
            Pipe& pipe = pipes[i];
            while (pipe.read >= 0) {
                qint64 room = 0;
                char* at = sinks[i]->space(&room);
                if (!at || room <= 0)
                    return endRun(process, label, joined, QString(), stopRequested());
                t0 = clock.nsecsElapsed();
                const ssize_t n = ::read(pipe.read, at, size_t(room));
                t1 = clock.nsecsElapsed();
                stats.readNs += t1 - t0;
                ++stats.reads;
                if (n > 0) {
                    alive = true;
                    stats.bytes += n;
                    const bool more = sinks[i]->received(n);
                    stats.sinkNs += clock.nsecsElapsed() - t1;
                    if (!more)
                        return endRun(process, label, joined, QString(), stopRequested());
                } else if (n == 0) {
                    pipe.closeRead();
                } else if (errno != EINTR) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK)
                        pipe.closeRead();
                    break;
                }
            }
        }
        if (stopRequested())
            return endRun(process, label, joined, QStringLiteral("cancelled"), true);
        if (alive) {
            quiet.restart();
        } else if (quiet.elapsed() >= silenceLimit) {
            return endRun(process, label, joined,
                          QStringLiteral("FFmpeg stopped answering (nothing for %1 s)")
                              .arg(silenceLimit / 1000.0),
                          false);
        }
    }
    // Every pipe has ended: the program is ending (or has ended).
    while (!process.waitForFinished(slice) && process.state() != QProcess::NotRunning) {
        if (stopRequested())
            return endRun(process, label, joined, QStringLiteral("cancelled"), true);
        if (quiet.elapsed() >= silenceLimit)
            return endRun(process, label, joined,
                          QStringLiteral("FFmpeg stopped answering (nothing for %1 s)")
                              .arg(silenceLimit / 1000.0),
                          false);
    }
    return finishRun(process, label, joined, errorOutput);
}

bool FfmpegRunner::run(const QStringList& arguments, const QString& label,
                       const QString& watchedFile, const SizeCallback& onSize) const
{
    const QString joined = arguments.join(QLatin1Char(' '));
    log(QStringLiteral(" %1 >> : %2").arg(label, joined));
    lastErrorOutput.clear();

    const auto failedToRun = [&](const QString& reason) {
        lastFailure = reason;
        log(QStringLiteral("Error while running FFmpeg command."));
        log(QStringLiteral("%1 <<: %2").arg(label, joined));
        return false;
    };

    const auto stopRequested = [this]() { return cancel && cancel->requested(); };
    if (stopRequested()) {
        lastFailure = QStringLiteral("cancelled");
        log(QStringLiteral("%1 <<: cancelled").arg(label));
        return false;
    }

    QProcess process;
    process.start(ffmpegPath, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted())
        return failedToRun(
            QStringLiteral("cannot start %1: %2").arg(ffmpegPath, process.errorString()));
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
        finished = process.waitForFinished(slice) || process.state() == QProcess::NotRunning;
        const QByteArray err = process.readAllStandardError();
        const QByteArray out = process.readAllStandardOutput(); // discarded
        errorOutput += err;
        bool alive = !err.isEmpty() || !out.isEmpty();
        const qint64 size = currentSize(watchedFile);
        if (size != lastSize) {
            lastSize = size;
            alive = true;
            if (onSize && size >= 0)
                onSize(size);
        }
        if (finished)
            break;
        if (stopRequested())
            return endRun(process, label, joined, QStringLiteral("cancelled"), true);
        if (alive) {
            quiet.restart();
        } else if (quiet.elapsed() >= silenceLimit) {
            process.kill();
            process.waitForFinished(5000);
            return failedToRun(QStringLiteral("FFmpeg stopped answering (nothing for %1 s)")
                                   .arg(silenceLimit / 1000.0));
        }
    }

    errorOutput += process.readAllStandardError();
    return finishRun(process, label, joined, errorOutput);
}
