// spindra-preview: shows what a fan file looks like on the spinning fan.
//
//   spindra-preview FILE.bin --model NAME [--lights N --lines N --color-depth N]
//                   [--frame N] [--size PX] -o out.png
//   spindra-preview FILE.bin --model NAME --contact-sheet [--every K] [--columns C] -o sheet.png
//   spindra-preview FILE.bin --model NAME -o out.mp4
//
// Every failure is one line on standard error and a non-zero exit code
// (1: the file or the output, 2: the command line).
#include "FanPreview.h"

#include "fan_models.h"
#include "fan_render.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace {

// Qt's own notes are not the tool's business; only Qt's critical and fatal
// messages reach standard error (SPINDRA_PREVIEW_VERBOSE shows them all).
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        QTextStream(stderr) << "spindra-preview: " << message << '\n';
}

int fail(int code, const QString& message)
{
    QTextStream(stderr) << "spindra-preview: " << message << '\n';
    return code;
}

bool parseInt(const QCommandLineParser& parser, const QString& name, int min, int* value,
              QString* error)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const int v = parser.value(name).toInt(&ok);
    if (!ok || v < min) {
        *error = QStringLiteral("--%1 needs a whole number of at least %2, not \"%3\"")
                     .arg(name)
                     .arg(min)
                     .arg(parser.value(name));
        return false;
    }
    *value = v;
    return true;
}

QString modelNames()
{
    QStringList names;
    for (int i = 0; i < fan_model_count(); i++)
        names << QString::fromUtf8(fan_model_at(i)->name);
    return names.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char** argv)
{
    // A command-line tool: pictures are plain memory, no window system needed.
    if (qEnvironmentVariableIsEmpty("SPINDRA_PREVIEW_VERBOSE"))
        qInstallMessageHandler(quietMessages);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("spindra-preview"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Renders a fan file as the spinning fan shows it: one frame or a contact sheet as a "
        "picture, "
        "or every frame with its sound as a video (the output's name ending chooses)."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The fan file (.bin)."));
    parser.addOptions({
        {QStringLiteral("model"),
         QStringLiteral("Fan model the file was made for: %1.").arg(modelNames()),
         QStringLiteral("NAME")},
        {QStringLiteral("lights"), QStringLiteral("LEDs per line (overrides the model)."),
         QStringLiteral("N")},
        {QStringLiteral("lines"), QStringLiteral("Lines per revolution (overrides the model)."),
         QStringLiteral("N")},
        {QStringLiteral("color-depth"),
         QStringLiteral("Bits kept per colour channel, 1 to 8 (overrides the model)."),
         QStringLiteral("N")},
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral(
             "Output: .png, .jpg or .bmp for a picture, .mp4, .mkv or .mov for a video."),
         QStringLiteral("PATH")},
        {QStringLiteral("frame"), QStringLiteral("Frame to render as a picture (default 0)."),
         QStringLiteral("N")},
        {QStringLiteral("size"),
         QStringLiteral("Side of the picture (of each tile on a contact sheet) in pixels, 2 to "
                        "8192; default 4 x lights. A video's side is made even."),
         QStringLiteral("PX")},
        {QStringLiteral("contact-sheet"),
         QStringLiteral("Write every k-th frame in a grid instead of one frame.")},
        {QStringLiteral("every"),
         QStringLiteral("Contact sheet: take every K-th frame (default: at most 25 tiles)."),
         QStringLiteral("K")},
        {QStringLiteral("columns"),
         QStringLiteral("Contact sheet: tiles per row (default: about square)."),
         QStringLiteral("C")},
        {QStringLiteral("ffmpeg"),
         QStringLiteral("FFmpeg program for videos (default: $SPINDRA_FFMPEG, then beside this "
                        "tool, then PATH)."),
         QStringLiteral("PATH")},
    });
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(2, parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return fail(2,
                    positional.isEmpty()
                        ? QStringLiteral("no fan file given (see --help)")
                        : QStringLiteral("one fan file at a time, got %1").arg(positional.size()));
    const QString input = positional.first();
    const QString output = parser.value(QStringLiteral("o"));
    if (output.isEmpty())
        return fail(
            2,
            QStringLiteral(
                "no output given: -o out.png, -o sheet.png with --contact-sheet, or -o out.mp4"));

    FanGeometry geometry;
    if (parser.isSet(QStringLiteral("model"))) {
        const QString name = parser.value(QStringLiteral("model"));
        const fan_model* model = nullptr;
        for (int i = 0; i < fan_model_count() && !model; i++) {
            if (name.compare(QLatin1String(fan_model_at(i)->name), Qt::CaseInsensitive) == 0)
                model = fan_model_at(i);
        }
        if (!model)
            return fail(2,
                        QStringLiteral("unknown model \"%1\" (known: %2)").arg(name, modelNames()));
        geometry.lights = model->lights;
        geometry.lines = model->lines;
        geometry.colorDeep = model->colorDeep;
    }
    QString error;
    if (!parseInt(parser, QStringLiteral("lights"), 1, &geometry.lights, &error) ||
        !parseInt(parser, QStringLiteral("lines"), 1, &geometry.lines, &error) ||
        !parseInt(parser, QStringLiteral("color-depth"), 1, &geometry.colorDeep, &error))
        return fail(2, error);
    if (geometry.colorDeep > 8)
        return fail(2, QStringLiteral("--color-depth must be 1 to 8"));
    if (geometry.lights == 0 || geometry.lines == 0 || geometry.colorDeep == 0)
        return fail(
            2, QStringLiteral("give --model NAME, or all of --lights, --lines and --color-depth"));

    int frame = 0, size = FanPreview::defaultSize(geometry.lights), every = 0, columns = 0;
    if (!parseInt(parser, QStringLiteral("frame"), 0, &frame, &error) ||
        !parseInt(parser, QStringLiteral("size"), 2, &size, &error) ||
        !parseInt(parser, QStringLiteral("every"), 1, &every, &error) ||
        !parseInt(parser, QStringLiteral("columns"), 1, &columns, &error))
        return fail(2, error);
    if (size > int(FAN_RENDER_MAX_SIZE))
        return fail(2, QStringLiteral("--size must be 2 to %1 pixels").arg(FAN_RENDER_MAX_SIZE));

    const QString suffix = QFileInfo(output).suffix().toLower();
    const bool picture = suffix == QLatin1String("png") || suffix == QLatin1String("jpg") ||
        suffix == QLatin1String("jpeg") || suffix == QLatin1String("bmp");
    const bool video = suffix == QLatin1String("mp4") || suffix == QLatin1String("mkv") ||
        suffix == QLatin1String("mov");
    const bool sheet = parser.isSet(QStringLiteral("contact-sheet"));
    if (!picture && !video)
        return fail(
            2,
            QStringLiteral("%1: choose a .png, .jpg or .bmp picture or a .mp4, .mkv or .mov video")
                .arg(output));
    if (video && (sheet || parser.isSet(QStringLiteral("frame"))))
        return fail(
            2,
            QStringLiteral(
                "a video holds every frame; --frame and --contact-sheet need a picture output"));
    if (sheet && parser.isSet(QStringLiteral("frame")))
        return fail(2, QStringLiteral("--frame and --contact-sheet exclude each other"));
    if (!sheet &&
        (parser.isSet(QStringLiteral("every")) || parser.isSet(QStringLiteral("columns"))))
        return fail(2, QStringLiteral("--every and --columns belong to --contact-sheet"));

    FanPreview preview;
    if (!preview.open(input, geometry, &error))
        return fail(1, error);

    bool ok;
    QString done;
    if (video) {
        ok = preview.writeVideo(size, output, parser.value(QStringLiteral("ffmpeg")), &error);
        done = QStringLiteral("%1 frames, %2 s")
                   .arg(preview.frameCount())
                   .arg(preview.frameCount() / 20.0, 0, 'f', 2);
    } else if (sheet) {
        ok = preview.writeContactSheet(every, columns, size, output, &error);
        done = QStringLiteral("contact sheet of %1 frames").arg(preview.frameCount());
    } else {
        ok = preview.writeFrameImage(frame, size, output, &error);
        done = QStringLiteral("frame %1 of %2").arg(frame).arg(preview.frameCount());
    }
    if (!ok)
        return fail(1, error);
    QTextStream(stdout) << "spindra-preview: wrote " << output << " (" << done << ")\n";
    return 0;
}
