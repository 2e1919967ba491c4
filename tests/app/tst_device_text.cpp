// What the window makes of the texts a fan sends (its model, firmware,
// description, the files it plays): plain, clean, isolated and fitted, and
// the line that says what the fan plays.
#include "ConnectionPanel.h"
#include "DeviceText.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

namespace {

const QChar kFsi(0x2068), kPdi(0x2069), kEllipsis(0x2026);

} // namespace

class TestDeviceText : public QObject {
    Q_OBJECT

private slots:
    void clean_data();
    void clean();
    void fitsAndIsolates_data();
    void fitsAndIsolates();
    void labelShowsPlainText();
    void playText_data();
    void playText();
};

void TestDeviceText::clean_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "VEGA"
                           << "VEGA";
    QTest::newRow("markup stays text") << "<img src=\"/x.png\" width=300>"
                                       << "<img src=\"/x.png\" width=300>";
    QTest::newRow("direction override") << QString::fromUtf8("1.0\u202E2.3") << "1.02.3";
    QTest::newRow("every direction control")
        << QString::fromUtf8(
               "a\u202Ab\u202Bc\u202Cd\u202De\u2066f\u2067g\u2068h\u2069i\u200Ej\u200Fk\u061Cl")
        << "abcdefghijkl";
    QTest::newRow("line breaks and tabs become blanks") << "a\tb\nc\r\nd"
                                                        << "a b c  d";
    QTest::newRow("other controls go") << QStringLiteral("\x07"
                                                         "bell\x1b[0m")
                                       << "bell[0m";
    QTest::newRow("blanks at the ends") << "  fan \n"
                                        << "fan";
    QTest::newRow("Chinese and Cyrillic kept")
        << QString::fromUtf8("风扇 вентилятор") << QString::fromUtf8("风扇 вентилятор");
    QTest::newRow("10 kB cut") << QString(10000, QLatin1Char('x'))
                               << QString(DeviceText::kMaxLength, QLatin1Char('x')) + kEllipsis;
    // The cut never leaves half of a character outside the first plane.
    const QString emoji = QString::fromUtf8("\U0001F600");
    QTest::newRow("cut before a surrogate pair")
        << QString(DeviceText::kMaxLength - 1, QLatin1Char('x')) + emoji + emoji
        << QString(DeviceText::kMaxLength - 1, QLatin1Char('x')) + kEllipsis;
}

void TestDeviceText::clean()
{
    QFETCH(QString, raw);
    QFETCH(QString, shown);
    QCOMPARE(DeviceText::clean(raw), shown);
}

void TestDeviceText::fitsAndIsolates_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("shortened");
    QTest::newRow("fits") << "CASTOR" << 300 << false;
    QTest::newRow("too long") << QString(300, QLatin1Char('w')) << 120 << true;
    QTest::newRow("override inside") << QString::fromUtf8("\u202Eabc") << 300 << false;
}

void TestDeviceText::fitsAndIsolates()
{
    QFETCH(QString, raw);
    QFETCH(int, width);
    QFETCH(bool, shortened);
    const QFontMetrics metrics(QApplication::font());
    const QString shown = DeviceText::fit(raw, metrics, width);
    QVERIFY(shown.startsWith(kFsi) && shown.endsWith(kPdi));
    const QString inner = shown.mid(1, shown.size() - 2);
    QCOMPARE(inner.endsWith(kEllipsis), shortened);
    QVERIFY(metrics.horizontalAdvance(inner) <= width);
    QVERIFY(!inner.contains(QChar(0x202E)));
}

void TestDeviceText::labelShowsPlainText()
{
    QLabel label;
    label.resize(150, 30);
    const QString markup = QStringLiteral("<img src=\"/x.png\" width=300>") + QString(50, 'x');
    DeviceText::show(&label, markup);
    QCOMPARE(label.textFormat(), Qt::PlainText);
    QVERIFY(label.text().startsWith(kFsi + QStringLiteral("<img")));
    // Shortened, with the whole text (escaped) in the tooltip.
    QVERIFY(label.text().contains(kEllipsis));
    QVERIFY(label.toolTip().contains(QStringLiteral("&lt;img src=")));
    DeviceText::show(&label, QStringLiteral("VEGA"));
    QCOMPARE(label.text(), kFsi + QStringLiteral("VEGA") + kPdi);
    QVERIFY(label.toolTip().isEmpty());
}

void TestDeviceText::playText_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("current");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("text"); // without a catalogue: the key, then the values
    const QString name = kFsi + QStringLiteral("00_00005.bin") + kPdi;
    QTest::newRow("playing") << "play"
                             << "00_00005.bin" << 3 << 7
                             << QStringLiteral("play_playing %1 3 7").arg(name);
    QTest::newRow("paused") << "pause"
                            << "00_00005.bin" << 3 << 7
                            << QStringLiteral("play_paused %1 3 7").arg(name);
    QTest::newRow("another state")
        << "shuffle"
        << "00_00005.bin" << 1 << 2 << QStringLiteral("play_listed %1 1 2").arg(name);
    QTest::newRow("idle") << "idle"
                          << "00_00005.bin" << 1 << 7 << "play_idle";
    QTest::newRow("no file") << "play"
                             << "" << 0 << 0 << "play_idle";
    QTest::newRow("nothing stored") << "play"
                                    << "00_00005.bin" << 0 << 0 << "play_idle";
    QTest::newRow("a hostile name")
        << "play" << QString::fromUtf8("\u202Enib.x\n") << 1 << 1
        << QStringLiteral("play_playing %1 1 1").arg(kFsi + QStringLiteral("nib.x") + kPdi);
}

void TestDeviceText::playText()
{
    QFETCH(QString, state);
    QFETCH(QString, current);
    QFETCH(int, progress);
    QFETCH(int, total);
    QFETCH(QString, text);
    QCOMPARE(ConnectionPanel::playText(state, current, progress, total), text);
}

QTEST_MAIN(TestDeviceText)
#include "tst_device_text.moc"
