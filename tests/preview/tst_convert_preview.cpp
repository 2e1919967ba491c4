// spindra-convert --preview: the first frame's picture lands next to the fan
// file, upright and unmirrored.
#include "ConvertTool.h"
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestConvertPreview : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    // top right red, top left green, bottom left blue, bottom right white
    const QRgb colours[4] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255),
                             qRgb(255, 255, 255)};
    QString input;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty())
            QSKIP("FFmpeg is not installed");
        QImage image(240, 240, QImage::Format_RGB888);
        for (int y = 0; y < 240; y++) {
            for (int x = 0; x < 240; x++)
                image.setPixel(x, y, colours[y < 120 ? (x >= 120 ? 0 : 1) : (x < 120 ? 2 : 3)]);
        }
        input = dir.filePath(QStringLiteral("quadrants.png"));
        QVERIFY(image.save(input));
    }

    void preview_next_to_the_fan_file()
    {
        QString err;
        const int code = runConvertTool(
            {input, QStringLiteral("--model"), QStringLiteral("BELLATRIX"), QStringLiteral("--out"),
             dir.path(), QStringLiteral("--preview"), QStringLiteral("first.png")},
            &err);
        QVERIFY2(code == 0, qPrintable(err));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("BELLATRIX/quadrants.bin"))));
        const QImage shown(dir.filePath(QStringLiteral("BELLATRIX/first.png")));
        QCOMPARE(shown.size(), QSize(4 * 48, 4 * 48));
        const int q = 48; // a quarter of the side: the middle of each quadrant
        const QPoint where[4] = {{192 - q, q}, {q, q}, {q, 192 - q}, {192 - q, 192 - q}};
        for (int n = 0; n < 4; n++)
            QCOMPARE(shown.pixel(where[n]) & 0xffffff, colours[n] & 0xffffff);
    }

    void bad_preview_name_is_refused_before_converting()
    {
        QString err;
        QCOMPARE(runConvertTool({input, QStringLiteral("--out"), dir.path(),
                                 QStringLiteral("--preview"), QStringLiteral("first.txt")},
                                &err),
                 2);
        QVERIFY2(err.startsWith(QStringLiteral("spindra-convert: bad --preview")), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestConvertPreview)
#include "tst_convert_preview.moc"
