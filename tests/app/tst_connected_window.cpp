// The main window against fan-sim on loopback: the connection panel follows
// the device, the device's model is preselected, developer mode keeps the
// model selector as it is, a converted clip is uploaded byte for byte, and a
// failed conversion uploads nothing.
#include "AppTestSupport.h"

#include "HomeWindow.h"
#include "Language.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTranslator>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

class TestConnectedWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void panelFollowsDevice();
    void developerModeKeepsSelectorState();
    void conversionIsUploaded();
    void failedConversionUploadsNothing();
    void aboutBoxNamesVersion();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    QStringList storedFiles() const;
    void loadClip();

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clipPath;
    QString outDir;
    QString storeDir;
    QTranslator translator;
    FanSimProcess sim;
    QStringList openedFolders;
    std::unique_ptr<HomeWindow> window;
    DialogRecorder dialogs;
};

void TestConnectedWindow::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateSettings(configDir);
    std::setlocale(LC_NUMERIC, "C");
    QVERIFY(translator.load(Language::catalogueEnglish()));
    QCoreApplication::installTranslator(&translator);

    clipPath = workDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    QVERIFY(makeClip(clipPath, 3));
    outDir = workDir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outDir));

    QVERIFY2(sim.start({QStringLiteral("--model"), QStringLiteral("BELLATRIX"),
                        QStringLiteral("--sw"), QStringLiteral("2.3.4"), QStringLiteral("--desc"),
                        QStringLiteral("Workshop fan")}),
             qPrintable(sim.errorText));
    storeDir = sim.storeDir();
    exportAddress(sim); // before the connection manager exists

    QCoreApplication::setApplicationVersion(QStringLiteral(SPINDRA_VERSION));
    window = std::make_unique<HomeWindow>();
    window->setMediaInfoDelay(200);
    window->setFolderOpener([this](const QString& dir) { openedFolders << dir; });
    dialogs.attach(*window);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->selectOutputFolder(outDir);
}

void TestConnectedWindow::cleanupTestCase()
{
    if (window) {
        QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>("convertButton")->isEnabled(), 60000);
        window.reset();
    }
    sim.stop();
    QCoreApplication::removeTranslator(&translator);
}

QStringList TestConnectedWindow::storedFiles() const
{
    QStringList files;
    QDirIterator it(storeDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

void TestConnectedWindow::loadClip() { QVERIFY(chooseVideoAndWait(*window, clipPath)); }

void TestConnectedWindow::panelFollowsDevice()
{
    auto* state = child<QLabel>("stateLabel");
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Connected"), 20000);
    QVERIFY(window->isDeviceConnected());
    QVERIFY(state->styleSheet().contains("#01BA1E"));
    QVERIFY(!child<QLabel>("stateIcon")->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(child<QPushButton>("convertButton")->text(), QStringLiteral("Convert and Upload"));
    auto* selector = child<QComboBox>("modelSelector");
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
    QVERIFY(!selector->isEnabled());
    QTRY_COMPARE(child<QSpinBox>("lightsSpin")->value(), 48);
    QCOMPARE(child<QSpinBox>("radiusSpin")->maximum(), 48);

    // What the fan reports about itself is on show in the panel.
    auto* info = child<QLabel>("deviceInfoLabel");
    QVERIFY(info->isVisible());
    QCOMPARE(info->text(), QString::fromUtf8("BELLATRIX · firmware 2.3.4\nWorkshop fan"));

    // Refreshing re-reads the manager's state and keeps the look.
    child<QPushButton>("refreshButton")->click();
    QCOMPARE(state->text(), QStringLiteral("Connected"));
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
}

void TestConnectedWindow::developerModeKeepsSelectorState()
{
    auto* selector = child<QComboBox>("modelSelector");
    auto* input = child<QLineEdit>("inputField");
    const QString today = QDate::currentDate().toString("yyyyMMdd");
    input->setText(today);
    window->clickStart();
    QVERIFY(window->isDeveloperMode());

    selector->setEnabled(true);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(selector->isEnabled());
    selector->setEnabled(false);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(!selector->isEnabled());

    input->setText(today);
    window->clickStart();
    QVERIFY(!window->isDeveloperMode());
    selector->setEnabled(true);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(!selector->isEnabled());
    QCOMPARE(dialogs.boxes.size(), 2);
    QCOMPARE(dialogs.boxes[0].text, QStringLiteral("EnterDeveloper Mode"));
    QCOMPARE(dialogs.boxes[1].text, QStringLiteral("ExitDeveloper Mode"));
}

void TestConnectedWindow::conversionIsUploaded()
{
    loadClip();
    openedFolders.clear();
    dialogs.clear();
    QStringList seen;
    auto* status = child<QLabel>("statusLabel");
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&] {
        if (!status->text().isEmpty() && (seen.isEmpty() || seen.last() != status->text()))
            seen << status->text();
    });
    sampler.start(2);
    window->clickStart();
    QVERIFY2(dialogs.boxes.isEmpty(), qPrintable(dialogs.lastText()));
    const QStringList endings {QStringLiteral("Upload Successful"), QStringLiteral("Upload Failed"),
                               QStringLiteral("Transcoding Failed")};
    QTRY_VERIFY_WITH_TIMEOUT(endings.contains(status->text()), 120000);
    QCOMPARE(status->text(), QStringLiteral("Upload Successful"));
    sampler.stop();
    QVERIFY(status->styleSheet().contains("color:green"));
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());
    QVERIFY(openedFolders.isEmpty());
    QVERIFY2(seen.contains(QStringLiteral("Uploading")) ||
                 seen.filter(QRegularExpression("^Uploading \\d+%$")).size() > 0,
             qPrintable(seen.join(" | ")));

    QFile local(outDir + QStringLiteral("/BELLATRIX/00_00000.bin"));
    QVERIFY(local.open(QIODevice::ReadOnly));
    const QByteArray bytes = local.readAll();
    QVERIFY(!bytes.isEmpty());

    const QStringList stored = storedFiles();
    QCOMPARE(stored.size(), 1);
    QFile remote(stored.first());
    QVERIFY(remote.open(QIODevice::ReadOnly));
    QVERIFY2(remote.readAll() == bytes, qPrintable(stored.first()));
    QVERIFY2(stored.first().endsWith(QStringLiteral("00_00000.bin")), qPrintable(stored.first()));
}

void TestConnectedWindow::failedConversionUploadsNothing()
{
    const QStringList before = storedFiles();
    loadClip();
    child<QLineEdit>("inputField")
        ->setText(workDir.filePath(uniqueName(QStringLiteral("missing"), QStringLiteral("mp4"))));
    dialogs.clear();
    window->clickStart();
    QVERIFY2(dialogs.boxes.isEmpty(), qPrintable(dialogs.lastText()));
    auto* status = child<QLabel>("statusLabel");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Transcoding Failed"), 60000);
    QVERIFY(status->styleSheet().contains("color:red"));
    QTest::qWait(500);
    QCOMPARE(storedFiles(), before);
    QVERIFY(openedFolders.isEmpty());
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());
}

void TestConnectedWindow::aboutBoxNamesVersion()
{
    dialogs.clear();
    window->findChild<QAction*>(QStringLiteral("aboutAction"))->trigger();
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("About Spindra"));
    QVERIFY2(dialogs.lastText().contains(QStringLiteral("Spindra v" SPINDRA_VERSION)),
             qPrintable(dialogs.lastText()));
    QCOMPARE(window->windowTitle(), QStringLiteral("SPINDRA (" SPINDRA_VERSION ")"));
}

QTEST_MAIN(TestConnectedWindow)
#include "tst_connected_window.moc"
