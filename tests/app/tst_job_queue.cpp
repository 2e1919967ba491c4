// The window's job panel with real widgets, on a stand-in pipeline: files
// dropped on the window (one loads as if chosen, several are converted and
// uploaded to fan-sim one after another, each with its own result in the
// list); Cancel and Escape stop the running job in each stage and leave no
// fan file behind; Ctrl+Return converts; the panel's texts fit the right
// column in every language.
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "FakePipeline.h"
#include "HomeWindow.h"
#include "Language.h"

#include <QApplication>
#include <QComboBox>
#include <QDirIterator>
#include <QDropEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTranslator>
#include <QScopeGuard>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

class TestJobQueue : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void oneDroppedFileLoads();
    void droppedFilesConvertAndUploadInOrder();
    void otherFilesAreNotTaken();
    void clearingKeepsTheRunningJob();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void ctrlReturnConverts();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void textsFitTheColumn_data();
    void textsFitTheColumn();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    // A window of its own on a link to endpoint (none: nothing answers).
    void openWindow(const DeviceEndpoint* endpoint = nullptr);
    bool drop(const QStringList& files, QWidget* target = nullptr);
    QStringList fanFiles() const;

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clips[3];
    QString imagePath;
    QString outDir;
    QStringList openedFolders;
    std::unique_ptr<ConnectionManager> connection;
    std::unique_ptr<HomeWindow> window;
    FakePipeline* pipeline = nullptr; // the window's controller owns it
    DialogRecorder dialogs;
};

void TestJobQueue::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateWindowTest(configDir);
    for (int i = 0; i < 3; ++i) {
        clips[i] = workDir.filePath(uniqueName(QStringLiteral("drop%1").arg(i), "mp4"));
        QVERIFY(makeClip(clips[i], 1 + i % 2));
    }
    imagePath = workDir.filePath(uniqueName(QStringLiteral("dropstill"), "png"));
    QVERIFY(makeImage(imagePath));
    outDir = workDir.filePath(QStringLiteral("out"));
}

void TestJobQueue::openWindow(const DeviceEndpoint* endpoint)
{
    QDir(outDir).removeRecursively();
    QVERIFY(QDir().mkpath(outDir));
    QSettings s = store();
    s.setValue("outputFolder", outDir);
    s.sync();
    DeviceEndpoint nobody;
    nobody.host = QStringLiteral("127.0.0.1");
    nobody.httpPort = 9;
    nobody.wsPort = 9;
    ConnectionTiming timing;
    timing.checkPeriodMs = endpoint ? 100 : 3600 * 1000;
    connection = std::make_unique<ConnectionManager>(endpoint ? *endpoint : nobody, timing);
    window = std::make_unique<HomeWindow>(connection.get());
    pipeline = useFakePipeline(*window);
    QVERIFY(pipeline);
    window->setMediaInfoDelay(200);
    openedFolders.clear();
    window->setFolderOpener([this](const QString& dir) { openedFolders << dir; });
    dialogs.clear();
    dialogs.attach(*window);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(child<QLineEdit>("outputField")->text(), outDir);
}

void TestJobQueue::cleanup()
{
    if (window)
        QTRY_VERIFY_WITH_TIMEOUT(!window->conversionController()->isBusy(), 60000);
    window.reset();
    connection.reset();
}

bool TestJobQueue::drop(const QStringList& files, QWidget* target)
{
    if (!target)
        target = window.get();
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& f : files)
        urls << QUrl::fromLocalFile(f);
    mime.setUrls(urls);
    const QPoint at(target->width() / 3, target->height() / 3);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    dropped.ignore();
    QApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

QStringList TestJobQueue::fanFiles() const { return fanFilesIn(outDir); }

void TestJobQueue::oneDroppedFileLoads()
{
    openWindow();
    QVERIFY(drop({imagePath}));
    QCOMPARE(child<QLineEdit>("inputField")->text(), imagePath);
    QVERIFY(!window->isVideoInput());
    QVERIFY(drop({clips[0]}));
    QCOMPARE(child<QLineEdit>("inputField")->text(), clips[0]);
    QVERIFY(window->isVideoInput());
    // Dropped on the input field itself: loaded, not typed in as text.
    auto* input = child<QLineEdit>("inputField");
    QVERIFY(drop({imagePath}, input));
    QCOMPARE(input->text(), imagePath);
    QVERIFY(!window->isVideoInput());
    // Nothing was converted, nothing listed.
    QVERIFY(!window->conversionController()->isBusy());
    QVERIFY(!child<QListWidget>("queueList")->isVisible() ||
            child<QListWidget>("queueList")->count() == 0);
}

void TestJobQueue::droppedFilesConvertAndUploadInOrder()
{
    FanSimProcess sim;
    QVERIFY2(sim.start({QStringLiteral("--model"), QStringLiteral("BELLATRIX")}),
             qPrintable(sim.errorText));
    const DeviceEndpoint device = sim.endpoint();
    openWindow(&device);
    QTRY_VERIFY_WITH_TIMEOUT(window->isDeviceConnected(), 20000);
    QTRY_COMPARE(child<QComboBox>("modelSelector")->currentText(), QStringLiteral("BELLATRIX"));

    QVERIFY(drop({clips[0], clips[1], clips[2]}));
    auto* list = child<QListWidget>("queueList");
    QVERIFY(list->isVisible());
    QCOMPARE(list->count(), 3);
    // Each line ends in its own result; all three go to the fan in order.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (int i = 0; i < list->count(); ++i) {
                if (!list->item(i)->text().endsWith(QStringLiteral("upload_success")))
                    return false;
            }
            return true;
        }(),
        180000);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(list->item(i)->text().startsWith(QFileInfo(clips[i]).fileName()),
                 qPrintable(list->item(i)->text()));
    QTRY_VERIFY_WITH_TIMEOUT(!window->conversionController()->isBusy(), 30000);
    const QStringList stored = sim.lines().filter(QStringLiteral("STORED "));
    QCOMPARE(stored.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(stored[i].contains(QStringLiteral("STORED %1_").arg(i, 2, 10, QLatin1Char('0'))),
                 qPrintable(stored[i]));
    // The files on the device are those in the output folder, byte for byte.
    const QStringList local = fanFiles();
    QCOMPARE(local.size(), 3);
    for (const QString& path : local) {
        QFile a(path);
        QFile b(QDir(sim.storeDir()).filePath(QFileInfo(path).fileName()));
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
    }
    QCOMPARE(child<QLabel>("statusLabel")->text(), QStringLiteral("upload_success"));
    QVERIFY(openedFolders.isEmpty()); // after uploads no folder opens
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());

    // Clearing empties the list.
    child<QPushButton>("clearQueueButton")->click();
    QCOMPARE(list->count(), 0);
    QVERIFY(!list->isVisible());
}

void TestJobQueue::otherFilesAreNotTaken()
{
    openWindow();
    const QString text = workDir.filePath(QStringLiteral("notes.txt"));
    QFile f(text);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(!drop({text}));
    QVERIFY(!drop({text, workDir.filePath(QStringLiteral("gone.mp4"))}));
    QVERIFY(child<QLineEdit>("inputField")->text().isEmpty());
    QVERIFY(!window->conversionController()->isBusy());
}

void TestJobQueue::clearingKeepsTheRunningJob()
{
    openWindow();
    QVERIFY(drop({clips[0], clips[1], clips[2]}));
    auto* list = child<QListWidget>("queueList");
    QCOMPARE(list->count(), 3);
    child<QPushButton>("clearQueueButton")->click();
    // The waiting two are gone; the running one stays listed and keeps the
    // window busy until its own end.
    QCOMPARE(list->count(), 1);
    QVERIFY(list->item(0)->text().startsWith(QFileInfo(clips[0]).fileName()));
    QVERIFY(!child<QPushButton>("convertButton")->isEnabled());
    QVERIFY(child<QPushButton>("cancelButton")->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("statusLabel")->text(),
                              QStringLiteral("convert_success"), 120000);
    QVERIFY(list->item(0)->text().endsWith(QStringLiteral("convert_success")));
    QTRY_VERIFY_WITH_TIMEOUT(!window->conversionController()->isBusy(), 30000);
    QCOMPARE(fanFiles().size(), 1);
}

void TestJobQueue::cancelInEachStage_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<bool>("escape");
    QTest::newRow("decoding, button") << int(JobStage::Decoding) << false;
    QTest::newRow("converting, escape") << int(JobStage::Converting) << true;
    QTest::newRow("uploading, button") << int(JobStage::Uploading) << false;
}

void TestJobQueue::cancelInEachStage()
{
    QFETCH(int, stage);
    QFETCH(bool, escape);
    const JobStage when = JobStage(stage);
    FanSimProcess sim;
    if (when == JobStage::Uploading) {
        QVERIFY2(sim.start({QStringLiteral("--model"), QStringLiteral("VEGA"),
                            QStringLiteral("--upload-rate"), QStringLiteral("500000")}),
                 qPrintable(sim.errorText));
        const DeviceEndpoint device = sim.endpoint();
        openWindow(&device);
        QTRY_VERIFY_WITH_TIMEOUT(window->isDeviceConnected(), 20000);
    } else {
        openWindow();
    }
    auto* selector = child<QComboBox>("modelSelector");
    QTRY_COMPARE(selector->currentText(), QStringLiteral("VEGA"));
    QVERIFY(chooseVideoAndWait(*window, clips[1]));
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 0));

    ConversionController* controller = window->conversionController();
    auto* cancel = child<QPushButton>("cancelButton");
    auto* bar = child<QProgressBar>("jobProgressBar");
    // The user acts at the stage's first report, from the report itself: the
    // stage may be over by the time a waiting test would look (the last
    // chunk converts in moments).
    bool reached = false, cancelShown = false, barShown = false;
    auto act =
        connect(controller, &ConversionController::jobProgress, this, [&](int, JobStage s, int) {
            if (reached || s != when)
                return;
            reached = true;
            cancelShown = cancel->isVisible();
            barShown = bar->isVisible();
            if (escape) {
                window->activateWindow();
                QApplication::setActiveWindow(window.get());
                QTest::keyClick(window.get(), Qt::Key_Escape);
            } else {
                cancel->click();
            }
        });
    const auto disconnectGuard = qScopeGuard([&] { disconnect(act); });
    window->clickStart();
    QVERIFY2(dialogs.boxes.isEmpty(), qPrintable(dialogs.lastText()));
    QTRY_VERIFY_WITH_TIMEOUT(reached, 120000);
    QVERIFY(cancelShown);
    QVERIFY(barShown);
    auto* status = child<QLabel>("statusLabel");
    // Cancelled, neither success nor failure, and ready again at once.
    QCOMPARE(status->text(), QStringLiteral("cancelled"));
    QVERIFY(!status->styleSheet().contains("color:green"));
    QVERIFY(!status->styleSheet().contains("color:red"));
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());
    QVERIFY(!window->isBusy());
    QVERIFY(cancel->isHidden());
    QVERIFY(bar->isHidden());
    QVERIFY(openedFolders.isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(!controller->isBusy(), 60000);
    QCOMPARE(status->text(), QStringLiteral("cancelled"));
    if (when == JobStage::Uploading) {
        QTRY_VERIFY_WITH_TIMEOUT(QDir(sim.storeDir())
                                     .entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden)
                                     .isEmpty(),
                                 20000);
        QCOMPARE(sim.count(QStringLiteral("STORED")), 0);
    } else {
        QVERIFY2(fanFiles().isEmpty(), qPrintable(fanFiles().join(", ")));
    }
}

void TestJobQueue::ctrlReturnConverts()
{
    openWindow();
    QVERIFY(chooseVideoAndWait(*window, clips[0]));
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 0));
    window->activateWindow();
    QApplication::setActiveWindow(window.get());
    QTest::keyClick(window.get(), Qt::Key_Return, Qt::ControlModifier);
    QVERIFY(window->conversionController()->isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("statusLabel")->text(),
                              QStringLiteral("convert_success"), 120000);
    QCOMPARE(fanFiles().size(), 1);
}

void TestJobQueue::failuresSayWhy_data()
{
    QTest::addColumn<QString>("how"); // "pipeline": the conversion fails; "probe": not media
    QTest::addColumn<QString>("reason");
    QTest::newRow("the conversion's reason")
        << "pipeline"
        << "cannot write /out/VEGA/00_00000.bin: No space left on device";
    QTest::newRow("a dropped file that is no media") << "probe"
                                                     << "cannot read media ";
}

void TestJobQueue::failuresSayWhy()
{
    // A failed job's list line, and the result line of the job the window
    // shows, say why it failed in the system's own words.
    QFETCH(QString, how);
    QFETCH(QString, reason);
    openWindow();
    pipeline->script.outcome = ConvertOutcome::Failed;
    pipeline->script.reason = reason;
    QStringList files {clips[0], clips[1]};
    if (how == QLatin1String("probe")) {
        files[0] = workDir.filePath(uniqueName(QStringLiteral("notmedia"), "mp4"));
        QFile text(files[0]);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("this is not a video\n");
    }
    QVERIFY(drop(files));
    auto* list = child<QListWidget>("queueList");
    QTRY_VERIFY_WITH_TIMEOUT(!window->conversionController()->isBusy(), 60000);
    for (int i = 0; i < 2; ++i) {
        const QString line = list->item(i)->text();
        QVERIFY2(
            line.startsWith(QFileInfo(files[i]).fileName() + QStringLiteral(" - convert_failed: ")),
            qPrintable(line));
        QVERIFY2(line.contains(reason) || (how == QLatin1String("probe") && i == 1),
                 qPrintable(line));
        QVERIFY2(list->item(i)->toolTip().contains(line.section(QStringLiteral(": "), 1)),
                 qPrintable(list->item(i)->toolTip()));
    }
    QCOMPARE(child<QLabel>("statusLabel")->text(), QStringLiteral("convert_failed"));
    auto* result = child<QLabel>("resultPathLabel");
    QVERIFY(result->isVisible());
    QVERIFY2(result->text().contains(QStringLiteral("convert_failed_reason ")) &&
                 result->text().contains(
                     list->item(1)->text().section(QStringLiteral(": "), 1).toHtmlEscaped()),
             qPrintable(result->text()));
    QVERIFY(fanFiles().isEmpty());
}

void TestJobQueue::textsFitTheColumn_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::newRow("en") << Language::catalogueEnglish();
    QTest::newRow("zh") << Language::catalogueChinese();
    QTest::newRow("ru") << Language::catalogueRussian();
}

void TestJobQueue::textsFitTheColumn()
{
    QFETCH(QString, catalogue);
    QTranslator translator;
    QVERIFY(translator.load(catalogue));
    QCoreApplication::installTranslator(&translator);
    openWindow();
    // A list line holds a file name and a state; the state alone, the
    // buttons and the path caption must leave room in the 270 px column.
    const QFontMetrics fm(child<QListWidget>("queueList")->font());
    for (const char* key : {"cancelled", "clear_queue", "queued", "saved_to", "cancel"}) {
        const QString text = QCoreApplication::translate("HomeWindow", key);
        QVERIFY2(text != QLatin1String(key), key);
        QVERIFY2(fm.horizontalAdvance(text) < 180, qPrintable(text));
    }
    auto* clear = child<QPushButton>("clearQueueButton");
    QVERIFY(clear->sizeHint().width() <= 270);
    QVERIFY(child<QWidget>("jobPanel")->sizeHint().width() <= 270);
    window.reset();
    QCoreApplication::removeTranslator(&translator);
}

QTEST_MAIN(TestJobQueue)
#include "tst_job_queue.moc"
