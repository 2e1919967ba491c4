// Main window: construction, layout of the video square and the right column,
// the keyboard, the connection, the busy view and the log panel.
#include "HomeWindow.h"

#include "ConnectionManager.h"
#include "ConnectionPanel.h"
#include "ConversionController.h"
#include "FanViewWidget.h"
#include "JobPanel.h"
#include "MPVWidget.h"
#include "MediaProbe.h"
#include "OverlayWidget.h"
#include "PlaybackBar.h"
#include "ResourcePaths.h"
#include "Settings.h"
#include "Uploader.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMovie>
#include <QProcess>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QSpinBox>
#include <QTextEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// The status text: green for success, red for failure, grey for neither (a
// cancelled job); one line of 20 px, or, when a long text would not fit the
// strip, two lines of a smaller size with less padding.
const char* const kStatusStyle = "font-size:%1px; color:%2; padding-top:%3px; padding-bottom:%3px;";
struct StatusFit {
    int fontSize;
    int padding;
};
const StatusFit kStatusFits[] = {{20, 10}, {16, 3}, {13, 2}};
// The preview's own buttons and captions: light on the dark preview, with a
// frame while they have focus.
const char* const kPreviewButtonStyle =
    "QPushButton { color: white; background-color: #a0303030; border: 1px solid #80ffffff;"
    " border-radius: 4px; padding: 4px 10px; }"
    " QPushButton:focus { border: 2px solid palette(highlight); }"
    " QPushButton:disabled { color: #80ffffff; }";
const char* const kPreviewCaptionStyle =
    "QLabel { color: white; background-color: #c0202020; border-radius: 4px;"
    " padding: 4px 10px; }";
// Margin of the preview's buttons and captions from its edges.
constexpr int kPreviewMargin = 8;

// The settings column's scroll area asks for room for the whole panel, so
// that a window of the size it asks for needs no scrolling; a smaller window
// scrolls the panel rather than laying anything over it.
class SettingsScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override
    {
        if (!widget())
            return QScrollArea::sizeHint();
        const int frame = 2 * frameWidth();
        return widget()->sizeHint() + QSize(frame + verticalScrollBar()->sizeHint().width(), frame);
    }
};

} // namespace

HomeWindow::HomeWindow(ConnectionManager* connection, QWidget* parent)
    : QMainWindow(parent),
      connection(connection ? connection : ConnectionManager::instance())
{
    uploader = new Uploader(this->connection->endpoint(), this);
    controller = new ConversionController(this->connection, uploader, this);
    settings = new QSettings(QLatin1String(Settings::Organisation),
                             QLatin1String(Settings::Application), this);

    qputenv("QT_MAC_WANTS_LAYER", "1");

    folderOpener = [](const QString& dir) {
        if (!qEnvironmentVariableIsEmpty("SPINDRA_NO_OPEN_FOLDER"))
            return;
        QDesktopServices::openUrl(QUrl::fromLocalFile(dir));
    };
    restarter = [](const QString& program, const QStringList& arguments) {
        // arguments() begins with the program path; the new process gets the rest.
        QProcess::startDetached(program, arguments.mid(1));
        QCoreApplication::quit();
    };

    buildWindow();
    connectController();

    connect(this->connection, &ConnectionManager::connectStateChanged, this,
            [this](bool isConnected, QString model) { onConnectStateChanged(isConnected, model); });
    // A newer answer of the fan (a new session, another fan at the same
    // address) may name another model.
    connect(this->connection, &ConnectionManager::deviceInfoChanged, this,
            &HomeWindow::reloadDeviceInfo);
    connect(connectionPanel, &ConnectionPanel::refreshRequested, this,
            &HomeWindow::reloadDeviceInfo);

    QTimer::singleShot(100, this, [this] { initialSync(); });

    reloadDeviceInfo();
    updateConnectionView();
}

HomeWindow::~HomeWindow()
{
    // The running job stops early and cleans up behind itself.
    delete controller;
    controller = nullptr;
}

void HomeWindow::setDialogRunner(DialogRunner runner) { dialogRunner = std::move(runner); }
void HomeWindow::setFolderOpener(FolderOpener opener) { folderOpener = std::move(opener); }
void HomeWindow::setRestarter(Restarter r) { restarter = std::move(r); }
void HomeWindow::setBarHideDelay(int ms) { playbackBar->setHideDelay(ms); }

void HomeWindow::buildWindow()
{
    setWindowIcon(QIcon(findImageFile(QStringLiteral("gui/res/img/logo.ico"))));
    setWindowTitle(QStringLiteral("SPINDRA (%1)").arg(QCoreApplication::applicationVersion()));
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize avail = screen->availableSize();
        setMinimumSize(int(avail.width() * 0.6), int(avail.height() * 0.7));
    }

    buildMenuBar();

    if (!centralWidget()) {
        auto* central = new QWidget(this);
        central->setObjectName(QStringLiteral("centralWidget"));
        auto* mainLayout = new QHBoxLayout(central);
        mainLayout->setContentsMargins(12, 12, 12, 12);

        auto* leftColumn = new QVBoxLayout();
        leftColumn->addWidget(buildVideoPanel(), 4);
        leftColumn->addWidget(buildLogPanel(), 1);

        auto* rightColumn = new QVBoxLayout();
        settingsPanel = buildSettingsPanel();
        scrollArea = new SettingsScrollArea(central);
        scrollArea->setObjectName(QStringLiteral("settingsScrollArea"));
        scrollArea->setWidget(settingsPanel);
        scrollArea->setWidgetResizable(true);
        scrollArea->setStyleSheet(
            QStringLiteral("QScrollArea { border: none; background: transparent; }"));
        // The panel follows the column's width; only the height scrolls.
        scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

        connectionPanel = new ConnectionPanel(connection, central);
        rightColumn->addWidget(connectionPanel);
        rightColumn->addWidget(scrollArea, 1);
        rightColumn->addWidget(buildStatusArea(central));
        rightColumn->addWidget(jobPanel = new JobPanel(controller, central));

        convertButton = new QPushButton(tr("convert"), central);
        convertButton->setObjectName(QStringLiteral("convertButton"));
        convertButton->setStyleSheet(QStringLiteral(
            "QPushButton { font-size:16px; color:green; padding:20px 16px; font-weight:bold; }"));
        connect(convertButton, &QPushButton::clicked, this, &HomeWindow::clickStart);
        rightColumn->addWidget(convertButton);

        mainLayout->addLayout(leftColumn, 1);
        mainLayout->addLayout(rightColumn, 0);
        setCentralWidget(central);
    }

    // The column is as wide as its widest row needs, with room for the
    // scroll bar that a short window or the developer panel may bring.
    scrollArea->setMinimumWidth(settingsPanel->minimumSizeHint().width() +
                                scrollArea->verticalScrollBar()->sizeHint().width());

    updateDebugMode();
    startTimeEdit->setEnabled(isVideo);
    endTimeEdit->setEnabled(isVideo);
    updateFramingButtons();
    installShortcuts();
    orderTabs();
    qApp->installEventFilter(this);
    fitWindowToLayout();

    // The first size: everything the layout asks for, with room for a job's
    // progress and result below the settings, at least the minimum, at most
    // the screen.
    QSize first = (sizeHint() + QSize(0, jobPanel->busyHeight())).expandedTo(minimumSize());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize avail = screen->availableSize();
        // Room for a preview of a useful size beside the settings column.
        first = first.expandedTo(QSize(int(avail.width() * 0.75), int(avail.height() * 0.8)))
                    .boundedTo(avail);
    }
    resize(first);
}

// The window never becomes smaller than its widgets need: below that, the
// layout would lay them over each other.
void HomeWindow::fitWindowToLayout()
{
    if (QLayout* layout = centralWidget() ? centralWidget()->layout() : nullptr) {
        layout->activate();
        const QSize needed =
            layout->minimumSize() + QSize(0, menuBar() ? menuBar()->sizeHint().height() : 0);
        setMinimumSize(minimumSize().expandedTo(needed));
    }
}

QWidget* HomeWindow::buildStatusArea(QWidget* parent)
{
    // The status text and the busy animation share a strip of fixed height,
    // so that neither a result nor the animation moves anything else. The
    // animation sits at the left, an empty box of its width at the right
    // keeps the text centred, and the text wraps between them.
    statusArea = new QWidget(parent);
    statusArea->setObjectName(QStringLiteral("statusArea"));
    auto* row = new QHBoxLayout(statusArea);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);

    loadingLabel = new QLabel(statusArea);
    loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    loadingLabel->setStyleSheet(QStringLiteral("background: transparent;"));
    loadingLabel->setFixedSize(50, 50);
    loadingLabel->setAttribute(Qt::WA_TranslucentBackground);
    loadingLabel->setAlignment(Qt::AlignCenter);
    loadingMovie = new QMovie(findImageFile(QStringLiteral("gui/res/img/loading.gif")),
                              QByteArray(), loadingLabel);
    loadingMovie->setScaledSize(loadingLabel->size());
    loadingLabel->setMovie(loadingMovie);
    loadingBalance = new QWidget(statusArea);
    loadingBalance->setObjectName(QStringLiteral("loadingBalance"));
    loadingBalance->setFixedSize(loadingLabel->size());

    statusLabel = new QLabel(statusArea);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::PlainText);
    statusLabel->setStyleSheet(QStringLiteral("background: transparent;"));
    statusLabel->setWordWrap(true);
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(loadingLabel, 0, Qt::AlignVCenter);
    row->addWidget(statusLabel, 1);
    row->addWidget(loadingBalance, 0, Qt::AlignVCenter);
    loadingLabel->hide();
    loadingBalance->hide();

    // One line of the status font (20 px) with its padding, at least the
    // animation's height; a longer text takes two lines of a smaller size.
    QFont statusFont = font();
    statusFont.setPixelSize(kStatusFits[0].fontSize);
    statusArea->setFixedHeight(
        qMax(loadingLabel->height(),
             QFontMetrics(statusFont).lineSpacing() + 2 * kStatusFits[0].padding + 2));
    // The column's width comes from the settings; a result never widens it.
    statusArea->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return statusArea;
}

void HomeWindow::installShortcuts()
{
    auto* open = new QShortcut(QKeySequence::Open, this);
    open->setObjectName(QStringLiteral("openShortcut"));
    connect(open, &QShortcut::activated, this, &HomeWindow::clickSelectFolder);
    auto* play = new QShortcut(QKeySequence(Qt::Key_Space), this);
    play->setObjectName(QStringLiteral("playShortcut"));
    connect(play, &QShortcut::activated, playbackBar, &PlaybackBar::togglePlayback);
}

// Tab goes from the preview down the right column, in the order it shows.
void HomeWindow::orderTabs()
{
    QList<QWidget*> chain {mpvWidget, resetFramingButton, connectionPanel->refreshButton()};
    const QList<const char*> settingsOrder {
        "inputField",    "selectFileButton",  "outputField", "selectOutputButton", "modelSelector",
        "startTimeEdit", "startHereButton",   "endTimeEdit", "endHereButton",      "hFlipButton",
        "vFlipButton",   "fanViewButton",     "lightsSpin",  "linesSpin",          "colorDeepSpin",
        "gammaSpin",     "minBrightnessSpin", "radiusSpin"};
    for (const char* name : settingsOrder)
        if (QWidget* w = settingsPanel->findChild<QWidget*>(QLatin1String(name)))
            chain << w;
    chain << jobPanel->focusChain() << convertButton;
    for (int i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

QWidget* HomeWindow::buildVideoPanel()
{
    videoContainer = new QWidget(this);
    videoContainer->setObjectName(QStringLiteral("videoContainer"));
    videoContainer->setStyleSheet(QStringLiteral("background-color: #000000;"));
    auto* containerLayout = new QVBoxLayout(videoContainer);
    containerLayout->setContentsMargins(0, 0, 0, 0);
    containerLayout->addStretch();

    // The player and the overlay are placed by hand (layoutVideoSquare), not
    // by the container's layout.
    mpvWidget = new MPVWidget(videoContainer);
    mpvWidget->setObjectName(QStringLiteral("player"));

    playbackBar = new PlaybackBar(mpvWidget, videoContainer);
    containerLayout->addWidget(playbackBar);
    connect(playbackBar, &PlaybackBar::playbackChanged, this, &HomeWindow::onPlaybackChanged);

    overlay = new OverlayWidget(videoContainer);
    overlay->setObjectName(QStringLiteral("overlay"));
    connect(mpvWidget, &MPVWidget::focusChanged, overlay, &OverlayWidget::setFocusFrame);

    resetFramingButton = new QPushButton(tr("reset_framing"), videoContainer);
    resetFramingButton->setObjectName(QStringLiteral("resetFramingButton"));
    resetFramingButton->setFocusPolicy(Qt::StrongFocus);
    resetFramingButton->setStyleSheet(QLatin1String(kPreviewButtonStyle));
    resetFramingButton->adjustSize();
    resetFramingButton->move(kPreviewMargin, kPreviewMargin);
    connect(resetFramingButton, &QPushButton::clicked, this, [this] { mpvWidget->resetFraming(); });

    // Names the fan file the fan view shows instead of the live picture.
    fanViewCaption = new QLabel(videoContainer);
    fanViewCaption->setObjectName(QStringLiteral("fanViewCaption"));
    fanViewCaption->setTextFormat(Qt::PlainText);
    fanViewCaption->setStyleSheet(QLatin1String(kPreviewCaptionStyle));
    fanViewCaption->setAttribute(Qt::WA_TransparentForMouseEvents);
    fanViewCaption->hide();

    connect(mpvWidget, &MPVWidget::fileOpened, this, &HomeWindow::onPlayerFileOpened);
    connect(mpvWidget, &MPVWidget::fileFailed, this, &HomeWindow::onPlayerFileFailed);
    connect(mpvWidget, &MPVWidget::durationChanged, this, &HomeWindow::onDurationChanged);
    connect(mpvWidget, &MPVWidget::videoSizeChanged, this, &HomeWindow::updateMediaInformation);
    inputProbe = new MediaProbe(this);
    connect(inputProbe, &MediaProbe::finished, this, &HomeWindow::onInputProbed);
    setMouseTracking(true);

    mediaInfoTimer.setSingleShot(true);
    connect(&mediaInfoTimer, &QTimer::timeout, this, &HomeWindow::onMediaInfoDeadline);

    return videoContainer;
}

QGroupBox* HomeWindow::buildLogPanel()
{
    logPanel = new QGroupBox(tr("log"), this);
    logPanel->setObjectName(QStringLiteral("logPanel"));
    logPanel->setStyleSheet(QStringLiteral("color: black; background-color: #aacccccc;"));
    auto* layout = new QVBoxLayout(logPanel);
    layout->setContentsMargins(4, 0, 4, 0);
    logView = new QTextEdit(logPanel);
    logView->setObjectName(QStringLiteral("logView"));
    logView->setReadOnly(true);
    logView->setStyleSheet(
        QStringLiteral("QTextEdit { border: none; color: gray; background-color: #00cccccc; } "
                       "QTextEdit:focus { border: none; outline: none; }"));
    layout->addWidget(logView);
    return logPanel;
}

void HomeWindow::initialSync()
{
    if (modelSelector && modelSelector->currentIndex() >= 0)
        applyModelPreset(modelSelector->currentData(Qt::UserRole).toString());
    layoutVideoSquare();
    vFlipButton->setChecked(mpvWidget->verticalFlip());
    hFlipButton->setChecked(mpvWidget->horizontalFlip());
    outputField->setText(
        settings->value(QLatin1String(Settings::OutputFolder), QString()).toString());
    restoreAfterRestart();
}

void HomeWindow::layoutVideoSquare()
{
    if (!videoContainer || !mpvWidget || !overlay)
        return;
    const int w = videoContainer->width();
    const int h = videoContainer->height();
    const int r = qMin(w, h) / 2;
    const int s = 2 * r;

    if (mpvWidget->parentWidget() != videoContainer)
        mpvWidget->setParent(videoContainer);
    // The player keeps the user's zoom and offset relative to the new square.
    mpvWidget->placeInSquare(QRect((w - s) / 2, (h - s) / 2, s, s));
    mpvWidget->show();
    qDebug() << "width:" << w << " hegith:" << h << " radius:" << r;

    if (overlay->parentWidget() != videoContainer)
        overlay->setParent(videoContainer);
    overlay->resize(w, h);
    overlay->move(0, 0);
    overlay->setRadius(r - overlay->borderWidth());
    overlay->show();

    playbackBar->raise();
    placePreviewCaptions();
}

// The preview's own widgets over the picture: Reset Framing at the top left,
// the fan view's caption beside it at the right, never over each other.
void HomeWindow::placePreviewCaptions()
{
    resetFramingButton->adjustSize();
    resetFramingButton->move(kPreviewMargin, kPreviewMargin);
    resetFramingButton->raise();
    if (!fanViewCaption || fanViewCaption->isHidden())
        return;
    const int left = resetFramingButton->geometry().right() + 1 + kPreviewMargin;
    const int room = qMax(0, videoContainer->width() - kPreviewMargin - left);
    // The whole text, and where it does not fit, the name shortened in the
    // middle by what the caption is too wide.
    const QString whole = fanViewCaption->property("wholeText").toString();
    const QFontMetrics metrics = fanViewCaption->fontMetrics();
    fanViewCaption->setText(whole);
    fanViewCaption->adjustSize();
    if (fanViewCaption->width() > room) {
        const int textRoom = metrics.horizontalAdvance(whole) - (fanViewCaption->width() - room);
        fanViewCaption->setText(metrics.elidedText(whole, Qt::ElideMiddle, qMax(0, textRoom)));
        fanViewCaption->adjustSize();
    }
    const int width = qMin(fanViewCaption->width(), room);
    fanViewCaption->setGeometry(videoContainer->width() - kPreviewMargin - width, kPreviewMargin,
                                width, fanViewCaption->height());
    fanViewCaption->raise();
}

void HomeWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    qDebug() << "Main window resized to:" << event->size();
    if (overlay)
        layoutVideoSquare();
}

void HomeWindow::updatePlaybackBar()
{
    // A bar makes sense for a video whose length the player knows.
    playbackBar->setAvailable(isVideo && videoDuration > 0.0 && !inputFailed &&
                              !loadedInput.isEmpty());
}

void HomeWindow::onDurationChanged(double seconds)
{
    videoDuration = qMax(0.0, seconds);
    updatePlaybackBar();
    updateMediaInformation();
}

// Any change of what plays (pause, resume, a seek) shows the live picture
// in the fan view again.
void HomeWindow::onPlaybackChanged()
{
    if (fanView)
        fanView->showLive();
}

// The pointer usually rests on a child (the player, the settings column), whose
// moves never reach the window's own handler: watch them for the whole
// application and react to those inside this window.
bool HomeWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride && watched->isWidgetType()) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Single keys (Space, F) belong to a focused text field or spin box,
        // and Space to a focused button or box, which keep their own use of
        // the key (a check box toggles, a list opens).
        const bool plainKey = (key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) == 0 &&
            !key->text().isEmpty() && key->text().at(0).isPrint();
        const bool typing = qobject_cast<QLineEdit*>(watched) ||
            qobject_cast<QAbstractSpinBox*>(watched) || qobject_cast<QTextEdit*>(watched);
        const bool spaceTaken = key->key() == Qt::Key_Space &&
            (qobject_cast<QAbstractButton*>(watched) || qobject_cast<QComboBox*>(watched));
        if ((plainKey && typing) || spaceTaken) {
            event->accept();
            return false;
        }
    }
    // The status text is fitted again when the animation beside it comes or
    // goes (its width changes); fitting itself changes only its height.
    if (watched == statusLabel && event->type() == QEvent::Resize &&
        static_cast<QResizeEvent*>(event)->oldSize().width() !=
            static_cast<QResizeEvent*>(event)->size().width())
        fitStatusText();
    if (event->type() == QEvent::MouseMove && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget != this && widget->window() == this)
            playbackBar->reveal();
    }
    return QMainWindow::eventFilter(watched, event);
}

void HomeWindow::mouseMoveEvent(QMouseEvent* event)
{
    QMainWindow::mouseMoveEvent(event);
    playbackBar->reveal();
}

void HomeWindow::enterEvent(QEvent* event)
{
    QMainWindow::enterEvent(event);
    playbackBar->reveal();
}

void HomeWindow::leaveEvent(QEvent* event)
{
    QMainWindow::leaveEvent(event);
    playbackBar->conceal();
}

void HomeWindow::setTimeFromPosition(QTimeEdit* edit)
{
    double duration = 0.0;
    double position = 0.0;
    if (!isVideo || !mpvWidget->getPlaybackTime(duration, position))
        return;
    edit->setTime(QTime(0, 0, 0).addSecs(int(position)));
}

void HomeWindow::updateFramingButtons()
{
    const bool loaded = !loadedInput.isEmpty() && !inputFailed;
    if (resetFramingButton)
        resetFramingButton->setEnabled(loaded);
    if (startHereButton)
        startHereButton->setEnabled(loaded && isVideo);
    if (endHereButton)
        endHereButton->setEnabled(loaded && isVideo);
}

void HomeWindow::onFlipClicked()
{
    const bool horizontal = hFlipButton->isChecked();
    const bool vertical = vFlipButton->isChecked();
    qDebug() << "#### click flip button horizontal" << horizontal << " vertical:" << vertical;
    mpvWidget->setFlip(horizontal, vertical);
}

void HomeWindow::showStatus(const QString& text, bool good)
{
    showStatus(text, good ? StatusTone::Good : StatusTone::Bad);
}

void HomeWindow::showStatus(const QString& text, StatusTone tone)
{
    statusTone = tone;
    statusLabel->setText(text);
    fitStatusText();
}

// The largest of the status font sizes at which the text fits the strip.
void HomeWindow::fitStatusText()
{
    if (statusLabel->text().isEmpty() || fittingStatus)
        return;
    const QScopedValueRollback<bool> fitting(fittingStatus, true);
    const char* colour = statusTone == StatusTone::Good ? "green"
        : statusTone == StatusTone::Bad                 ? "red"
                                                        : "#666666";
    for (const StatusFit& fit : kStatusFits) {
        statusLabel->setStyleSheet(QString::fromLatin1(kStatusStyle)
                                       .arg(fit.fontSize)
                                       .arg(QLatin1String(colour))
                                       .arg(fit.padding));
        statusLabel->ensurePolished();
        if (statusLabel->heightForWidth(statusLabel->width()) <= statusArea->height())
            break;
    }
}

void HomeWindow::clearStatus()
{
    statusLabel->clear();
    statusLabel->setStyleSheet(QStringLiteral("background: transparent;"));
    if (jobPanel)
        jobPanel->clearResultPath();
}

void HomeWindow::updateProcessResult(bool result, QString info, QString path)
{
    Q_UNUSED(path);
    showStatus(info, result);
}

void HomeWindow::updateDebugMode()
{
    parameterPanel->setVisible(developerMode);
    logPanel->setVisible(developerMode);
    QTimer::singleShot(0, this, [this] {
        layoutVideoSquare();
        mpvWidget->resetLayout();
    });
}

void HomeWindow::onConnectStateChanged(bool isConnected, const QString& model)
{
    qDebug() << "🔌 连接状态:" << isConnected << "型号:" << model;
    connected = isConnected;
    reloadDeviceInfo();
}

void HomeWindow::reloadDeviceInfo()
{
    connected = connection->isConnected();
    const QString model = connection->currentModel();
    qDebug() << "🔌 连接状态:" << connected << "型号:" << model;
    updateConnectionView();
    if (connected && modelSelector && modelSelector->count() > 0) {
        const int index = modelSelector->findText(model, Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (index >= 0)
            modelSelector->setCurrentIndex(index);
    }
}

void HomeWindow::updateConnectionView()
{
    if (!developerMode && modelSelector)
        modelSelector->setEnabled(!connected);
    if (convertButton)
        convertButton->setText(connected ? tr("convert_and_upload") : tr("convert"));
    if (connectionPanel)
        connectionPanel->refresh();
}

void HomeWindow::beginBusyView()
{
    loadingMovie->start();
    loadingLabel->show();
    loadingBalance->show();
    settingsPanel->setEnabled(false);
    menuBar()->setEnabled(false);
    connectionPanel->refreshButton()->setEnabled(false);
    convertButton->setEnabled(false);
}

void HomeWindow::endBusyView()
{
    loadingMovie->stop();
    loadingLabel->hide();
    loadingBalance->hide();
    settingsPanel->setEnabled(true);
    menuBar()->setEnabled(true);
    connectionPanel->refreshButton()->setEnabled(true);
    convertButton->setEnabled(true);
}

void HomeWindow::onLogOutputCb(QString log)
{
    // Always queued, even on the GUI thread: callers may be in the middle of
    // clearing or rebuilding the log.
    QMetaObject::invokeMethod(
        this, [this, text = log] { logView->append(text); }, Qt::QueuedConnection);
}

void HomeWindow::runDialog(QMessageBox& box)
{
    if (dialogRunner)
        dialogRunner(box);
    else
        box.exec();
}

void HomeWindow::showMessage(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
    runDialog(box);
}
