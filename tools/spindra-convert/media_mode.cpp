#include "media_mode.h"

#include "FanPreview.h"
#include "JobBuilder.h"
#include "JobGeometry.h"
#include "interrupt_cleanup.h"
#include "MediaConvert.h"
#include "MediaInfo.h"
#include "MediaProbe.h"
#include "ResultPlacement.h"
#include "convert.h"
#include "fan_models.h"
#include "util_log.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QThreadPool>

#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <unistd.h>

namespace {

// A reason for stopping before the conversion, with its exit code.
struct Stop {
    int code;
    QString reason;
};

void printError(const QString& text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "spindra-convert: %s\n", text.toLocal8Bit().constData());
}

QString modelNames()
{
    QStringList names;
    for (int i = 0; i < fan_model_count(); ++i)
        names << QString::fromLatin1(fan_model_at(i)->name);
    return names.join(QStringLiteral(", "));
}

const fan_model* findModel(const QString& name)
{
    for (int i = 0; i < fan_model_count(); ++i) {
        const fan_model* m = fan_model_at(i);
        if (name.compare(QLatin1String(m->name), Qt::CaseInsensitive) == 0)
            return m;
    }
    return nullptr;
}

// Whole seconds given as "75", "1:15" or "0:01:15".
bool parseClock(const QString& text, int& seconds)
{
    static const QRegularExpression re(QStringLiteral("^(?:(?:(\\d+):)?(\\d{1,2}):)?(\\d+)$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const bool clock = !m.captured(2).isEmpty();
    const qint64 h = m.captured(1).toLongLong();
    const qint64 min = m.captured(2).toLongLong();
    const qint64 s = m.captured(3).toLongLong();
    if (clock && (min > 59 || s > 59))
        return false;
    const qint64 total = h * 3600 + min * 60 + s;
    if (total > 0x7fffffff / 2)
        return false;
    seconds = static_cast<int>(total);
    return true;
}

bool parseInt(const QString& text, int low, int high, int& value)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool parseDouble(const QString& text, double low, double high, double& value)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < low || v > high)
        return false;
    value = v;
    return true;
}

// Shared by the job's callbacks (pool worker and engine thread) and main.
// Quiet (without --verbose), only the result is printed: the job's lines
// are dropped and the progress shows only on a terminal, on a line that is
// wiped at the end.
struct Console {
    std::mutex mutex;
    bool tty = false;
    bool verbose = false;
    bool progressOpen = false; // a progress line without its line break
    QString lastStage;
    int lastPercent = -1;
    bool done = false;
    bool success = false;
    QString path;
    QString reason;  // why the job failed, when known
    QString warning; // what the user should know about a file that was written

    void endProgressLine()
    {
        if (progressOpen) {
            // Quiet, the progress goes: the result stands alone.
            std::fputs(verbose ? "\n" : "\r\033[K", stdout);
            progressOpen = false;
        }
    }
    void line(const QString& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!verbose)
            return;
        endProgressLine();
        std::fputs(text.toLocal8Bit().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    void progress(const QString& stage, int percent)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if ((stage == lastStage && percent == lastPercent) || (!verbose && !tty))
            return;
        // On a terminal one line is rewritten; in a log every tenth percent.
        if (!tty && stage == lastStage && percent / 10 == lastPercent / 10 && percent != 100)
            return;
        lastStage = stage;
        lastPercent = percent;
        if (tty) {
            std::fprintf(stdout, "\rprogress: %-10s %3d%%", stage.toLocal8Bit().constData(),
                         percent);
            progressOpen = true;
        } else {
            std::fprintf(stdout, "progress: %s %d%%\n", stage.toLocal8Bit().constData(), percent);
        }
        std::fflush(stdout);
    }
};

bool verboseMessages = false;

// Without --verbose the diagnostic messages are dropped (a failure's reason
// ends the run on standard error anyway); Qt's critical ones still show.
void messageFilter(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if ((type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) && !verboseMessages)
        return;
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

} // namespace

QList<QCommandLineOption> mediaModeOptions()
{
    return {
        {QStringLiteral("model"), QStringLiteral("Fan model (%1); default VEGA.").arg(modelNames()),
         QStringLiteral("name")},
        {QStringLiteral("lights"), QStringLiteral("LEDs per line, instead of the model's."),
         QStringLiteral("n")},
        {QStringLiteral("lines"), QStringLiteral("Lines per revolution, instead of the model's."),
         QStringLiteral("n")},
        {QStringLiteral("color-depth"),
         QStringLiteral("Bits per colour channel (1-8), instead of the model's."),
         QStringLiteral("n")},
        {QStringLiteral("out"),
         QStringLiteral(
             "Output folder (default: current folder); the file goes into its model sub-folder."),
         QStringLiteral("dir")},
        {QStringLiteral("name"),
         QStringLiteral("Fan file name (default: input's base name + .bin)."),
         QStringLiteral("file")},
        {QStringLiteral("start"), QStringLiteral("Excerpt start, seconds or hh:mm:ss (default 0)."),
         QStringLiteral("time")},
        {QStringLiteral("end"),
         QStringLiteral("Excerpt end, seconds or hh:mm:ss (default: end of the clip)."),
         QStringLiteral("time")},
        {QStringLiteral("hflip"), QStringLiteral("Mirror left-right.")},
        {QStringLiteral("vflip"), QStringLiteral("Show the picture upside down on the fan.")},
        {QStringLiteral("center"),
         QStringLiteral("Centre of the round picture in source pixels from the top-left corner of "
                        "the picture as shown (default: picture centre)."),
         QStringLiteral("x,y")},
        {QStringLiteral("scale"),
         QStringLiteral("Source pixels to fan pixels (default: 2 x lights / longer side)."),
         QStringLiteral("s")},
        {QStringLiteral("gamma"), QStringLiteral("Brightness curve, 1.0-5.0 (default 2.2)."),
         QStringLiteral("g")},
        {QStringLiteral("min-brightness"),
         QStringLiteral("Brightness at the centre, 0.0-1.0 (default 0.3)."), QStringLiteral("b")},
        {QStringLiteral("brightness-radius"),
         QStringLiteral("LEDs from the centre whose brightness is adjusted (default 0)."),
         QStringLiteral("n")},
        {QStringLiteral("verbose"),
         QStringLiteral("Print the job's progress and log, FFmpeg's commands and output, the "
                        "engine's lines and the diagnostic messages; without it a successful "
                        "run prints only the fan file's path.")},
        {QStringLiteral("preview"),
         QStringLiteral("Also write the first frame as the fan shows it to <file> (.png, .jpg or "
                        ".bmp); a relative name goes next to the fan file."),
         QStringLiteral("file")},
    };
}

static int prepareAndRun(const QCommandLineParser& parser, Stop& stop)
{
    const auto fail = [&stop](int code, const QString& reason) {
        stop = {code, reason};
        return code;
    };

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return fail(
            MediaModeUsage,
            QStringLiteral("no input given (spindra-convert INPUT [options], --help for more)"));
    if (positional.size() > 1)
        return fail(MediaModeUsage,
                    QStringLiteral("one input at a time, got %1").arg(positional.size()));
    const QFileInfo inputInfo(positional.first());
    if (!inputInfo.exists())
        return fail(MediaModeUsage, QStringLiteral("input not found: %1").arg(positional.first()));
    if (!inputInfo.isFile() || !inputInfo.isReadable())
        return fail(MediaModeUsage,
                    QStringLiteral("input is not a readable file: %1").arg(positional.first()));
    const QString input = inputInfo.absoluteFilePath();

    // Model and its overrides.
    const QString modelName = parser.isSet(QStringLiteral("model"))
        ? parser.value(QStringLiteral("model"))
        : QStringLiteral("VEGA");
    const fan_model* model = findModel(modelName);
    if (!model)
        return fail(MediaModeUsage,
                    QStringLiteral("unknown model %1 (known: %2)").arg(modelName, modelNames()));
    int lights = model->lights, lines = model->lines, colorDeep = model->colorDeep;
    if (parser.isSet(QStringLiteral("lights")) &&
        !parseInt(parser.value(QStringLiteral("lights")), 1, 4096, lights))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --lights %1 (1 to 4096)")
                        .arg(parser.value(QStringLiteral("lights"))));
    if (parser.isSet(QStringLiteral("lines")) &&
        !parseInt(parser.value(QStringLiteral("lines")), 1, 65536, lines))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --lines %1 (1 to 65536)")
                        .arg(parser.value(QStringLiteral("lines"))));
    if (parser.isSet(QStringLiteral("color-depth")) &&
        !parseInt(parser.value(QStringLiteral("color-depth")), 1, 8, colorDeep))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --color-depth %1 (1 to 8)")
                        .arg(parser.value(QStringLiteral("color-depth"))));

    double gamma = 2.2, minBrightness = 0.3;
    int brightnessRadius = 0;
    if (parser.isSet(QStringLiteral("gamma")) &&
        !parseDouble(parser.value(QStringLiteral("gamma")), 1.0, 5.0, gamma))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --gamma %1 (1.0 to 5.0)")
                        .arg(parser.value(QStringLiteral("gamma"))));
    if (parser.isSet(QStringLiteral("min-brightness")) &&
        !parseDouble(parser.value(QStringLiteral("min-brightness")), 0.0, 1.0, minBrightness))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --min-brightness %1 (0.0 to 1.0)")
                        .arg(parser.value(QStringLiteral("min-brightness"))));
    if (parser.isSet(QStringLiteral("brightness-radius")) &&
        !parseInt(parser.value(QStringLiteral("brightness-radius")), 0, lights, brightnessRadius))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --brightness-radius %1 (0 to %2)")
                        .arg(parser.value(QStringLiteral("brightness-radius")))
                        .arg(lights));

    int start = 0, end = -1;
    if (parser.isSet(QStringLiteral("start")) &&
        !parseClock(parser.value(QStringLiteral("start")), start))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --start %1 (seconds or hh:mm:ss)")
                        .arg(parser.value(QStringLiteral("start"))));
    if (parser.isSet(QStringLiteral("end")) &&
        !parseClock(parser.value(QStringLiteral("end")), end))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --end %1 (seconds or hh:mm:ss)")
                        .arg(parser.value(QStringLiteral("end"))));

    bool haveCenter = false, haveScale = false;
    double centerX = 0, centerY = 0, scale = 0;
    if (parser.isSet(QStringLiteral("center"))) {
        const QStringList xy = parser.value(QStringLiteral("center")).split(QLatin1Char(','));
        if (xy.size() != 2 || !parseDouble(xy.at(0), -1e7, 1e7, centerX) ||
            !parseDouble(xy.at(1), -1e7, 1e7, centerY))
            return fail(MediaModeUsage,
                        QStringLiteral("bad --center %1 (x,y in source pixels)")
                            .arg(parser.value(QStringLiteral("center"))));
        haveCenter = true;
    }
    if (parser.isSet(QStringLiteral("scale"))) {
        if (!parseDouble(parser.value(QStringLiteral("scale")), 1e-6, 1e4, scale) || scale <= 0.0)
            return fail(MediaModeUsage,
                        QStringLiteral("bad --scale %1 (a positive number)")
                            .arg(parser.value(QStringLiteral("scale"))));
        haveScale = true;
    }

    QString fileName = parser.isSet(QStringLiteral("name"))
        ? parser.value(QStringLiteral("name"))
        : inputInfo.completeBaseName() + QStringLiteral(".bin");
    if (fileName.isEmpty() || fileName.contains(QLatin1Char('/')) ||
        fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --name %1 (a file name without folder)").arg(fileName));
    const QString outDir =
        QDir(parser.isSet(QStringLiteral("out")) ? parser.value(QStringLiteral("out"))
                                                 : QDir::currentPath())
            .absolutePath();
    if (QFileInfo(outDir).exists() && !QFileInfo(outDir).isDir())
        return fail(MediaModeUsage, QStringLiteral("--out is not a folder: %1").arg(outDir));

    const QString previewName = parser.value(QStringLiteral("preview"));
    if (parser.isSet(QStringLiteral("preview")) &&
        !QStringList {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                      QStringLiteral("bmp")}
             .contains(QFileInfo(previewName).suffix().toLower()))
        return fail(
            MediaModeUsage,
            QStringLiteral("bad --preview %1 (a .png, .jpg or .bmp file)").arg(previewName));

    // The media itself, its size as shown (turned upright as FFmpeg decodes it).
    const MediaFacts probe = MediaProbe::probe(input);
    if (!probe.hasPicture())
        return fail(MediaModeFailed,
                    QStringLiteral("cannot read media %1: %2").arg(input, probe.reason));
    const bool isVideo = MediaProbe::treatAsVideo(input, probe);
    QString reason;
    const int clipEnd = static_cast<int>(std::ceil(probe.duration));
    if (isVideo) {
        if (end < 0)
            end = clipEnd;
        if (end > clipEnd)
            return fail(MediaModeUsage,
                        QStringLiteral("--end %1 s lies beyond the clip (%2 s)")
                            .arg(end)
                            .arg(probe.duration, 0, 'f', 2));
        if (start >= end)
            return fail(
                MediaModeUsage,
                QStringLiteral("start (%1 s) must lie before end (%2 s)").arg(start).arg(end));
    } else {
        start = 0;
        end = 0;
    }

    const bool hFlip = parser.isSet(QStringLiteral("hflip"));
    const bool vFlip = parser.isSet(QStringLiteral("vflip"));
    if (!haveScale)
        scale = 2.0 * lights / std::max(probe.width, probe.height);
    if (!haveCenter) {
        centerX = probe.width * 0.5;
        centerY = probe.height * 0.5;
    } else {
        // From the source's top-left corner to the pipeline's convention:
        // columns of the picture as decoded, upright (mirrored with --hflip),
        // rows counted upward from its bottom (the top without --vflip).
        if (hFlip)
            centerX = probe.width - centerX;
        if (!vFlip)
            centerY = probe.height - centerY;
    }

    // FFmpeg scales the whole picture before the fan's part is cut from it.
    const JobGeometry scaled =
        computeJobGeometry(scale, centerX, centerY, probe.width, probe.height);
    if (!scalablePictureSize(scaled.width, scaled.height))
        return fail(MediaModeUsage,
                    QStringLiteral("bad --scale %1: the %2x%3 picture would become %4x%5 pixels, "
                                   "%6")
                        .arg(parser.value(QStringLiteral("scale")))
                        .arg(probe.width)
                        .arg(probe.height)
                        .arg(scaled.width)
                        .arg(scaled.height)
                        .arg(scaled.width < 2 || scaled.height < 2
                                 ? QStringLiteral("too small (at least 2x2)")
                                 : QStringLiteral("more than FFmpeg makes (at most about "
                                                  "16000x16000)")));

    // The pipeline puts the file on the Desktop when it cannot create the
    // model folder; from the command line that would be a surprise, so an
    // output folder that cannot be written is a failure here.
    const QString modelDir = QDir(outDir).filePath(QString::fromLatin1(model->name));
    const QString folderProblem = outputFolderProblem(modelDir);
    if (!folderProblem.isEmpty())
        return fail(MediaModeFailed,
                    QStringLiteral("cannot write to the output folder %1 (%2)")
                        .arg(modelDir, folderProblem));

    ConvertRequest request;
    MediaInfo* info = &request.media;
    info->isVideo = isVideo;
    info->inputPath = input;
    info->outputDir = outDir;
    info->mediaWidth = probe.width;
    info->mediaHeight = probe.height;
    info->centerX = centerX;
    info->centerY = centerY;
    info->scale = scale;
    info->startSeconds = start;
    info->durationSeconds = end - start;
    info->hFlip = hFlip;
    info->vFlip = vFlip;
    info->facts = probe;

    verboseMessages = parser.isSet(QStringLiteral("verbose"));
    qInstallMessageHandler(messageFilter);
    // The engine's own lines only with --verbose.
    util_log_mute(!verboseMessages);

    auto console = std::make_shared<Console>();
    console->tty = isatty(fileno(stdout));
    console->verbose = verboseMessages;
    console->line(QStringLiteral("%1: %2 %3x%4%5, model %6 (%7 lights, %8 lines, %9 bits)")
                      .arg(isVideo ? QStringLiteral("video") : QStringLiteral("image"), input)
                      .arg(probe.width)
                      .arg(probe.height)
                      .arg(isVideo ? QStringLiteral(", %1 s from %2 s").arg(end - start).arg(start)
                                   : QString())
                      .arg(QString::fromLatin1(model->name))
                      .arg(lights)
                      .arg(lines)
                      .arg(colorDeep));

    request.fileName = fileName;
    request.modelName = QString::fromLatin1(model->name);
    request.lights = lights;
    request.lines = lines;
    request.colorDeep = colorDeep;
    request.gamma = gamma;
    request.minBrightness = minBrightness;
    request.changeBrightnessLights = brightnessRadius;
    request.debugMode = verboseMessages;
    request.runIndex = QStringLiteral("00000");
    MediaConvert::Callbacks callbacks;
    callbacks.onLog = [console](const QString& l) { console->line(l); };
    callbacks.onResult = [console](const ConvertResult& result) {
        std::lock_guard<std::mutex> lock(console->mutex);
        console->done = true;
        console->success = result.outcome == ConvertOutcome::Succeeded;
        console->path = result.path;
        console->reason = result.reason;
        console->warning = result.warning;
    };
    callbacks.onProgress = [console](MediaStage stage, int percent) {
        console->progress(stage == MediaStage::Decoding ? QStringLiteral("decoding")
                                                        : QStringLiteral("converting"),
                          percent);
    };
    // Ctrl+C cancels the job, which then removes what it had written.
    auto cancel = std::make_shared<ConvertCancel>();
    request.cancel = cancel;
    cancelOnInterrupt([cancel]() { cancel->request(); });
    MediaConvert convert;
    convert.startConvert(std::move(request), std::move(callbacks));
    // The job ends (result reported, temporary files gone) before its pool
    // worker is released.
    QThreadPool::globalInstance()->waitForDone();
    // The engine's worker reports before it logs its last line and ends: let
    // it finish so that nothing of it follows the printed path.
    while (convert_running_jobs() > 0)
        QThread::msleep(1);
    endIfInterrupted();

    bool succeeded;
    {
        std::lock_guard<std::mutex> lock(console->mutex);
        succeeded = console->done && console->success;
    }
    if (succeeded)
        console->progress(QStringLiteral("converting"), 100);
    std::lock_guard<std::mutex> lock(console->mutex);
    console->endProgressLine();
    if (!succeeded)
        return fail(
            MediaModeFailed,
            console->reason.isEmpty()
                ? QStringLiteral("conversion failed: %1").arg(console->path)
                : QStringLiteral("conversion failed: %1: %2").arg(console->path, console->reason));
    if (!console->warning.isEmpty())
        printError(QStringLiteral("warning: %1").arg(console->warning));
    if (!previewName.isEmpty()) {
        const QString previewPath =
            QDir(QFileInfo(console->path).absolutePath()).filePath(previewName);
        FanPreview preview;
        if (!preview.open(console->path, {lights, lines, colorDeep}, &reason) ||
            !preview.writeFrameImage(0, FanPreview::defaultSize(lights), previewPath, &reason))
            return fail(MediaModeFailed,
                        QStringLiteral("preview: %1 (the fan file %2 is written)")
                            .arg(reason, console->path));
        std::fprintf(stdout, "preview: %s\n", previewPath.toLocal8Bit().constData());
    }
    std::fprintf(stdout, "%s\n", console->path.toLocal8Bit().constData());
    std::fflush(stdout);
    return MediaModeOk;
}

int runMediaMode(const QCommandLineParser& parser)
{
    Stop stop {MediaModeOk, QString()};
    const int code = prepareAndRun(parser, stop);
    if (code != MediaModeOk)
        printError(stop.reason);
    return code;
}
