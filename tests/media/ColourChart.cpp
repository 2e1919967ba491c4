#include "ColourChart.h"

#include "ExifOrientation.h"
#include "MediaTestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QtGlobal>

namespace chart {

namespace {

// White, grey, black, red; green, blue, yellow, magenta; cyan, dark grey,
// orange, light grey.
const Rgb kColours[kPatches] = {{255, 255, 255}, {128, 128, 128}, {0, 0, 0},     {255, 0, 0},
                                {0, 255, 0},     {0, 0, 255},     {255, 255, 0}, {255, 0, 255},
                                {0, 255, 255},   {64, 64, 64},    {255, 128, 0}, {192, 192, 192}};

// Opacities of the transparent kinds: opaque, half, a quarter, three
// quarters and fully transparent patches, the transparent ones over bright
// hidden colours.
const int kAlphas[kPatches] = {255, 255, 0, 0, 128, 255, 64, 0, 192, 255, 128, 0};

const Chart kCharts[] = {
    {Kind::Png, "PNG", 640, 480, false, false, false, false},
    {Kind::HdTagged, "1080p BT.709", 1920, 1080, false, false, false, false},
    {Kind::HdUntagged, "1080p untagged", 1920, 1080, false, false, false, false},
    {Kind::Uhd, "4K", 3840, 2160, false, false, false, false},
    {Kind::Hlg, "HLG", 1280, 720, true, false, false, false},
    {Kind::Pq, "PQ", 1280, 720, true, false, false, false},
    {Kind::AlphaPng, "PNG with alpha", 640, 480, false, true, false, false},
    {Kind::AlphaWebp, "WebP with alpha", 640, 480, false, true, false, false},
    {Kind::AnimatedGif, "animated GIF", 320, 240, false, false, true, false},
    {Kind::ExifJpeg, "EXIF-rotated JPEG", 640, 480, false, false, false, false},
    {Kind::GreyJpeg, "grey JPEG", 640, 480, false, false, false, true},
    {Kind::RotatedClip, "rotated clip", 640, 480, false, false, false, false},
    {Kind::Song, "song with cover", 640, 480, false, false, false, false},
    {Kind::Interlaced, "interlaced", 640, 480, false, false, false, false},
    {Kind::Truncated, "truncated clip", 640, 480, false, false, false, false},
    {Kind::Heic, "HEIC photo", 0, 0, false, false, false, false},
};

// The chart as a picture: RGB, or RGBA for the transparent kinds.
QImage picture(const Chart& c, int width, int height, bool second = false)
{
    QImage image(width, height, c.alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    const int channels = c.alpha ? 4 : 3;
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int patch = (y * kRows / height) * kColumns + x * kColumns / width;
            Rgb colour = patchColour(patch, second);
            if (c.grey)
                colour.r = colour.g = colour.b = greyLevel(colour);
            uchar* p = row + channels * x;
            p[0] = uchar(colour.r);
            p[1] = uchar(colour.g);
            p[2] = uchar(colour.b);
            if (c.alpha)
                p[3] = uchar(patchAlpha(c, patch));
        }
    }
    return image;
}

QString savePicture(const QImage& image, const QString& path)
{
    if (!image.save(path, "PNG")) {
        qWarning("cannot write %s", qPrintable(path));
        return QString();
    }
    return path;
}

bool ff(const QStringList& args) { return mediatest::ffmpeg(args); }

// RGB into the YUV of a clip: exact rounding, the matrix named.
QString toYuv(const char* matrix, const char* format = "yuv420p")
{
    return QStringLiteral("scale=out_color_matrix=%1:flags=accurate_rnd+full_chroma_int,format=%2")
        .arg(QLatin1String(matrix), QLatin1String(format));
}

// A one-second H.264 clip of a picture, losslessly coded.
QStringList h264(const QString& png, const QString& filter, int seconds = 1)
{
    return {"-loop",   "1",         "-framerate", "25",
            "-i",      png,         "-t",         QString::number(seconds),
            "-vf",     filter,      "-c:v",       "libx264",
            "-preset", "ultrafast", "-qp",        "0"};
}

QStringList tagged709()
{
    return {"-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"};
}

} // namespace

const Chart& chartOf(Kind kind)
{
    for (const Chart& c : kCharts) {
        if (c.kind == kind)
            return c;
    }
    return kCharts[0];
}

QList<Kind> allKinds()
{
    QList<Kind> kinds;
    for (const Chart& c : kCharts)
        kinds << c.kind;
    return kinds;
}

Rgb patchColour(int patch, bool second)
{
    return kColours[((second ? patch + 5 : patch) % kPatches + kPatches) % kPatches];
}

int patchAlpha(const Chart& chart, int patch) { return chart.alpha ? kAlphas[patch] : 255; }

int greyLevel(const Rgb& c) { return (299 * c.r + 587 * c.g + 114 * c.b + 500) / 1000; }

Rgb shownColour(const Chart& chart, int patch, bool second)
{
    Rgb c = patchColour(patch, second);
    if (chart.grey)
        c.r = c.g = c.b = greyLevel(c);
    const int a = patchAlpha(chart, patch);
    const auto over = [a](int v) { return (v * a + 127) / 255; };
    return {over(c.r), over(c.g), over(c.b)};
}

QPointF patchCentre(int patch)
{
    return QPointF((patch % kColumns + 0.5) / kColumns, (patch / kColumns + 0.5) / kRows);
}

QString makeChart(const QString& dir, Kind kind)
{
    const Chart& c = chartOf(kind);
    const QString base = QDir(dir).filePath(QString::fromLatin1(c.name).replace(' ', '-'));
    const auto made = [](bool ok, const QString& path) {
        if (!ok)
            qWarning("cannot make %s", qPrintable(path));
        return ok ? path : QString();
    };
    // The chart upright, and turned a quarter to the left for the kinds that
    // store it so and are shown turned back.
    const QString png = base + QStringLiteral("-chart.png");
    if (kind != Kind::Heic && savePicture(picture(c, c.width, c.height), png).isEmpty())
        return QString();

    switch (kind) {
    case Kind::Png:
    case Kind::AlphaPng:
        return png;
    case Kind::HdTagged:
    case Kind::Uhd: {
        const QString out = base + QStringLiteral(".mp4");
        return made(ff(h264(png, toYuv("bt709")) + tagged709() << out), out);
    }
    case Kind::HdUntagged: {
        const QString out = base + QStringLiteral(".mp4");
        return made(ff(h264(png, toYuv("bt709")) << out), out);
    }
    case Kind::Hlg:
    case Kind::Pq: {
        // SDR white at the reference white of HDR television (203 cd/m2),
        // as phones and players place it.
        const QString transfer =
            kind == Kind::Hlg ? QStringLiteral("arib-std-b67") : QStringLiteral("smpte2084");
        const QString out = base + QStringLiteral(".mp4");
        const QString filter =
            QStringLiteral("zscale=tin=bt709:pin=bt709:min=gbr:rin=full:t=linear:npl=203:p=bt2020,"
                           "format=gbrpf32le,zscale=t=%1:npl=203:m=bt2020nc:r=tv,"
                           "format=yuv420p10le")
                .arg(transfer);
        return made(
            ff({"-loop",
                "1",
                "-framerate",
                "25",
                "-i",
                png,
                "-t",
                "1",
                "-vf",
                filter,
                "-c:v",
                "libx265",
                "-preset",
                "ultrafast",
                "-x265-params",
                "log-level=error:crf=12:colorprim=bt2020:colormatrix=bt2020nc:transfer=" + transfer,
                "-color_primaries",
                "bt2020",
                "-color_trc",
                transfer,
                "-colorspace",
                "bt2020nc",
                out}),
            out);
    }
    case Kind::AlphaWebp: {
        const QString out = base + QStringLiteral(".webp");
        return made(ff({"-i", png, "-c:v", "libwebp", "-quality", "100", out}), out);
    }
    case Kind::AnimatedGif: {
        const QString second = base + QStringLiteral("-second.png");
        if (savePicture(picture(c, c.width, c.height, true), second).isEmpty())
            return QString();
        const QString out = base + QStringLiteral(".gif");
        return made(ff({"-loop", "1", "-t", "0.5", "-framerate", "10", "-i", png, "-loop", "1",
                        "-t", "0.5", "-framerate", "10", "-i", second, "-filter_complex",
                        "[0][1]concat=n=2,split[a][b];[a]palettegen[p];[b][p]paletteuse", out}),
                    out);
    }
    case Kind::GreyJpeg: {
        const QString out = base + QStringLiteral(".jpg");
        return made(picture(c, c.width, c.height)
                        .convertToFormat(QImage::Format_Grayscale8)
                        .save(out, "JPG", 100),
                    out);
    }
    case Kind::ExifJpeg: {
        const QString out = base + QStringLiteral(".jpg");
        return made(ff({"-i", png, "-vf", "transpose=cclock", "-q:v", "1", out}) &&
                        mediatest::addExifOrientation(out, 6),
                    out);
    }
    case Kind::RotatedClip: {
        const QString out = base + QStringLiteral(".mp4");
        return made(ff(h264(png, "transpose=cclock," + toYuv("bt709")) + tagged709() << out) &&
                        mediatest::rotateVideoQuarter(out),
                    out);
    }
    case Kind::Song: {
        const QString cover = base + QStringLiteral("-cover.jpg");
        const QString out = base + QStringLiteral(".mp3");
        return made(ff({"-i", png, "-q:v", "1", cover}) &&
                        ff({"-f", "lavfi", "-i", "sine=frequency=440:duration=2", "-i", cover,
                            "-map", "0:a", "-map", "1:v", "-c:a", "libmp3lame", "-c:v", "copy",
                            "-disposition:v", "attached_pic", "-id3v2_version", "3", out}),
                    out);
    }
    case Kind::Interlaced: {
        // Fields 1/50 s apart; the chart moves a third of its width from one
        // to the next, so that the two fields of a frame differ. It stands
        // upright in the second field (at 0.02 s), the picture that the
        // first of 20 frames a second keeps.
        const QString out = base + QStringLiteral(".mp4");
        const QString filter =
            QStringLiteral("[0][0]hstack,crop=w=%1:h=%2:x='mod((n+2)*%3,%1)':y=0,%4,"
                           "interlace=scan=tff:lowpass=0")
                .arg(c.width)
                .arg(c.height)
                .arg(c.width / 3)
                .arg(toYuv("bt601"));
        return made(ff({"-loop",
                        "1",
                        "-framerate",
                        "50",
                        "-i",
                        png,
                        "-t",
                        "1",
                        "-filter_complex",
                        filter,
                        "-c:v",
                        "libx264",
                        "-preset",
                        "ultrafast",
                        "-qp",
                        "0",
                        "-flags",
                        "+ildct+ilme",
                        "-x264-params",
                        "tff=1",
                        out}),
                    out);
    }
    case Kind::Truncated: {
        // The index at the front promises 6 s; 60 % of the file remains.
        const QString whole = base + QStringLiteral("-whole.mp4");
        const QString out = base + QStringLiteral(".mp4");
        if (!ff(h264(png, toYuv("bt601"), 6) << "-movflags"
                                             << "+faststart" << whole))
            return made(false, out);
        const QByteArray bytes = mediatest::readAll(whole);
        return made(mediatest::writeFile(out, bytes.left(bytes.size() * 6 / 10)), out);
    }
    case Kind::Heic: {
        const QString out = base + QStringLiteral(".heic");
        return made(mediatest::writeFile(out,
                                         QByteArray("\0\0\0\x18"
                                                    "ftypheic\0\0\0\0mif1heic",
                                                    24) +
                                             QByteArray(64, '\0')),
                    out);
    }
    }
    return QString();
}

} // namespace chart
