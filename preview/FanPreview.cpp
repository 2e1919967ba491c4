#include "FanPreview.h"

#include "fan_file.h"
#include "fan_render.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr int kMaxSheetTiles = 25;
constexpr int kSheetGap = 4;
constexpr qint64 kPipeHighWater = 8 * 1024 * 1024; // bytes queued for FFmpeg before waiting
constexpr int kFfmpegWaitMs = 120000;              // no progress for this long: give up

QString geometryText(const FanGeometry& g)
{
    return QStringLiteral("lines %1, lights %2, colour depth %3")
        .arg(g.lines)
        .arg(g.lights)
        .arg(g.colorDeep);
}

// Contact sheet labels need only digits, ':' and '.', so they come from this
// 3 x 5 pixel font rather than from the system's fonts (which would need a
// GUI platform, something a command-line tool should not depend on).
const char* glyph(QChar c)
{
    static const char* const digits[10] = {
        "111101101101111", "010110010010111", "111001111100111", "111001111001111",
        "101101111001001", "111100111001111", "111100111101111", "111001001001001",
        "111101111101111", "111101111001111",
    };
    if (c.isDigit())
        return digits[c.digitValue()];
    if (c == QLatin1Char(':'))
        return "000010000010000";
    if (c == QLatin1Char('.'))
        return "000000000000010";
    return "000000000000000";
}

// Draws text at (x, y) in pixels of `scale` x `scale`, on a dark backing.
void drawLabel(QImage& image, int x, int y, int scale, const QString& text, QRgb colour)
{
    const int advance = 4 * scale;
    const int width = text.size() * advance + scale, height = 7 * scale;
    for (int j = qMax(0, y); j < qMin(image.height(), y + height); j++) {
        for (int i = qMax(0, x); i < qMin(image.width(), x + width); i++)
            image.setPixel(i, j, qRgb(0, 0, 0));
    }
    for (int n = 0; n < text.size(); n++) {
        const char* bits = glyph(text.at(n));
        for (int row = 0; row < 5; row++) {
            for (int col = 0; col < 3; col++) {
                if (bits[row * 3 + col] != '1')
                    continue;
                const int px = x + scale + n * advance + col * scale, py = y + scale + row * scale;
                for (int j = py; j < py + scale && j < image.height(); j++) {
                    for (int i = px; i < px + scale && i < image.width(); i++)
                        image.setPixel(i, j, colour);
                }
            }
        }
    }
}

// Copies `tile` into `sheet` with its top-left corner at (x, y).
void placeTile(QImage& sheet, const QImage& tile, int x, int y)
{
    for (int j = 0; j < tile.height(); j++)
        std::memcpy(sheet.scanLine(y + j) + 3 * x, tile.constScanLine(j), size_t(tile.width()) * 3);
}

bool isEmptyBlock(const QByteArray& block)
{
    for (char c : block) {
        if (c != 0)
            return false;
    }
    return true;
}

} // namespace

FanPreview::FanPreview() = default;

FanPreview::~FanPreview() { close(); }

void FanPreview::close()
{
    if (file) {
        fan_file_close(file.get());
        file.reset();
    }
    fan_render_plan_free(plan);
    plan = nullptr;
    frames = 0;
}

int FanPreview::defaultSize(int lights)
{
    return lights > 0 ? int(fan_render_default_size(uint32_t(lights))) : 0;
}

bool FanPreview::open(const QString& path, const FanGeometry& geometry, QString* error)
{
    close();
    geo = geometry;
    filePath = path;
    if (geometry.lights <= 0 || geometry.lines <= 0 || geometry.colorDeep < 1 ||
        geometry.colorDeep > 8) {
        *error =
            QStringLiteral(
                "invalid geometry (%1): lines and lights must be positive, colour depth 1 to 8")
                .arg(geometryText(geometry));
        return false;
    }

    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("%1: is a folder, not a fan file").arg(path);
        return false;
    }
    file.reset(new fan_file);
    std::memset(file.get(), 0, sizeof(fan_file));
    errno = 0;
    const int status =
        fan_file_open(file.get(), path.toUtf8().constData(), uint32_t(geometry.lines),
                      uint32_t(geometry.lights), uint32_t(geometry.colorDeep));
    if (status != FAN_FILE_OK) {
        const int err = errno;
        file.reset();
        switch (status) {
        case FAN_FILE_ERR_IO:
            *error = QStringLiteral("%1: cannot read the file (%2)")
                         .arg(path,
                              err ? QString::fromLocal8Bit(std::strerror(err))
                                  : QStringLiteral("read error"));
            break;
        case FAN_FILE_ERR_SIZE:
            *error = QStringLiteral("%1: not a fan file, or truncated (its size is not a positive "
                                    "multiple of 28800 bytes)")
                         .arg(path);
            break;
        case FAN_FILE_ERR_HEADER:
            *error =
                QStringLiteral("%1: not a fan file (the 812-byte header does not match)").arg(path);
            break;
        case FAN_FILE_ERR_PADDING:
            *error =
                QStringLiteral(
                    "%1: the frames do not fit %2; the file is made for another model, or damaged")
                    .arg(path, geometryText(geometry));
            break;
        case FAN_FILE_ERR_GEOMETRY:
            *error = QStringLiteral("invalid geometry (%1)").arg(geometryText(geometry));
            break;
        case FAN_FILE_ERR_NOT_REGULAR:
            *error = QStringLiteral("%1: not a regular file (a FIFO, a device or a socket), not a "
                                    "fan file")
                         .arg(path);
            break;
        default:
            *error =
                QStringLiteral("%1: %2").arg(path, QString::fromUtf8(fan_file_status_text(status)));
            break;
        }
        return false;
    }

    const uint64_t count = file->frame_count_min > 0 ? file->frame_count_min : file->frame_count;
    if (count == 0) {
        *error =
            QStringLiteral(
                "%1: the file holds no frames (a conversion that failed before its first frame)")
                .arg(path);
        close();
        return false;
    }
    if (count > uint64_t(INT32_MAX)) {
        *error = QStringLiteral("%1: too many frames").arg(path);
        close();
        return false;
    }
    frames = int(count);
    light.resize(qsizetype(file->layout.light_bytes));
    leds.resize(qsizetype(uint64_t(geometry.lines) * uint64_t(geometry.lights) * 3));
    audio.resize(int(FAN_AUDIO_BLOCK));
    return true;
}

fan_render_plan* FanPreview::planFor(int size, QString* error)
{
    if (size <= 0 || uint32_t(size) > FAN_RENDER_MAX_SIZE) {
        *error =
            QStringLiteral("invalid size %1 (1 to %2 pixels)").arg(size).arg(FAN_RENDER_MAX_SIZE);
        return nullptr;
    }
    if (plan && fan_render_plan_size(plan) == uint32_t(size))
        return plan;
    fan_render_plan_free(plan);
    plan = fan_render_plan_create(uint32_t(geo.lines), uint32_t(geo.lights), uint32_t(size));
    if (!plan)
        *error = QStringLiteral("out of memory for a %1 x %1 picture").arg(size);
    return plan;
}

bool FanPreview::readFrame(int index, bool wantAudio, QString* error)
{
    if (!file) {
        *error = QStringLiteral("no fan file is open");
        return false;
    }
    if (index < 0 || index >= frames) {
        *error = QStringLiteral("%1: frame %2 does not exist (the file has %3 frames, 0 to %4)")
                     .arg(filePath)
                     .arg(index)
                     .arg(frames)
                     .arg(frames - 1);
        return false;
    }
    errno = 0;
    const int status =
        fan_file_read_frame(file.get(), uint64_t(index), reinterpret_cast<uint8_t*>(light.data()),
                            wantAudio ? reinterpret_cast<uint8_t*>(audio.data()) : nullptr);
    if (status != FAN_FILE_OK) {
        *error = QStringLiteral("%1: cannot read frame %2 (%3)")
                     .arg(filePath)
                     .arg(index)
                     .arg(errno ? QString::fromLocal8Bit(std::strerror(errno))
                                : QString::fromUtf8(fan_file_status_text(status)));
        return false;
    }
    return true;
}

QImage FanPreview::renderFrame(int index, int size, QString* error)
{
    fan_render_plan* p = planFor(size, error);
    if (!p || !readFrame(index, false, error))
        return QImage();
    const int status =
        fan_file_decode_frame(&file->layout, reinterpret_cast<const uint8_t*>(light.constData()),
                              reinterpret_cast<uint8_t*>(leds.data()));
    if (status == FAN_FILE_ERR_PAD_BITS) {
        // The writer always leaves the pad bits of every plane clear; set ones
        // mean the planes are read at the wrong offsets.
        *error = QStringLiteral("%1: frame %2 does not fit %3; the file is made for another model")
                     .arg(filePath)
                     .arg(index)
                     .arg(geometryText(geo));
        return QImage();
    }
    if (status != FAN_FILE_OK) {
        *error = QStringLiteral("%1: cannot decode frame %2 (%3)")
                     .arg(filePath)
                     .arg(index)
                     .arg(QString::fromUtf8(fan_file_status_text(status)));
        return QImage();
    }
    fan_render_expand_all(reinterpret_cast<uint8_t*>(leds.data()), size_t(leds.size()),
                          uint32_t(geo.colorDeep));

    QImage image(size, size, QImage::Format_RGB888);
    if (image.isNull()) {
        *error = QStringLiteral("out of memory for a %1 x %1 picture").arg(size);
        return QImage();
    }
    fan_render_frame(p, reinterpret_cast<const uint8_t*>(leds.constData()), image.bits(),
                     size_t(image.bytesPerLine()));
    return image;
}

QByteArray FanPreview::audioBlock(int index, QString* error)
{
    if (!readFrame(index, true, error))
        return QByteArray();
    return audio;
}

bool FanPreview::writeFrameImage(int index, int size, const QString& outPath, QString* error)
{
    const QImage image = renderFrame(index, size, error);
    if (image.isNull())
        return false;
    if (!image.save(outPath)) {
        *error = QStringLiteral("%1: cannot write the picture").arg(outPath);
        return false;
    }
    return true;
}

bool FanPreview::writeContactSheet(int every, int columns, int size, const QString& outPath,
                                   QString* error)
{
    if (!file) {
        *error = QStringLiteral("no fan file is open");
        return false;
    }
    if (every < 0 || columns < 0) {
        *error = QStringLiteral("--every and --columns must be positive");
        return false;
    }
    if (every == 0)
        every = (frames + kMaxSheetTiles - 1) / kMaxSheetTiles;
    if (every < 1)
        every = 1;
    const int tiles = (frames + every - 1) / every;
    if (columns == 0)
        columns = int(std::ceil(std::sqrt(double(tiles))));
    columns = qMin(columns, tiles);
    const int rows = (tiles + columns - 1) / columns;

    const qint64 width = qint64(columns) * size + qint64(columns + 1) * kSheetGap;
    const qint64 height = qint64(rows) * size + qint64(rows + 1) * kSheetGap;
    if (width > 32767 || height > 32767) {
        *error = QStringLiteral("the contact sheet would be %1 x %2 pixels; choose a larger "
                                "--every or a smaller --size")
                     .arg(width)
                     .arg(height);
        return false;
    }
    QImage sheet(int(width), int(height), QImage::Format_RGB888);
    if (sheet.isNull()) {
        *error = QStringLiteral("out of memory for a %1 x %2 contact sheet").arg(width).arg(height);
        return false;
    }
    sheet.fill(QColor(32, 32, 32));

    const int scale = qMax(1, size / 96);
    for (int n = 0; n < tiles; n++) {
        const int index = n * every;
        const QImage tile = renderFrame(index, size, error);
        if (tile.isNull())
            return false;
        const int x = kSheetGap + (n % columns) * (size + kSheetGap);
        const int y = kSheetGap + (n / columns) * (size + kSheetGap);
        placeTile(sheet, tile, x, y);
        // frame number and time, m:ss.cc
        const int centis = index * 100 / int(FAN_FRAME_RATE);
        const QString label = QStringLiteral("%1 %2:%3.%4")
                                  .arg(index)
                                  .arg(centis / 6000)
                                  .arg(centis / 100 % 60, 2, 10, QLatin1Char('0'))
                                  .arg(centis % 100, 2, 10, QLatin1Char('0'));
        drawLabel(sheet, x, y, scale, label, qRgb(210, 210, 210));
    }
    if (!sheet.save(outPath)) {
        *error = QStringLiteral("%1: cannot write the contact sheet").arg(outPath);
        return false;
    }
    return true;
}

QString FanPreview::defaultFfmpegPath()
{
    const QString fromEnv = qEnvironmentVariable("SPINDRA_FFMPEG");
    if (!fromEnv.isEmpty())
        return fromEnv;
    if (QCoreApplication::instance()) {
        const QString beside =
            QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("ffmpeg"));
        if (QFileInfo(beside).isExecutable())
            return beside;
    }
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    return onPath.isEmpty() ? QStringLiteral("ffmpeg") : onPath;
}

bool FanPreview::writeVideo(int size, const QString& outPath, const QString& ffmpegPath,
                            QString* error)
{
    if (!file) {
        *error = QStringLiteral("no fan file is open");
        return false;
    }
    if (size % 2)
        size += 1; // the video's 4:2:0 colour planes need an even side
    if (!planFor(size, error))
        return false;

    // The sound goes to FFmpeg as a file and the pictures through its
    // standard input, so that FFmpeg reads both at its own pace.
    QTemporaryFile audioFile(QDir::temp().filePath(QStringLiteral("spindra-preview-XXXXXX.pcm")));
    if (!audioFile.open()) {
        *error =
            QStringLiteral("cannot create a temporary audio file: %1").arg(audioFile.errorString());
        return false;
    }
    const QByteArray silence(int(FAN_AUDIO_BLOCK), char(0x80));
    for (int n = 0; n < frames; n++) {
        QByteArray block = audioBlock(n, error);
        if (block.isEmpty())
            return false;
        // A block of zeros is what the writer stores where the source had no
        // sound; unsigned 8-bit silence is 128, zero would be a full offset.
        if (isEmptyBlock(block))
            block = silence;
        if (audioFile.write(block) != block.size()) {
            *error = QStringLiteral("cannot write the temporary audio file: %1")
                         .arg(audioFile.errorString());
            return false;
        }
    }
    if (!audioFile.flush()) {
        *error = QStringLiteral("cannot write the temporary audio file: %1")
                     .arg(audioFile.errorString());
        return false;
    }

    const QString program = ffmpegPath.isEmpty() ? defaultFfmpegPath() : ffmpegPath;
    const QString rate = QString::number(FAN_FRAME_RATE);
    const QStringList args = {
        QStringLiteral("-hide_banner"),
        QStringLiteral("-nostdin"),
        QStringLiteral("-loglevel"),
        QStringLiteral("error"),
        QStringLiteral("-y"),
        QStringLiteral("-f"),
        QStringLiteral("rawvideo"),
        QStringLiteral("-pix_fmt"),
        QStringLiteral("rgb24"),
        QStringLiteral("-s"),
        QStringLiteral("%1x%1").arg(size),
        QStringLiteral("-framerate"),
        rate,
        QStringLiteral("-i"),
        QStringLiteral("pipe:0"),
        QStringLiteral("-f"),
        QStringLiteral("u8"),
        QStringLiteral("-ar"),
        QString::number(FAN_AUDIO_RATE),
        QStringLiteral("-ac"),
        QStringLiteral("1"),
        QStringLiteral("-i"),
        audioFile.fileName(),
        QStringLiteral("-map"),
        QStringLiteral("0:v:0"),
        QStringLiteral("-map"),
        QStringLiteral("1:a:0"),
        QStringLiteral("-c:v"),
        QStringLiteral("libx264"),
        QStringLiteral("-preset"),
        QStringLiteral("medium"),
        QStringLiteral("-crf"),
        QStringLiteral("18"),
        QStringLiteral("-pix_fmt"),
        QStringLiteral("yuv420p"),
        QStringLiteral("-r"),
        rate,
        QStringLiteral("-c:a"),
        QStringLiteral("aac"),
        QStringLiteral("-b:a"),
        QStringLiteral("96k"),
        QStringLiteral("-movflags"),
        QStringLiteral("+faststart"),
        outPath,
    };

    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::SeparateChannels);
    ffmpeg.setStandardOutputFile(QProcess::nullDevice());
    ffmpeg.start(program, args);
    if (!ffmpeg.waitForStarted(30000)) {
        *error = QStringLiteral("cannot start FFmpeg (%1): %2").arg(program, ffmpeg.errorString());
        return false;
    }

    // FFmpeg's last line on standard error names the cause of a failure.
    auto lastErrorLine = [&]() {
        return QString::fromLocal8Bit(ffmpeg.readAllStandardError())
            .trimmed()
            .section(QLatin1Char('\n'), -1);
    };
    // Ends FFmpeg and removes what it wrote so far; never leaves a video
    // that looks complete but is not.
    auto stop = [&](bool letItEnd) {
        bool exited = ffmpeg.state() == QProcess::NotRunning;
        if (!exited && letItEnd) {
            ffmpeg.closeWriteChannel();
            exited = ffmpeg.waitForFinished(3000);
        }
        if (!exited) {
            ffmpeg.kill();
            ffmpeg.waitForFinished(5000);
        }
        QFile::remove(outPath);
        return exited;
    };
    // FFmpeg did not take the pictures or did not finish: give it a moment to
    // end by itself, then it has said why.
    auto ffmpegFailure = [&](const QString& what) {
        const bool exited = stop(true);
        const QString detail = lastErrorLine();
        if (exited && !detail.isEmpty())
            *error = QStringLiteral("FFmpeg failed: %1").arg(detail);
        else if (exited)
            *error = QStringLiteral("FFmpeg failed to write %1 (exit code %2)")
                         .arg(outPath)
                         .arg(ffmpeg.exitCode());
        else
            *error = detail.isEmpty() ? what : QStringLiteral("%1: %2").arg(what, detail);
        return false;
    };

    for (int n = 0; n < frames; n++) {
        const QImage image = renderFrame(n, size, error);
        if (image.isNull()) {
            stop(false); // *error says why
            return false;
        }
        for (int y = 0; y < size; y++) {
            if (ffmpeg.write(reinterpret_cast<const char*>(image.constScanLine(y)),
                             qint64(size) * 3) < 0)
                return ffmpegFailure(QStringLiteral("FFmpeg stopped reading the pictures"));
        }
        while (ffmpeg.bytesToWrite() > kPipeHighWater) {
            if (!ffmpeg.waitForBytesWritten(kFfmpegWaitMs))
                return ffmpegFailure(QStringLiteral("FFmpeg stopped reading the pictures"));
        }
    }
    while (ffmpeg.bytesToWrite() > 0) {
        if (!ffmpeg.waitForBytesWritten(kFfmpegWaitMs))
            return ffmpegFailure(QStringLiteral("FFmpeg stopped reading the pictures"));
    }
    ffmpeg.closeWriteChannel();
    if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitStatus() != QProcess::NormalExit ||
        ffmpeg.exitCode() != 0)
        return ffmpegFailure(QStringLiteral("FFmpeg failed to write %1").arg(outPath));
    return true;
}
