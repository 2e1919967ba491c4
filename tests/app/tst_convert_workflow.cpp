// The convert workflow end to end without a device: a generated clip becomes a
// fan file in the model's folder under the output folder, named from the
// per-run identifier and the stored sequence number; images ignore the time
// fields; a failing conversion reports failure and opens nothing; the status
// line links to the file; an output folder that cannot be written sends the
// file to the Desktop and says so. Every function gets a window and a device
// link of its own (no device answers), so the per-run identifiers start anew.
#include "AppTestSupport.h"

#include "FanViewWidget.h"
#include "HomeWindow.h"
#include "ConnectionManager.h"
#include "ConversionController.h"
#include "MPVWidget.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTextEdit>
#include <QUrl>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

class TestConvertWorkflow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void clipConvertsToNumberedFiles();
    void sequenceNumberWrapsAbove99999();
    void imageIgnoresTimeFields();
    void failingConversionReportsFailure();
    void statusLinksToTheFile();
    void unwritableOutputFallsBackToDesktop();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    void loadClip();
    // Presses convert and waits for the job's end; returns the final status text.
    QString convertAndWait(bool doubleClick = false);

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clipPath;
    QString imagePath;
    QString outDir;
    QStringList openedFolders;
    QStringList progressTexts;
    QString desktop;
    std::unique_ptr<ConnectionManager> connection;
    std::unique_ptr<HomeWindow> window;
    DialogRecorder dialogs;
};

void TestConvertWorkflow::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateWindowTest(configDir);
    // A Desktop of our own: the fallback for an output folder that fails.
    desktop = workDir.filePath(QStringLiteral("home/Desktop"));
    QVERIFY(QDir().mkpath(desktop));
    qputenv("HOME", workDir.filePath(QStringLiteral("home")).toLocal8Bit());
    {
        QFile dirs(configDir.filePath(QStringLiteral("user-dirs.dirs")));
        QVERIFY(dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_DESKTOP_DIR=\"" + desktop.toUtf8() + "\"\n");
    }
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), desktop);
    clipPath = workDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    imagePath = workDir.filePath(uniqueName(QStringLiteral("still"), QStringLiteral("png")));
    QVERIFY(makeClip(clipPath, 3));
    QVERIFY(makeImage(imagePath));
    outDir = workDir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outDir));
}

void TestConvertWorkflow::init()
{
    QSettings s = store();
    s.setValue("convert_index", 0);
    s.setValue("outputFolder", outDir);
    s.sync();
    QDir(outDir).removeRecursively();
    QVERIFY(QDir().mkpath(outDir));

    // Nothing listens on the discard port of loopback: the link stays
    // disconnected without waiting for anything.
    DeviceEndpoint nobody;
    nobody.host = QStringLiteral("127.0.0.1");
    nobody.httpPort = 9;
    nobody.wsPort = 9;
    ConnectionTiming timing;
    timing.checkPeriodMs = 3600 * 1000;
    connection = std::make_unique<ConnectionManager>(nobody, timing);
    window = std::make_unique<HomeWindow>(connection.get());
    window->setMediaInfoDelay(200);
    openedFolders.clear();
    window->setFolderOpener([this](const QString& dir) { openedFolders << dir; });
    dialogs.clear();
    dialogs.attach(*window);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // The initial synchronisation puts the stored output folder in place.
    QTRY_COMPARE(child<QLineEdit>("outputField")->text(), outDir);
    window->selectOutputFolder(outDir);
    QCOMPARE(store().value("outputFolder").toString(), outDir);

    auto* selector = child<QComboBox>("modelSelector");
    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
}

void TestConvertWorkflow::cleanup()
{
    if (window) {
        ConversionController* controller = window->conversionController();
        QTRY_VERIFY_WITH_TIMEOUT(!window->isBusy() && !controller->isBusy(), 60000);
    }
    window.reset();
    connection.reset();
}

void TestConvertWorkflow::loadClip()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 0));
}

QString TestConvertWorkflow::convertAndWait(bool doubleClick)
{
    auto* status = child<QLabel>("statusLabel");
    auto* convert = child<QPushButton>("convertButton");
    progressTexts.clear();
    // The window has shown each progress report by the time the test hears
    // of it (its handler was connected first).
    const QMetaObject::Connection watch =
        connect(window->conversionController(), &ConversionController::jobProgress, this, [&] {
            const QString t = status->text();
            if (!t.isEmpty() && (progressTexts.isEmpty() || progressTexts.last() != t))
                progressTexts << t;
        });
    const auto unwatch = qScopeGuard([&] { disconnect(watch); });

    dialogs.clear();
    window->clickStart();
    if (doubleClick) {
        QTest::qWait(1); // the worker's start report may or may not be in
        window->clickStart();
    }
    if (!dialogs.boxes.isEmpty())
        return QStringLiteral("refused: ") + dialogs.lastText();
    // The job runs on a worker; the result ends it.
    const bool ended = QTest::qWaitFor(
        [&] {
            const QString t = status->text();
            return t == QLatin1String("convert_success") || t == QLatin1String("convert_failed");
        },
        120000);
    if (!ended)
        return QStringLiteral("no result; status: ") + status->text();
    if (!convert->isEnabled())
        return QStringLiteral("convert button still disabled");
    progressTexts << status->text();
    if (window->isBusy())
        return QStringLiteral("still busy");
    if (!child<QLabel>("loadingLabel")->isHidden())
        return QStringLiteral("loading indicator still shown");
    // While a video's job ran the status showed its stage and percentage (at
    // least the start of decoding; a still image may be done too soon to see).
    static const QRegularExpression progress(QStringLiteral("^(decoding|converting) \\d{1,3}%$"));
    // A job that fails may end before decoding (its probe finds no file).
    if (window->isVideoInput() && progressTexts.size() < 2 &&
        status->text() == QLatin1String("convert_success"))
        return QStringLiteral("no progress shown: ") + progressTexts.join(QLatin1String(" | "));
    for (int i = 0; i + 1 < progressTexts.size(); ++i) {
        if (!progress.match(progressTexts[i]).hasMatch())
            return QStringLiteral("unexpected status text during the job: ") + progressTexts[i];
    }
    return status->text();
}

void TestConvertWorkflow::clipConvertsToNumberedFiles()
{
    loadClip();
    openedFolders.clear();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    const QString first = outDir + QStringLiteral("/BELLATRIX/00_00000.bin");
    QVERIFY2(QFileInfo(first).size() > 0, qPrintable(first));
    QCOMPARE(store().value("convert_index").toInt(), 1);
    QCOMPARE(openedFolders, QStringList {QFileInfo(first).absolutePath()});
    QVERIFY(child<QLabel>("statusLabel")->styleSheet().contains("color:green"));

    // A quick second click while the job starts does not start a second job.
    QCOMPARE(convertAndWait(true), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo(outDir + QStringLiteral("/BELLATRIX/01_00001.bin")).size() > 0);
    QCOMPARE(store().value("convert_index").toInt(), 2);
    // Once the pipeline has let go of the job nothing more can be written.
    QTRY_VERIFY(!window->conversionController()->isBusy());
    QCOMPARE(QDir(outDir + QStringLiteral("/BELLATRIX")).entryList(QDir::Files).size(), 2);
}

void TestConvertWorkflow::sequenceNumberWrapsAbove99999()
{
    loadClip();
    QSettings s = store();
    s.setValue("convert_index", 99999);
    s.sync();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/00_99999.bin")));
    QCOMPARE(store().value("convert_index").toInt(), 100000);

    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/01_00000.bin")));
    QCOMPARE(store().value("convert_index").toInt(), 1);
}

void TestConvertWorkflow::imageIgnoresTimeFields()
{
    QSettings s = store();
    s.setValue("convert_index", 1);
    s.sync();
    window->selectInputFile(imagePath);
    QVERIFY(!window->isVideoInput());
    // The media information display has run.
    QTRY_VERIFY(child<QTextEdit>("logView")->toPlainText().contains(QStringLiteral("resolution")));
    // Times that a video would be refused for.
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 5));
    child<QTimeEdit>("endTimeEdit")->setTime(QTime(0, 0, 1));
    uint32_t w = 0, h = 0;
    QTRY_VERIFY_WITH_TIMEOUT(window->player()->getVideoSize(w, h), 10000);
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo(outDir + QStringLiteral("/BELLATRIX/00_00001.bin")).size() > 0);
}

void TestConvertWorkflow::failingConversionReportsFailure()
{
    loadClip();
    QSettings s = store();
    s.setValue("convert_index", 2);
    s.sync();
    // A path typed by hand that does not exist: the player still knows the
    // loaded clip's size, the decoder fails.
    child<QLineEdit>("inputField")
        ->setText(workDir.filePath(uniqueName(QStringLiteral("missing"), QStringLiteral("mp4"))));
    openedFolders.clear();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_failed"));
    QVERIFY(child<QLabel>("statusLabel")->styleSheet().contains("color:red"));
    QVERIFY(openedFolders.isEmpty());
    QVERIFY(!QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/00_00002.bin")));
}

void TestConvertWorkflow::statusLinksToTheFile()
{
    loadClip();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    const QString file = outDir + QStringLiteral("/BELLATRIX/00_00000.bin");
    auto* path = child<QLabel>("resultPathLabel");
    QVERIFY(path->isVisible());
    QVERIFY2(path->text().contains(QStringLiteral("saved_to")), qPrintable(path->text()));
    QCOMPARE(path->toolTip(), QDir::toNativeSeparators(file));
    // The link opens the file's folder through the window's folder opener.
    openedFolders.clear();
    const QString href = QUrl::fromLocalFile(QFileInfo(file).absolutePath()).toString();
    QVERIFY2(path->text().contains(href), qPrintable(path->text()));
    QMetaObject::invokeMethod(path, "linkActivated", Q_ARG(QString, href));
    QCOMPARE(openedFolders, QStringList {QFileInfo(file).absolutePath()});
    // However long the path, it wraps within the right column (as wide as
    // the convert button), the whole of it shown.
    QVERIFY2(path->width() <= child<QWidget>("convertButton")->width(),
             qPrintable(QString::number(path->width())));
    QVERIFY(path->height() >= path->heightForWidth(path->width()));
    // The second link shows the file's first frame in the fan view, with the
    // geometry of the model it was made for even after the selector moved on.
    QVERIFY2(path->text().contains(QStringLiteral("show_on_fan_view")), qPrintable(path->text()));
    auto* selector = child<QComboBox>("modelSelector");
    selector->setCurrentIndex(selector->findText(QStringLiteral("CASTOR")));
    QMetaObject::invokeMethod(path, "linkActivated",
                              Q_ARG(QString, QStringLiteral("spindra:fan-view")));
    FanViewWidget* view = window->fanViewWidget();
    QTRY_VERIFY(view->isShowingFile());
    QVERIFY(view->isVisible());
    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    // A new file's choice takes the old result away.
    window->selectInputFile(imagePath);
    QVERIFY(!path->isVisible());
}

void TestConvertWorkflow::unwritableOutputFallsBackToDesktop()
{
    loadClip();
    // A plain file where the output folder should be: no model folder can be
    // made under it.
    const QString blocked = workDir.filePath(QStringLiteral("blocked"));
    {
        QFile f(blocked);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    window->selectOutputFolder(blocked);
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    const QString landed = QDir(desktop).filePath(QStringLiteral("00_00000.bin"));
    QVERIFY2(QFileInfo(landed).size() > 0, qPrintable(landed));
    auto* path = child<QLabel>("resultPathLabel");
    QVERIFY(path->isVisible());
    // Where it went and why.
    QCOMPARE(path->toolTip(), QDir::toNativeSeparators(landed));
    QVERIFY2(path->text().contains(QStringLiteral("output_folder_fallback")),
             qPrintable(path->text()));
    QVERIFY2(path->text().contains(QUrl::fromLocalFile(desktop).toString()),
             qPrintable(path->text()));
    QCOMPARE(openedFolders, QStringList {desktop});
    QFile::remove(landed);
    window->selectOutputFolder(outDir);
}

QTEST_MAIN(TestConvertWorkflow)
#include "tst_convert_workflow.moc"
