#include "DecodeSteps.h"

#include <QRegularExpression>

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

QString decodeFilterChain(int width, int height, bool vFlip, bool hFlip, const FrameWindow& window,
                          bool fpsFirst)
{
    QStringList chain;
    if (fpsFirst)
        chain << QStringLiteral("fps=20");
    chain << QStringLiteral("scale=%1:%2:flags=spline").arg(width).arg(height);
    if (!fpsFirst)
        chain << QStringLiteral("fps=20");
    if (hFlip)
        chain << QStringLiteral("hflip");
    if (vFlip)
        chain << QStringLiteral("vflip");
    chain << QStringLiteral("format=bgr24");
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
                               const QString& videoOutPath)
{
    return {QStringLiteral("-loop"),
            QStringLiteral("1"),
            QStringLiteral("-i"),
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

bool inputListsSound(const QByteArray& errorOutput)
{
    // "Input #0, mov,mp4,...", then lines such as
    // "  Stream #0:1[0x2](und): Audio: aac (LC) ...", until the outputs.
    static const QRegularExpression audio(QStringLiteral("^\\s*Stream #0:\\d+\\S*: Audio: "));
    bool input = false;
    for (const QByteArray& raw : errorOutput.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("Input #0")))
            input = true;
        else if (line.startsWith(QLatin1String("Input #")) ||
                 line.startsWith(QLatin1String("Output #")) ||
                 line.startsWith(QLatin1String("Stream mapping:")))
            input = false;
        else if (input && audio.match(line).hasMatch())
            return true;
    }
    return false;
}
