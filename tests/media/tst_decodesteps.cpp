// Decode steps: the FFmpeg argument lists, and real FFmpeg runs on tiny media
// generated here.
#include "DecodeSteps.h"
#include "ReferencePipeline.h"
#include "fan_format.h"
#include "MediaTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace mediatest;

class TestDecodeSteps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void clock_data();
    void clock();
    void filterChain_data();
    void filterChain();
    void argumentLists();
    void videoExcerpt();
    void videoWithoutSound_data();
    void videoWithoutSound();
    void image_data();
    void image();
    void flips();
    void failedVideoStepSkipsAudio();
    void emptyExcerptFails();

private:
    QByteArray decodeImage(const QString& input, bool bottomUp, bool mirror, int w, int h);

    QTemporaryDir dir;
    QString clipWithSound;
    QString clipSilent;
    QString png;
    QString jpeg;
    const bool quiet = false;
    const std::function<void(const QString&)> noLog;
};

void TestDecodeSteps::initTestCase()
{
    QVERIFY(dir.isValid());
    qunsetenv("SPINDRA_FFMPEG");
    clipWithSound = makeVideo(dir.path(), QStringLiteral("tone.mp4"), 3, true);
    clipSilent = makeVideo(dir.path(), QStringLiteral("mute.mp4"), 2, false);
    png = makeImage(dir.path(), QStringLiteral("still.png"));
    jpeg = makeImage(dir.path(), QStringLiteral("still.jpg"));
    QVERIFY(!clipWithSound.isEmpty() && !clipSilent.isEmpty() && !png.isEmpty() && !jpeg.isEmpty());
}

void TestDecodeSteps::clock_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0 << "00:00:00";
    QTest::newRow("one hour two minutes") << 3725 << "01:02:05";
    QTest::newRow("hundred hours") << 360000 << "100:00:00";
    QTest::newRow("last second of a day") << 86399 << "23:59:59";
}

void TestDecodeSteps::clock()
{
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(formatClock(seconds), text);
}

namespace {

// The facts of a probe from words: "yuv", "alpha", "interlaced", "hlg",
// "matrix=NAME", "size=WxH", "format=NAME"; the kind of decoding from
// "still", "clip" (the default) or "cover".
MediaFacts factsFrom(const QString& words, DecodeKind* kind)
{
    MediaFacts f;
    f.kind = MediaKind::Clip;
    f.storedWidth = 640;
    f.storedHeight = 480;
    *kind = DecodeKind::Clip;
    for (const QString& w : words.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString value = w.section(QLatin1Char('='), 1);
        if (w == QLatin1String("yuv"))
            f.yuv = true;
        else if (w == QLatin1String("alpha"))
            f.hasAlpha = true;
        else if (w == QLatin1String("interlaced"))
            f.interlaced = true;
        else if (w == QLatin1String("hlg"))
            f.hdr = HdrTransfer::Hlg;
        else if (w.startsWith(QLatin1String("matrix=")))
            f.colorMatrix = value;
        else if (w.startsWith(QLatin1String("size="))) {
            f.storedWidth = value.section(QLatin1Char('x'), 0, 0).toInt();
            f.storedHeight = value.section(QLatin1Char('x'), 1).toInt();
        } else if (w.startsWith(QLatin1String("format=")))
            f.formatName = value;
        else if (w == QLatin1String("still"))
            *kind = DecodeKind::Still;
        else if (w == QLatin1String("cover"))
            *kind = DecodeKind::Cover;
    }
    return f;
}

} // namespace

void TestDecodeSteps::filterChain_data()
{
    QTest::addColumn<QString>("facts");
    QTest::addColumn<bool>("bottomUp");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<QString>("chain");
    QTest::newRow("none") << "" << false << false
                          << "scale=464:262:flags=spline,fps=20,format=bgr24";
    QTest::newRow("vertical") << "" << true << false
                              << "scale=464:262:flags=spline,fps=20,vflip,format=bgr24";
    QTest::newRow("horizontal") << "" << false << true
                                << "scale=464:262:flags=spline,fps=20,hflip,format=bgr24";
    QTest::newRow("both") << "" << true << true
                          << "scale=464:262:flags=spline,fps=20,hflip,vflip,format=bgr24";
    // YUV is scaled as YUV and turned into RGB at the frames' size.
    const QString yuvScale = "scale=464:262:flags=spline+accurate_rnd,fps=20,";
    const QString toRgb = "scale=flags=accurate_rnd+full_chroma_int";
    QTest::newRow("YUV, tagged") << "yuv matrix=bt709 size=1920x1080" << true << false
                                 << yuvScale + "vflip," + toRgb + ",format=bgr24";
    QTest::newRow("YUV, untagged HD: BT.709")
        << "yuv size=1920x1080" << false << true
        << yuvScale + "hflip," + toRgb + ":in_color_matrix=bt709,format=bgr24";
    QTest::newRow("YUV, untagged, stored portrait HD: BT.709")
        << "yuv size=1080x1920" << false << false
        << yuvScale + toRgb + ":in_color_matrix=bt709,format=bgr24";
    QTest::newRow("YUV, untagged SD: as FFmpeg takes it (BT.601)")
        << "yuv size=1024x576" << false << false << yuvScale + toRgb + ",format=bgr24";
    QTest::newRow("RGB with alpha: over black first")
        << "alpha" << false << false
        << "format=gbrap,premultiply=inplace=1,scale=464:262:flags=spline,fps=20,format=bgr24";
    QTest::newRow("YUV with alpha: into RGB with full chroma, then over black")
        << "yuv alpha size=1920x1080" << false << false
        << toRgb +
            ":in_color_matrix=bt709,format=gbrap,premultiply=inplace=1,"
            "scale=464:262:flags=spline,fps=20,format=bgr24";
    QTest::newRow("HLG: tone-mapped after the scale") << "yuv hlg matrix=bt2020nc" << true << false
                                                      << yuvScale +
            "vflip,zscale=t=linear:npl=203,format=gbrpf32le,zscale=p=bt709,"
            "tonemap=tonemap=mobius:param=0.7:desat=0,zscale=t=bt709:m=bt709:r=pc,format=gbrp,"
            "format=bgr24";
    QTest::newRow("interlaced clip: fields first")
        << "yuv interlaced matrix=bt470bg" << false << false
        << "bwdif=mode=send_field:deint=all," + yuvScale + toRgb + ",format=bgr24";
    QTest::newRow("interlaced picture, still: nothing moves")
        << "yuv interlaced matrix=bt470bg still format=image2" << false << false
        << yuvScale + toRgb + ",format=bgr24";
    QTest::newRow("one-frame GIF: looped by the chain")
        << "still format=gif" << false << false
        << "loop=loop=-1:size=1,setpts=N/20/TB,scale=464:262:flags=spline,fps=20,format=bgr24";
    QTest::newRow("PNG: looped by its reader") << "still format=png_pipe" << false << false
                                               << "scale=464:262:flags=spline,fps=20,format=bgr24";
    QTest::newRow("a song's cover: looped by the chain")
        << "cover format=mp3 yuv matrix=bt470bg" << false << false
        << "loop=loop=-1:size=1,setpts=N/20/TB," + yuvScale + toRgb + ",format=bgr24";
}

void TestDecodeSteps::filterChain()
{
    QFETCH(QString, facts);
    QFETCH(bool, bottomUp);
    QFETCH(bool, mirror);
    QFETCH(QString, chain);
    DecodeKind kind = DecodeKind::Clip;
    const MediaFacts f = factsFrom(facts, &kind);
    FrameChain c;
    c.width = 464;
    c.height = 262;
    c.bottomUp = bottomUp;
    c.mirror = mirror;
    c.picture = pictureSteps(f, kind);
    QCOMPARE(decodeFilterChain(c), chain);
}

void TestDecodeSteps::argumentLists()
{
    const QString in = QStringLiteral("/m/a b.mp4");
    QCOMPARE(videoStepArguments(in, 3725, 12, QStringLiteral("CHAIN"), QStringLiteral("/t/v.bgr")),
             QStringList({"-ss", "01:02:05", "-t", "12", "-i", in, "-vf", "CHAIN", "-r", "20",
                          "-pix_fmt", "bgr24", "-f", "rawvideo", "/t/v.bgr"}));
    QCOMPARE(audioStepArguments(in, 0, 5, QStringLiteral("/t/a.pcm")),
             QStringList({"-ss", "00:00:00", "-t", "5", "-i", in, "-vn", "-c:a", "pcm_u8", "-ar",
                          "32000", "-ac", "1", "-f", "u8", "/t/a.pcm"}));
    QCOMPARE(imageStepArguments(in, QStringLiteral("CHAIN"), QStringLiteral("/t/v.bgr")),
             QStringList({"-loop", "1", "-i", in, "-vf", "CHAIN", "-r", "20", "-frames:v", "2",
                          "-pix_fmt", "bgr24", "-f", "rawvideo", "/t/v.bgr"}));
    // A reader without "-loop" (a GIF): the chain loops the picture.
    QCOMPARE(imageStepArguments(in, QStringLiteral("CHAIN"), QStringLiteral("/t/v.bgr"), false),
             QStringList({"-i", in, "-vf", "CHAIN", "-r", "20", "-frames:v", "2", "-pix_fmt",
                          "bgr24", "-f", "rawvideo", "/t/v.bgr"}));
    // A song's cover from the whole file, its sound from the excerpt.
    QCOMPARE(coverStepArguments(in, 65, 4, 80, QStringLiteral("CHAIN"), QStringLiteral("pipe:1"),
                                QStringLiteral("pipe:3")),
             QStringList({"-i",        in,     "-ss",   "00:01:05", "-t",    "4",      "-i",
                          in,          "-map", "0:v:0", "-vf",      "CHAIN", "-r",     "20",
                          "-frames:v", "80",   "-an",   "-pix_fmt", "bgr24", "-f",     "rawvideo",
                          "pipe:1",    "-map", "1:a:0", "-vn",      "-c:a",  "pcm_u8", "-ar",
                          "32000",     "-ac",  "1",     "-f",       "u8",    "pipe:3"}));
}

void TestDecodeSteps::videoExcerpt()
{
    const QString v = dir.filePath(QStringLiteral("x_vid.bgr"));
    const QString a = dir.filePath(QStringLiteral("x_aud.pcm"));
    QStringList logged;
    const std::function<void(const QString&)> onLog = [&](const QString& l) { logged << l; };
    QList<int> progress;
    const DecodeResult r = decodeMedia(true, clipWithSound, 1, 2, v, a, 32, 24, true, false, quiet,
                                       onLog, [&](int p) { progress << p; });
    QVERIFY(r.videoOk);
    QVERIFY(r.audioOk);
    QVERIFY(logged.isEmpty()); // nothing outside debug mode
    QCOMPARE(QFileInfo(v).size(), qint64(40) * 32 * 24 * 3);
    const QByteArray audio = readAll(a);
    QCOMPARE(audio.size(), 40 * int(FAN_AUDIO_BLOCK));
    // A tone in every block, not silence (128) and not zeros.
    for (int b = 0; b < 40; ++b) {
        int low = 255, high = 0;
        for (const char c : audio.mid(b * int(FAN_AUDIO_BLOCK), int(FAN_AUDIO_BLOCK))) {
            low = std::min(low, int(uchar(c)));
            high = std::max(high, int(uchar(c)));
        }
        QVERIFY2(low < 120 && high > 136,
                 qPrintable(QStringLiteral("block %1: %2..%3").arg(b).arg(low).arg(high)));
    }
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.first(), 0);
    QCOMPARE(progress.last(), 100);
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
}

void TestDecodeSteps::videoWithoutSound_data()
{
    QTest::addColumn<bool>("debug");
    QTest::newRow("quiet") << false;
    QTest::newRow("debug") << true;
}

void TestDecodeSteps::videoWithoutSound()
{
    QFETCH(bool, debug);
    const QString v = dir.filePath(QStringLiteral("m_vid.bgr"));
    const QString a = dir.filePath(QStringLiteral("m_aud.pcm"));
    QFile::remove(v);
    QFile::remove(a);
    QStringList logged;
    const std::function<void(const QString&)> onLog = [&](const QString& l) { logged << l; };
    const DecodeResult r =
        decodeMedia(true, clipSilent, 0, 2, v, a, 16, 12, false, false, debug, onLog);
    QVERIFY(r.videoOk);
    QVERIFY(!r.audioOk);
    QCOMPARE(QFileInfo(v).size(), qint64(40) * 16 * 12 * 3);
    QCOMPARE(logged.last(), QStringLiteral("No audio track detected."));
    if (debug) {
        QVERIFY(logged.first().startsWith(
            QStringLiteral(" [STEP 1 VIDEO->RAW] >> : -ss 00:00:00 -t 2 -i ")));
        QVERIFY(logged.contains(
            QStringLiteral("[STEP 2 AUDIO] <<: -ss 00:00:00 -t 2 -i %1 -vn -c:a pcm_u8 "
                           "-ar 32000 -ac 1 -f u8 %2")
                .arg(clipSilent, a)));
    } else {
        QCOMPARE(logged.size(), 1);
    }
}

void TestDecodeSteps::image_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("png") << "png";
    QTest::newRow("jpeg") << "jpeg";
}

void TestDecodeSteps::image()
{
    QFETCH(QString, which);
    const QString input = which == QLatin1String("png") ? png : jpeg;
    const QString v = dir.filePath(QStringLiteral("i_vid.bgr"));
    const QString a = dir.filePath(QStringLiteral("i_aud.pcm"));
    QFile::remove(v);
    QFile::remove(a);
    const DecodeResult r = decodeMedia(false, input, 7, 9, v, a, 40, 30, true, true, quiet, noLog);
    QVERIFY(r.videoOk);
    QVERIFY(!r.audioOk);
    QVERIFY(!QFileInfo::exists(a));
    const QByteArray frames = readAll(v);
    const int frameBytes = 40 * 30 * 3;
    QCOMPARE(frames.size(), 2 * frameBytes);
    QCOMPARE(frames.left(frameBytes), frames.mid(frameBytes));
}

QByteArray TestDecodeSteps::decodeImage(const QString& input, bool bottomUp, bool mirror, int w,
                                        int h)
{
    const QString v = dir.filePath(QStringLiteral("f_vid.bgr"));
    QFile::remove(v);
    const DecodeResult r =
        decodeMedia(false, input, 0, 0, v, QString(), w, h, bottomUp, mirror, quiet, noLog);
    return r.videoOk ? readAll(v).left(w * h * 3) : QByteArray();
}

void TestDecodeSteps::flips()
{
    const int w = 64, h = 48;
    const QByteArray plain = decodeImage(png, false, false, w, h);
    const QByteArray mirrored = decodeImage(png, false, true, w, h);
    const QByteArray upsideDown = decodeImage(png, true, false, w, h);
    const QByteArray both = decodeImage(png, true, true, w, h);
    QCOMPARE(plain.size(), w * h * 3);
    QVERIFY(plain != mirrored && plain != upsideDown);

    const auto pixel = [&](const QByteArray& f, int x, int y) { return f.mid((y * w + x) * 3, 3); };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const QByteArray p = pixel(plain, x, y);
            QCOMPARE(pixel(mirrored, w - 1 - x, y), p);
            QCOMPARE(pixel(upsideDown, x, h - 1 - y), p);
            QCOMPARE(pixel(both, w - 1 - x, h - 1 - y), p);
        }
    }
}

void TestDecodeSteps::failedVideoStepSkipsAudio()
{
    const QString count = dir.filePath(QStringLiteral("runs"));
    QFile::remove(count);
    const QString fake = writeScript(dir.path(), QStringLiteral("fails"),
                                     QByteArray("echo run >> '") + count.toUtf8() + "'; exit 1");
    qputenv("SPINDRA_FFMPEG", fake.toUtf8());
    const QString v = dir.filePath(QStringLiteral("z_vid.bgr"));
    const QString a = dir.filePath(QStringLiteral("z_aud.pcm"));
    QFile::remove(a);
    QStringList logged;
    const std::function<void(const QString&)> onLog = [&](const QString& l) { logged << l; };
    const DecodeResult r =
        decodeMedia(true, clipWithSound, 0, 2, v, a, 16, 12, true, false, quiet, onLog);
    qunsetenv("SPINDRA_FFMPEG");
    QVERIFY(!r.videoOk);
    QVERIFY(!r.audioOk);
    QCOMPARE(readAll(count), QByteArray("run\n"));
    QVERIFY(!QFileInfo::exists(a));
    QVERIFY(logged.isEmpty());
}

void TestDecodeSteps::emptyExcerptFails()
{
    // FFmpeg succeeds on a start beyond the end but writes no frame.
    const QString v = dir.filePath(QStringLiteral("e_vid.bgr"));
    const QString a = dir.filePath(QStringLiteral("e_aud.pcm"));
    const DecodeResult r =
        decodeMedia(true, clipWithSound, 60, 2, v, a, 16, 12, true, false, quiet, noLog);
    QVERIFY(!r.videoOk);
}

QTEST_GUILESS_MAIN(TestDecodeSteps)
#include "tst_decodesteps.moc"
