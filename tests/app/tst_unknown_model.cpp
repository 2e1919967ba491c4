// A device reporting a model that is not in the table: the window shows it as
// connected and leaves the user's model selection as it was. Such a device
// refuses uploads, which the window reports as a failed upload.
#include "AppTestSupport.h"

#include "HomeWindow.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QtTest>

#include <clocale>

using namespace apptest;

class TestUnknownModel : public QObject {
    Q_OBJECT

private slots:
    void unknownModelChangesNothing();
};

void TestUnknownModel::unknownModelChangesNothing()
{
    QTemporaryDir configDir;
    isolateSettings(configDir);
    std::setlocale(LC_NUMERIC, "C");
    FanSimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--model"), QStringLiteral("ORION")}),
             qPrintable(sim.errorText));
    exportAddress(sim);

    HomeWindow window;
    auto* selector = window.findChild<QComboBox*>("modelSelector");
    QVERIFY(selector);
    selector->setCurrentIndex(selector->findText(QStringLiteral("CASTOR")));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTRY_VERIFY_WITH_TIMEOUT(window.isDeviceConnected(), 20000);
    QCOMPARE(window.findChild<QLabel*>("stateLabel")->text(), QStringLiteral("connected"));
    QTest::qWait(300);
    QCOMPARE(selector->currentText(), QStringLiteral("CASTOR"));
    QCOMPARE(window.findChild<QSpinBox*>("lightsSpin")->value(), 256);
    QVERIFY(!selector->isEnabled());

    // A conversion while connected is uploaded; this device refuses it. (The
    // smallest model keeps the transfer short.)
    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    const QString clip =
        configDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    QVERIFY(makeClip(clip, 2));
    window.setFolderOpener([](const QString& dir) { QFAIL(qPrintable("opened " + dir)); });
    window.selectOutputFolder(configDir.filePath(QStringLiteral("out")));
    window.setMediaInfoDelay(200);
    QVERIFY(chooseVideoAndWait(window, clip));
    window.clickStart();
    auto* status = window.findChild<QLabel*>("statusLabel");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("upload_failed"), 120000);
    QVERIFY(status->styleSheet().contains("color:red"));
    QVERIFY(window.findChild<QPushButton*>("convertButton")->isEnabled());
    QVERIFY(QFileInfo(configDir.filePath(QStringLiteral("out/BELLATRIX/00_00000.bin"))).size() > 0);
    QVERIFY(QDir(sim.storeDir()).entryList(QDir::Files).isEmpty());
}

QTEST_MAIN(TestUnknownModel)
#include "tst_unknown_model.moc"
