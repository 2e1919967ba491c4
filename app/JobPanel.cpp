// The job panel: progress bar and Cancel for the running job, the saved-to
// line of the last result, the list of dropped files, and the drop handling.
#include "JobPanel.h"

#include "ConversionController.h"
#include "MediaProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The result line's link that shows the file in the fan view.
const char* const kFanViewLink = "spindra:fan-view";


} // namespace

JobPanel::JobPanel(ConversionController* controller, QWidget* parent)
    : QWidget(parent),
      controller(controller)
{
    setObjectName(QStringLiteral("jobPanel"));
    // As wide as the column the settings give; its texts wrap, never widen it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* barRow = new QHBoxLayout();
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("jobProgressBar"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    cancelButton = new QPushButton(text("cancel"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    barRow->addWidget(progressBar, 1);
    barRow->addWidget(cancelButton);
    layout->addLayout(barRow);
    progressBar->hide();
    cancelButton->hide();

    pathLabel = new QLabel(this);
    pathLabel->setObjectName(QStringLiteral("resultPathLabel"));
    pathLabel->setTextFormat(Qt::RichText);
    pathLabel->setWordWrap(true);
    pathLabel->setAlignment(Qt::AlignCenter);
    pathLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    pathLabel->hide();
    connect(pathLabel, &QLabel::linkActivated, this, [this](const QString& link) {
        if (link == QLatin1String(kFanViewLink))
            emit fanViewRequested(resultPath);
        else
            emit openFolderRequested(QUrl(link).toLocalFile());
    });
    layout->addWidget(pathLabel);

    queueBox = new QWidget(this);
    auto* queueLayout = new QVBoxLayout(queueBox);
    queueLayout->setContentsMargins(0, 0, 0, 0);
    queueList = new QListWidget(queueBox);
    queueList->setObjectName(QStringLiteral("queueList"));
    queueList->setMaximumHeight(90);
    queueList->setTextElideMode(Qt::ElideMiddle);
    queueList->setSelectionMode(QAbstractItemView::NoSelection);
    clearButton = new QPushButton(text("clear_queue"), queueBox);
    clearButton->setObjectName(QStringLiteral("clearQueueButton"));
    queueLayout->addWidget(queueList);
    queueLayout->addWidget(clearButton);
    layout->addWidget(queueBox);
    queueBox->hide();

    connect(cancelButton, &QPushButton::clicked, controller, &ConversionController::cancel);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, controller, &ConversionController::cancel);
    connect(clearButton, &QPushButton::clicked, this, &JobPanel::clearList);

    connect(controller, &ConversionController::jobStarted, this, &JobPanel::onStarted);
    connect(controller, &ConversionController::jobProgress, this, &JobPanel::onProgress);
    connect(controller, &ConversionController::jobConverted, this,
            [this](int id, const ConvertResult&, bool up) { onConverted(id, up); });
    connect(controller, &ConversionController::jobFinished, this,
            [this](int id, JobOutcome outcome, const QString&, const QString&) {
                onFinished(id, outcome);
            });
}

QString JobPanel::text(const char* key) { return QCoreApplication::translate("HomeWindow", key); }

void JobPanel::track(int id, const QString& inputPath)
{
    names.insert(id, QFileInfo(inputPath).fileName());
    auto* item = new QListWidgetItem(queueList);
    item->setData(Qt::UserRole, id);
    item->setToolTip(QDir::toNativeSeparators(inputPath));
    lines.insert(id, item);
    setLine(id, text("queued"));
    queueBox->show();
}

void JobPanel::setLine(int id, const QString& state)
{
    QListWidgetItem* item = lines.value(id);
    if (!item)
        return;
    item->setText(QStringLiteral("%1 - %2").arg(names.value(id), state));
    // The line that changes is the one to see, the newest results included.
    queueList->scrollToItem(item);
}

void JobPanel::onStarted(int id)
{
    progressBar->setValue(0);
    progressBar->setFormat(QStringLiteral("%p%"));
    progressBar->show();
    cancelButton->show();
    clearResultPath();
    setLine(id, text("decoding"));
}

void JobPanel::onProgress(int id, JobStage stage, int percent)
{
    if (stage == JobStage::WaitingForFan) {
        // The whole file is out; the fan has not answered yet.
        const QString waiting = QCoreApplication::translate("HomeWindow", "waiting_for_fan");
        progressBar->setValue(100);
        progressBar->setFormat(waiting);
        setLine(id, waiting);
        return;
    }
    const char* key = stage == JobStage::Decoding ? "decoding"
        : stage == JobStage::Converting           ? "converting"
                                                  : "uploading";
    progressBar->setValue(percent);
    progressBar->setFormat(QStringLiteral("%1 %p%").arg(text(key)));
    setLine(id, QStringLiteral("%1 %2%").arg(text(key)).arg(percent));
}

void JobPanel::onConverted(int id, bool up)
{
    uploading.insert(id, up);
    if (up) {
        progressBar->setValue(0);
        progressBar->setFormat(QStringLiteral("%1 %p%").arg(text("uploading")));
        setLine(id, text("uploading"));
    }
}

void JobPanel::onFinished(int id, JobOutcome outcome)
{
    if (controller->currentJob() == id || controller->currentJob() == 0) {
        progressBar->hide();
        cancelButton->hide();
    }
    const bool up = uploading.take(id);
    const char* key = outcome == JobOutcome::Cancelled ? "cancelled"
        : outcome == JobOutcome::Succeeded             ? (up ? "upload_success" : "convert_success")
                                                       : (up ? "upload_failed" : "convert_failed");
    setLine(id, text(key));
}

void JobPanel::clearList()
{
    controller->clearQueue();
    const int running = controller->currentJob();
    for (auto it = lines.begin(); it != lines.end();) {
        if (it.key() == running) {
            ++it;
            continue;
        }
        delete it.value();
        names.remove(it.key());
        it = lines.erase(it);
    }
    if (lines.isEmpty())
        queueBox->hide();
}

QString JobPanel::breakablePath(const QString& nativePath)
{
    QString out;
    out.reserve(nativePath.size() + nativePath.size() / 4);
    for (const QChar c : nativePath) {
        out += c;
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            out += QChar(0x200B); // zero-width space: a break opportunity
    }
    return out;
}

int JobPanel::busyHeight() const
{
    const int row = qMax(progressBar->sizeHint().height(), cancelButton->sizeHint().height());
    return row + layout()->spacing() + 3 * pathLabel->fontMetrics().lineSpacing();
}

QList<QWidget*> JobPanel::focusChain() const { return {cancelButton, pathLabel, clearButton}; }

void JobPanel::showResultPath(const QString& path, const QString& note)
{
    const QString native = QDir::toNativeSeparators(path);
    const QString link = QUrl::fromLocalFile(QFileInfo(path).absolutePath()).toString();
    QString html;
    if (!note.isEmpty())
        html = QStringLiteral("<span style=\"color:#C05000;\">%1</span><br>")
                   .arg(note.toHtmlEscaped());
    // The whole path, wrapped at its folders: the folder it went to (the
    // Desktop, say) must stay visible.
    html += QStringLiteral("%1 <a href=\"%2\">%3</a>")
                .arg(text("saved_to").toHtmlEscaped(), link.toHtmlEscaped(),
                     breakablePath(native).toHtmlEscaped());
    // The file's first frame as the fan shows it, in the preview's circle.
    html += QStringLiteral("<br><a href=\"%1\">%2</a>")
                .arg(QLatin1String(kFanViewLink), text("show_on_fan_view").toHtmlEscaped());
    resultPath = path;
    pathLabel->setText(html);
    pathLabel->setToolTip(native);
    pathLabel->show();
}

void JobPanel::clearResultPath()
{
    resultPath.clear();
    pathLabel->clear();
    pathLabel->setToolTip(QString());
    pathLabel->hide();
}

QStringList JobPanel::mediaFiles(const QList<QUrl>& urls)
{
    QStringList files;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        // The endings of the file dialog's "Media Files" filter.
        if (info.isFile() && MediaProbe::hasMediaSuffix(info.fileName()))
            files << info.absoluteFilePath();
    }
    return files;
}

void JobPanel::acceptDropsOn(QWidget* target)
{
    target->setAcceptDrops(true);
    target->installEventFilter(this);
}

bool JobPanel::eventFilter(QObject* watched, QEvent* event)
{
    // Media files are ours; anything else (text on the input field, say)
    // goes on to the watched widget as usual.
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (drag->mimeData() && !mediaFiles(drag->mimeData()->urls()).isEmpty()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QStringList files =
            drop->mimeData() ? mediaFiles(drop->mimeData()->urls()) : QStringList();
        if (!files.isEmpty()) {
            drop->acceptProposedAction();
            emit filesDropped(files);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
