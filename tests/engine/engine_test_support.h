// Helpers shared by the engine tests: temporary frame files, job
// descriptions, synchronous and threaded runs, and capture of the engine's
// log lines (which go to standard output).
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>
#include <QtTest/QTest>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <fcntl.h>
#include <unistd.h>

#include "convert_internal.h"
#include "fan_file.h"

namespace enginetest {

// Redirects file descriptor 1 into a temporary file while alive; text()
// returns everything written so far (both stdio and raw writes).
class StdoutCapture {
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        capturePath = QDir::temp().filePath(QStringLiteral("spindra-capture-%1-%2.txt")
                                                .arg(QCoreApplication::applicationPid())
                                                .arg(reinterpret_cast<quintptr>(this)));
        captureFd =
            ::open(QFile::encodeName(capturePath).constData(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        savedStdout = ::dup(1);
        if (captureFd >= 0 && savedStdout >= 0)
            ::dup2(captureFd, 1);
    }
    ~StdoutCapture()
    {
        const bool wasCapturing = savedStdout >= 0;
        stop();
        // A check that failed while capturing wrote its message into the
        // capture; show it (and the engine's lines) on standard error.
        if (wasCapturing && QTest::currentTestFailed())
            std::fprintf(stderr, "%s", text().toLocal8Bit().constData());
        if (captureFd >= 0)
            ::close(captureFd);
        QFile::remove(capturePath);
    }
    void stop()
    {
        if (savedStdout < 0)
            return;
        std::fflush(stdout);
        ::dup2(savedStdout, 1);
        ::close(savedStdout);
        savedStdout = -1;
    }
    QString text() const
    {
        std::fflush(stdout);
        QFile file(capturePath);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }
    QStringList lines() const { return text().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

private:
    QString capturePath;
    int captureFd = -1;
    int savedStdout = -1;
};

// What the engine's callback reported.
// (Standard-library locks rather than Qt's, so that ThreadSanitizer builds
// see the synchronisation.)
struct CallbackRecord {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;
    int failed = -1;
    QString outPath;
    QString message;
    bool outputOpenAtCallback = false;
    qint64 sizeAtCallback = -1;
    Qt::HANDLE thread = nullptr;
};

// True when this process holds a descriptor on path.
inline bool processHasOpen(const QString& path)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& entry : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString link = QFile::symLinkTarget(fds.filePath(entry));
        if (!link.isEmpty() && link == target)
            return true;
    }
    return false;
}

extern "C" inline void recordCallback(void* ctx, int failed, const char* outPath,
                                      const char* message)
{
    auto* record = static_cast<CallbackRecord*>(ctx);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->calls += 1;
    record->failed = failed;
    record->outPath = QString::fromUtf8(outPath);
    record->message = QString::fromUtf8(message);
    record->outputOpenAtCallback = processHasOpen(record->outPath);
    record->sizeAtCallback =
        QFileInfo(record->outPath).exists() ? QFileInfo(record->outPath).size() : -1;
    record->thread = QThread::currentThreadId();
    record->called.notify_all();
}

// Waits until the callback has been called at least once.
inline bool waitForCallback(CallbackRecord* record, int timeoutMs = 30000)
{
    std::unique_lock<std::mutex> lock(record->mutex);
    return record->called.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [record] { return record->calls > 0; });
}

inline QByteArray toJson(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Parses a job and runs it on the calling thread with the reference workers
// (convert_worker, convert_360_worker); returns the parse code.
inline int runSync(const QByteArray& json, CallbackRecord* record)
{
    convert_parsed_job job;
    const int rc = convert_parse_job(json.constData(), recordCallback, record, &job);
    if (rc == 0 && job.is_360)
        convert_360_worker(job.wide);
    else if (rc == 0)
        convert_worker(job.flat);
    return rc;
}

// A bgr24 frame filled with one colour.
inline QByteArray solidFrame(int width, int height, quint8 b, quint8 g, quint8 r)
{
    QByteArray frame;
    frame.reserve(width * height * 3);
    for (int i = 0; i < width * height; ++i) {
        frame.append(char(b));
        frame.append(char(g));
        frame.append(char(r));
    }
    return frame;
}

inline void setPixel(QByteArray& frame, int width, int x, int y, quint8 b, quint8 g, quint8 r)
{
    const int at = 3 * (y * width + x);
    frame[at] = char(b);
    frame[at + 1] = char(g);
    frame[at + 2] = char(r);
}

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A flat job description with every key the job builder writes.
inline QJsonObject flatJob(const QString& frames, int width, int height, const QString& out,
                           int lights, int lines, int colorDeep, int centerX, int centerY)
{
    QJsonObject job;
    job.insert(QStringLiteral("is_360"), false);
    job.insert(QStringLiteral("frames_resized_file"), frames);
    job.insert(QStringLiteral("in_width"), width);
    job.insert(QStringLiteral("in_height"), height);
    job.insert(QStringLiteral("in_aud_path"), QString());
    job.insert(QStringLiteral("out_path"), out);
    job.insert(QStringLiteral("radius"), lights);
    job.insert(QStringLiteral("center_x"), centerX);
    job.insert(QStringLiteral("center_y"), centerY);
    job.insert(QStringLiteral("lights"), lights);
    job.insert(QStringLiteral("lines"), lines);
    job.insert(QStringLiteral("colorDeep"), colorDeep);
    job.insert(QStringLiteral("gamma"), 1.0);
    job.insert(QStringLiteral("min_brightness"), 1.0);
    job.insert(QStringLiteral("change_brightness_lights"), 0);
    return job;
}

// One input of a 360 job: width x height frames in a file and the centre of
// its circle.
inline QJsonObject wideItem(const QString& frames, int width, int height, int centerX, int centerY)
{
    QJsonObject item;
    item.insert(QStringLiteral("frames_resized_file"), frames);
    item.insert(QStringLiteral("in_width"), width);
    item.insert(QStringLiteral("in_height"), height);
    item.insert(QStringLiteral("center_x"), centerX);
    item.insert(QStringLiteral("center_y"), centerY);
    return item;
}

// A 360 job over items, without audio and without total destination sizes.
inline QJsonObject wideJob(const QJsonArray& items, const QString& out, int lights, int lines,
                           int colorDeep, int itemWidth, int itemHeight)
{
    QJsonObject job;
    job.insert(QStringLiteral("is_360"), true);
    job.insert(QStringLiteral("out_path"), out);
    job.insert(QStringLiteral("lights"), lights);
    job.insert(QStringLiteral("lines"), lines);
    job.insert(QStringLiteral("colorDeep"), colorDeep);
    job.insert(QStringLiteral("destItemWidth"), itemWidth);
    job.insert(QStringLiteral("destItemHeight"), itemHeight);
    job.insert(QStringLiteral("list"), items);
    return job;
}

// A decoded fan file: frames of lines x lights x (b, g, r) plus audio.
struct DecodedFile {
    int status = -1;
    fan_file_layout layout {};
    quint64 frames = 0;         // whole records
    quint64 framesMin = 0;      // without trailing all-zero records inside the padding
    QVector<QByteArray> values; // per frame, lines * lights * 3 bytes
    QVector<QByteArray> audio;  // per frame, 1600 bytes
    int padBitStatus = FAN_FILE_OK;

    // Value of channel (0 blue, 1 green, 2 red) of LED t on line l of frame k.
    int at(int k, int l, int t, int channel) const
    {
        return quint8(values[k][(l * int(layout.lights) + t) * 3 + channel]);
    }
};

inline DecodedFile decodeFile(const QString& path, uint32_t lines, uint32_t lights,
                              uint32_t colorDeep)
{
    DecodedFile decoded;
    fan_file file;
    decoded.status =
        fan_file_open(&file, QFile::encodeName(path).constData(), lines, lights, colorDeep);
    if (decoded.status != FAN_FILE_OK)
        return decoded;
    decoded.layout = file.layout;
    decoded.frames = file.frame_count;
    decoded.framesMin = file.frame_count_min;
    QByteArray light(int(file.layout.light_bytes), '\0');
    for (quint64 k = 0; k < file.frame_count; ++k) {
        QByteArray audio(int(FAN_AUDIO_BLOCK), '\0');
        fan_file_read_frame(&file, k, reinterpret_cast<uint8_t*>(light.data()),
                            reinterpret_cast<uint8_t*>(audio.data()));
        QByteArray values(int(lines * lights * 3), '\0');
        const int rc =
            fan_file_decode_frame(&file.layout, reinterpret_cast<const uint8_t*>(light.constData()),
                                  reinterpret_cast<uint8_t*>(values.data()));
        if (rc != FAN_FILE_OK)
            decoded.padBitStatus = rc;
        decoded.values.append(values);
        decoded.audio.append(audio);
    }
    fan_file_close(&file);
    return decoded;
}

// Size of a written file of n frames.
inline qint64 expectedSize(uint32_t lines, uint32_t lights, uint32_t colorDeep, quint64 frames)
{
    fan_file_layout layout;
    fan_file_layout_init(&layout, lines, lights, colorDeep);
    return qint64(fan_file_padded_size(&layout, frames));
}

} // namespace enginetest
