// The window's file choice and preview as a user meets them: typed paths load
// like chosen ones, unreadable files are named as such and refused, stale
// state goes with a new choice, the file dialog opens in a folder, the
// playback bar follows the real pointer, zooming after a new file goes the
// way the wheel turns, the keyboard and framing helpers, every control in
// reach of the keyboard, and a language restart that keeps the work.
#include "AppTestSupport.h"

#include "FanViewWidget.h"
#include "HomeWindow.h"
#include "Language.h"
#include "MPVWidget.h"
#include "OverlayWidget.h"
#include "PlaybackBar.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTextEdit>
#include <QToolButton>
#include <QTranslator>
#include <QWheelEvent>
#include <QtTest>

#include <clocale>
#include <cmath>
#include <memory>

using namespace apptest;

class TestWindowInput : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void typedPathLoadsLikeTheDialog_data();
    void typedPathLoadsLikeTheDialog();
    void unreadableFileIsNamedAndRefused_data();
    void unreadableFileIsNamedAndRefused();
    void probeDecidesTimesAndLook_data();
    void probeDecidesTimesAndLook();
    void clearingTheFieldUnloads();
    void fileDialogStartsInAFolder();
    void playbackBarFollowsThePointer();
    void firstZoomAfterNewFileFollowsTheWheel();
    void keyboardAndFramingHelpers();
    void keyboardReachesEveryControl();
    void languageRestartKeepsTheWork();
    void modelListShowsGeometry();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    bool imageShown(uint32_t w, uint32_t h);
    void typeInput(const QString& text, bool enter);
    QFileDialog* waitForFileDialog();

    QTemporaryDir configDir;
    QTemporaryDir homeDir;
    QTemporaryDir mediaDir;
    QString clipPath;
    QString imagePath;
    QTranslator translator;
    std::unique_ptr<HomeWindow> window;
    DialogRecorder dialogs;
};

void TestWindowInput::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(homeDir.isValid());
    QVERIFY(mediaDir.isValid());
    isolateSettings(configDir);
    // A home without a desktop folder, as on a fresh account.
    qputenv("HOME", homeDir.path().toLocal8Bit());
    std::setlocale(LC_NUMERIC, "C");
    QVERIFY(translator.load(Language::catalogueEnglish()));
    QCoreApplication::installTranslator(&translator);

    clipPath = mediaDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    QVERIFY(makeClip(clipPath, 3));
    imagePath = mediaDir.filePath(uniqueName(QStringLiteral("still"), QStringLiteral("png")));
    QVERIFY(makeImage(imagePath));

    window = std::make_unique<HomeWindow>();
    window->setMediaInfoDelay(200);
    window->setUseNativeDialogs(false);
    dialogs.attach(*window);
    window->setFolderOpener([](const QString&) {});
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    // Focus changes and shortcuts need the active window.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    window->selectOutputFolder(mediaDir.filePath(QStringLiteral("out")));
}

void TestWindowInput::cleanupTestCase()
{
    window.reset();
    QCoreApplication::removeTranslator(&translator);
}

void TestWindowInput::init()
{
    dialogs.clear();
    window->setBarHideDelay(5000);
}

bool TestWindowInput::imageShown(uint32_t w, uint32_t h)
{
    return QTest::qWaitFor(
        [&] {
            uint32_t vw = 0, vh = 0;
            return window->player()->getVideoSize(vw, vh) && vw == w && vh == h;
        },
        15000);
}

void TestWindowInput::typeInput(const QString& text, bool enter)
{
    // Focus moves (and leaving the field takes effect) only in the active
    // window; another test's window on the same display may have taken it.
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto* input = child<QLineEdit>("inputField");
    input->setFocus();
    input->selectAll();
    QTest::keyClick(input, Qt::Key_Delete);
    QTest::keyClicks(input, text);
    if (enter)
        QTest::keyClick(input, Qt::Key_Return);
    else
        child<QLineEdit>("outputField")->setFocus(); // leaving the field
}

void TestWindowInput::typedPathLoadsLikeTheDialog_data()
{
    QTest::addColumn<bool>("enter");
    QTest::newRow("Enter") << true;
    QTest::newRow("leaving the field") << false;
}

void TestWindowInput::typedPathLoadsLikeTheDialog()
{
    QFETCH(bool, enter);
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QVERIFY(window->isVideoInput());
    const QString storedDir = store().value("lastVideoDir").toString();

    typeInput(imagePath, enter);
    QVERIFY(!window->isVideoInput());
    QVERIFY(!child<QTimeEdit>("startTimeEdit")->isEnabled());
    // The preview shows the image, and the convert checks see its size.
    QVERIFY(imageShown(120, 90));
    QTRY_VERIFY(child<QTextEdit>("logView")->toPlainText().contains("Resolution: 120x90"));
    // Typed text is never stored.
    QCOMPARE(store().value("lastVideoDir").toString(), storedDir);

    typeInput(clipPath, enter);
    QVERIFY(window->isVideoInput());
    QVERIFY(imageShown(160, 120));
    QTRY_COMPARE(child<QTimeEdit>("endTimeEdit")->time(), QTime(0, 0, 3));
}

void TestWindowInput::unreadableFileIsNamedAndRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    const QString unreadable =
        QStringLiteral("This file cannot be read. Please choose a video or an image.");
    QTest::newRow("text named .mp4") << "text" << unreadable;
    QTest::newRow("sound only") << "sound" << unreadable;
    // The installed FFmpeg cannot read HEIC: the window says what to do.
    QTest::newRow("HEIC photo") << "heic"
                                << "This is a HEIC photo, which this computer cannot read. "
                                   "Please save it as JPEG and choose that.";
}

void TestWindowInput::unreadableFileIsNamedAndRefused()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QString path;
    if (kind == QLatin1String("heic")) {
        path = mediaDir.filePath(uniqueName(QStringLiteral("phone"), QStringLiteral("heic")));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("\0\0\0\x18"
                           "ftypheic\0\0\0\0mif1heic",
                           24) +
                QByteArray(64, '\0'));
    } else if (kind == QLatin1String("text")) {
        path = mediaDir.filePath(uniqueName(QStringLiteral("notes"), QStringLiteral("mp4")));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("these are notes, not a video\n");
    } else {
        path = mediaDir.filePath(uniqueName(QStringLiteral("tone"), QStringLiteral("mp4")));
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"),
                     {"-y", "-loglevel", "error", "-f", "lavfi", "-i", "sine=duration=2", path});
        QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
    }
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    // A result of earlier work is on show.
    QMetaObject::invokeMethod(window.get(), "updateProcessResult", Q_ARG(bool, true),
                              Q_ARG(QString, QStringLiteral("Upload Successful")),
                              Q_ARG(QString, QString()));
    auto* status = child<QLabel>("statusLabel");
    QCOMPARE(status->text(), QStringLiteral("Upload Successful"));

    QSettings s = store();
    s.setValue("convert_index", 11);
    s.sync();
    window->selectInputFile(path);
    // The old result goes at once; the player's verdict follows.
    QVERIFY(status->text() != QStringLiteral("Upload Successful"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), text, 15000);
    QVERIFY(status->styleSheet().contains("red"));
    QVERIFY(!window->inputReadable());

    window->clickStart();
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("Error"));
    QCOMPARE(dialogs.lastText(), text);
    QCOMPARE(store().value("convert_index").toInt(), 11);
    QVERIFY(!window->isBusy());

    // A readable choice clears the verdict.
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QVERIFY(window->inputReadable());
    QVERIFY(status->text().isEmpty());
}

void TestWindowInput::probeDecidesTimesAndLook_data()
{
    // FFmpeg's arguments (the output's name last), the name's ending, and
    // what the window makes of the file.
    QTest::addColumn<QStringList>("make");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("timed");
    QTest::addColumn<QTime>("end");
    QTest::addColumn<bool>("deinterlaced");
    const QStringList pattern {"-f", "lavfi", "-i", "testsrc=duration=2:size=120x90:rate=10"};
    QTest::newRow("animated GIF") << pattern << "gif" << true << QTime(0, 0, 2) << false;
    QTest::newRow("GIF shorter than a second")
        << QStringList {"-f", "lavfi", "-i", "testsrc=duration=0.5:size=120x90:rate=10"} << "gif"
        << true << QTime(0, 0, 1) << false;
    QTest::newRow("one-frame GIF")
        << pattern + QStringList {"-frames:v", "1"} << "gif" << false << QTime(0, 0, 0) << false;
    QTest::newRow("song with its cover")
        << QStringLiteral("-f lavfi -i sine=duration=2 -i COVER -map 0 -map 1 -c:v png "
                          "-disposition:v attached_pic")
               .split(QLatin1Char(' '))
        << "mp3" << true << QTime(0, 0, 2) << false;
    QTest::newRow("interlaced clip")
        << pattern + QStringList {"-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "1"}
        << "mp4" << true << QTime(0, 0, 2) << true;
}

// What the probe finds decides the times, the playback bar and the preview's
// look (an animated GIF has a length; an interlaced clip is shown
// deinterlaced, as it is converted).
void TestWindowInput::probeDecidesTimesAndLook()
{
    QFETCH(QStringList, make);
    QFETCH(QString, suffix);
    QFETCH(bool, timed);
    QFETCH(QTime, end);
    QFETCH(bool, deinterlaced);
    const QString path = mediaDir.filePath(uniqueName(QStringLiteral("probed"), suffix));
    make.replaceInStrings(QStringLiteral("COVER"), imagePath);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), QStringList {"-y", "-loglevel", "error"} + make << path);
    QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);

    // A clip of 3 s first, so that the times come from this file.
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    window->selectInputFile(path);
    QTRY_COMPARE_WITH_TIMEOUT(window->isVideoInput(), timed, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(child<QTimeEdit>("endTimeEdit")->time(), end, 15000);
    QCOMPARE(child<QTimeEdit>("startTimeEdit")->isEnabled(), timed);
    QTRY_COMPARE_WITH_TIMEOUT(window->player()->currentLook().deinterlace.isEmpty(), !deinterlaced,
                              15000);
    auto* bar = qobject_cast<PlaybackBar*>(child<QWidget>("playbackBar"));
    QVERIFY(bar);
    QTRY_COMPARE_WITH_TIMEOUT(bar->isAvailable(), timed, 15000);
}

void TestWindowInput::clearingTheFieldUnloads()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QTRY_VERIFY(window->mediaDuration() > 2.5);
    auto* input = child<QLineEdit>("inputField");
    input->setFocus();
    input->selectAll();
    QTest::keyClick(input, Qt::Key_Backspace);
    QVERIFY(input->text().isEmpty());

    uint32_t w = 0, h = 0;
    QVERIFY(!window->player()->getVideoSize(w, h));
    QCOMPARE(window->mediaDuration(), 0.0);
    QCOMPARE(child<QTimeEdit>("endTimeEdit")->time(), QTime(0, 0));
    QVERIFY(child<QWidget>("playbackBar")->isHidden());
    // The preview stays empty: the position timer finds nothing playing.
    QTest::qWait(700);
    QCOMPARE(window->mediaDuration(), 0.0);
    QVERIFY(!window->player()->getVideoSize(w, h));
}

QFileDialog* TestWindowInput::waitForFileDialog()
{
    QFileDialog* found = nullptr;
    (void)QTest::qWaitFor(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                    found = d;
            }
            return found != nullptr;
        },
        10000);
    return found;
}

void TestWindowInput::fileDialogStartsInAFolder()
{
    child<QLineEdit>("inputField")->clear();
    QSettings s = store();
    s.remove("lastVideoDir");
    s.sync();

    QString directory;
    QString fileName = QStringLiteral("(no dialog)");
    QString title;
    QTimer::singleShot(0, this, [&] {
        if (QFileDialog* d = waitForFileDialog()) {
            directory = d->directory().absolutePath();
            title = d->windowTitle();
            if (auto* edit = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                fileName = edit->text();
            d->reject();
        }
    });
    window->clickSelectFolder();
    // No desktop folder here: the dialog opens in the home folder, with no
    // file name filled in.
    QCOMPARE(directory, QDir(homeDir.path()).absolutePath());
    QCOMPARE(fileName, QString());
    QCOMPARE(title, QStringLiteral("Select a Video File"));

    // With a file named in the field, its folder.
    child<QLineEdit>("inputField")->setText(imagePath);
    QTimer::singleShot(0, this, [&] {
        if (QFileDialog* d = waitForFileDialog()) {
            directory = d->directory().absolutePath();
            d->reject();
        }
    });
    window->clickSelectFolder();
    QCOMPARE(directory, QFileInfo(imagePath).absolutePath());
}

void TestWindowInput::playbackBarFollowsThePointer()
{
    auto* bar = child<QWidget>("playbackBar");
    auto* player = window->player();
    child<QLineEdit>("inputField")->clear();
    window->selectInputFile(imagePath); // nothing with a duration yet
    QVERIFY(imageShown(120, 90));
    QTest::mouseMove(player, QPoint(20, 20));
    QTest::mouseMove(player, QPoint(30, 25));
    QTest::qWait(100);
    QVERIFY(bar->isHidden());

    window->setBarHideDelay(150);
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QTRY_VERIFY(window->mediaDuration() > 2.5);
    QTest::mouseMove(player, QPoint(40, 40));
    QTRY_VERIFY(bar->isVisible());
    QVERIFY(child<QLabel>("totalTimeLabel")->text() != QStringLiteral("00:00:00"));
    // It hides itself, and a move inside the window (not a re-entry) brings
    // it back: over the picture and over the settings column alike.
    QTRY_VERIFY(bar->isHidden());
    QTest::mouseMove(player, QPoint(60, 50));
    QTRY_VERIFY(bar->isVisible());
    QTRY_VERIFY(bar->isHidden());
    QTest::mouseMove(child<QPushButton>("convertButton"), QPoint(10, 10));
    QTRY_VERIFY(bar->isVisible());
}

void TestWindowInput::firstZoomAfterNewFileFollowsTheWheel()
{
    auto* player = window->player();
    auto wheel = [&](int delta) {
        const QPointF pos(player->width() / 2.0, player->height() / 2.0);
        QWheelEvent ev(pos, player->mapToGlobal(pos.toPoint()), QPoint(), QPoint(0, delta),
                       Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(player, &ev);
    };
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QTRY_VERIFY(player->currentLayoutRect().isValid());
    const QRect square = player->currentLayoutRect();
    for (int i = 0; i < 3; ++i)
        wheel(-120);
    QVERIFY(player->width() < square.width());

    // A new file: its media information lays the square out again.
    auto* log = child<QTextEdit>("logView");
    window->selectInputFile(imagePath);
    QTRY_VERIFY(log->toPlainText().contains("Resolution: 120x90"));
    const int before = player->width();
    wheel(120);
    QVERIFY2(player->width() > before,
             qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(player->width())));

    // Reset framing: zoom 1, centred in the square.
    child<QPushButton>("resetFramingButton")->click();
    QCOMPARE(player->currentZoom(), 1.0);
    QCOMPARE(player->geometry(), player->currentLayoutRect());
}

void TestWindowInput::keyboardAndFramingHelpers()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    QTRY_VERIFY(window->mediaDuration() > 2.5);
    auto* player = window->player();
    player->setFocus();

    // Space pauses and resumes.
    const bool paused = player->isPaused();
    QTest::keyClick(window.get(), Qt::Key_Space);
    QTRY_COMPARE(player->isPaused(), !paused);
    QTest::keyClick(window.get(), Qt::Key_Space);
    QTRY_COMPARE(player->isPaused(), paused);
    // A focused check box keeps Space for itself.
    auto* hFlip = child<QAbstractButton>("hFlipButton");
    const bool checked = hFlip->isChecked();
    hFlip->setFocus();
    QTest::keyClick(hFlip, Qt::Key_Space);
    QCOMPARE(hFlip->isChecked(), !checked);
    QCOMPARE(player->isPaused(), paused);
    QTest::keyClick(hFlip, Qt::Key_Space);
    QCOMPARE(hFlip->isChecked(), checked);
    player->setFocus();
    // So does the bar's button.
    child<QPushButton>("playPauseButton")->click();
    QTRY_VERIFY(player->isPaused());

    // The time fields take the current position.
    player->seekTo(2000);
    auto positionIn = [&](double from, double to) {
        double d = 0, p = 0;
        return player->getPlaybackTime(d, p) && p >= from && p < to;
    };
    QTRY_VERIFY(positionIn(1.9, 2.5));
    child<QToolButton>("startHereButton")->click();
    QCOMPARE(child<QTimeEdit>("startTimeEdit")->time(), QTime(0, 0, 2));
    player->seekTo(1000);
    QTRY_VERIFY(positionIn(0.9, 1.5));
    child<QToolButton>("endHereButton")->click();
    QCOMPARE(child<QTimeEdit>("endTimeEdit")->time(), QTime(0, 0, 1));
    child<QPushButton>("playPauseButton")->click();
    QTRY_VERIFY(!player->isPaused());
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0));

    // F1 shows the about box.
    QTest::keyClick(window.get(), Qt::Key_F1);
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.lastTitle(), QStringLiteral("About Spindra"));

    // Ctrl+O opens the file dialog.
    bool opened = false;
    QTimer::singleShot(0, this, [&] {
        if (QFileDialog* d = waitForFileDialog()) {
            opened = true;
            d->reject();
        }
    });
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    QVERIFY(opened);

    // Menu titles carry mnemonics.
    for (QAction* a : window->menuBar()->actions())
        QVERIFY2(!QKeySequence::mnemonic(a->text()).isEmpty(), qPrintable(a->text()));
}

void TestWindowInput::keyboardReachesEveryControl()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    // Tab follows the column, from the preview down to the convert button;
    // the flips are two stops of their own. (Inside a time field Tab first
    // steps through its hours, minutes and seconds.)
    const QStringList order {
        "player",           "resetFramingButton", "refreshButton",      "inputField",
        "selectFileButton", "outputField",        "selectOutputButton", "modelSelector",
        "startTimeEdit",    "startHereButton",    "endTimeEdit",        "endHereButton",
        "hFlipButton",      "vFlipButton",        "fanViewButton",      "convertButton"};
    QVERIFY(qobject_cast<QCheckBox*>(child<QWidget>("vFlipButton")));
    window->player()->setFocus();
    QTRY_VERIFY(window->player()->hasFocus());
    // The focused preview shows its focus.
    QTRY_VERIFY(child<OverlayWidget>("overlay")->hasFocusFrame());
    QStringList visited {QApplication::focusWidget()->objectName()};
    for (int i = 1; i < order.size(); ++i) {
        QWidget* from = QApplication::focusWidget();
        for (int step = 0; step < 4 && QApplication::focusWidget() == from; ++step)
            QTest::keyClick(from, Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, order);
    QVERIFY(!child<OverlayWidget>("overlay")->hasFocusFrame());

    // Passing through the path field changes nothing on show.
    auto* input = child<QLineEdit>("inputField");
    QMetaObject::invokeMethod(window.get(), "updateProcessResult", Q_ARG(bool, true),
                              Q_ARG(QString, QStringLiteral("Upload Successful")),
                              Q_ARG(QString, QString()));
    input->setFocus();
    QTest::keyClick(input, Qt::Key_Tab);
    QCOMPARE(child<QLabel>("statusLabel")->text(), QStringLiteral("Upload Successful"));

    // Typing F in the path types an f and nothing else; leaving the field
    // with a path that names nothing keeps the clip and says why.
    input->setFocus();
    input->end(false);
    QTest::keyClick(input, Qt::Key_F);
    QCOMPARE(input->text(), clipPath + QLatin1Char('f'));
    QVERIFY(!window->fanViewWidget()->isActive());
    QTest::keyClick(input, Qt::Key_Tab);
    QCOMPARE(child<QLabel>("statusLabel")->text(),
             QStringLiteral("There is no file at this path."));
    uint32_t w = 0, h = 0;
    QVERIFY(window->player()->getVideoSize(w, h) && w == 160);
    QVERIFY(window->mediaDuration() > 2.5);
    // Back to the loaded file's name: nothing to say any more.
    typeInput(clipPath, true);
    QVERIFY(child<QLabel>("statusLabel")->text().isEmpty());
}

// Restart Now for a language keeps the loaded file, its times, the framing
// and the flips: the next start brings them back.
void TestWindowInput::languageRestartKeepsTheWork()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    auto* player = window->player();
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 1));
    child<QTimeEdit>("endTimeEdit")->setTime(QTime(0, 0, 2));
    child<QCheckBox>("hFlipButton")->click();
    player->setFocus();
    QTest::keyClick(player, Qt::Key_Plus);
    QTest::keyClick(player, Qt::Key_Right);
    const double zoom = player->currentZoom();
    const QPointF offset = player->framingOffset();
    QVERIFY(zoom > 1.0 && offset.x() > 0.0);

    int restarts = 0;
    window->setRestarter([&](const QString&, const QStringList&) { ++restarts; });
    dialogs.answer = QStringLiteral("restartNowButton");
    window->findChild<QAction*>(QStringLiteral("russianAction"))->trigger();
    dialogs.answer.clear();
    QCOMPARE(restarts, 1);
    QVERIFY(!store().value("restartState").toString().isEmpty());

    // The next start (a second window in this process) brings the work back.
    QSettings s = store();
    s.setValue("language", "en");
    s.sync();
    auto next = std::make_unique<HomeWindow>();
    next->setMediaInfoDelay(200);
    next->show();
    QVERIFY(QTest::qWaitForWindowExposed(next.get()));
    auto* nextInput = requireChild<QLineEdit>(*next, "inputField");
    QTRY_COMPARE(nextInput->text(), clipPath);
    QTRY_COMPARE_WITH_TIMEOUT(requireChild<QTimeEdit>(*next, "endTimeEdit")->time(), QTime(0, 0, 2),
                              15000);
    QCOMPARE(requireChild<QTimeEdit>(*next, "startTimeEdit")->time(), QTime(0, 0, 1));
    QVERIFY(requireChild<QCheckBox>(*next, "hFlipButton")->isChecked());
    QVERIFY(next->player()->horizontalFlip());
    QTRY_VERIFY(qFuzzyCompare(next->player()->currentZoom(), zoom));
    QVERIFY(std::fabs(next->player()->framingOffset().x() - offset.x()) < 0.01);
    // Only once.
    QVERIFY(store().value("restartState").toString().isEmpty());
    next.reset();

    child<QCheckBox>("hFlipButton")->click();
    child<QPushButton>("resetFramingButton")->click();
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0));
}

void TestWindowInput::modelListShowsGeometry()
{
    auto* selector = child<QComboBox>("modelSelector");
    QCOMPARE(selector->itemText(0), QStringLiteral("VEGA"));
    QCOMPARE(selector->itemData(0, HomeWindow::ModelDetailsRole).toString(),
             QString::fromUtf8("116 LEDs · 520 lines · 6-bit colour"));
    QCOMPARE(selector->itemData(10, HomeWindow::ModelDetailsRole).toString(),
             QString::fromUtf8("48 LEDs · 300 lines · 5-bit colour"));
    // The open list draws the details beside the name.
    QAbstractItemView* view = selector->view();
    QStyleOptionViewItem option;
    option.initFrom(view);
    const QSize hint = view->itemDelegate()->sizeHint(option, selector->model()->index(0, 0));
    QVERIFY(hint.width() > view->fontMetrics().horizontalAdvance(
                               QString::fromUtf8("VEGA 116 LEDs · 520 lines · 6-bit colour")));
    // The open list is wide enough for its widest line, details and all.
    QVERIFY(view->minimumWidth() >= view->sizeHintForColumn(0));
    // Selection by name still works.
    QCOMPARE(selector->findText(QStringLiteral("BELLATRIX")), 10);
}

QTEST_MAIN(TestWindowInput)
#include "tst_window_input.moc"
