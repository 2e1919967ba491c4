// The convert-and-upload workflow: the settings column's input, output, time
// and flip rows, the checks behind the convert button, the job's callbacks,
// and the handling of the conversion and upload results.
#include "HomeWindow.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "DeviceText.h"
#include "FanViewWidget.h"
#include "JobPanel.h"
#include "MPVWidget.h"
#include "MediaInfo.h"
#include "Settings.h"

#include <QCheckBox>
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
#include <QPointF>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <memory>
#include <utility>

namespace {

int secondsOf(const QTime& t) { return t.hour() * 3600 + t.minute() * 60 + t.second(); }

QString desktopDir() { return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation); }

// A catalogue text with its place-holder filled; without a catalogue the key
// has none, and the value follows it.
QString withValue(const QString& text, const QString& value)
{
    return text.contains(QLatin1String("%1")) ? text.arg(value) : text + QLatin1Char(' ') + value;
}

// Two notes of the result line, one after the other (either may be empty).
QString joinNotes(const QString& first, const QString& second)
{
    if (first.isEmpty() || second.isEmpty())
        return first + second;
    return first + QLatin1Char('\n') + second;
}

} // namespace

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

    // Two switches of their own, each reached by Tab and turned by Space.
    layout->addWidget(new QLabel(tr("flip"), panel));
    auto* flipRow = new QHBoxLayout();
    hFlipButton = new QCheckBox(tr("horizontal_flip"), panel);
    hFlipButton->setObjectName(QStringLiteral("hFlipButton"));
    vFlipButton = new QCheckBox(tr("vertical_flip"), panel);
    vFlipButton->setObjectName(QStringLiteral("vFlipButton"));
    connect(hFlipButton, &QCheckBox::clicked, this, &HomeWindow::onFlipClicked);
    connect(vFlipButton, &QCheckBox::clicked, this, &HomeWindow::onFlipClicked);
    flipRow->addWidget(hFlipButton);
    flipRow->addWidget(vFlipButton);
    flipRow->addStretch();
    layout->addLayout(flipRow);
    layout->addWidget(buildFanViewSwitch(panel));
    layout->addSpacing(8);

    layout->addWidget(buildParameterPanel());
    layout->addStretch();
    return panel;
}

void HomeWindow::clickStart()
{
    if (!inputReadable())
        return showMessage(tr("exception"), unreadableText());
    // A job is on its way (its start report may not have arrived yet): a
    // second job would share its temporary files.
    if (job.phase != JobPhase::None)
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

    // What the loaded file is decides whether it has times (a GIF that
    // moves, a song with its cover) and how it is converted.
    std::optional<MediaFacts> facts;
    if (!loadedInput.isEmpty() && input == QDir::toNativeSeparators(loadedInput) &&
        loadedFacts().hasPicture())
        facts = *inputFacts;

    if (isVideo) {
        if (start >= end) {
            showMessage(tr("exception"), tr("start_time_error"));
            return;
        }
        // A clip shorter than a second is converted as a second.
        if (end > qMax(1.0, videoDuration)) {
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

    QPointF center(0.0, 0.0);
    double scale = 1.0;
    if (mpvWidget->computeFraming(center, scale, 2 * lights)) {
        qDebug() << "获取中心和缩放比例成功";
    } else {
        scale = 2.0 * lights / double(qMax(w, h));
        center = QPointF(w * 0.5, h * 0.5);
    }

    ConvertRequest request = requestFromSettings();
    MediaInfo* info = &request.media;
    info->isVideo = isVideo;
    info->inputPath = input;
    info->facts = facts;
    info->mediaWidth = int(w);
    info->mediaHeight = int(h);
    info->centerX = center.x();
    info->centerY = center.y();
    info->scale = scale;
    info->startSeconds = start;
    info->durationSeconds = span;
    request.modelName = modelName;

    // The controller takes the sequence number and the output name as the
    // job starts (at once: nothing else runs while the button is enabled).
    // Lock the controls now rather than when the job reports its start, so
    // that a quick second click cannot start a second job.
    job.phase = JobPhase::Converting;
    beginBusyView();
    job.id = controller->enqueue(std::move(request));
}

ConvertRequest HomeWindow::requestFromSettings() const
{
    ConvertRequest request;
    MediaInfo& info = request.media;
    info.outputDir = outputField->text().isEmpty() ? desktopDir() : outputField->text();
    // The user's flips of the picture as shown.
    info.hFlip = hFlipButton->isChecked();
    info.vFlip = vFlipButton->isChecked();
    request.modelName = modelSelector->currentText();
    request.lights = lightsSpin->value();
    request.lines = linesSpin->value();
    request.colorDeep = colorDeepSpin->value();
    request.gamma = gammaSpin->value();
    request.minBrightness = minBrightnessSpin->value();
    request.changeBrightnessLights = developerMode ? radiusSpin->value() : 0;
    request.debugMode = developerMode;
    return request;
}

void HomeWindow::connectController()
{
    // The window shows the job that runs, whether the convert button or a
    // drop started it.
    // Said as a job is named, before it starts: shown with that job's result.
    connect(controller, &ConversionController::notice, this, [this](const QString& text) {
        pendingNotice = text;
        onLogOutputCb(text);
    });
    connect(controller, &ConversionController::jobStarted, this, [this](int id) {
        job = ShownJob();
        job.id = id;
        job.notice = std::exchange(pendingNotice, QString());
        job.phase = JobPhase::Converting;
        beginBusyView();
    });
    connect(controller, &ConversionController::jobLog, this,
            [this](int, const QString& line) { onLogOutputCb(line); });
    connect(controller, &ConversionController::jobProgress, this, &HomeWindow::onJobProgress);
    connect(controller, &ConversionController::jobConverted, this,
            [this](int id, const ConvertResult& result, bool uploading) {
                if (id != job.id)
                    return;
                job.converted = result;
                job.phase = uploading ? JobPhase::Uploading : JobPhase::Converting;
                if (uploading)
                    onJobProgress(id, JobStage::Uploading, 0);
            });
    // Waiting jobs that the user drops from the queue end too; only the
    // running one's end changes the window.
    connect(controller, &ConversionController::jobFinished, this,
            [this](int id, JobOutcome outcome, const QString& path, const QString& message) {
                if (id == job.id)
                    onJobFinished(outcome, path, message);
            });
    // A finished file can be shown in the fan view with the geometry of the
    // model it was converted for.
    connect(controller, &ConversionController::fanFileReady, this,
            [this](const QString& path, const QString& modelName) {
                lastFanFile = path;
                lastFanModel = modelName;
            });
    connect(jobPanel, &JobPanel::fanViewRequested, this, [this](const QString& path) {
        QString error;
        const QString model = path == lastFanFile ? lastFanModel : QString();
        if (!showFanFile(path, model, &error))
            qWarning() << "fan view:" << error;
    });
    connect(jobPanel, &JobPanel::openFolderRequested, this, [this](const QString& dir) {
        if (folderOpener)
            folderOpener(dir);
    });
    connect(jobPanel, &JobPanel::filesDropped, this, &HomeWindow::onFilesDropped);
    jobPanel->acceptDropsOn(this);
    // The input field would take a dropped file as text.
    jobPanel->acceptDropsOn(inputField);

    auto convertKeys = [this] {
        if (convertButton->isEnabled())
            clickStart();
    };
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this), &QShortcut::activated,
            this, convertKeys);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Enter), this), &QShortcut::activated,
            this, convertKeys);
}

void HomeWindow::onJobProgress(int id, JobStage stage, int percent)
{
    if (id != job.id)
        return;
    switch (stage) {
    case JobStage::Decoding:
        showStatus(QStringLiteral("%1 %2%").arg(tr("decoding")).arg(percent), true);
        break;
    case JobStage::Converting:
        showStatus(QStringLiteral("%1 %2%").arg(tr("converting")).arg(percent), true);
        break;
    case JobStage::Uploading:
        showStatus(QStringLiteral("%1 %2%").arg(tr("uploading")).arg(percent), true);
        break;
    case JobStage::WaitingForFan:
        showStatus(tr("waiting_for_fan"), true);
        break;
    }
}

void HomeWindow::onJobFinished(JobOutcome outcome, const QString& path, const QString& message)
{
    const ShownJob finished = std::exchange(job, ShownJob());
    const bool uploaded = finished.phase == JobPhase::Uploading;
    endBusyView();
    // An upload that ends without naming the file still leaves the file it
    // was sending, the conversion's result.
    const QString kept = path.isEmpty() && uploaded ? finished.converted.path : path;
    const QFileInfo file(kept);
    const bool fileKept = !kept.isEmpty() && file.exists();
    if (outcome == JobOutcome::Cancelled) {
        // A cancelled job is neither a success nor a failure.
        showStatus(tr("cancelled"), StatusTone::Neutral);
        // A cancelled upload keeps the converted file; the note says what
        // became of it on the fan.
        if (fileKept)
            jobPanel->showResultPath(file.absoluteFilePath(),
                                     message.isEmpty() ? tr("cancel_kept_file")
                                                       : DeviceText::clean(message));
        return;
    }
    const bool success = outcome == JobOutcome::Succeeded;
    if (uploaded) {
        updateProcessResult(success, success ? tr("upload_success") : tr("upload_failed"), path);
    } else {
        updateProcessResult(success, success ? tr("convert_success") : tr("convert_failed"), path);
    }
    // A failed conversion made no file: say why, in the system's words.
    if (!success && !uploaded) {
        const QString reason = JobPanel::failureReason(false, finished.converted, message);
        if (!reason.isEmpty() || !finished.notice.isEmpty())
            jobPanel->showFailure(joinNotes(
                finished.notice,
                reason.isEmpty() ? QString() : withValue(tr("convert_failed_reason"), reason)));
        return;
    }
    if (!fileKept)
        return;
    // A failed upload leaves a good file in the output folder: say where,
    // and why the fan did not take it.
    QString note = finished.converted.fallbackReason;
    if (uploaded && !success) {
        const QString reason = JobPanel::failureReason(true, finished.converted, message);
        note = reason.isEmpty() ? tr("upload_failed_kept_file")
                                : withValue(tr("upload_failed_reason"), reason);
    }
    // A file that is shorter than asked for says so beside its place.
    jobPanel->showResultPath(
        file.absoluteFilePath(),
        joinNotes(joinNotes(finished.notice, note), finished.converted.warning));
    // After an upload the file is on the fan; no folder is opened then.
    if (success && !uploaded && folderOpener)
        folderOpener(file.absolutePath());
}

void HomeWindow::onFilesDropped(const QStringList& paths)
{
    if (paths.size() == 1) {
        // One file loads as if it had been chosen.
        if (job.phase != JobPhase::None) {
            showBusyRefusal();
            return;
        }
        selectInputFile(paths.first());
        return;
    }
    // Several: converted one after another, the picture whole, with the
    // model and settings of this moment.
    for (const QString& path : paths) {
        ConvertRequest request = requestFromSettings();
        request.media.inputPath = QDir::toNativeSeparators(path);
        const int id = controller->enqueueWhole(std::move(request));
        jobPanel->track(id, path);
    }
}
