// A device reporting a model that is not in the table: the window shows it as
// connected and leaves the user's model selection as it was.
#include "AppTestSupport.h"

#include "HomeWindow.h"

#include <QComboBox>
#include <QLabel>
#include <QSpinBox>
#include <QtTest>

#include <clocale>

using namespace apptest;

class TestUnknownModel : public QObject
{
    Q_OBJECT

private slots:
    void unknownModelChangesNothing();
};

void TestUnknownModel::unknownModelChangesNothing()
{
    QTemporaryDir configDir;
    QTemporaryDir storeDir;
    isolateSettings(configDir);
    std::setlocale(LC_NUMERIC, "C");
    FanSim sim;
    QVERIFY2(sim.start(QStringLiteral("ORION"), storeDir.path()), qPrintable(sim.firstLine));
    sim.exportAddress();

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
}

QTEST_MAIN(TestUnknownModel)
#include "test_unknown_model.moc"
