#include "FanFileMaker.h"

#include "convert_internal.h"
#include "fan_file.h"
#include "fan_models.h"

#include <QDir>
#include <QFile>

#include <cmath>

namespace {

void onResult(void* ctx, int failed, const char*, const char*) { *static_cast<int*>(ctx) = failed; }

} // namespace

bool makeFanFile(const FanFileJob& job, const QString& workDir, const QString& outPath,
                 QString* error)
{
    const int side = 2 * job.lights;
    const QString framesPath = QDir(workDir).filePath(QStringLiteral("frames.bgr"));
    QFile frames(framesPath);
    if (!frames.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = frames.errorString();
        return false;
    }
    for (const QImage& upright : job.frames) {
        QImage stored = upright.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_BGR888)
                            .mirrored(false, true); // bottom row first
        for (int y = 0; y < side; y++)
            frames.write(reinterpret_cast<const char*>(stored.constScanLine(y)), side * 3);
    }
    frames.close();

    QString audioPath;
    if (!job.audio.isEmpty()) {
        audioPath = QDir(workDir).filePath(QStringLiteral("audio.pcm"));
        QFile audio(audioPath);
        if (!audio.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            audio.write(job.audio) != job.audio.size()) {
            *error = audio.errorString();
            return false;
        }
    }

    const QString json = QStringLiteral("{\"is_360\": false, \"frames_resized_file\": \"%1\", "
                                        "\"in_width\": %2, \"in_height\": %2, "
                                        "\"in_aud_path\": \"%3\", \"out_path\": \"%4\", "
                                        "\"radius\": %5, \"center_x\": %5, \"center_y\": %5, "
                                        "\"lights\": %5, \"lines\": %6, \"colorDeep\": %7, "
                                        "\"gamma\": 1.00, \"min_brightness\": 1.00, "
                                        "\"change_brightness_lights\": 0}")
                             .arg(framesPath)
                             .arg(side)
                             .arg(audioPath, outPath)
                             .arg(job.lights)
                             .arg(job.lines)
                             .arg(job.colorDeep);

    int failed = -1;
    convert_parsed_job parsed;
    const QByteArray text = json.toUtf8();
    if (convert_parse_job(text.constData(), onResult, &failed, &parsed) != 0) {
        *error = QStringLiteral("the engine refused the job");
        return false;
    }
    convert_run_job(&parsed);
    if (failed != 0) {
        *error = QStringLiteral("the engine failed (%1)").arg(failed);
        return false;
    }
    return true;
}

QByteArray fanFileBytes(int lights, int lines, int colorDeep, int frames, quint32 seed)
{
    fan_file_layout layout;
    if (lights <= 0 || lines <= 0 || colorDeep <= 0 || frames < 0 ||
        fan_file_layout_init(&layout, uint32_t(lines), uint32_t(lights), uint32_t(colorDeep)) !=
            FAN_FILE_OK)
        return QByteArray();
    QByteArray bytes(reinterpret_cast<const char*>(file_header), int(FAN_HEADER_SIZE));
    bytes.append(QByteArray(int(fan_file_padded_size(&layout, uint64_t(frames))) - bytes.size(),
                            '\0'));
    const qint64 end = qint64(FAN_HEADER_SIZE) + qint64(frames) * qint64(layout.record_bytes);
    quint32 x = seed * 2654435761u + 1u;
    for (qint64 i = FAN_HEADER_SIZE; i < end; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[int(i)] = char(x >> 24);
    }
    return bytes;
}

QByteArray fanFileBytes(const QString& model, int frames, quint32 seed)
{
    const fan_model* m = fan_model_find(model.toLatin1().constData());
    return m ? fanFileBytes(m->lights, m->lines, m->colorDeep, frames, seed) : QByteArray();
}

bool saveBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

void sampleBilinear(const QImage& image, double x, double y, double rgb[3])
{
    x = qBound(0.0, x, double(image.width() - 1));
    y = qBound(0.0, y, double(image.height() - 1));
    const int x0 = int(x), y0 = int(y);
    const int x1 = qMin(x0 + 1, image.width() - 1), y1 = qMin(y0 + 1, image.height() - 1);
    const double fx = x - x0, fy = y - y0;
    const QRgb p00 = image.pixel(x0, y0), p10 = image.pixel(x1, y0);
    const QRgb p01 = image.pixel(x0, y1), p11 = image.pixel(x1, y1);
    auto mix = [&](int (*channel)(QRgb)) {
        return channel(p00) * (1 - fx) * (1 - fy) + channel(p10) * fx * (1 - fy) +
            channel(p01) * (1 - fx) * fy + channel(p11) * fx * fy;
    };
    rgb[0] = mix(qRed);
    rgb[1] = mix(qGreen);
    rgb[2] = mix(qBlue);
}
