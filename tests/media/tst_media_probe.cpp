// The media probe: ffprobe's answers (as JSON fixtures) turned into facts, and
// a few real files made at test time, each checked against what FFmpeg
// actually delivers; the background probe reports once, or not at all after
// an abort; the rule that makes a file time-based.
#include "ExifOrientation.h"
#include "MediaProbe.h"
#include "MediaTestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace mediatest;

namespace {

// Every fact as "key=value", to compare with a row's expectations.
QMap<QString, QString> describe(const MediaFacts& f)
{
    const char* kinds[] = {"Unreadable", "Still", "Clip", "SongWithCover", "SoundOnly"};
    const char* hdr[] = {"None", "Hlg", "Pq"};
    const auto n = [](auto v) { return QString::number(v); };
    return {{"kind", kinds[int(f.kind)]},
            {"size", n(f.width) + 'x' + n(f.height)},
            {"stored", n(f.storedWidth) + 'x' + n(f.storedHeight)},
            {"rot", n(f.rotation)},
            {"mirror", n(f.mirrored)},
            {"exif", n(f.exifOrientation)},
            {"frames", n(f.frameCount)},
            {"anim", n(f.animated)},
            {"alpha", n(f.hasAlpha)},
            {"yuv", n(f.yuv)},
            {"interlaced", n(f.interlaced)},
            {"hdr", hdr[int(f.hdr)]},
            {"tagged", n(f.colorTagged())},
            {"matrix", f.colorMatrix},
            {"sound", n(f.hasSound)},
            {"cover", n(f.hasCover)},
            {"heif", n(f.heifPhoto)},
            {"dur", QString::number(f.duration, 'f', 1)},
            {"picdur", QString::number(f.pictureDuration, 'f', 1)}};
}

// Checks the facts against "key=value" words (a value must match),
// "reason:word" (the reason contains the word) and "reason!word" (it does not).
void expectFacts(const MediaFacts& facts, const QString& expected)
{
    const QMap<QString, QString> seen = describe(facts);
    for (const QString& word : expected.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word.startsWith(QLatin1String("reason"))) {
            QVERIFY2(facts.reason.contains(word.mid(7)) == (word.at(6) == QLatin1Char(':')),
                     qPrintable(facts.reason));
            continue;
        }
        const QString key = word.section(QLatin1Char('='), 0, 0);
        QVERIFY2(seen.contains(key), qPrintable(key));
        QCOMPARE(key + QLatin1Char('=') + seen.value(key), word);
    }
}

// ffprobe's answer, written with ' for ": a picture stream (160x120 unless it
// says), its first frame, more streams after it, and the container.
QByteArray
answer(const QString& stream, const QString& frame = QString(), const QString& more = QString(),
       const QString& format = "'format_name':'mov,mp4,m4a,3gp,3g2,mj2','duration':'2.0'")
{
    const QString size = stream.contains("width") ? QString() : "'width':160,'height':120,";
    return QStringLiteral("{'frames':[{'stream_index':0%1}],'streams':[{'index':0,'codec_type':"
                          "'video',%2%3}%4],'format':{%5}}")
        .arg(frame.isEmpty() ? QString() : ',' + frame, size, stream,
             more.isEmpty() ? QString() : ',' + more, format)
        .replace('\'', '"')
        .toUtf8();
}

// A display matrix as ffprobe prints it; only its first two rows count.
QString matrix(const char* rows)
{
    return QStringLiteral("'side_data_list':[{'displaymatrix':'\\n00000000: %1\\n00000002: 0 0 "
                          "1073741824\\n'}]")
        .arg(QString::fromLatin1(rows).replace('|', "\\n00000001: "));
}

// The size of the first picture FFmpeg decodes from a file, as the pipeline
// gets it ("0x0" when it decodes none).
QString deliveredSize(const QString& path)
{
    QProcess p;
    p.start("ffmpeg", {"-i", path, "-frames:v", "1", "-vf", "showinfo", "-f", "null", "-"});
    p.waitForFinished(60000);
    const QRegularExpressionMatch m =
        QRegularExpression(" s:(\\d+x\\d+) ").match(p.readAllStandardError());
    return m.hasMatch() ? m.captured(1) : "0x0";
}

} // namespace

class TestMediaProbe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void parse_data();
    void parse();
    void realFiles_data();
    void realFiles();
    void backgroundProbe_data();
    void backgroundProbe();
    void abortedProbeStaysSilent();
    void treatAsVideo_data();
    void treatAsVideo();

private:
    QTemporaryDir dir;
};

void TestMediaProbe::initTestCase()
{
    QVERIFY(dir.isValid());
    // The same test pattern with EXIF orientation 6, and the pieces the
    // transparent pictures are made from.
    QVERIFY(
        !makeImage(dir.path(), QStringLiteral("photo6.jpg"), QStringLiteral("64x48")).isEmpty());
    QVERIFY(addExifOrientation(dir.filePath(QStringLiteral("photo6.jpg")), 6));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i",
                    "color=red@0.0:s=64x48,format=rgba[bg];testsrc=s=32x24[fg];"
                    "[bg][fg]overlay=8:8:format=auto,format=rgba",
                    "-frames:v", "1", dir.filePath(QStringLiteral("logo.png"))}));
}

void TestMediaProbe::cleanup() { qunsetenv("SPINDRA_FFPROBE"); }

void TestMediaProbe::parse_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");

    // EXIF orientations: mirrored left-right first, then turned clockwise.
    const char* matrices[] = {"65536 0 0|0 65536 0",   "-65536 0 0|0 65536 0",
                              "-65536 0 0|0 -65536 0", "65536 0 0|0 -65536 0",
                              "0 65536 0|65536 0 0",   "0 65536 0|-65536 0 0",
                              "0 -65536 0|-65536 0 0", "0 -65536 0|65536 0 0"};
    const char* turns[] = {"1280x720 rot=0 mirror=0",   "1280x720 rot=0 mirror=1",
                           "1280x720 rot=180 mirror=0", "1280x720 rot=180 mirror=1",
                           "720x1280 rot=270 mirror=1", "720x1280 rot=90 mirror=0",
                           "720x1280 rot=90 mirror=1",  "720x1280 rot=270 mirror=0"};
    for (int o = 1; o <= 8; ++o)
        QTest::addRow("photo, EXIF orientation %d", o)
            << answer("'codec_name':'mjpeg','width':1280,'height':720",
                      QStringLiteral("'tags':{'Orientation':'    %1'},").arg(o) +
                          matrix(matrices[o - 1]),
                      QString(), "'format_name':'image2','duration':'0.04'")
            << QStringLiteral("kind=Still stored=1280x720 exif=%1 size=%2")
                   .arg(o)
                   .arg(turns[o - 1]);

    const QString sound = "{'codec_type':'audio','duration':'2.5'}";
    QTest::newRow("phone clip, display matrix")
        << answer("'nb_frames':'40'," + matrix("0 65536 0|-65536 0 0"), QString(), sound)
        << "kind=Clip size=120x160 stored=160x120 rot=90 sound=1 dur=2.0 frames=40 anim=0";
    QTest::newRow("clip, rotation without its matrix (counter-clockwise)")
        << answer("'side_data_list':[{'rotation':90}]") << "size=120x160 rot=270 mirror=0";
    QTest::newRow("clip, old rotate tag (clockwise)")
        << answer("'tags':{'rotate':'90'}") << "size=120x160 rot=90";
    QTest::newRow("clip turned by 45 degrees keeps its size")
        << answer("'tags':{'rotate':'45'}") << "size=160x120 rot=45";
    QTest::newRow("untagged colours (unknown counts as untagged)")
        << answer("'color_space':'unknown','color_transfer':'unknown','pix_fmt':'yuv420p'")
        << "kind=Clip tagged=0 matrix= hdr=None sound=0 interlaced=0 alpha=0 yuv=1";
    QTest::newRow("HLG") << answer("'color_space':'bt2020nc','color_transfer':'arib-std-b67'")
                         << "hdr=Hlg tagged=1 matrix=bt2020nc";
    QTest::newRow("PQ") << answer("'color_transfer':'smpte2084'") << "hdr=Pq tagged=1";
    QTest::newRow("interlaced by field order") << answer("'field_order':'tt'") << "interlaced=1";
    QTest::newRow("interlaced by its first frame")
        << answer("'field_order':'progressive'", "'interlaced_frame':1") << "interlaced=1";
    QTest::newRow("video with alpha") << answer("'pix_fmt':'yuva420p'") << "alpha=1 yuv=1";
    QTest::newRow("10-bit video") << answer("'pix_fmt':'yuv420p10le'") << "yuv=1 alpha=0";
    QTest::newRow("grey levels") << answer("'pix_fmt':'gray'") << "yuv=0";
    QTest::newRow("picture shorter than its sound")
        << answer("'duration':'1.5'", QString(), "{'codec_type':'audio','duration':'2.5'}",
                  "'format_name':'matroska,webm','duration':'2.5'")
        << "dur=2.5 picdur=1.5";
    QTest::newRow("PNG with alpha")
        << answer("'pix_fmt':'rgba'", QString(), QString(), "'format_name':'png_pipe'")
        << "kind=Still alpha=1 yuv=0 dur=0.0";
    QTest::newRow("animated GIF") << answer("'nb_frames':'10'", QString(), QString(),
                                            "'format_name':'gif','duration':'1'")
                                  << "kind=Clip anim=1 frames=10 dur=1.0";
    QTest::newRow("one-frame GIF")
        << answer("'nb_frames':'1'", QString(), QString(), "'format_name':'gif'")
        << "kind=Still anim=0 frames=1";
    QTest::newRow("song with cover, length from its sound")
        << answer("'width':64,'height':64,'disposition':{'attached_pic':1}", QString(), sound,
                  "'format_name':'mp3'")
        << "kind=SongWithCover cover=1 sound=1 size=64x64 dur=2.5";
    QTest::newRow("a cover beside a clip does not replace it")
        << answer("'width':64,'height':64,'disposition':{'attached_pic':1}", QString(),
                  "{'codec_type':'video','width':16,'height':8}," + sound)
        << "kind=Clip size=16x8 cover=1";
    QTest::newRow("sound only") << answer("'width':0", QString(), sound)
                                << "kind=SoundOnly sound=1 size=0x0 reason:picture";
    QTest::newRow("a picture without a size, no sound")
        << answer("'width':0,'height':0") << "kind=Unreadable reason:picture";
    QTest::newRow("no streams") << QByteArray("{}") << "kind=Unreadable reason:media";
    QTest::newRow("not JSON") << QByteArray("moov atom not found") << "kind=Unreadable heif=0";
}

void TestMediaProbe::parse()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    expectFacts(MediaProbe::parse(json), expected);
}

void TestMediaProbe::realFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ffmpegArgs"); // makes the file when not empty; LOGO: logo.png
    QTest::addColumn<QString>("expected");

    const QString lavfi = "-f lavfi -i ";
    const QString palette = "-i LOGO -filter_complex "
                            "split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse";
    QTest::newRow("clip with sound")
        << "clip.mp4" << lavfi + "testsrc=s=64x48:r=25:d=1 " + lavfi + "sine=d=1 -c:v mpeg4"
        << "kind=Clip size=64x48 sound=1 alpha=0 frames=25";
    QTest::newRow("clip turned a quarter (its matrix set after making)")
        << "turned.mp4" << lavfi + "testsrc=s=64x48:d=1"
        << "kind=Clip size=48x64 stored=64x48 rot=90";
    QTest::newRow("phone photo, EXIF orientation 6")
        << "photo6.jpg" << QString() << "kind=Still size=48x64 rot=90 exif=6";
    QTest::newRow("logo PNG with alpha") << "logo.png" << QString() << "alpha=1";
    QTest::newRow("palette PNG with a transparent colour") << "palette.png" << palette << "alpha=1";
    QTest::newRow("GIF with a transparent colour") << "logo.gif" << palette << "kind=Still alpha=1";
    // FFmpeg's own GIFs use a transparent colour in later frames only, to
    // keep what the frame before showed: the picture is opaque.
    QTest::newRow("animated GIF") << "anim.gif" << lavfi + "testsrc=s=64x48:r=10:d=1"
                                  << "kind=Clip anim=1 frames=10 alpha=0";
    const QString cover =
        "testsrc=s=32x32:d=1 -map 0 -map 1 -frames:v 1 -disposition:v attached_pic";
    QTest::newRow("song with cover") << "song.mp3" << lavfi + "sine=d=2 " + lavfi + cover
                                     << "kind=SongWithCover size=32x32 cover=1 sound=1";
    QTest::newRow("HEIC photo") << "phone.heic" << QString()
                                << "kind=Unreadable heif=1 reason:HEIC reason:JPEG";
}

void TestMediaProbe::realFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, ffmpegArgs);
    QFETCH(QString, expected);
    const QString path = dir.filePath(name);
    if (!ffmpegArgs.isEmpty()) {
        QStringList args = ffmpegArgs.split(' ');
        args.replaceInStrings(QRegularExpression("^LOGO$"), dir.filePath("logo.png"));
        QVERIFY(ffmpeg(args << path));
    }
    if (name == QLatin1String("turned.mp4"))
        QVERIFY(rotateVideoQuarter(path));
    if (name == QLatin1String("phone.heic")) {
        // The start of a HEIF file: its file-type box with the HEIC brand.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\0\0\0\x18"
                           "ftypheic\0\0\0\0mif1heic",
                           24) +
                QByteArray(64, '\0'));
    }
    const MediaFacts facts = MediaProbe::probe(path);
    expectFacts(facts, expected);
    // The size as shown is the size FFmpeg hands to the conversion.
    if (facts.hasPicture())
        QCOMPARE(QStringLiteral("%1x%2").arg(facts.width).arg(facts.height), deliveredSize(path));
}

void TestMediaProbe::backgroundProbe_data()
{
    QTest::addColumn<QString>("ffprobe"); // a stand-in's body; empty: the real one
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("expected");
    QTest::newRow("readable") << QString() << 30000 << "kind=Still size=48x64";
    QTest::newRow("ffprobe missing")
        << "missing" << 30000 << "kind=Unreadable reason:cannot reason:run reason:ffprobe";
    QTest::newRow("ffprobe hangs") << "exec sleep 30" << 300 << "kind=Unreadable reason:answer";
    QTest::newRow("ffprobe fails, its words without the file name")
        << "for last; do :; done; echo \"$last: Permission denied\" >&2; exit 1" << 30000
        << "kind=Unreadable reason:Permission reason!photo6";
}

void TestMediaProbe::backgroundProbe()
{
    QFETCH(QString, ffprobe);
    QFETCH(int, timeoutMs);
    QFETCH(QString, expected);
    if (ffprobe == QLatin1String("missing"))
        qputenv("SPINDRA_FFPROBE", dir.filePath(QStringLiteral("no-such-ffprobe")).toLocal8Bit());
    else if (!ffprobe.isEmpty())
        qputenv("SPINDRA_FFPROBE",
                writeScript(dir.path(), QStringLiteral("ffprobe-standin"), ffprobe.toUtf8())
                    .toLocal8Bit());
    const QString path = dir.filePath(QStringLiteral("photo6.jpg"));

    MediaProbe probe;
    probe.setTimeout(timeoutMs);
    QSignalSpy spy(&probe, &MediaProbe::finished);
    probe.start(path);
    QCOMPARE(spy.count(), 0); // never from inside start()
    QVERIFY(spy.wait(timeoutMs + 10000));
    QVERIFY(!probe.isRunning());
    QVERIFY(!spy.wait(100)); // once
    expectFacts(spy.first().first().value<MediaFacts>(), expected);
    // Waiting on the calling thread gives the same.
    expectFacts(MediaProbe::probe(path, timeoutMs), expected);
}

void TestMediaProbe::abortedProbeStaysSilent()
{
    qputenv("SPINDRA_FFPROBE",
            writeScript(dir.path(), QStringLiteral("ffprobe-slow"), "exec sleep 30").toLocal8Bit());
    MediaProbe probe;
    QSignalSpy spy(&probe, &MediaProbe::finished);
    probe.start(dir.filePath(QStringLiteral("photo6.jpg")));
    QVERIFY(probe.isRunning());
    probe.abort();
    QVERIFY(!probe.isRunning());
    QVERIFY(!spy.wait(200));
    // A new start after an abort reports for the new file only.
    qunsetenv("SPINDRA_FFPROBE");
    probe.start(dir.filePath(QStringLiteral("logo.png")));
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.count(), 1);
    QVERIFY(spy.first().first().value<MediaFacts>().hasAlpha);
}

void TestMediaProbe::treatAsVideo_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("formatName");
    QTest::addColumn<double>("duration");
    QTest::addColumn<int>("kind"); // MediaKind; Unreadable: not said
    QTest::addColumn<bool>("video");
    const int none = int(MediaKind::Unreadable), still = int(MediaKind::Still),
              clip = int(MediaKind::Clip), song = int(MediaKind::SongWithCover);
    QTest::newRow("video ending, any case") << "clip.MP4"
                                            << "" << 0.0 << none << true;
    QTest::newRow("image ending") << "anim.gif"
                                  << "gif" << 3.0 << none << false;
    QTest::newRow("other container with a length") << "clip.webm"
                                                   << "matroska,webm" << 3.0 << none << true;
    QTest::newRow("picture format") << "photo.webp"
                                    << "webp_pipe" << 0.04 << none << false;
    QTest::newRow("image sequence format") << "photo.tif"
                                           << "image2" << 0.04 << none << false;
    QTest::newRow("no length") << "data.bin"
                               << "mpegts" << 0.0 << none << false;
    QTest::newRow("animated GIF") << "anim.gif"
                                  << "gif" << 1.0 << clip << true;
    QTest::newRow("one-frame GIF") << "logo.gif"
                                   << "gif" << 0.1 << still << false;
    QTest::newRow("song with its cover") << "song.mp3"
                                         << "mp3" << 3.0 << song << true;
    QTest::newRow("one picture in a container") << "photo.webm"
                                                << "matroska,webm" << 0.04 << still << false;
    QTest::newRow("one picture named as a video") << "photo.mp4"
                                                  << "mov,mp4" << 0.04 << still << true;
}

void TestMediaProbe::treatAsVideo()
{
    QFETCH(QString, name);
    QFETCH(QString, formatName);
    QFETCH(double, duration);
    QFETCH(int, kind);
    QFETCH(bool, video);
    MediaFacts facts;
    facts.formatName = formatName;
    facts.duration = duration;
    facts.kind = MediaKind(kind);
    QCOMPARE(MediaProbe::treatAsVideo(name, facts), video);
}

QTEST_MAIN(TestMediaProbe)
#include "tst_media_probe.moc"
