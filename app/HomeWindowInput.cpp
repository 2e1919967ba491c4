// File choice: the input file (dialog or typed), loading it into the player,
// the media information shown after it, and the output folder.
#include "HomeWindow.h"

#include "MPVWidget.h"
#include "Settings.h"

#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTime>
#include <QTimeEdit>
#include <QWidget>

namespace {

const QStringList& videoSuffixes()
{
    static const QStringList suffixes {QStringLiteral("mp4"), QStringLiteral("avi"),
                                       QStringLiteral("mkv"), QStringLiteral("mov")};
    return suffixes;
}

QString desktopDir() { return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation); }

} // namespace

void HomeWindow::showBusyRefusal()
{
    QMessageBox box(QMessageBox::NoIcon, tr("Tip"), tr("The process is running, Please wait."),
                    QMessageBox::Ok, this);
    runDialog(box);
}

void HomeWindow::clickSelectFolder()
{
    if (busy) {
        showBusyRefusal();
        return;
    }
    QString startDir = inputField->text();
    if (startDir.isEmpty())
        startDir = settings->value(QLatin1String(Settings::LastVideoDir), QString()).toString();
    if (startDir.isEmpty())
        startDir = desktopDir();

    const QString path = QFileDialog::getOpenFileName(
        centralWidget(), tr("Select a Video File"), startDir,
        QStringLiteral("Media Files (*.mp4 *.avi *.mkv *.mov *.jpg *.jpeg *.png *.bmp *.gif);;"
                       "Video Files (*.mp4 *.avi *.mkv *.mov);;"
                       "Image Files (*.jpg *.jpeg *.png *.bmp *.gif);;"
                       "All Files (*.*)"));
    if (path.isEmpty())
        return;
    selectInputFile(path);
}

void HomeWindow::selectInputFile(const QString& path)
{
    const QFileInfo info(path);
    inputField->setText(path);
    logView->clear();
    settings->setValue(QLatin1String(Settings::LastVideoDir), info.absolutePath());
    isVideo = videoSuffixes().contains(info.suffix().toLower());
    qDebug() << "选择了" << (isVideo ? "视频" : "图片") << "文件:" << path;
    // The previous file's duration must not vouch for this one's end time.
    videoDuration = 0.0;
    if (!isVideo) {
        playbackBar->hide();
        hideTimer.stop();
    }
    mpvWidget->loadFile(path);
    mediaInfoRetries = 0;
    mediaInfoTimer.start(mediaInfoDelayMs);
    startTimeEdit->setEnabled(isVideo);
    endTimeEdit->setEnabled(isVideo);
}

void HomeWindow::showMediaInformation()
{
    // Refresh the duration from the player rather than waiting for the
    // position timer's next turn.
    updatePosition();
    uint32_t width = 0;
    uint32_t height = 0;
    const bool sizeKnown = mpvWidget->getVideoSize(width, height);
    // A file that is still opening gets a few more chances before the
    // window reports that it cannot read it.
    if ((!sizeKnown || (isVideo && videoDuration <= 0.0)) && mediaInfoRetries < kMediaInfoRetries) {
        ++mediaInfoRetries;
        mediaInfoTimer.start(qMax(100, mediaInfoDelayMs / 2));
        return;
    }
    if (sizeKnown)
        onLogOutputCb(QStringLiteral("%1: %2x%3").arg(tr("resolution")).arg(width).arg(height));
    else
        onLogOutputCb(tr("get_resolution_error"));

    const QTime end = QTime(0, 0, 0).addSecs(int(videoDuration));
    endTimeEdit->setTime(end);
    onLogOutputCb(QStringLiteral("%1: %2").arg(tr("video_duration"),
                                               end.toString(QStringLiteral("hh:mm:ss"))));
    layoutVideoSquare();
}

void HomeWindow::clickSelectOutFolder()
{
    if (busy) {
        showBusyRefusal();
        return;
    }
    QString startDir = outputField->text();
    if (startDir.isEmpty())
        startDir = desktopDir();
    const QString dir = QFileDialog::getExistingDirectory(
        centralWidget(), tr("Select Output Folder"), startDir,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty())
        return;
    selectOutputFolder(dir);
}

void HomeWindow::selectOutputFolder(const QString& dir)
{
    outputField->setText(dir);
    settings->setValue(QLatin1String(Settings::OutputFolder), dir);
}
