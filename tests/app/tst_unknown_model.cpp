// A device reporting a model that is not in the table: the window shows it as
// connected and leaves the user's model selection as it was. Such a device
// refuses uploads, which the window reports as a failed upload.
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "HomeWindow.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace apptest;

class TestUnknownModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void unknownModelChangesNothing();

private:
    WindowFixture fx;
};

void TestUnknownModel::initTestCase()
{
    WindowFixture::Options options;
    options.withDevice = true;
    options.simArgs = QStringList {QStringLiteral("--model"), QStringLiteral("ORION")};
    options.fakePipeline = true;
    QVERIFY2(fx.prepare(options), qPrintable(fx.errorText));
    // The user's choice, made before the device is seen.
    auto* selector = fx.child<QComboBox>("modelSelector");
    selector->setCurrentIndex(selector->findText(QStringLiteral("CASTOR")));
    QVERIFY2(fx.show(), qPrintable(fx.errorText));
}

void TestUnknownModel::cleanupTestCase() { QVERIFY(fx.finish()); }

void TestUnknownModel::unknownModelChangesNothing()
{
    HomeWindow& window = *fx.window;
    auto* selector = fx.child<QComboBox>("modelSelector");
    auto* lights = fx.child<QSpinBox>("lightsSpin");
    QVERIFY(fx.waitConnected());
    QCOMPARE(fx.child<QLabel>("stateLabel")->text(), QStringLiteral("connected"));
    // The device's answer has been read: its model is known to the link.
    QTRY_COMPARE_WITH_TIMEOUT(ConnectionManager::instance()->currentModel(),
                              QStringLiteral("ORION"), 20000);
    QVERIFY(fx.holdQuiet([&] {
        return selector->currentText() == QLatin1String("CASTOR") && lights->value() == 256 &&
            !selector->isEnabled() && window.isDeviceConnected();
    }));
    QCOMPARE(selector->currentText(), QStringLiteral("CASTOR"));
    QCOMPARE(lights->value(), 256);
    QVERIFY(!selector->isEnabled());

    // A conversion while connected is uploaded; this device refuses it. (The
    // smallest model keeps the transfer short.)
    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    const QString clip = fx.workFile(QStringLiteral("clip"), QStringLiteral("mp4"));
    QVERIFY(makeClip(clip, 2));
    QVERIFY(fx.loadVideo(clip));
    fx.openedFolders.clear();
    window.clickStart();
    auto* status = fx.child<QLabel>("statusLabel");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("upload_failed"), 120000);
    QVERIFY(status->styleSheet().contains("color:red"));
    QVERIFY(fx.child<QPushButton>("convertButton")->isEnabled());
    QVERIFY2(fx.openedFolders.isEmpty(), qPrintable(fx.openedFolders.join(", ")));
    QVERIFY(QFileInfo(fx.outDir + QStringLiteral("/BELLATRIX/00_00000.bin")).size() > 0);
    QVERIFY(QDir(fx.sim.storeDir()).entryList(QDir::Files).isEmpty());
}

QTEST_MAIN(TestUnknownModel)
#include "tst_unknown_model.moc"
