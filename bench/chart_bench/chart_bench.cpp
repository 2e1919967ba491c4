// chart_bench: on the colour chart in every kind of input (tests/media's
// ColourChart), how far apart the preview and the conversion are: the
// preview's own frame (the player's read-back under a display) against the
// picture the conversion hands to the engine, and the fan view (the preview
// frame through the fan view pipeline) against spindra-preview's rendering of
// the converted file (FanPreview), at the centre of every patch. Prints a
// table; nothing is checked.
//
//   tests/own-display build/bench/chart_bench/chart_bench [--kinds NAME,NAME] [--keep DIR]
//                                                         [--verbose] [--file PATH ...]
//
// --file PATH (repeated) measures charts made elsewhere instead. --keep
// keeps the charts and writes each kind's preview frame, fan view and
// rendered fan file there; --verbose prints every patch of the engine's
// picture and the preview.
// The figures are the largest difference of any channel over the 12 patches
// (and which patch), in 8-bit levels: "prev-eng" compares colours before the
// tone curve, "view-file" the fan's LED values after it (6 bits kept: steps
// of 4). The preview is read back at 0.02 s, paused (the field the
// conversion's first frame shows for an interlaced clip).
#include "ColourChart.h"
#include "DecodeSteps.h"
#include "FanPreview.h"
#include "FanViewRenderer.h"
#include "JobBuilder.h"
#include "MPVWidget.h"
#include "MediaConvert.h"
#include "MediaProbe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <mutex>

#include <unistd.h>

namespace {

constexpr int kLights = 116; // VEGA
constexpr int kLines = 520;
constexpr int kDeep = 6;
constexpr int kPreviewWidth = 640;

using Samples = QVector<chart::Rgb>; // one per patch

void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }

// Waits for a condition while the event loop runs; false after ms.
template<typename Condition> bool waitFor(Condition done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// The picture the engine takes first: the job's FFmpeg chain (the scaled
// picture without the window, no flips) into one raw frame, bottom row first.
Samples enginePicture(const QString& path, const MediaFacts& facts, const QString& work)
{
    MediaInfo media;
    media.inputPath = path;
    media.isVideo = MediaProbe::treatAsVideo(path, facts);
    media.durationSeconds = media.isVideo ? std::max(1, int(std::ceil(facts.duration))) : 0;
    const double scale = 2.0 * kLights / std::max(facts.width, facts.height);
    JobFrames frames = computeJobFrames(scale, facts.width / 2.0, facts.height / 2.0, facts.width,
                                        facts.height, kLights);
    frames.window = FrameWindow();
    const FrameChain chain = jobFrameChain(media, frames, facts, true);
    const QString filters = decodeFilterChain(chain);
    const QString raw = QDir(work).filePath(QStringLiteral("engine.bgr"));
    QFile::remove(raw);
    QStringList args;
    switch (decodeKind(media, facts)) {
    case DecodeKind::Still:
        args = imageStepArguments(path, filters, raw, !chain.picture.loopStill);
        break;
    case DecodeKind::Clip:
        args = videoStepArguments(path, 0, media.durationSeconds, filters, raw);
        break;
    case DecodeKind::Cover:
        args = coverStepArguments(path, 0, media.durationSeconds, 1, filters, raw,
                                  QStringLiteral("/dev/null"));
        break;
    }
    QProcess p;
    p.start(QStringLiteral("ffmpeg"), QStringList {"-y", "-v", "error"} + args);
    p.waitForFinished(120000);
    QFile f(raw);
    const int w = frames.scaled.width, h = frames.scaled.height;
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray frame = f.read(qint64(w) * h * 3);
    if (frame.size() < w * h * 3)
        return {};
    Samples samples;
    for (int patch = 0; patch < chart::kPatches; ++patch) {
        const QPointF c = chart::patchCentre(patch);
        const int x = int(c.x() * w), y = h - 1 - int(c.y() * h);
        const uchar* px = reinterpret_cast<const uchar*>(frame.constData()) + (y * w + x) * 3;
        samples << chart::Rgb {px[2], px[1], px[0]};
    }
    return samples;
}

// The preview's own frame: the player's read-back of the whole picture.
QImage previewFrame(const QString& path, const MediaFacts& facts)
{
    MPVWidget player;
    player.resize(kPreviewWidth, kPreviewWidth * facts.height / std::max(facts.width, 1));
    player.show();
    bool opened = false;
    QObject::connect(&player, &MPVWidget::fileOpened, [&opened] { opened = true; });
    player.loadFile(path);
    // As the window hands the player its probe's facts.
    player.setMediaFacts(facts);
    if (!waitFor([&] { return opened; }, 30000))
        return QImage();
    waitFor([] { return false; }, 300);
    if (!player.isPaused())
        player.togglePause();
    player.seekTo(20);
    waitFor([] { return false; }, 700);
    QImage grabbed;
    QObject::connect(&player, &MPVWidget::frameGrabbed,
                     [&grabbed](const QImage& picture, const QRectF&) { grabbed = picture; });
    player.requestFrameGrab();
    waitFor([&] { return !grabbed.isNull(); }, 10000);
    return grabbed.convertToFormat(QImage::Format_RGB888);
}

Samples sample(const QImage& picture, const QRectF& area)
{
    Samples samples;
    for (int patch = 0; patch < chart::kPatches; ++patch) {
        const QPointF c = chart::patchCentre(patch);
        const QColor px = picture.pixelColor(int(area.x() + c.x() * area.width()),
                                             int(area.y() + c.y() * area.height()));
        samples << chart::Rgb {px.red(), px.green(), px.blue()};
    }
    return samples;
}

// The fan file's first frame as spindra-preview renders it.
QImage convertedFrame(const QString& path, const MediaFacts& facts, const QString& work, int size)
{
    ConvertRequest request;
    MediaInfo& media = request.media;
    media.inputPath = path;
    media.outputDir = work;
    media.isVideo = MediaProbe::treatAsVideo(path, facts);
    media.mediaWidth = facts.width;
    media.mediaHeight = facts.height;
    media.scale = 2.0 * kLights / std::max(facts.width, facts.height);
    media.centerX = facts.width / 2.0;
    media.centerY = facts.height / 2.0;
    media.durationSeconds = media.isVideo ? std::max(1, int(std::ceil(facts.duration))) : 0;
    media.facts = facts;
    request.fileName = QStringLiteral("chart.bin");
    request.modelName = QStringLiteral("VEGA");
    request.lights = kLights;
    request.lines = kLines;
    request.colorDeep = kDeep;
    request.gamma = 2.2;
    request.minBrightness = 0.3;
    auto out = std::make_shared<QString>();
    auto mutex = std::make_shared<std::mutex>();
    MediaConvert::Callbacks callbacks;
    callbacks.onResult = [out, mutex](const ConvertResult& r) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (r.outcome == ConvertOutcome::Succeeded)
            *out = r.path;
    };
    MediaConvert().startConvert(request, callbacks);
    QThreadPool::globalInstance()->waitForDone();
    std::lock_guard<std::mutex> lock(*mutex);
    FanPreview preview;
    QString error;
    if (out->isEmpty() || !preview.open(*out, {kLights, kLines, kDeep}, &error))
        return QImage();
    QImage frame = preview.renderFrame(0, size, &error);
    QFile::remove(*out);
    return frame;
}

// The largest channel difference over the patches, and its patch.
QString worst(const Samples& a, const Samples& b)
{
    if (a.size() != chart::kPatches || b.size() != chart::kPatches)
        return QStringLiteral("n/a");
    int most = -1, where = 0;
    for (int p = 0; p < chart::kPatches; ++p) {
        const int d = std::max(
            {std::abs(a[p].r - b[p].r), std::abs(a[p].g - b[p].g), std::abs(a[p].b - b[p].b)});
        if (d > most) {
            most = d;
            where = p;
        }
    }
    return QStringLiteral("%1 (patch %2)").arg(most).arg(where);
}

QString rgb(const chart::Rgb& c) { return QStringLiteral("%1,%2,%3").arg(c.r).arg(c.g).arg(c.b); }

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    FILE* table = fdopen(dup(fileno(stdout)), "w");
    if (!table || !std::freopen("/dev/null", "w", stdout))
        return 1;
    qInstallMessageHandler(quiet);
    qputenv("SPINDRA_MPV_AO", "null");
    QString keep;
    QStringList only;
    const bool verbose = app.arguments().contains(QStringLiteral("--verbose"));
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--keep"))
            keep = args.at(i + 1);
        if (args.at(i) == QLatin1String("--kinds"))
            only = args.at(i + 1).split(QLatin1Char(','));
    }
    QTemporaryDir scratch;
    const QString work = keep.isEmpty() ? scratch.path() : keep;
    QDir().mkpath(work);
    qputenv("TMPDIR", QDir(work).filePath(QStringLiteral("tmp")).toUtf8());
    QDir().mkpath(QDir(work).filePath(QStringLiteral("tmp")));

    std::fprintf(table, "%-20s %-16s %-16s  %s\n", "kind", "prev-eng", "view-file",
                 "white, grey, red, orange: engine | preview | file | fan view");
    const int size = 4 * kLights;
    // Charts made elsewhere (--file PATH, as many as given) are measured as
    // the first kind, a PNG.
    QStringList files;
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--file"))
            files << args.at(i + 1);
    }
    QList<chart::Kind> kinds = chart::allKinds();
    if (!files.isEmpty()) {
        kinds.clear();
        for (int i = 0; i < files.size(); ++i)
            kinds << chart::Kind::Png;
    }
    for (int k = 0; k < kinds.size(); ++k) {
        const chart::Kind kind = kinds.at(k);
        const chart::Chart& c = chart::chartOf(kind);
        if (files.isEmpty() &&
            (kind == chart::Kind::Heic ||
             (!only.isEmpty() && !only.contains(QString::fromLatin1(c.name)))))
            continue;
        const QString path = files.isEmpty() ? chart::makeChart(work, kind) : files.at(k);
        const MediaFacts facts = MediaProbe::probe(path);
        if (!facts.hasPicture()) {
            std::fprintf(table, "%-20s cannot read: %s\n", c.name, qPrintable(facts.reason));
            continue;
        }
        const Samples engine = enginePicture(path, facts, work);
        const QImage shown = previewFrame(path, facts);
        const Samples preview = sample(shown, QRectF(0, 0, shown.width(), shown.height()));

        // The framing square of a picture framed whole: its longer side across.
        const double side = std::max(shown.width(), shown.height());
        const QRectF square((shown.width() - side) / 2, (shown.height() - side) / 2, side, side);
        FanViewRenderer view;
        FanViewParams params;
        params.lights = kLights;
        params.lines = kLines;
        params.colorDeep = kDeep;
        view.setParams(params);
        const QImage fanView = view.render(shown, square, size);
        const QImage file = convertedFrame(path, facts, work, size);
        // The disc's pixels at the patches: the picture's longer side spans it.
        const double w = facts.width, h = facts.height, longer = std::max(w, h);
        const QRectF onDisc(size * (1 - w / longer) / 2, size * (1 - h / longer) / 2,
                            size * w / longer, size * h / longer);
        const Samples viewed = fanView.isNull() ? Samples() : sample(fanView, onDisc);
        const Samples written = file.isNull() ? Samples() : sample(file, onDisc);
        if (!keep.isEmpty()) {
            const QString name = QDir(work).filePath(QString::fromLatin1(c.name).replace(' ', '-'));
            shown.save(name + QStringLiteral("-preview.png"));
            fanView.save(name + QStringLiteral("-fanview.png"));
            file.save(name + QStringLiteral("-file.png"));
        }
        if (verbose) {
            QStringList all;
            for (int p = 0; p < chart::kPatches; ++p)
                all << QStringLiteral("%1:%2|%3")
                           .arg(p)
                           .arg(p < engine.size() ? rgb(engine[p]) : QStringLiteral("-"),
                                p < preview.size() ? rgb(preview[p]) : QStringLiteral("-"));
            std::fprintf(table, "  engine|preview %s\n", qPrintable(all.join(QLatin1Char(' '))));
        }

        QString detail;
        for (const int p : {0, 1, 3, 10}) {
            const auto at = [p](const Samples& s) {
                return s.size() > p ? rgb(s[p]) : QStringLiteral("-");
            };
            detail += QStringLiteral(" %1|%2|%3|%4")
                          .arg(at(engine), at(preview), at(written), at(viewed));
        }
        const QString label =
            files.isEmpty() ? QString::fromLatin1(c.name) : QFileInfo(path).fileName();
        std::fprintf(table, "%-20s %-16s %-16s %s\n", qPrintable(label),
                     qPrintable(worst(preview, engine)), qPrintable(worst(viewed, written)),
                     qPrintable(detail));
        std::fflush(table);
    }
    return 0;
}
