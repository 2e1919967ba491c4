// The convert-and-upload workflow: the settings column's input, output, time
// and flip rows, the checks behind the convert button, the job's callbacks,
// and the handling of the conversion and upload results.
#include "HomeWindow.h"

#include "ConnectionManager.h"
#include "MPVWidget.h"
#include "MediaConvert.h"
#include "MediaInfo.h"
#include "Settings.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDate>
#include <QDebug>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutex>
#include <QPointF>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <memory>

namespace {

int secondsOf(const QTime& t) { return t.hour() * 3600 + t.minute() * 60 + t.second(); }

QString desktopDir() { return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation); }

} // namespace

// A job outlives the slot that started it and reports from worker threads. The
// link lets those reports reach the window only while it exists: the window
// cuts it in its destructor, under the same lock the workers take.
struct HomeWindowJobLink {
    QMutex mutex;
    HomeWindow* window = nullptr;
};

QGroupBox* HomeWindow::buildSettingsPanel()
{
    auto* panel = new QGroupBox(tr("settings"), this);
    panel->setObjectName(QStringLiteral("settingsPanel"));
    auto* layout = new QVBoxLayout(panel);

    layout->addWidget(new QLabel(tr("input_file"), panel));
    auto* inputRow = new QHBoxLayout();
    inputField = new QLineEdit(panel);
    inputField->setObjectName(QStringLiteral("inputField"));
    inputField->setMinimumWidth(60);
    // A typed path is loaded like a chosen one (Enter or leaving the field);
    // emptying the field unloads the picture at once.
    connect(inputField, &QLineEdit::editingFinished, this, &HomeWindow::onInputTyped);
    connect(inputField, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (text.trimmed().isEmpty())
            clearInput();
    });
    auto* selectFile = new QPushButton(tr("select_file"), panel);
    selectFile->setObjectName(QStringLiteral("selectFileButton"));
    connect(selectFile, &QPushButton::clicked, this, &HomeWindow::clickSelectFolder);
    inputRow->addWidget(inputField);
    inputRow->addWidget(selectFile);
    layout->addLayout(inputRow);
    layout->addSpacing(8);

    layout->addWidget(new QLabel(tr("output_path"), panel));
    auto* outputRow = new QHBoxLayout();
    outputField = new QLineEdit(panel);
    outputField->setObjectName(QStringLiteral("outputField"));
    outputField->setMinimumWidth(60);
    auto* selectOut = new QPushButton(tr("select_output_path"), panel);
    selectOut->setObjectName(QStringLiteral("selectOutputButton"));
    connect(selectOut, &QPushButton::clicked, this, &HomeWindow::clickSelectOutFolder);
    outputRow->addWidget(outputField);
    outputRow->addWidget(selectOut);
    layout->addLayout(outputRow);
    layout->addSpacing(8);

    layout->addWidget(new QLabel(tr("model"), panel));
    layout->addWidget(buildModelSelector());
    layout->addSpacing(8);

    auto timeEdit = [&](const char* name) {
        auto* edit = new QTimeEdit(QTime(0, 0, 0), panel);
        edit->setObjectName(QLatin1String(name));
        edit->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        return edit;
    };
    // Start and end side by side, each with a button that takes the player's
    // current position.
    auto* times = new QGridLayout();
    auto hereButton = [&](const char* name, const QString& tip, QTimeEdit* edit) {
        auto* button = new QToolButton(panel);
        button->setText(tr("from_position"));
        button->setObjectName(QLatin1String(name));
        button->setToolTip(tip);
        connect(button, &QToolButton::clicked, this, [this, edit] { setTimeFromPosition(edit); });
        return button;
    };
    startTimeEdit = timeEdit("startTimeEdit");
    endTimeEdit = timeEdit("endTimeEdit");
    startHereButton = hereButton("startHereButton", tr("start_from_position_tip"), startTimeEdit);
    endHereButton = hereButton("endHereButton", tr("end_from_position_tip"), endTimeEdit);
    times->setHorizontalSpacing(4);
    times->addWidget(new QLabel(tr("start_time"), panel), 0, 0, 1, 2);
    times->addWidget(startTimeEdit, 1, 0);
    times->addWidget(startHereButton, 1, 1);
    times->addItem(new QSpacerItem(8, 0), 1, 2);
    times->addWidget(new QLabel(tr("end_time"), panel), 0, 3, 1, 2);
    times->addWidget(endTimeEdit, 1, 3);
    times->addWidget(endHereButton, 1, 4);
    times->setColumnStretch(0, 1);
    times->setColumnStretch(3, 1);
    layout->addLayout(times);
    layout->addSpacing(8);

    layout->addWidget(new QLabel(tr("flip"), panel));
    auto* flipRow = new QHBoxLayout();
    hFlipButton = new QRadioButton(tr("horizontal_flip"), panel);
    hFlipButton->setObjectName(QStringLiteral("hFlipButton"));
    vFlipButton = new QRadioButton(tr("vertical_flip"), panel);
    vFlipButton->setObjectName(QStringLiteral("vFlipButton"));
    flipGroup = new QButtonGroup(panel);
    flipGroup->setExclusive(false);
    flipGroup->addButton(hFlipButton);
    flipGroup->addButton(vFlipButton);
    connect(flipGroup, QOverload<QAbstractButton*>::of(&QButtonGroup::buttonClicked), this,
            [this](QAbstractButton*) { onFlipClicked(); });
    flipRow->addWidget(hFlipButton);
    flipRow->addWidget(vFlipButton);
    flipRow->addStretch();
    layout->addLayout(flipRow);
    layout->addSpacing(8);

    layout->addWidget(buildParameterPanel());
    layout->addStretch();
    return panel;
}

QString HomeWindow::nextSequenceNumber()
{
    int n = settings->value(QLatin1String(Settings::ConvertIndex), 0).toInt();
    if (n > 99999 || n < 0)
        n = 0;
    settings->setValue(QLatin1String(Settings::ConvertIndex), n + 1);
    return QStringLiteral("%1").arg(n, 5, 10, QLatin1Char('0'));
}

void HomeWindow::clickStart()
{
    if (!inputReadable())
        return showMessage(tr("exception"), tr("file_unreadable"));
    // A job is on its way (its start report may not have arrived yet): a
    // second job would share its temporary files.
    if (jobActive)
        return;
    statusLabel->clear();
    logView->clear();

    const QString input = QDir::toNativeSeparators(inputField->text());
    if (input.isEmpty()) {
        showMessage(tr("exception"), tr("please_select_convert_file"));
        return;
    }

    // Developer mode: the current local date as yyyyMMdd typed as the input.
    if (input == QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))) {
        const bool wasOn = developerMode;
        developerMode = !developerMode;
        const QString message =
            QStringLiteral("%1%2").arg(wasOn ? tr("exit") : tr("enter"), tr("develop_mode"));
        onLogOutputCb(message);
        showMessage(tr("tip"), message);
        updateDebugMode();
        return;
    }

    const QString modelName = modelSelector->currentText();
    const int start = secondsOf(startTimeEdit->time());
    const int end = secondsOf(endTimeEdit->time());
    const int span = end - start;

    if (isVideo) {
        if (start >= end) {
            showMessage(tr("exception"), tr("start_time_error"));
            return;
        }
        if (end > videoDuration) {
            const QString duration =
                QTime(0, 0, 0).addSecs(int(videoDuration)).toString(QStringLiteral("hh:mm:ss"));
            showMessage(tr("exception"), tr("end_time_error") + duration);
            return;
        }
    }

    uint32_t w = 0;
    uint32_t h = 0;
    // A zero size would turn the framing fallback into a division by zero.
    if (!mpvWidget->getVideoSize(w, h) || w == 0 || h == 0) {
        showMessage(tr("exception"), tr("video_parse_error"));
        return;
    }

    const int lights = lightsSpin->value();
    const int lines = linesSpin->value();
    const int colorDeep = colorDeepSpin->value();
    const int radius = developerMode ? radiusSpin->value() : 0;
    const double gamma = gammaSpin->value();
    const double minBrightness = minBrightnessSpin->value();

    QPointF center(0.0, 0.0);
    double scale = 1.0;
    if (mpvWidget->computeFraming(center, scale, 2 * lights)) {
        qDebug() << "获取中心和缩放比例成功";
    } else {
        scale = 2.0 * lights / double(qMax(w, h));
        center = QPointF(w * 0.5, h * 0.5);
    }

    auto* info = new MediaInfo();
    info->isVideo = isVideo;
    info->inputPath = input;
    info->outputDir = outputField->text().isEmpty() ? desktopDir() : outputField->text();
    info->mediaWidth = int(w);
    info->mediaHeight = int(h);
    info->centerX = center.x();
    info->centerY = center.y();
    info->scale = scale;
    info->startSeconds = start;
    info->durationSeconds = span;
    info->hFlip = hFlipButton->isChecked();
    // The raw frames come out of the decoder upside down relative to the
    // preview, so the job mirrors them unless the user asked for a flip.
    info->vFlip = !vFlipButton->isChecked();

    const QString runIndex = nextSequenceNumber();
    const QString fileName =
        ConnectionManager::instance()->makeUniqueFileName(runIndex, QStringLiteral("bin"));

    if (!jobLink) {
        jobLink = std::make_shared<HomeWindowJobLink>();
        jobLink->window = this;
    }
    std::shared_ptr<HomeWindowJobLink> link = jobLink;

    auto onStart = [link] {
        qDebug() << "开始转换...";
        QMutexLocker lock(&link->mutex);
        if (HomeWindow* window = link->window) {
            window->busy = true;
            QMetaObject::invokeMethod(window, [window] {
                window->jobActive = true;
                window->beginBusyView();
            });
        }
    };
    auto onLog = [link](const QString& text) {
        qDebug() << "日志:" << text;
        QMutexLocker lock(&link->mutex);
        if (HomeWindow* window = link->window)
            QMetaObject::invokeMethod(window, [window, text] { window->onLogOutputCb(text); });
    };
    auto onProgress = [link](MediaStage stage, int percent) {
        QMutexLocker lock(&link->mutex);
        if (HomeWindow* window = link->window)
            QMetaObject::invokeMethod(
                window, [window, stage, percent] { window->onConversionProgress(stage, percent); });
    };
    auto onResult = [link, info](bool success, const QString& path) {
        qDebug() << "完成:" << (success ? "成功" : "失败");
        {
            QMutexLocker lock(&link->mutex);
            if (HomeWindow* window = link->window) {
                window->busy = false;
                QMetaObject::invokeMethod(
                    window, [window, success, path] { window->onConversionResult(success, path); });
            }
        }
        delete info;
    };

    mediaConvert->startConvert(info, fileName, modelName, lights, lines, colorDeep, gamma,
                               minBrightness, radius, developerMode, runIndex, onStart, onLog,
                               onResult, onProgress);
    // Lock the controls now rather than when the worker reports the start, so
    // that a quick second click cannot start a second job.
    jobActive = true;
    beginBusyView();
}

void HomeWindow::cutJobLink()
{
    if (!jobLink)
        return;
    QMutexLocker lock(&jobLink->mutex);
    jobLink->window = nullptr;
}

void HomeWindow::onConversionProgress(MediaStage stage, int percent)
{
    if (!jobActive)
        return;
    const QString what = stage == MediaStage::Decoding ? tr("decoding") : tr("converting");
    showStatus(QStringLiteral("%1 %2%").arg(what).arg(percent), true);
}

void HomeWindow::onConversionResult(bool success, const QString& path)
{
    jobActive = false;
    if (connected && success) {
        showStatus(tr("uploading"), true);
        QPointer<HomeWindow> self(this);
        ConnectionManager::instance()->uploadFile(
            path, QFileInfo(path).fileName(),
            [self, path](bool ok, QVariant response) {
                if (self)
                    self->onUploadResult(ok, response, path);
            },
            [self](int percent) {
                if (self)
                    self->onUploadProgress(percent);
            },
            60000);
        return;
    }

    endBusyView();
    updateProcessResult(success, success ? tr("convert_success") : tr("convert_failed"), path);
    if (success) {
        const QFileInfo file(path);
        if (file.exists() && folderOpener)
            folderOpener(file.absolutePath());
    }
}

void HomeWindow::onUploadProgress(int percent)
{
    qDebug() << "📤 Upload progress:" << percent << "%";
    showStatus(QStringLiteral("%1 %2%").arg(tr("uploading")).arg(percent), true);
}

void HomeWindow::onUploadResult(bool success, const QVariant& response, const QString& path)
{
    endBusyView();
    updateProcessResult(success, success ? tr("upload_success") : tr("upload_failed"), path);
    if (success)
        qDebug() << "✅ Upload finished, server response:" << response;
    else
        qDebug() << "❌ Upload failed!";
}
