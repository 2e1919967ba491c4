// The main window against fan-sim on loopback: the connection panel follows
// the device, the device's model is preselected, developer mode keeps the
// model selector as it is, a converted clip is uploaded byte for byte, a
// failed conversion uploads nothing, and another fan at the same address is
// shown with its own model once the panel reads it.
#include "AppTestSupport.h"

#include "HomeWindow.h"

#include <QAction>
#include <QComboBox>
#include <QDate>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace apptest;

class TestConnectedWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void panelFollowsDevice();
    void developerModeKeepsSelectorState();
    void conversionIsUploaded();
    void failedConversionUploadsNothing();
    void aboutBoxNamesVersion();
    void anotherFanAtTheSameAddress();

private:
    template<typename T> T* child(const char* name) { return fx.child<T>(name); }
    QStringList storedFiles() const;
    QStringList localFiles() const;
    static QString withoutIsolates(QString text);
    int uploadRequests() { return fx.sim.count(QStringLiteral("POST /DCIM/upload")); }

    WindowFixture fx;
    QString clipPath;
};

void TestConnectedWindow::initTestCase()
{
    // The window's title takes the version at construction.
    QCoreApplication::setApplicationVersion(QStringLiteral(SPINDRA_VERSION));
    WindowFixture::Options options;
    options.withDevice = true;
    options.simArgs = QStringList {QStringLiteral("--model"), QStringLiteral("BELLATRIX"),
                                   QStringLiteral("--sw"),    QStringLiteral("2.3.4"),
                                   QStringLiteral("--desc"),  QStringLiteral("Workshop fan")};
    options.english = true;
    QVERIFY2(fx.prepare(options), qPrintable(fx.errorText));
    clipPath = fx.workFile(QStringLiteral("clip"), QStringLiteral("mp4"));
    QVERIFY(makeClip(clipPath, 3));
    QVERIFY2(fx.show(), qPrintable(fx.errorText));
}

void TestConnectedWindow::cleanupTestCase() { QVERIFY(fx.finish()); }

void TestConnectedWindow::init()
{
    // Whatever ran before, each case starts with no job running and nothing
    // recorded.
    QTRY_VERIFY_WITH_TIMEOUT(
        !fx.window->isBusy() && child<QPushButton>("convertButton")->isEnabled(), 60000);
    fx.dialogs.clear();
    fx.openedFolders.clear();
}

QString TestConnectedWindow::withoutIsolates(QString text)
{
    return text.remove(QChar(0x2068)).remove(QChar(0x2069));
}

QStringList TestConnectedWindow::storedFiles() const
{
    QStringList files;
    QDirIterator it(fx.sim.storeDir(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

QStringList TestConnectedWindow::localFiles() const
{
    QStringList files;
    QDirIterator it(fx.outDir, {QStringLiteral("*.bin")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

void TestConnectedWindow::panelFollowsDevice()
{
    auto* state = child<QLabel>("stateLabel");
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Connected"), 20000);
    QVERIFY(fx.window->isDeviceConnected());
    QVERIFY(state->styleSheet().contains("#01BA1E"));
    QVERIFY(!child<QLabel>("stateIcon")->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(child<QPushButton>("convertButton")->text(), QStringLiteral("Convert and Upload"));
    auto* selector = child<QComboBox>("modelSelector");
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
    QVERIFY(!selector->isEnabled());
    QTRY_COMPARE(child<QSpinBox>("lightsSpin")->value(), 48);
    QCOMPARE(child<QSpinBox>("radiusSpin")->maximum(), 48);

    // What the fan reports about itself is on show in the panel, each of its
    // texts isolated from the direction of the others.
    auto* info = child<QLabel>("deviceInfoLabel");
    QVERIFY(info->isVisible());
    QCOMPARE(withoutIsolates(info->text()),
             QString::fromUtf8("BELLATRIX · firmware 2.3.4\nWorkshop fan"));
    QCOMPARE(info->textFormat(), Qt::PlainText);
    // And what it plays.
    QTRY_VERIFY(!child<QLabel>("playInfoLabel")->text().isEmpty());

    // Refreshing re-reads the manager's state and keeps the look.
    child<QPushButton>("refreshButton")->click();
    QCOMPARE(state->text(), QStringLiteral("Connected"));
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
}

void TestConnectedWindow::developerModeKeepsSelectorState()
{
    // Outside developer mode a connected device locks the selector.
    QVERIFY(fx.waitConnected());
    QVERIFY(!fx.window->isDeveloperMode());
    auto* selector = child<QComboBox>("modelSelector");
    auto* input = child<QLineEdit>("inputField");
    const QString today = QDate::currentDate().toString("yyyyMMdd");
    input->setText(today);
    fx.window->clickStart();
    QVERIFY(fx.window->isDeveloperMode());

    selector->setEnabled(true);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(selector->isEnabled());
    selector->setEnabled(false);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(!selector->isEnabled());

    input->setText(today);
    fx.window->clickStart();
    QVERIFY(!fx.window->isDeveloperMode());
    selector->setEnabled(true);
    child<QPushButton>("refreshButton")->click();
    QVERIFY(!selector->isEnabled());
    QCOMPARE(fx.dialogs.boxes.size(), 2);
    QCOMPARE(fx.dialogs.boxes[0].text, QStringLiteral("EnterDeveloper Mode"));
    QCOMPARE(fx.dialogs.boxes[1].text, QStringLiteral("ExitDeveloper Mode"));
}

void TestConnectedWindow::conversionIsUploaded()
{
    QVERIFY(fx.waitConnected());
    QVERIFY(fx.loadVideo(clipPath));
    const QStringList localBefore = localFiles();
    const QStringList storedBefore = storedFiles();
    QStringList seen;
    auto* status = child<QLabel>("statusLabel");
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&] {
        if (!status->text().isEmpty() && (seen.isEmpty() || seen.last() != status->text()))
            seen << status->text();
    });
    sampler.start(2);
    fx.window->clickStart();
    QVERIFY2(fx.dialogs.boxes.isEmpty(), qPrintable(fx.dialogs.lastText()));
    const QStringList endings {QStringLiteral("Upload Successful"), QStringLiteral("Upload Failed"),
                               QStringLiteral("Transcoding Failed")};
    QTRY_VERIFY_WITH_TIMEOUT(endings.contains(status->text()), 120000);
    QCOMPARE(status->text(), QStringLiteral("Upload Successful"));
    sampler.stop();
    QVERIFY(status->styleSheet().contains("color:green"));
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());
    QVERIFY(fx.openedFolders.isEmpty());
    QVERIFY2(seen.contains(QStringLiteral("Uploading")) ||
                 seen.filter(QRegularExpression("^Uploading \\d+%$")).size() > 0,
             qPrintable(seen.join(" | ")));

    // One new file in the model's folder, named "NN_NNNNN.bin" (identifier and
    // sequence number depend on what this run converted before).
    QStringList made = localFiles();
    for (const QString& f : localBefore)
        made.removeAll(f);
    QCOMPARE(made.size(), 1);
    const QFileInfo local(made.first());
    QCOMPARE(local.dir().dirName(), QStringLiteral("BELLATRIX"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{2}_\\d{5}\\.bin$"))
                 .match(local.fileName())
                 .hasMatch(),
             qPrintable(local.fileName()));
    QFile localFile(local.filePath());
    QVERIFY(localFile.open(QIODevice::ReadOnly));
    const QByteArray bytes = localFile.readAll();
    QVERIFY(!bytes.isEmpty());

    // The device holds exactly that file, byte for byte, under its name.
    QStringList stored = storedFiles();
    for (const QString& f : storedBefore)
        stored.removeAll(f);
    QCOMPARE(stored.size(), 1);
    QFile remote(stored.first());
    QVERIFY(remote.open(QIODevice::ReadOnly));
    QVERIFY2(remote.readAll() == bytes, qPrintable(stored.first()));
    QCOMPARE(QFileInfo(stored.first()).fileName(), local.fileName());
}

void TestConnectedWindow::failedConversionUploadsNothing()
{
    QVERIFY(fx.waitConnected());
    QVERIFY(fx.loadVideo(clipPath));
    const QStringList before = storedFiles();
    const int requestsBefore = uploadRequests();
    child<QLineEdit>("inputField")
        ->setText(fx.workFile(QStringLiteral("missing"), QStringLiteral("mp4")));
    fx.window->clickStart();
    QVERIFY2(fx.dialogs.boxes.isEmpty(), qPrintable(fx.dialogs.lastText()));
    auto* status = child<QLabel>("statusLabel");
    auto* convert = child<QPushButton>("convertButton");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Transcoding Failed"), 60000);
    QVERIFY(status->styleSheet().contains("color:red"));
    QTRY_VERIFY(convert->isEnabled() && !fx.window->isBusy());
    // The job is over; for a while nothing is sent and nothing is stored.
    QVERIFY(fx.holdQuiet([&] {
        return status->text() == QLatin1String("Transcoding Failed") &&
            uploadRequests() == requestsBefore && storedFiles() == before;
    }));
    QCOMPARE(uploadRequests(), requestsBefore);
    QCOMPARE(storedFiles(), before);
    QVERIFY(fx.openedFolders.isEmpty());
}

void TestConnectedWindow::aboutBoxNamesVersion()
{
    const QString version = QStringLiteral(SPINDRA_VERSION);
    fx.window->findChild<QAction*>(QStringLiteral("aboutAction"))->trigger();
    QCOMPARE(fx.dialogs.boxes.size(), 1);
    QCOMPARE(fx.dialogs.lastTitle(), QStringLiteral("About Spindra"));
    QVERIFY2(fx.dialogs.lastText().contains(QStringLiteral("Spindra v") + version),
             qPrintable(fx.dialogs.lastText()));
    QCOMPARE(fx.window->windowTitle(), QStringLiteral("SPINDRA (%1)").arg(version));
}

// One fan goes, another of another model comes up at the same address and
// ports: Read Device Information asks it, and the window selects and shows
// its model; what it plays after an upload is shown too.
void TestConnectedWindow::anotherFanAtTheSameAddress()
{
    QVERIFY(fx.waitConnected());
    auto* selector = child<QComboBox>("modelSelector");
    auto* info = child<QLabel>("deviceInfoLabel");
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
    const int http = fx.sim.httpPort(), ws = fx.sim.wsPort();
    fx.sim.stop();
    QVERIFY2(fx.sim.start({QStringLiteral("--model"), QStringLiteral("CASTOR"),
                           QStringLiteral("--sw"), QStringLiteral("9.9.9")},
                          http, ws),
             qPrintable(fx.sim.errorText));
    QTRY_VERIFY_WITH_TIMEOUT(fx.sim.count(QStringLiteral("heartbeat")) > 0, 30000);
    QVERIFY(fx.waitConnected(30000));
    child<QPushButton>("refreshButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(selector->currentText(), QStringLiteral("CASTOR"), 10000);
    QVERIFY(!selector->isEnabled());
    QCOMPARE(child<QSpinBox>("lightsSpin")->value(), 256);
    QVERIFY2(
        withoutIsolates(info->text()).startsWith(QString::fromUtf8("CASTOR · firmware 9.9.9\n")),
        qPrintable(info->text()));
}

QTEST_MAIN(TestConnectedWindow)
#include "tst_connected_window.moc"
