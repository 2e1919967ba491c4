// PreviewLook: what the preview sets in mpv for a file, from the probe's
// facts, so that it shows what the conversion makes of the file; and the
// mirror of the picture as shown for each turn.
#include "PreviewLook.h"

#include <QtTest>

class TestPreviewLook : public QObject {
    Q_OBJECT
private slots:
    void forFacts_data();
    void forFacts();
    void mirror_data();
    void mirror();
};

Q_DECLARE_METATYPE(MediaFacts)

void TestPreviewLook::forFacts_data()
{
    QTest::addColumn<MediaFacts>("facts");
    QTest::addColumn<bool>("deinterlace");
    QTest::addColumn<QByteArray>("levels");
    QTest::addColumn<QByteArray>("targetTrc");

    MediaFacts clip;
    clip.kind = MediaKind::Clip;
    clip.yuv = true;
    clip.pixelFormat = QStringLiteral("yuv420p");
    const QByteArray full = "@levels:format=colorlevels=full";
    QTest::newRow("progressive SDR clip") << clip << false << QByteArray() << QByteArray("auto");

    MediaFacts f = clip;
    f.interlaced = true;
    QTest::newRow("interlaced clip") << f << true << QByteArray() << QByteArray("auto");
    f.kind = MediaKind::Still;
    QTest::newRow("interlaced still: one picture")
        << f << false << QByteArray() << QByteArray("auto");
    f.kind = MediaKind::Unreadable;
    QTest::newRow("unreadable: the defaults") << f << false << QByteArray() << QByteArray("auto");

    f = clip;
    f.hdr = HdrTransfer::Hlg;
    QTest::newRow("HLG") << f << false << QByteArray() << QByteArray("bt.1886");
    f.hdr = HdrTransfer::Pq;
    QTest::newRow("PQ") << f << false << QByteArray() << QByteArray("bt.1886");

    MediaFacts grey;
    grey.kind = MediaKind::Still;
    grey.pixelFormat = QStringLiteral("gray");
    QTest::newRow("grey JPEG, untagged: full range") << grey << false << full << QByteArray("auto");
    grey.colorRange = QStringLiteral("pc");
    QTest::newRow("grey, full range") << grey << false << full << QByteArray("auto");
    grey.colorRange = QStringLiteral("tv");
    QTest::newRow("grey, limited range: as mpv reads it")
        << grey << false << QByteArray() << QByteArray("auto");
}

void TestPreviewLook::forFacts()
{
    QFETCH(MediaFacts, facts);
    QFETCH(bool, deinterlace);
    QFETCH(QByteArray, levels);
    QFETCH(QByteArray, targetTrc);
    const PreviewLook look = PreviewLook::forFacts(facts);
    QCOMPARE(look.deinterlace.startsWith("@deinterlace:bwdif"), deinterlace);
    QCOMPARE(look.deinterlace.isEmpty(), !deinterlace);
    QCOMPARE(look.levels, levels);
    QCOMPARE(look.targetTrc, targetTrc);
    QCOMPARE(look == PreviewLook(), !deinterlace && levels.isEmpty() && targetTrc == "auto");
}

void TestPreviewLook::mirror_data()
{
    QTest::addColumn<int>("rotation");
    QTest::addColumn<QByteArray>("filter");
    QTest::newRow("upright") << 0 << QByteArray("@mirror:hflip");
    QTest::newRow("a quarter") << 90 << QByteArray("@mirror:vflip");
    QTest::newRow("a half") << 180 << QByteArray("@mirror:hflip");
    QTest::newRow("three quarters") << 270 << QByteArray("@mirror:vflip");
    QTest::newRow("a quarter back") << -90 << QByteArray("@mirror:vflip");
}

void TestPreviewLook::mirror()
{
    QFETCH(int, rotation);
    QFETCH(QByteArray, filter);
    QCOMPARE(PreviewLook::mirrorFilter(rotation), filter);
}

QTEST_APPLESS_MAIN(TestPreviewLook)
#include "tst_preview_look.moc"
