#include "MediaProbe.h"

#include "FfmpegRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QtEndian>

#include <cmath>
#include <utility>

namespace {

// What ffprobe is asked for: the container, every stream, and the first few
// decoded frames (a photo's EXIF orientation and interlacing are frame facts).
const char* const kEntries =
    "format=format_name,duration"
    ":stream=index,codec_type,codec_name,width,height,pix_fmt,field_order,color_range,"
    "color_space,color_transfer,color_primaries,nb_frames,duration"
    ":stream_disposition=attached_pic:stream_tags=rotate"
    ":stream_side_data=rotation,displaymatrix"
    ":frame=stream_index,media_type,interlaced_frame:frame_tags=Orientation"
    ":frame_side_data=rotation,displaymatrix";

// Frames are read from at most this many packets at the start of the file.
const char* const kReadIntervals = "%+#4";

QString tag(const QJsonObject& o, const char* key)
{
    const QString v = o.value(QLatin1String(key)).toString();
    return v == QLatin1String("unknown") ? QString() : v;
}

// A number that ffprobe writes as a string ("2.000000", "N/A") or as a number.
double number(const QJsonValue& v)
{
    if (v.isDouble())
        return v.toDouble();
    bool ok = false;
    const double d = v.toString().trimmed().toDouble(&ok);
    return ok && std::isfinite(d) ? d : 0.0;
}

bool hasAlphaFormat(const QString& f)
{
    static const QStringList exact {QStringLiteral("argb"), QStringLiteral("rgba"),
                                    QStringLiteral("abgr"), QStringLiteral("bgra")};
    static const QStringList prefixes {QStringLiteral("yuva"),   QStringLiteral("ya"),
                                       QStringLiteral("gbrap"),  QStringLiteral("rgba64"),
                                       QStringLiteral("bgra64"), QStringLiteral("ayuv")};
    if (exact.contains(f))
        return true;
    for (const QString& p : prefixes) {
        if (f.startsWith(p))
            return true;
    }
    return false;
}

bool isYuvFormat(const QString& f)
{
    static const QStringList prefixes {
        QStringLiteral("yuv"),  QStringLiteral("yuyv"), QStringLiteral("uyvy"),
        QStringLiteral("yvyu"), QStringLiteral("nv"),   QStringLiteral("p01"),
        QStringLiteral("p21"),  QStringLiteral("p41"),  QStringLiteral("y21"),
        QStringLiteral("ayuv"), QStringLiteral("vuy"),  QStringLiteral("xv3")};
    for (const QString& p : prefixes) {
        if (f.startsWith(p))
            return true;
    }
    return false;
}

// How a picture is turned for showing, from a display matrix: mirrored
// left-right first when the matrix mirrors, then turned clockwise.
struct Turn {
    int rotation = 0; // clockwise degrees, 0..359
    bool mirrored = false;
    bool known = false;
};

constexpr double kPi = 3.14159265358979323846;

int normalised(double degrees)
{
    const long turned = std::lround(degrees);
    return int(((turned % 360) + 360) % 360);
}

// ffprobe prints the matrix as three rows "\n0000000k: a b u"; the first two
// numbers of the first two rows map a stored pixel (x, y) to the shown one
// (a x + c y, b x + d y), rows counted downward.
Turn turnFromMatrix(const QString& text)
{
    static const QRegularExpression row(
        QStringLiteral("^\\s*[0-9a-fA-F]+:\\s*(-?\\d+)\\s+(-?\\d+)\\s+(-?\\d+)\\s*$"),
        QRegularExpression::MultilineOption);
    QList<double> v;
    auto it = row.globalMatch(text);
    while (it.hasNext() && v.size() < 6) {
        const QRegularExpressionMatch m = it.next();
        v << m.captured(1).toDouble() << m.captured(2).toDouble() << m.captured(3).toDouble();
    }
    Turn t;
    if (v.size() < 6)
        return t;
    const double a = v[0], b = v[1], c = v[3], d = v[4];
    if (a == 0 && b == 0)
        return t;
    t.known = true;
    t.mirrored = a * d - b * c < 0;
    // Undoing the mirror (x -> -x) leaves a pure turn.
    const double ra = t.mirrored ? -a : a, rb = t.mirrored ? -b : b;
    t.rotation = normalised(std::atan2(rb, ra) * 180.0 / kPi);
    return t;
}

// The turn a stream or frame carries in its side data: the display matrix,
// or its rotation alone (counter-clockwise, as ffprobe prints it).
Turn turnFromSideData(const QJsonObject& owner)
{
    for (const QJsonValue& entry : owner.value(QStringLiteral("side_data_list")).toArray()) {
        const QJsonObject side = entry.toObject();
        Turn t = turnFromMatrix(side.value(QStringLiteral("displaymatrix")).toString());
        if (t.known)
            return t;
        const QJsonValue rotation = side.value(QStringLiteral("rotation"));
        if (rotation.isDouble() && std::isfinite(rotation.toDouble())) {
            t.rotation = normalised(-rotation.toDouble());
            t.known = true;
            return t;
        }
    }
    return Turn();
}

bool quarterTurn(int rotation) { return rotation == 90 || rotation == 270; }

// The last thing ffprobe said, without the file name it starts with.
QString lastError(const QByteArray& err, const QString& path)
{
    QString line = QString::fromLocal8Bit(err).trimmed().section(QLatin1Char('\n'), -1).trimmed();
    for (const QString& prefix :
         {QFileInfo(path).absoluteFilePath() + QStringLiteral(": "), path + QStringLiteral(": ")}) {
        if (line.startsWith(prefix))
            line = line.mid(prefix.size());
    }
    return line;
}

QByteArray head(const QString& path, qint64 bytes)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(bytes) : QByteArray();
}

// A HEIF photo (HEIC from phones), by the brand of its ISO file box.
bool isHeif(const QString& path)
{
    const QByteArray d = head(path, 12);
    if (d.size() < 12 || d.mid(4, 4) != "ftyp")
        return false;
    static const QList<QByteArray> brands {"heic", "heix", "hevc", "hevx", "heim",
                                           "heis", "hevm", "hevs", "mif1", "msf1"};
    return brands.contains(d.mid(8, 4));
}

// Whether the first frame of a GIF has a transparent colour: its graphic
// control extension, which comes before its image, says so.
bool gifTransparent(const QString& path)
{
    const QByteArray d = head(path, 1 << 20);
    const auto u8 = [&d](int at) { return at < d.size() ? int(uchar(d.at(at))) : -1; };
    if (d.size() < 13 || !d.startsWith("GIF"))
        return false;
    int at = 13;
    if (u8(10) & 0x80)
        at += 3 * (1 << ((u8(10) & 0x07) + 1));
    while (at < d.size()) {
        const int block = u8(at);
        if (block != 0x21)
            return false; // the first image (0x2c), the end, or damage
        const int label = u8(at + 1);
        if (label == 0xf9 && u8(at + 2) == 4)
            return (u8(at + 3) & 0x01) != 0;
        at += 2;
        for (int size = u8(at); size > 0; size = u8(at))
            at += size + 1;
        if (u8(at) < 0)
            return false;
        ++at;
    }
    return false;
}

// Whether a PNG has a transparency chunk (which gives a palette picture, or a
// colour taken as transparent, its alpha) before its image data.
bool pngTransparent(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.read(8) != QByteArray("\x89PNG\r\n\x1a\n", 8))
        return false;
    for (int chunks = 0; chunks < 4096; ++chunks) {
        const QByteArray header = f.read(8);
        if (header.size() < 8)
            return false;
        const quint32 length = qFromBigEndian<quint32>(header.constData());
        const QByteArray type = header.mid(4, 4);
        if (type == "tRNS")
            return true;
        if (type == "IDAT" || type == "IEND")
            return false;
        if (!f.seek(f.pos() + qint64(length) + 4))
            return false;
    }
    return false;
}

// Facts that only the file's bytes tell.
void addFileFacts(const QString& path, MediaFacts& facts)
{
    if (facts.kind == MediaKind::Unreadable) {
        facts.heifPhoto = isHeif(path);
        if (facts.heifPhoto)
            facts.reason = QStringLiteral("a HEIC photo, which the installed FFmpeg cannot read; "
                                          "save it as JPEG and choose that");
        return;
    }
    if (!facts.hasPicture())
        return;
    // The GIF decoder always hands out bgra, and a palette keeps its alpha
    // in the palette: both say nothing until the file is read.
    if (facts.codec == QLatin1String("gif"))
        facts.hasAlpha = gifTransparent(path);
    else if (facts.pixelFormat == QLatin1String("pal8"))
        facts.hasAlpha = facts.codec == QLatin1String("png") && pngTransparent(path);
}

MediaFacts unreadable(const QString& reason)
{
    MediaFacts facts;
    facts.reason = reason;
    return facts;
}

// The facts from one finished ffprobe run.
MediaFacts factsFromRun(const QString& path, const QByteArray& out, const QByteArray& err,
                        bool exitedWell)
{
    MediaFacts facts = MediaProbe::parse(out);
    if (!exitedWell && facts.readable()) {
        // A run that failed says nothing reliable, whatever it printed.
        facts = MediaFacts();
    }
    if (!facts.readable() && (facts.reason.isEmpty() || !exitedWell)) {
        const QString said = lastError(err, path);
        facts.reason = said.isEmpty() ? QStringLiteral("not a media file FFmpeg can read") : said;
    }
    addFileFacts(path, facts);
    return facts;
}

QString absolute(const QString& path) { return QFileInfo(path).absoluteFilePath(); }

} // namespace

MediaProbe::MediaProbe(QObject* parent)
    : QObject(parent)
{
    qRegisterMetaType<MediaFacts>("MediaFacts");
}

MediaProbe::~MediaProbe() { abort(); }

QStringList MediaProbe::arguments(const QString& path)
{
    // An absolute path never starts with "-", so it is never taken for an
    // option.
    return {QStringLiteral("-v"),
            QStringLiteral("error"),
            QStringLiteral("-read_intervals"),
            QLatin1String(kReadIntervals),
            QStringLiteral("-show_entries"),
            QLatin1String(kEntries),
            QStringLiteral("-of"),
            QStringLiteral("json"),
            absolute(path)};
}

MediaFacts MediaProbe::parse(const QByteArray& json)
{
    MediaFacts facts;
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(json, &error).object();
    const QJsonArray streams = root.value(QStringLiteral("streams")).toArray();
    if (error.error != QJsonParseError::NoError || streams.isEmpty()) {
        facts.reason = QStringLiteral("not a media file FFmpeg can read");
        return facts;
    }
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    facts.formatName = format.value(QStringLiteral("format_name")).toString();
    facts.duration = number(format.value(QStringLiteral("duration")));

    // The picture is the first video stream that is not an attached picture
    // and has a size; a song's cover only stands in when there is none.
    QJsonObject picture, cover;
    double soundDuration = 0.0;
    for (const QJsonValue& v : streams) {
        const QJsonObject s = v.toObject();
        const QString type = s.value(QStringLiteral("codec_type")).toString();
        if (type == QLatin1String("audio")) {
            facts.hasSound = true;
            soundDuration = qMax(soundDuration, number(s.value(QStringLiteral("duration"))));
            continue;
        }
        if (type != QLatin1String("video") || s.value(QStringLiteral("width")).toInt() <= 0 ||
            s.value(QStringLiteral("height")).toInt() <= 0)
            continue;
        const bool attached = s.value(QStringLiteral("disposition"))
                                  .toObject()
                                  .value(QStringLiteral("attached_pic"))
                                  .toInt() == 1;
        if (attached && cover.isEmpty())
            cover = s;
        else if (!attached && picture.isEmpty())
            picture = s;
    }
    facts.hasCover = !cover.isEmpty() && facts.hasSound;
    const QJsonObject stream = picture.isEmpty() ? cover : picture;

    if (stream.isEmpty()) {
        if (facts.hasSound) {
            facts.kind = MediaKind::SoundOnly;
            facts.reason = QStringLiteral("it has sound but no picture");
            if (facts.duration <= 0.0)
                facts.duration = soundDuration;
        } else {
            facts.reason = QStringLiteral("it has no picture and no sound");
        }
        return facts;
    }

    facts.codec = stream.value(QStringLiteral("codec_name")).toString();
    facts.pixelFormat = stream.value(QStringLiteral("pix_fmt")).toString();
    facts.storedWidth = stream.value(QStringLiteral("width")).toInt();
    facts.storedHeight = stream.value(QStringLiteral("height")).toInt();
    facts.frameCount = int(number(stream.value(QStringLiteral("nb_frames"))));
    facts.fieldOrder = tag(stream, "field_order");
    facts.colorTransfer = tag(stream, "color_transfer");
    facts.colorPrimaries = tag(stream, "color_primaries");
    facts.colorMatrix = tag(stream, "color_space");
    facts.colorRange = tag(stream, "color_range");
    facts.pictureDuration = number(stream.value(QStringLiteral("duration")));
    if (facts.duration <= 0.0)
        facts.duration = qMax(facts.pictureDuration, soundDuration);

    // The first decoded frame of the picture: a photo's orientation and the
    // interlacing flag live there.
    const int index = stream.value(QStringLiteral("index")).toInt(-1);
    QJsonObject frame;
    for (const QJsonValue& v : root.value(QStringLiteral("frames")).toArray()) {
        if (v.toObject().value(QStringLiteral("stream_index")).toInt(-2) == index) {
            frame = v.toObject();
            break;
        }
    }
    const QJsonObject frameTags = frame.value(QStringLiteral("tags")).toObject();
    const int orientation = frameTags.value(QStringLiteral("Orientation")).toString().toInt();
    facts.exifOrientation = orientation >= 1 && orientation <= 8 ? orientation : 0;

    // The turn: the stream's display matrix (videos), else the frame's (a
    // photo's EXIF orientation), else the old "rotate" tag (clockwise).
    Turn turn = turnFromSideData(stream);
    if (!turn.known)
        turn = turnFromSideData(frame);
    if (!turn.known) {
        bool ok = false;
        const double degrees = stream.value(QStringLiteral("tags"))
                                   .toObject()
                                   .value(QStringLiteral("rotate"))
                                   .toString()
                                   .toDouble(&ok);
        if (ok && std::isfinite(degrees))
            turn.rotation = normalised(degrees);
    }
    facts.rotation = turn.rotation;
    facts.mirrored = turn.mirrored;
    // A quarter turn swaps the sides; FFmpeg turns other angles inside the
    // stored size.
    facts.width = quarterTurn(facts.rotation) ? facts.storedHeight : facts.storedWidth;
    facts.height = quarterTurn(facts.rotation) ? facts.storedWidth : facts.storedHeight;

    static const QStringList fieldOrders {QStringLiteral("tt"), QStringLiteral("bb"),
                                          QStringLiteral("tb"), QStringLiteral("bt")};
    facts.interlaced = fieldOrders.contains(facts.fieldOrder) ||
        frame.value(QStringLiteral("interlaced_frame")).toInt() == 1;
    facts.hasAlpha = hasAlphaFormat(facts.pixelFormat);
    facts.yuv = isYuvFormat(facts.pixelFormat);
    if (facts.colorTransfer == QLatin1String("arib-std-b67"))
        facts.hdr = HdrTransfer::Hlg;
    else if (facts.colorTransfer == QLatin1String("smpte2084"))
        facts.hdr = HdrTransfer::Pq;

    // Picture formats hold stills, or an animation when they hold more than
    // one frame; containers hold clips.
    const bool pictureFormat = facts.formatName == QLatin1String("image2") ||
        facts.formatName.endsWith(QLatin1String("_pipe")) ||
        facts.formatName == QLatin1String("gif");
    facts.animated = pictureFormat && facts.frameCount > 1;
    if (picture.isEmpty())
        facts.kind = facts.hasSound ? MediaKind::SongWithCover : MediaKind::Still;
    else if (pictureFormat)
        facts.kind = facts.animated ? MediaKind::Clip : MediaKind::Still;
    else
        facts.kind = facts.frameCount == 1 ? MediaKind::Still : MediaKind::Clip;
    return facts;
}

MediaFacts MediaProbe::probe(const QString& path, int timeoutMs)
{
    QProcess p;
    p.start(FfmpegRunner::defaultFfprobePath(), arguments(path));
    if (!p.waitForStarted())
        return unreadable(QStringLiteral("cannot run ffprobe (%1)").arg(p.errorString()));
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return unreadable(QStringLiteral("ffprobe did not answer"));
    }
    const bool well = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return factsFromRun(path, p.readAllStandardOutput(), p.readAllStandardError(), well);
}

void MediaProbe::start(const QString& path)
{
    abort();
    probedPath = path;
    process = new QProcess(this);
    timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] {
        // The process's own end follows the kill and reports.
        timer->deleteLater();
        timer = nullptr;
        process->kill();
    });
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &MediaProbe::onProcessEnded);
    // A program that cannot start is reported from the event loop, never from
    // inside start().
    QProcess* p = process;
    connect(process, &QProcess::errorOccurred, this, [this, p](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            QTimer::singleShot(0, p, [this, p] {
                if (process == p)
                    onProcessEnded();
            });
    });
    process->start(FfmpegRunner::defaultFfprobePath(), arguments(path));
    timer->start(timeoutMs);
}

void MediaProbe::abort()
{
    if (timer) {
        timer->stop();
        timer->deleteLater();
        timer = nullptr;
    }
    if (process) {
        process->disconnect(this);
        process->kill();
        process->waitForFinished(1000);
        process->deleteLater();
        process = nullptr;
    }
}

void MediaProbe::onProcessEnded()
{
    if (!process)
        return;
    QProcess* p = std::exchange(process, nullptr);
    p->disconnect(this);
    p->deleteLater();
    const bool timedOut = !timer;
    if (timer) {
        timer->stop();
        timer->deleteLater();
        timer = nullptr;
    }
    MediaFacts facts;
    if (p->error() == QProcess::FailedToStart)
        facts = unreadable(QStringLiteral("cannot run ffprobe (%1)").arg(p->errorString()));
    else if (timedOut)
        facts = unreadable(QStringLiteral("ffprobe did not answer"));
    else
        facts = factsFromRun(probedPath, p->readAllStandardOutput(), p->readAllStandardError(),
                             p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0);
    emit finished(facts);
}

const QStringList& MediaProbe::videoSuffixes()
{
    static const QStringList suffixes {QStringLiteral("mp4"), QStringLiteral("avi"),
                                       QStringLiteral("mkv"), QStringLiteral("mov")};
    return suffixes;
}

const QStringList& MediaProbe::imageSuffixes()
{
    static const QStringList suffixes {QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                       QStringLiteral("png"), QStringLiteral("bmp"),
                                       QStringLiteral("gif")};
    return suffixes;
}

const QStringList& MediaProbe::mediaSuffixes()
{
    static const QStringList suffixes = videoSuffixes() + imageSuffixes();
    return suffixes;
}

bool MediaProbe::hasVideoSuffix(const QString& path)
{
    return videoSuffixes().contains(QFileInfo(path).suffix().toLower());
}

bool MediaProbe::hasMediaSuffix(const QString& path)
{
    return mediaSuffixes().contains(QFileInfo(path).suffix().toLower());
}

bool MediaProbe::treatAsVideo(const QString& path, const MediaFacts& facts)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (videoSuffixes().contains(suffix))
        return true;
    // An animated GIF moves and a song has a length, whatever their names.
    if (facts.kind == MediaKind::Clip || facts.kind == MediaKind::SongWithCover)
        return true;
    if (imageSuffixes().contains(suffix) || facts.kind == MediaKind::Still)
        return false;
    return !(facts.formatName == QLatin1String("image2") ||
             facts.formatName.endsWith(QLatin1String("_pipe"))) &&
        facts.duration > 0.0;
}
