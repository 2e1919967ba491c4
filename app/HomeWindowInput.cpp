// File choice: the input file (dialog or typed), loading it into the player,
// the media information shown after it, and the output folder.
#include "HomeWindow.h"

#include "MPVWidget.h"
#include "MediaProbe.h"
#include "PlaybackBar.h"
#include "Settings.h"

#include <QDate>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSlider>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTime>
#include <QTimeEdit>
#include <QWidget>

#include <utility>

namespace {

QString desktopDir() { return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation); }

} // namespace

void HomeWindow::showBusyRefusal()
{
    QMessageBox box(QMessageBox::NoIcon, tr("Tip"), tr("The process is running, Please wait."),
                    QMessageBox::Ok, this);
    runDialog(box);
}

QString HomeWindow::mediaFilter() const
{
    const auto patterns = [](const QStringList& suffixes) {
        return QStringLiteral("*.") + suffixes.join(QStringLiteral(" *."));
    };
    return QStringLiteral("%1 (%2);;%3 (%4);;%5 (%6);;%7 (*.*)")
        .arg(tr("filter_media"), patterns(MediaProbe::mediaSuffixes()), tr("filter_video"),
             patterns(MediaProbe::videoSuffixes()), tr("filter_image"),
             patterns(MediaProbe::imageSuffixes()), tr("filter_all"));
}

// The folder a dialog opens in: the named folder, the folder of a named file,
// else the next candidate; a path that names nothing is never offered, since
// the dialog would put its last part into the file-name field.
static QString existingFolder(const QStringList& candidates)
{
    for (const QString& c : candidates) {
        if (c.isEmpty())
            continue;
        const QFileInfo info(c);
        if (info.isDir())
            return info.absoluteFilePath();
        if (info.isFile())
            return info.absolutePath();
    }
    return QDir::homePath();
}

void HomeWindow::clickSelectFolder()
{
    if (isBusy()) {
        showBusyRefusal();
        return;
    }
    const QString startDir = existingFolder(
        {inputField->text(),
         settings->value(QLatin1String(Settings::LastVideoDir), QString()).toString(),
         desktopDir()});

    QFileDialog::Options options;
    if (!useNativeDialogs)
        options |= QFileDialog::DontUseNativeDialog;
    const QString path = QFileDialog::getOpenFileName(centralWidget(), tr("select_video_file"),
                                                      startDir, mediaFilter(), nullptr, options);
    if (path.isEmpty())
        return;
    selectInputFile(path);
}

void HomeWindow::selectInputFile(const QString& path)
{
    inputField->setText(path);
    settings->setValue(QLatin1String(Settings::LastVideoDir), QFileInfo(path).absolutePath());
    loadInput(path);
}

void HomeWindow::loadInput(const QString& path)
{
    loadedInput = path;
    typedPathMissing = false;
    inputFailed = false;
    logView->clear();
    // A result shown for the previous file says nothing about this one.
    clearStatus();
    // By its name until the probe says what it is.
    isVideo = MediaProbe::hasVideoSuffix(path);
    inputFacts.reset();
    qDebug() << "选择了" << (isVideo ? "视频" : "图片") << "文件:" << path;
    // The previous file's duration must not vouch for this one's end time,
    // and the playback bar waits for this file's duration.
    videoDuration = 0.0;
    updatePlaybackBar();
    playbackBar->clear();
    mediaInfo = MediaInfoShown();
    mpvWidget->loadFile(path);
    inputProbe->start(path);
    mediaInfoTimer.start(mediaInfoDelayMs);
    startTimeEdit->setEnabled(isVideo);
    endTimeEdit->setEnabled(isVideo);
    updateFramingButtons();
}

void HomeWindow::onInputTyped()
{
    const QString text = inputField->text().trimmed();
    if (text.isEmpty()) {
        clearInput();
        return;
    }
    if (text == loadedInput) {
        // Back to the loaded file's name: the word about a missing file goes
        // (leaving the field untouched changes nothing else on show).
        if (std::exchange(typedPathMissing, false))
            statusLabel->clear();
        return;
    }
    // The developer-mode command is typed into this field as well; it names
    // no file and is left for the convert button.
    if (text == QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) &&
        !QFileInfo::exists(text))
        return;
    // A path that names nothing (a slip of the keyboard, a path half typed)
    // loads nothing: the picture in the preview stays, and the status line
    // says why nothing happened.
    if (!QFileInfo::exists(text)) {
        showStatus(tr("file_not_found"), false);
        typedPathMissing = true;
        return;
    }
    if (isBusy()) {
        showBusyRefusal();
        return;
    }
    // Typed text is loaded like a dialog's choice but never stored.
    loadInput(text);
}

void HomeWindow::clearInput()
{
    if (loadedInput.isEmpty() && !inputFailed)
        return;
    loadedInput.clear();
    inputFailed = false;
    mediaInfoTimer.stop();
    inputProbe->abort();
    inputFacts.reset();
    mediaInfo = MediaInfoShown();
    mpvWidget->stop();
    videoDuration = 0.0;
    updatePlaybackBar();
    playbackBar->clear();
    endTimeEdit->setTime(QTime(0, 0, 0));
    startTimeEdit->setTime(QTime(0, 0, 0));
    logView->clear();
    clearStatus();
    updateFramingButtons();
}

bool HomeWindow::inputReadable() const
{
    // Only a file the player has refused counts as unreadable; anything else
    // (a file still opening, the developer command) is left to the checks
    // behind the convert button.
    return !(inputFailed && inputField->text().trimmed() == loadedInput);
}

void HomeWindow::onPlayerFileFailed(const QString& path)
{
    if (QFileInfo(path).absoluteFilePath() != QFileInfo(loadedInput).absoluteFilePath())
        return;
    inputFailed = true;
    mediaInfoTimer.stop();
    restoring.clear();
    videoDuration = 0.0;
    updatePlaybackBar();
    endTimeEdit->setTime(QTime(0, 0, 0));
    qDebug() << "无法读取文件:" << path;
    showStatus(unreadableText(), false);
    updateFramingButtons();
}

QString HomeWindow::unreadableText() const
{
    return inputFacts && inputFacts->heifPhoto ? tr("heic_unreadable") : tr("file_unreadable");
}

void HomeWindow::onInputProbed(const MediaFacts& facts)
{
    inputFacts = facts;
    mediaInfo.probed = true;
    if (facts.hasPicture()) {
        // An animated GIF or a song with its cover has a length, times and
        // the playback bar; the preview shows the file as it is converted.
        isVideo = MediaProbe::treatAsVideo(loadedInput, facts);
        startTimeEdit->setEnabled(isVideo);
        endTimeEdit->setEnabled(isVideo);
        mpvWidget->setMediaFacts(facts);
        updatePlaybackBar();
        updateFramingButtons();
    }
    // The player's verdict may have come first; the probe names the cause.
    if (inputFailed)
        showStatus(unreadableText(), false);
    updateMediaInformation();
}

const MediaFacts& HomeWindow::loadedFacts()
{
    if (!inputFacts) {
        inputProbe->abort();
        onInputProbed(MediaProbe::probe(loadedInput));
    }
    return *inputFacts;
}

void HomeWindow::onPlayerFileOpened(const QString& path)
{
    if (QFileInfo(path).absoluteFilePath() != QFileInfo(loadedInput).absoluteFilePath())
        return;
    mediaInfo.opened = true;
    updateMediaInformation();
}

// The media information follows the player's reports: the resolution once
// the picture's size is known, the end time and the duration once the
// length is known (an image has none), each logged once per file.
void HomeWindow::updateMediaInformation()
{
    if (!mediaInfo.opened || inputFailed)
        return;
    uint32_t width = 0;
    uint32_t height = 0;
    if (!mediaInfo.sizeLogged && mpvWidget->getVideoSize(width, height)) {
        mediaInfo.sizeLogged = true;
        onLogOutputCb(QStringLiteral("%1: %2x%3").arg(tr("resolution")).arg(width).arg(height));
        layoutVideoSquare();
    }
    if (!mediaInfo.durationApplied && mediaInfo.probed && (!isVideo || videoDuration > 0.0)) {
        mediaInfo.durationApplied = true;
        // A clip shorter than a second (a short GIF) is a second long.
        const QTime end = QTime(0, 0, 0).addSecs(isVideo ? qMax(1, int(videoDuration)) : 0);
        endTimeEdit->setTime(end);
        onLogOutputCb(QStringLiteral("%1: %2").arg(tr("video_duration"),
                                                   end.toString(QStringLiteral("hh:mm:ss"))));
    }
    if (mediaInfo.sizeLogged && mediaInfo.durationApplied) {
        mediaInfoTimer.stop();
        restoreFileState();
    }
}

// The player has not reported the picture's size in time: the log says so
// (the resolution still follows if the report comes later).
void HomeWindow::onMediaInfoDeadline()
{
    if (inputFailed || loadedInput.isEmpty() || mediaInfo.sizeLogged || mediaInfo.sizeMissingLogged)
        return;
    mediaInfo.sizeMissingLogged = true;
    onLogOutputCb(tr("get_resolution_error"));
}

void HomeWindow::clickSelectOutFolder()
{
    if (isBusy()) {
        showBusyRefusal();
        return;
    }
    const QString startDir = existingFolder({outputField->text(), desktopDir()});
    QFileDialog::Options options = QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks;
    if (!useNativeDialogs)
        options |= QFileDialog::DontUseNativeDialog;
    const QString dir = QFileDialog::getExistingDirectory(
        centralWidget(), tr("select_output_folder"), startDir, options);
    if (dir.isEmpty())
        return;
    selectOutputFolder(dir);
}

void HomeWindow::selectOutputFolder(const QString& dir)
{
    outputField->setText(dir);
    settings->setValue(QLatin1String(Settings::OutputFolder), dir);
}
