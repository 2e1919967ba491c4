#include "DecodeSteps.h"

QString formatClock(int seconds)
{
    const int hours = static_cast<int>(seconds / 3600.0);
    const int minutes = (seconds % 3600) / 60;
    const int secs = seconds % 60;
    const QChar zero(QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(hours, 2, 10, zero)
        .arg(minutes, 2, 10, zero)
        .arg(secs, 2, 10, zero);
}

namespace {

// The tone mapping of HDR pictures: linear light with the reference white of
// HDR television (203 cd/m2) at 1.0, BT.709 primaries, the highlights above
// 0.7 of it compressed (Mobius: what lies below stays as it is, so that an
// SDR picture in an HDR stream keeps its colours), then BT.709's transfer, in
// RGB. The preview tone-maps with the same curve.
const char* const kToneMapSteps = "zscale=t=linear:npl=203,format=gbrpf32le,zscale=p=bt709,"
                                  "tonemap=tonemap=mobius:param=0.7:desat=0,"
                                  "zscale=t=bt709:m=bt709:r=pc,format=gbrp";

// Readers that repeat a picture themselves with "-loop 1": pictures read as
// images (one file or a picture format's own reader).
bool readerLoops(const MediaFacts& facts)
{
    return facts.formatName == QLatin1String("image2") ||
        facts.formatName.endsWith(QLatin1String("_pipe"));
}

// Pictures wider than 1024 or taller than 576 pixels count as HD.
bool hdSize(const MediaFacts& facts)
{
    return facts.storedWidth > 1024 || facts.storedHeight > 576;
}

// Turning YUV into RGB: the colour interpolated to every pixel, exact
// rounding, and the matrix when the tag does not name it.
QString yuvToRgb(const QString& matrix)
{
    QString step = QStringLiteral("scale=flags=accurate_rnd+full_chroma_int");
    if (!matrix.isEmpty())
        step += QStringLiteral(":in_color_matrix=") + matrix;
    return step;
}

} // namespace

DecodeKind decodeKind(const MediaInfo& media, const MediaFacts& facts)
{
    if (!media.isVideo)
        return DecodeKind::Still;
    return facts.kind == MediaKind::SongWithCover ? DecodeKind::Cover : DecodeKind::Clip;
}

PictureSteps pictureSteps(const MediaFacts& facts, DecodeKind kind)
{
    PictureSteps steps;
    steps.loopStill = kind == DecodeKind::Cover ||
        (kind == DecodeKind::Still && !facts.formatName.isEmpty() && !readerLoops(facts));
    steps.deinterlace = facts.interlaced && kind == DecodeKind::Clip;
    steps.composite = facts.hasAlpha;
    steps.toneMap = facts.hdr;
    steps.yuv = facts.yuv;
    if (facts.yuv && facts.colorMatrix.isEmpty() && hdSize(facts))
        steps.matrix = QStringLiteral("bt709");
    return steps;
}

QString decodeFilterChain(const FrameChain& c)
{
    const PictureSteps& p = c.picture;
    // Scaled as YUV: exact rounding, since the colour is kept apart until the
    // end (a tone-mapped picture is YUV as well).
    const bool yuvScale = p.yuv && !p.composite;
    QStringList chain;
    if (p.loopStill)
        chain << QStringLiteral("loop=loop=-1:size=1") << QStringLiteral("setpts=N/20/TB");
    if (p.deinterlace)
        chain << QStringLiteral("bwdif=mode=send_field:deint=all");
    if (c.fpsFirst)
        chain << QStringLiteral("fps=20");
    if (p.composite) {
        // Premultiplied by its alpha, the picture is the picture over black.
        if (p.yuv)
            chain << yuvToRgb(p.matrix);
        chain << QStringLiteral("format=gbrap") << QStringLiteral("premultiply=inplace=1");
    }
    chain << QStringLiteral("scale=%1:%2:flags=%3")
                 .arg(c.width)
                 .arg(c.height)
                 .arg(yuvScale ? QStringLiteral("spline+accurate_rnd") : QStringLiteral("spline"));
    if (!c.fpsFirst)
        chain << QStringLiteral("fps=20");
    if (c.mirror)
        chain << QStringLiteral("hflip");
    if (c.bottomUp)
        chain << QStringLiteral("vflip");
    if (p.toneMap != HdrTransfer::None)
        chain << QLatin1String(kToneMapSteps);
    else if (yuvScale)
        chain << yuvToRgb(p.matrix);
    chain << QStringLiteral("format=bgr24");
    const FrameWindow& window = c.window;
    if (window.active) {
        chain << QStringLiteral("crop=%1:%2:%3:%4:exact=1")
                     .arg(window.cropWidth)
                     .arg(window.cropHeight)
                     .arg(window.cropX)
                     .arg(window.cropY);
        chain << QStringLiteral("pad=%1:%2:%3:%4:color=black")
                     .arg(window.width)
                     .arg(window.height)
                     .arg(window.padX)
                     .arg(window.padY);
    }
    return chain.join(QLatin1Char(','));
}

FrameChain jobFrameChain(const MediaInfo& media, const JobFrames& frames, const MediaFacts& facts,
                         bool fpsFirst)
{
    FrameChain chain;
    chain.width = frames.scaled.width;
    chain.height = frames.scaled.height;
    chain.mirror = media.hFlip;
    chain.bottomUp = !media.vFlip;
    chain.window = frames.window;
    chain.fpsFirst = fpsFirst;
    chain.picture = pictureSteps(facts, decodeKind(media, facts));
    return chain;
}

QStringList videoStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& filterChain, const QString& videoOutPath)
{
    return {QStringLiteral("-ss"),
            formatClock(startSeconds),
            QStringLiteral("-t"),
            QString::number(durationSeconds),
            QStringLiteral("-i"),
            inputPath,
            QStringLiteral("-vf"),
            filterChain,
            QStringLiteral("-r"),
            QStringLiteral("20"),
            QStringLiteral("-pix_fmt"),
            QStringLiteral("bgr24"),
            QStringLiteral("-f"),
            QStringLiteral("rawvideo"),
            videoOutPath};
}

QStringList audioStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               const QString& audioOutPath)
{
    // "-f u8" names the raw sample format: FFmpeg would otherwise pick a muxer
    // from the ".pcm" ending, and some builds map that to one that refuses
    // unsigned 8-bit samples.
    return {QStringLiteral("-ss"),    formatClock(startSeconds),
            QStringLiteral("-t"),     QString::number(durationSeconds),
            QStringLiteral("-i"),     inputPath,
            QStringLiteral("-vn"),    QStringLiteral("-c:a"),
            QStringLiteral("pcm_u8"), QStringLiteral("-ar"),
            QStringLiteral("32000"),  QStringLiteral("-ac"),
            QStringLiteral("1"),      QStringLiteral("-f"),
            QStringLiteral("u8"),     audioOutPath};
}

QStringList imageStepArguments(const QString& inputPath, const QString& filterChain,
                               const QString& videoOutPath, bool loopOption)
{
    QStringList loop;
    if (loopOption)
        loop << QStringLiteral("-loop") << QStringLiteral("1");
    return loop +
        QStringList {QStringLiteral("-i"),
                     inputPath,
                     QStringLiteral("-vf"),
                     filterChain,
                     QStringLiteral("-r"),
                     QStringLiteral("20"),
                     QStringLiteral("-frames:v"),
                     QStringLiteral("2"),
                     QStringLiteral("-pix_fmt"),
                     QStringLiteral("bgr24"),
                     QStringLiteral("-f"),
                     QStringLiteral("rawvideo"),
                     videoOutPath};
}

QStringList videoAndSoundStepArguments(const QString& inputPath, int startSeconds,
                                       int durationSeconds, const QString& filterChain,
                                       const QString& videoOutPath, const QString& audioOutPath)
{
    QStringList video =
        videoStepArguments(inputPath, startSeconds, durationSeconds, filterChain, videoOutPath);
    // The video output's format and file stay last; its sound is off.
    video.insert(video.size() - 3, QStringLiteral("-an"));
    const QStringList sound =
        audioStepArguments(inputPath, startSeconds, durationSeconds, audioOutPath);
    // The sound step's output options: everything after its input
    // ("-ss", start, "-t", length, "-i", input).
    return video + sound.mid(6);
}

QStringList coverStepArguments(const QString& inputPath, int startSeconds, int durationSeconds,
                               qint64 frames, const QString& filterChain,
                               const QString& videoOutPath, const QString& audioOutPath)
{
    const QStringList sound =
        audioStepArguments(inputPath, startSeconds, durationSeconds, audioOutPath);
    return QStringList {QStringLiteral("-i"),        inputPath,
                        QStringLiteral("-ss"),       formatClock(startSeconds),
                        QStringLiteral("-t"),        QString::number(durationSeconds),
                        QStringLiteral("-i"),        inputPath,
                        QStringLiteral("-map"),      QStringLiteral("0:v:0"),
                        QStringLiteral("-vf"),       filterChain,
                        QStringLiteral("-r"),        QStringLiteral("20"),
                        QStringLiteral("-frames:v"), QString::number(frames),
                        QStringLiteral("-an"),       QStringLiteral("-pix_fmt"),
                        QStringLiteral("bgr24"),     QStringLiteral("-f"),
                        QStringLiteral("rawvideo"),  videoOutPath,
                        QStringLiteral("-map"),      QStringLiteral("1:a:0")} +
        sound.mid(6);
}
