// The main window without a device: layout of the video square, playback bar,
// model presets, the checks behind the convert button, developer mode, file
// kinds, the language menu, the untranslated look, and what the status line
// and the job panel show of each stage and end of a job.
#include "AppTestSupport.h"

#include "ConversionController.h"
#include "HomeWindow.h"
#include "MPVWidget.h"
#include "OverlayWidget.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTextEdit>
#include <QTimeEdit>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

class TestHomeWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void untranslatedLookShowsKeys();
    void layoutVideoSquare_data();
    void layoutVideoSquare();
    void playbackBarFollowsMouseForVideoOnly();
    void presetText();
    void modelChangesSetParameters();
    void fileKindFromSuffix_data();
    void fileKindFromSuffix();
    void convertRefusals();
    void developerModeByDateCommand();
    void languageLaterStoresCodeAndKeepsTexts();
    void languageCancelRestoresStoredCheck();
    void languageRestartNowRestartsWithSameArguments();
    void jobDisplayFollowsTheController_data();
    void jobDisplayFollowsTheController();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    void waitForClip();

    QTemporaryDir configDir;
    QTemporaryDir mediaDir;
    QString clipPath;
    std::unique_ptr<HomeWindow> window;
    DialogRecorder dialogs;
};

void TestHomeWindow::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(mediaDir.isValid());
    isolateWindowTest(configDir);
    clipPath = mediaDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    QVERIFY(makeClip(clipPath, 3));

    window = std::make_unique<HomeWindow>();
    window->setMediaInfoDelay(300);
    dialogs.attach(*window);
    window->setFolderOpener([](const QString&) {});
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // The initial synchronisation applies the first model's preset.
    QTRY_COMPARE(child<QSpinBox>("lightsSpin")->value(), 116);
    // Nothing a test starts may write to the real desktop folder.
    window->selectOutputFolder(mediaDir.filePath(QStringLiteral("out")));
}

void TestHomeWindow::cleanupTestCase() { window.reset(); }

void TestHomeWindow::untranslatedLookShowsKeys()
{
    // The language menu checks the stored language, which the language tests
    // change: store English and cancel a language change, which checks the
    // stored language again.
    QSettings s = store();
    s.setValue("language", "en");
    s.sync();
    dialogs.answer = QStringLiteral("cancelButton");
    child<QAction>("englishAction")->trigger();
    dialogs.answer.clear();
    dialogs.clear();

    // No catalogue is installed in this process: every text shows its key.
    QMenuBar* bar = window->menuBar();
    // Menu texts carry a keyboard mnemonic ("&"), which is not shown.
    auto shown = [](const QAction* a) { return QString(a->text()).remove(QLatin1Char('&')); };
    QStringList menus;
    for (QAction* a : bar->actions())
        menus << shown(a);
    QCOMPARE(menus, QStringList({"language", "help"}));
    QCOMPARE(shown(child<QAction>("englishAction")), QStringLiteral("english"));
    QCOMPARE(shown(child<QAction>("chineseAction")), QStringLiteral("chinese"));
    QCOMPARE(shown(child<QAction>("russianAction")), QStringLiteral("russian"));
    QCOMPARE(shown(child<QAction>("aboutAction")), QStringLiteral("about"));
    QVERIFY(child<QAction>("englishAction")->isChecked());

    // Without a device the panel shows the disconnected look.
    QCOMPARE(child<QPushButton>("convertButton")->text(), QStringLiteral("convert"));
    QCOMPARE(child<QLabel>("stateLabel")->text(), QStringLiteral("disconnected"));
    QVERIFY(child<QComboBox>("modelSelector")->isEnabled());
    QCOMPARE(window->windowTitle(),
             QStringLiteral("SPINDRA (%1)").arg(QCoreApplication::applicationVersion()));
    // Developer panels start hidden.
    QVERIFY(!child<QWidget>("parameterPanel")->isVisible());
    QVERIFY(!child<QWidget>("logPanel")->isVisible());

    // The busy view locks the controls and shows the animation; its end
    // undoes exactly that.
    QWidget* locked[] = {child<QWidget>("settingsPanel"), window->menuBar(),
                         child<QWidget>("refreshButton"), child<QWidget>("convertButton")};
    window->beginBusyView();
    for (QWidget* w : locked)
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(child<QLabel>("loadingLabel")->isVisible());
    window->endBusyView();
    for (QWidget* w : locked)
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(child<QLabel>("loadingLabel")->isHidden());
}

void TestHomeWindow::layoutVideoSquare_data()
{
    QTest::addColumn<QSize>("container");
    QTest::addColumn<QRect>("square");
    QTest::addColumn<int>("radius");
    QTest::newRow("1000x600") << QSize(1000, 600) << QRect(200, 0, 600, 600) << 296;
    QTest::newRow("odd height 601") << QSize(1000, 601) << QRect(200, 0, 600, 600) << 296;
    QTest::newRow("portrait 500x900") << QSize(500, 900) << QRect(0, 200, 500, 500) << 246;
    QTest::newRow("odd both 301x301") << QSize(301, 301) << QRect(0, 0, 300, 300) << 146;
}

void TestHomeWindow::layoutVideoSquare()
{
    QFETCH(QSize, container);
    QFETCH(QRect, square);
    QFETCH(int, radius);
    QWidget* videoContainer = child<QWidget>("videoContainer");
    videoContainer->resize(container);
    window->layoutVideoSquare();
    QCOMPARE(window->player()->parentWidget(), videoContainer);
    QCOMPARE(window->player()->geometry(), square);
    auto* overlay = child<OverlayWidget>("overlay");
    QCOMPARE(overlay->size(), container);
    QCOMPARE(overlay->radius(), radius);
    QVERIFY(window->player()->isVisible());
    // Let the layout take the container back.
    QTest::qWait(20);
}

void TestHomeWindow::playbackBarFollowsMouseForVideoOnly()
{
    QWidget* bar = child<QWidget>("playbackBar");
    const QPoint inside(10, 10);
    auto move = [&] {
        QMouseEvent ev(QEvent::MouseMove, inside, window->mapToGlobal(inside), Qt::NoButton,
                       Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &ev);
    };
    auto enter = [&] {
        QEvent ev(QEvent::Enter);
        QApplication::sendEvent(window.get(), &ev);
    };
    auto leave = [&] {
        QEvent ev(QEvent::Leave);
        QApplication::sendEvent(window.get(), &ev);
    };

    window->setBarHideDelay(150);
    const QString image =
        mediaDir.filePath(uniqueName(QStringLiteral("still"), QStringLiteral("png")));
    QVERIFY(makeImage(image));
    window->selectInputFile(image);
    QVERIFY(!window->isVideoInput());
    enter();
    move();
    QVERIFY(bar->isHidden());

    // The bar waits for the clip's duration.
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QVERIFY(window->isVideoInput());
    move();
    QVERIFY(bar->isVisible());
    // Leaving hides it at once; entering shows it; the hide timer hides it later.
    leave();
    QVERIFY(bar->isHidden());
    enter();
    QVERIFY(bar->isVisible());
    QTRY_VERIFY(bar->isHidden());
    window->setBarHideDelay(5000);
}

void TestHomeWindow::presetText()
{
    QCOMPARE(HomeWindow::presetText(116, 520, 6),
             QStringLiteral("{ \"lights\": 116, \"lines\": 520, \"colorDeep\": 6 }"));
    auto* selector = child<QComboBox>("modelSelector");
    QCOMPARE(selector->count(), 12);
    QCOMPARE(selector->itemText(0), QStringLiteral("VEGA"));
    QCOMPARE(selector->itemData(10).toString(),
             QStringLiteral("{ \"lights\": 48, \"lines\": 300, \"colorDeep\": 5 }"));
}

void TestHomeWindow::modelChangesSetParameters()
{
    auto* selector = child<QComboBox>("modelSelector");
    auto* lights = child<QSpinBox>("lightsSpin");
    auto* lines = child<QSpinBox>("linesSpin");
    auto* colorDeep = child<QSpinBox>("colorDeepSpin");
    auto* radius = child<QSpinBox>("radiusSpin");

    selector->setCurrentIndex(selector->findText(QStringLiteral("VEGA")));
    QCOMPARE(radius->maximum(), 116);
    radius->setValue(100);

    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    QCOMPARE(lights->value(), 48);
    QCOMPARE(lines->value(), 300);
    QCOMPARE(colorDeep->value(), 5);
    QCOMPARE(radius->maximum(), 48);
    QCOMPARE(radius->value(), 48);

    lights->setValue(999); // a typed value is overwritten by the next model
    selector->setCurrentIndex(selector->findText(QStringLiteral("CASTOR")));
    QCOMPARE(lights->value(), 256);
    QCOMPARE(lines->value(), 700);
    QCOMPARE(colorDeep->value(), 6);
    QCOMPARE(radius->maximum(), 256);
    QCOMPARE(radius->value(), 48);

    // Presets that are not JSON objects change nothing.
    window->applyModelPreset(QString());
    window->applyModelPreset(QStringLiteral("[1, 2]"));
    window->applyModelPreset(QStringLiteral("{ broken"));
    QCOMPARE(lights->value(), 256);
    QCOMPARE(radius->maximum(), 256);

    selector->setCurrentIndex(0);
    QCOMPARE(lights->value(), 116);
}

void TestHomeWindow::fileKindFromSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("video");
    QTest::newRow("MP4 in capitals") << "CLIP.MP4" << true;
    QTest::newRow("mov") << "a.mov" << true;
    QTest::newRow("webm through All Files") << "a.webm" << false;
    QTest::newRow("png") << "a.png" << false;
}

void TestHomeWindow::fileKindFromSuffix()
{
    QFETCH(QString, name);
    QFETCH(bool, video);
    const QString path = mediaDir.filePath(name);
    window->selectInputFile(path);
    QCOMPARE(window->isVideoInput(), video);
    QCOMPARE(child<QTimeEdit>("startTimeEdit")->isEnabled(), video);
    QCOMPARE(child<QTimeEdit>("endTimeEdit")->isEnabled(), video);
    QCOMPARE(child<QLineEdit>("inputField")->text(), path);
    QCOMPARE(store().value("lastVideoDir").toString(), QFileInfo(path).absolutePath());
}

void TestHomeWindow::waitForClip()
{
    // The media information display sets the end time from the duration.
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QVERIFY(window->mediaDuration() > 2.5);
}

void TestHomeWindow::convertRefusals()
{
    QSettings s = store();
    s.setValue("convert_index", 7);
    s.sync();
    auto* input = child<QLineEdit>("inputField");
    auto* start = child<QTimeEdit>("startTimeEdit");
    auto* end = child<QTimeEdit>("endTimeEdit");

    dialogs.clear();
    input->clear();
    window->clickStart();
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("exception"));
    QCOMPARE(dialogs.lastText(), QStringLiteral("please_select_convert_file"));

    waitForClip();
    const int whole = int(window->mediaDuration());
    QCOMPARE(end->time(), QTime(0, 0).addSecs(whole));

    start->setTime(QTime(0, 0, 2));
    end->setTime(QTime(0, 0, 2));
    window->clickStart();
    QCOMPARE(dialogs.lastText(), QStringLiteral("start_time_error"));

    start->setTime(QTime(0, 0, 0));
    end->setTime(QTime(0, 0, 10));
    window->clickStart();
    QCOMPARE(dialogs.lastText(),
             QStringLiteral("end_time_error") + QTime(0, 0).addSecs(whole).toString("hh:mm:ss"));
    QCOMPARE(dialogs.boxes.size(), 3);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("exception"));

    // No refusal used a sequence number or started anything.
    QCOMPARE(store().value("convert_index").toInt(), 7);
    QVERIFY(!window->isBusy());
    end->setTime(QTime(0, 0).addSecs(whole));
}

void TestHomeWindow::developerModeByDateCommand()
{
    QSettings s = store();
    s.setValue("convert_index", 3);
    s.sync();
    auto* input = child<QLineEdit>("inputField");
    auto* log = child<QTextEdit>("logView");
    const QString today = QDate::currentDate().toString("yyyyMMdd");

    dialogs.clear();
    input->setText(today);
    window->clickStart();
    QVERIFY(window->isDeveloperMode());
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("tip"));
    QCOMPARE(dialogs.lastText(), QStringLiteral("enterdevelop_mode"));
    QTRY_VERIFY(log->toPlainText().contains("enterdevelop_mode"));
    QTRY_VERIFY(child<QWidget>("parameterPanel")->isVisible());
    QVERIFY(child<QWidget>("logPanel")->isVisible());

    window->clickStart();
    QVERIFY(!window->isDeveloperMode());
    QCOMPARE(dialogs.lastText(), QStringLiteral("exitdevelop_mode"));
    QTRY_VERIFY(!child<QWidget>("parameterPanel")->isVisible());

    QCOMPARE(store().value("convert_index").toInt(), 3);

    // Another date is just a file name (missing here): the job runs and fails.
    // It runs only with a picture in the player (its size and length).
    waitForClip();
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0));
    input->setText(QDate::currentDate().addDays(-1).toString("yyyyMMdd"));
    window->clickStart();
    QVERIFY(!window->isDeveloperMode());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>("statusLabel")->text(),
                              QStringLiteral("convert_failed"), 60000);
    QCOMPARE(store().value("convert_index").toInt(), 4);
}

void TestHomeWindow::languageLaterStoresCodeAndKeepsTexts()
{
    const QString buttonText = child<QPushButton>("convertButton")->text();
    dialogs.clear();
    dialogs.answer = QStringLiteral("laterButton");
    child<QAction>("russianAction")->trigger();
    dialogs.answer.clear();

    QCOMPARE(dialogs.boxes.size(), 2);
    QCOMPARE(dialogs.boxes[0].title, QStringLiteral("language_change"));
    QCOMPARE(dialogs.boxes[0].text, QStringLiteral("language_changed_content"));
    QStringList buttons = dialogs.boxes[0].buttons;
    buttons.sort();
    QCOMPARE(buttons, QStringList({"cancel", "later", "restart_now"}));
    QCOMPARE(dialogs.boxes[1].text, QStringLiteral("language_change_next_startup"));
    QCOMPARE(store().value("language").toString(), QStringLiteral("ru"));
    QVERIFY(child<QAction>("russianAction")->isChecked());
    QCOMPARE(child<QPushButton>("convertButton")->text(), buttonText);
}

void TestHomeWindow::languageCancelRestoresStoredCheck()
{
    QSettings s = store();
    s.setValue("language", "ru");
    s.sync();
    dialogs.clear();
    dialogs.answer = QStringLiteral("cancelButton");
    child<QAction>("chineseAction")->trigger();
    dialogs.answer.clear();
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(store().value("language").toString(), QStringLiteral("ru"));
    QVERIFY(child<QAction>("russianAction")->isChecked());
    QVERIFY(!child<QAction>("chineseAction")->isChecked());
}

void TestHomeWindow::languageRestartNowRestartsWithSameArguments()
{
    QString program;
    QStringList arguments;
    int restarts = 0;
    window->setRestarter([&](const QString& p, const QStringList& a) {
        program = p;
        arguments = a;
        ++restarts;
    });
    dialogs.clear();
    dialogs.answer = QStringLiteral("restartNowButton");
    child<QAction>("englishAction")->trigger();
    dialogs.answer.clear();
    QCOMPARE(restarts, 1);
    QCOMPARE(program, QCoreApplication::applicationFilePath());
    QCOMPARE(arguments, QCoreApplication::arguments());
    QCOMPARE(store().value("language").toString(), QStringLiteral("en"));
    QCOMPARE(dialogs.boxes.size(), 1);
}

// The controller's reports, played to the window: the status line and the
// job panel say what the job does and how it ended, and where a kept file is.
// No catalogue is installed: texts show their keys.
void TestHomeWindow::jobDisplayFollowsTheController_data()
{
    QTest::addColumn<bool>("uploads");
    QTest::addColumn<int>("outcome");    // JobOutcome
    QTest::addColumn<bool>("namesFile"); // the end names the fan file
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("note");    // in the result line; empty: no result line
    QTest::addColumn<QString>("warning"); // the conversion's word on a file it wrote
    QTest::newRow("uploaded") << true << int(JobOutcome::Succeeded) << true << QString()
                              << "upload_success"
                              << "saved_to" << QString();
    QTest::newRow("upload refused, with the fan's reason")
        << true << int(JobOutcome::Failed) << true
        << "{\"code\":3,\"msg\":\"not a fan file for CASTOR\"}"
        << "upload_failed"
        << "upload_failed_reason not a fan file for CASTOR" << QString();
    QTest::newRow("upload failed without a reason")
        << true << int(JobOutcome::Failed) << true << QString() << "upload_failed"
        << "upload_failed_kept_file" << QString();
    QTest::newRow("upload cancelled, the file kept")
        << true << int(JobOutcome::Cancelled) << true << "The fan removed the part it had."
        << "cancelled"
        << "The fan removed the part it had." << QString();
    QTest::newRow("upload cancelled, no word from the link")
        << true << int(JobOutcome::Cancelled) << true << QString() << "cancelled"
        << "cancel_kept_file" << QString();
    QTest::newRow("upload cancelled, the end names no file")
        << true << int(JobOutcome::Cancelled) << false << QString() << "cancelled"
        << "cancel_kept_file" << QString();
    QTest::newRow("conversion cancelled") << false << int(JobOutcome::Cancelled) << false
                                          << QString() << "cancelled" << QString() << QString();
    QTest::newRow("conversion failed") << false << int(JobOutcome::Failed) << false << QString()
                                       << "convert_failed" << QString() << QString();
    QTest::newRow("converted, the file ends early")
        << false << int(JobOutcome::Succeeded) << true << QString() << "convert_success"
        << "only 3.6 s of 6.0 s"
        << "the file ends early: only 3.6 s of 6.0 s converted";
}

void TestHomeWindow::jobDisplayFollowsTheController()
{
    QFETCH(bool, uploads);
    QFETCH(int, outcome);
    QFETCH(bool, namesFile);
    QFETCH(QString, message);
    QFETCH(QString, status);
    QFETCH(QString, note);
    QFETCH(QString, warning);
    ConversionController* controller = window->conversionController();
    auto* statusLabel = child<QLabel>("statusLabel");
    auto* bar = child<QProgressBar>("jobProgressBar");
    auto* result = child<QLabel>("resultPathLabel");
    const QString file = mediaDir.filePath(QStringLiteral("00_00042.bin"));
    QFile(file).open(QIODevice::WriteOnly);
    ConvertResult converted;
    converted.outcome = ConvertOutcome::Succeeded;
    converted.path = file;
    converted.warning = warning;
    static int lastId = 7000;
    const int id = ++lastId;

    emit controller->jobStarted(id);
    QVERIFY(window->isBusy());
    emit controller->jobProgress(id, JobStage::Decoding, 30);
    QCOMPARE(statusLabel->text(), QStringLiteral("decoding 30%"));
    if (uploads) {
        emit controller->jobConverted(id, converted, true);
        QVERIFY(!window->isBusy());
        emit controller->jobProgress(id, JobStage::Uploading, 99);
        QCOMPARE(statusLabel->text(), QStringLiteral("uploading 99%"));
        // The whole file is out; the fan has not answered.
        emit controller->jobProgress(id, JobStage::WaitingForFan, 100);
        QCOMPARE(statusLabel->text(), QStringLiteral("waiting_for_fan"));
        QCOMPARE(bar->format(), QStringLiteral("waiting_for_fan"));
        QCOMPARE(bar->value(), 100);
    } else if (!warning.isEmpty()) {
        emit controller->jobConverted(id, converted, false);
    }
    emit controller->jobFinished(id, JobOutcome(outcome), namesFile ? file : QString(), message);
    QCOMPARE(statusLabel->text(), status);
    QVERIFY(child<QPushButton>("convertButton")->isEnabled());
    QVERIFY(!window->isBusy());
    QCOMPARE(result->isVisible(), !note.isEmpty());
    if (!note.isEmpty()) {
        QVERIFY2(result->text().contains(note), qPrintable(result->text()));
        QVERIFY2(result->text().contains(QStringLiteral("saved_to")), qPrintable(result->text()));
        // The whole path, never shortened.
        QVERIFY(result->text().remove(QChar(0x200B)).contains(QDir::toNativeSeparators(file)));
    }
    QVERIFY(QFile::exists(file));
    QFile::remove(file);
}

QTEST_MAIN(TestHomeWindow)
#include "tst_home_window.moc"
