// Main window: construction, layout of the video square, playback bar,
// connection panel, busy view and log panel.
#include "HomeWindow.h"

#include "ConnectionManager.h"
#include "DecodeSteps.h"
#include "MPVWidget.h"
#include "ConversionController.h"
#include "JobPanel.h"
#include "OverlayWidget.h"
#include "ResourcePaths.h"
#include "Settings.h"
#include "Uploader.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDebug>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QMovie>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QSettings>
#include <QSlider>
#include <QTextEdit>
#include <QTimeEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const char* const kStatusGoodStyle =
    "font-size:20px; color:green; padding-top:10px; padding-bottom:10px;";
const char* const kStatusBadStyle =
    "font-size:20px; color:red; padding-top:10px; padding-bottom:10px;";
const char* const kConnectedStyle =
    "background:#01BA1E; font-weight:bold; color:#FFFFFF; border-radius:5px; padding:5px";
const char* const kDisconnectedStyle =
    "background:#D81E06; font-weight:bold; color:#FFFFFF; border-radius:5px; padding:5px";
const char* const kConnectedIcon = ":/images/gui/res/img/ic_connected.png";
const char* const kDisconnectedIcon = ":/images/gui/res/img/ic_disconnected.png";
const char* const kTimeLabelStyle =
    "color: white; background-color: transparent; padding-bottom: 3px";

// The playback bar's play and pause symbols, drawn white for the black preview.
QIcon playbackIcon(bool paused)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    if (paused) {
        const QPointF triangle[] = {{3.0, 2.0}, {14.0, 8.0}, {3.0, 14.0}};
        painter.drawPolygon(triangle, 3);
    } else {
        painter.drawRect(QRectF(3.0, 2.0, 3.5, 12.0));
        painter.drawRect(QRectF(9.5, 2.0, 3.5, 12.0));
    }
    return QIcon(pixmap);
}

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
        scrollArea = new QScrollArea(central);
        scrollArea->setObjectName(QStringLiteral("settingsScrollArea"));
        scrollArea->setWidget(settingsPanel);
        scrollArea->setWidgetResizable(true);
        scrollArea->setStyleSheet(
            QStringLiteral("QScrollArea { border: none; background: transparent; }"));
        // The panel follows the column's width; only the height scrolls.
        scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

        rightColumn->addWidget(buildConnectionPanel());
        rightColumn->addWidget(scrollArea, 1);

        // Status and busy animation share a strip of fixed height, so that
        // neither a result nor the animation moves anything else.
        statusArea = new QWidget(central);
        statusArea->setObjectName(QStringLiteral("statusArea"));
        // One cell for both: the animation at the left, the text centred over
        // the whole width (short while busy; a long result wraps to two lines).
        auto* statusGrid = new QGridLayout(statusArea);
        statusGrid->setContentsMargins(0, 0, 0, 0);

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

        statusLabel = new QLabel(statusArea);
        statusLabel->setObjectName(QStringLiteral("statusLabel"));
        statusLabel->setStyleSheet(QStringLiteral("background: transparent;"));
        statusLabel->setWordWrap(true);
        statusLabel->setAlignment(Qt::AlignCenter);
        statusGrid->addWidget(statusLabel, 0, 0);
        statusGrid->addWidget(loadingLabel, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);
        // Two lines of the status font (20 px, with room for the taller
        // lines of Chinese text) and its padding above and below.
        QFont statusFont = font();
        statusFont.setPixelSize(20);
        statusArea->setFixedHeight(2 * qMax(QFontMetrics(statusFont).lineSpacing(), 30) + 24);
        // The column's width comes from the settings; a result never widens it.
        statusArea->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        rightColumn->addWidget(statusArea);
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
    // scroll bar that the developer panel may bring.
    scrollArea->setMinimumWidth(settingsPanel->minimumSizeHint().width() +
                                scrollArea->verticalScrollBar()->sizeHint().width());

    updateDebugMode();
    startTimeEdit->setEnabled(isVideo);
    endTimeEdit->setEnabled(isVideo);
    updateFramingButtons();
    installShortcuts();
    qApp->installEventFilter(this);

    // The first size: everything the layout asks for, at least the minimum,
    // at most the screen.
    QSize first = sizeHint().expandedTo(minimumSize());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize avail = screen->availableSize();
        // Room for a preview of a useful size beside the settings column.
        first = first.expandedTo(QSize(int(avail.width() * 0.75), int(avail.height() * 0.8)))
                    .boundedTo(avail);
    }
    resize(first);
}

void HomeWindow::installShortcuts()
{
    auto* open = new QShortcut(QKeySequence::Open, this);
    open->setObjectName(QStringLiteral("openShortcut"));
    connect(open, &QShortcut::activated, this, &HomeWindow::clickSelectFolder);
    auto* play = new QShortcut(QKeySequence(Qt::Key_Space), this);
    play->setObjectName(QStringLiteral("playShortcut"));
    connect(play, &QShortcut::activated, this, &HomeWindow::togglePlayback);
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

    playbackBar = new QWidget(videoContainer);
    playbackBar->setObjectName(QStringLiteral("playbackBar"));
    playbackBar->setStyleSheet(QStringLiteral("background-color: #00000000;"));
    playbackBar->setFixedHeight(46);
    auto* barLayout = new QHBoxLayout(playbackBar);
    barLayout->setContentsMargins(5, 5, 5, 5);
    barLayout->setSpacing(8);

    currentTimeLabel = new QLabel(QStringLiteral("00:00:00"), playbackBar);
    currentTimeLabel->setObjectName(QStringLiteral("currentTimeLabel"));
    currentTimeLabel->setStyleSheet(QLatin1String(kTimeLabelStyle));
    positionSlider = new QSlider(Qt::Horizontal, playbackBar);
    positionSlider->setObjectName(QStringLiteral("positionSlider"));
    positionSlider->setRange(0, 0);
    positionSlider->setValue(0);
    positionSlider->setStyleSheet(QStringLiteral("background-color: transparent;"));
    totalTimeLabel = new QLabel(QStringLiteral("00:00:00"), playbackBar);
    totalTimeLabel->setObjectName(QStringLiteral("totalTimeLabel"));
    totalTimeLabel->setStyleSheet(QLatin1String(kTimeLabelStyle));
    playPauseButton = new QPushButton(playbackBar);
    playPauseButton->setObjectName(QStringLiteral("playPauseButton"));
    playPauseButton->setIcon(playbackIcon(false));
    playPauseButton->setToolTip(tr("play_pause"));
    playPauseButton->setFlat(true);
    playPauseButton->setFocusPolicy(Qt::NoFocus);
    playPauseButton->setStyleSheet(QStringLiteral("background-color: transparent;"));
    connect(playPauseButton, &QPushButton::clicked, this, &HomeWindow::togglePlayback);
    barLayout->addWidget(playPauseButton);
    barLayout->addWidget(currentTimeLabel);
    barLayout->addWidget(positionSlider);
    barLayout->addWidget(totalTimeLabel);
    containerLayout->addWidget(playbackBar);

    overlay = new OverlayWidget(videoContainer);
    overlay->setObjectName(QStringLiteral("overlay"));

    resetFramingButton = new QPushButton(tr("reset_framing"), videoContainer);
    resetFramingButton->setObjectName(QStringLiteral("resetFramingButton"));
    resetFramingButton->setFocusPolicy(Qt::NoFocus);
    resetFramingButton->setStyleSheet(QStringLiteral(
        "QPushButton { color: white; background-color: #a0303030; border: 1px solid #80ffffff;"
        " border-radius: 4px; padding: 4px 10px; }"
        " QPushButton:disabled { color: #80ffffff; }"));
    resetFramingButton->adjustSize();
    resetFramingButton->move(8, 8);
    connect(resetFramingButton, &QPushButton::clicked, this, [this] { mpvWidget->resetFraming(); });

    connect(mpvWidget, &MPVWidget::fileFailed, this, &HomeWindow::onPlayerFileFailed);

    connect(&positionTimer, &QTimer::timeout, this, &HomeWindow::updatePosition);
    positionTimer.start(500);
    connect(positionSlider, &QSlider::sliderMoved, this, &HomeWindow::sliderMoved);
    setMouseTracking(true);
    connect(&hideTimer, &QTimer::timeout, playbackBar, &QWidget::hide);
    hideTimer.setSingleShot(true);
    playbackBar->hide();

    mediaInfoTimer.setSingleShot(true);
    connect(&mediaInfoTimer, &QTimer::timeout, this, &HomeWindow::showMediaInformation);

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

QGroupBox* HomeWindow::buildConnectionPanel()
{
    connectionPanel = new QGroupBox(tr("connection"), this);
    connectionPanel->setObjectName(QStringLiteral("connectionPanel"));
    auto* layout = new QVBoxLayout(connectionPanel);

    auto* stateRow = new QHBoxLayout();
    stateRow->addStretch();
    auto* caption = new QLabel(QStringLiteral("%1:").arg(tr("state")), connectionPanel);
    caption->setStyleSheet(QStringLiteral(
        "font-weight: bold; font-size: 18px; padding-top: 5px; padding-bottom: 5px;"));
    stateRow->addWidget(caption);
    stateLabel = new QLabel(tr("connected"), connectionPanel);
    stateLabel->setObjectName(QStringLiteral("stateLabel"));
    stateLabel->setStyleSheet(
        QStringLiteral("background: #00FF00;border-radius: 5px; padding:5px"));
    stateRow->addWidget(stateLabel);
    stateIcon = new QLabel(connectionPanel);
    stateIcon->setObjectName(QStringLiteral("stateIcon"));
    stateIcon->setPixmap(QPixmap(QLatin1String(kConnectedIcon)));
    stateIcon->setScaledContents(true);
    stateIcon->setFixedSize(30, 30);
    stateRow->addWidget(stateIcon);
    stateRow->addStretch();
    layout->addLayout(stateRow);

    // What the fan reports about itself: model, firmware and description.
    deviceInfoLabel = new QLabel(connectionPanel);
    deviceInfoLabel->setObjectName(QStringLiteral("deviceInfoLabel"));
    deviceInfoLabel->setAlignment(Qt::AlignCenter);
    deviceInfoLabel->setWordWrap(true);
    deviceInfoLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    deviceInfoLabel->setStyleSheet(QStringLiteral("color: #505050;"));
    // Two lines are always reserved, so the panel keeps its height.
    deviceInfoLabel->setMinimumHeight(2 * deviceInfoLabel->fontMetrics().lineSpacing() + 2);
    layout->addWidget(deviceInfoLabel);

    auto* buttonRow = new QHBoxLayout();
    refreshButton = new QPushButton(tr("refreshState"), connectionPanel);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setStyleSheet(
        QStringLiteral("QPushButton { padding: 8px 12px; margin: 2px 0px }"));
    connect(refreshButton, &QPushButton::clicked, this, &HomeWindow::reloadDeviceInfo);
    buttonRow->addWidget(refreshButton);
    layout->addLayout(buttonRow);
    return connectionPanel;
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
    resetFramingButton->raise();
}

void HomeWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    qDebug() << "Main window resized to:" << event->size();
    if (overlay)
        layoutVideoSquare();
}

bool HomeWindow::playbackBarAllowed() const { return isVideo && videoDuration > 0.0; }

void HomeWindow::revealPlaybackBar()
{
    if (playbackBar->isHidden() && playbackBarAllowed())
        playbackBar->show();
    hideTimer.start(barHideDelayMs);
}

// The pointer usually rests on a child (the player, the settings column), whose
// moves never reach the window's own handler: watch them for the whole
// application and react to those inside this window.
bool HomeWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Space plays and pauses, except on a focused button or box, which keeps
    // its own use of the key (a radio button toggles, a list opens).
    if (event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier &&
        (qobject_cast<QAbstractButton*>(watched) || qobject_cast<QComboBox*>(watched))) {
        event->accept();
        return false;
    }
    if (event->type() == QEvent::MouseMove && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget != this && widget->window() == this)
            revealPlaybackBar();
    }
    return QMainWindow::eventFilter(watched, event);
}

void HomeWindow::mouseMoveEvent(QMouseEvent* event)
{
    QMainWindow::mouseMoveEvent(event);
    revealPlaybackBar();
}

void HomeWindow::enterEvent(QEvent* event)
{
    QMainWindow::enterEvent(event);
    if (playbackBarAllowed())
        playbackBar->show();
    hideTimer.start(barHideDelayMs);
}

void HomeWindow::leaveEvent(QEvent* event)
{
    QMainWindow::leaveEvent(event);
    playbackBar->hide();
    hideTimer.stop();
}

void HomeWindow::togglePlayback()
{
    if (!playbackBarAllowed() || !mpvWidget->togglePause())
        return;
    playPauseButton->setIcon(playbackIcon(mpvWidget->isPaused()));
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

void HomeWindow::updatePosition()
{
    if (!mpvWidget)
        return;
    double duration = 0.0;
    double position = 0.0;
    if (!mpvWidget->getPlaybackTime(duration, position))
        return;
    videoDuration = duration;
    {
        const QSignalBlocker blocker(positionSlider);
        positionSlider->setMaximum(int(duration * 1000));
        positionSlider->setValue(int(position * 1000));
    }
    currentTimeLabel->setText(formatClock(int(position)));
    totalTimeLabel->setText(formatClock(int(duration)));
}

void HomeWindow::sliderMoved(int position)
{
    if (mpvWidget)
        mpvWidget->seekTo(position);
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
    statusLabel->setText(text);
    statusLabel->setAlignment(Qt::AlignCenter);
    statusLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    statusLabel->setStyleSheet(QLatin1String(good ? kStatusGoodStyle : kStatusBadStyle));
    statusLabel->adjustSize();
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
    // Outside developer mode the whole settings column shows without
    // scrolling; the developer parameters may scroll.
    if (scrollArea)
        scrollArea->setMinimumHeight(developerMode ? 0 : settingsPanel->sizeHint().height());
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
    if (stateLabel) {
        stateLabel->setText(connected ? tr("connected") : tr("disconnected"));
        stateLabel->setStyleSheet(QLatin1String(connected ? kConnectedStyle : kDisconnectedStyle));
    }
    if (stateIcon)
        stateIcon->setPixmap(
            QPixmap(QLatin1String(connected ? kConnectedIcon : kDisconnectedIcon)));
    updateDeviceView();
}

void HomeWindow::updateDeviceView()
{
    if (!deviceInfoLabel)
        return;
    if (!connected) {
        deviceInfoLabel->setText(tr("device_none"));
        return;
    }
    ConnectionManager* manager = connection;
    QString text = tr("device_info");
    // Without a catalogue the key has no place-holders to fill.
    if (text.contains(QLatin1String("%2")))
        text = text.arg(manager->currentModel(), manager->currentFirmware());
    else
        text = manager->currentModel() + QLatin1Char(' ') + manager->currentFirmware();
    const QString description = manager->currentDescription();
    if (!description.isEmpty())
        text += QLatin1Char('\n') + description;
    deviceInfoLabel->setText(text);
}

void HomeWindow::beginBusyView()
{
    loadingMovie->start();
    loadingLabel->show();
    settingsPanel->setEnabled(false);
    menuBar()->setEnabled(false);
    refreshButton->setEnabled(false);
    convertButton->setEnabled(false);
}

void HomeWindow::endBusyView()
{
    loadingMovie->stop();
    loadingLabel->hide();
    settingsPanel->setEnabled(true);
    menuBar()->setEnabled(true);
    refreshButton->setEnabled(true);
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
