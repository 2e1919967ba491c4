// Main window: construction, layout of the video square, playback bar,
// connection panel, busy view and log panel.
#include "HomeWindow.h"

#include "ConnectionManager.h"
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
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMovie>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QSlider>
#include <QTextEdit>
#include <QTimeEdit>
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
        scrollArea->setFixedWidth(270);
        // The panel follows the column's width; only the height scrolls.
        scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

        rightColumn->addWidget(buildConnectionPanel());
        rightColumn->addWidget(scrollArea);
        rightColumn->addSpacing(32);

        statusLabel = new QLabel(central);
        statusLabel->setObjectName(QStringLiteral("statusLabel"));
        statusLabel->setStyleSheet(QStringLiteral("background: transparent;"));
        rightColumn->addWidget(statusLabel, 0, Qt::AlignHCenter);
        rightColumn->addWidget(jobPanel = new JobPanel(controller, central));

        loadingLabel = new QLabel(central);
        loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
        loadingLabel->setStyleSheet(QStringLiteral("background: transparent;"));
        loadingLabel->setFixedSize(50, 50);
        loadingLabel->setAttribute(Qt::WA_TranslucentBackground);
        loadingLabel->setAlignment(Qt::AlignCenter);
        loadingMovie = new QMovie(findImageFile(QStringLiteral("gui/res/img/loading.gif")),
                                  QByteArray(), loadingLabel);
        loadingMovie->setScaledSize(loadingLabel->size());
        loadingLabel->setMovie(loadingMovie);
        rightColumn->addWidget(loadingLabel, 0, Qt::AlignHCenter);

        convertButton = new QPushButton(tr("convert"), central);
        convertButton->setObjectName(QStringLiteral("convertButton"));
        convertButton->setStyleSheet(QStringLiteral(
            "QPushButton { font-size:16px; color:green; padding:30px 0px; font-weight:bold; }"));
        connect(convertButton, &QPushButton::clicked, this, &HomeWindow::clickStart);
        rightColumn->addWidget(convertButton);

        mainLayout->addLayout(leftColumn, 1);
        mainLayout->addLayout(rightColumn, 0);
        setCentralWidget(central);
    }

    updateDebugMode();
    startTimeEdit->setEnabled(isVideo);
    endTimeEdit->setEnabled(isVideo);
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
    barLayout->addWidget(currentTimeLabel);
    barLayout->addWidget(positionSlider);
    barLayout->addWidget(totalTimeLabel);
    containerLayout->addWidget(playbackBar);

    overlay = new OverlayWidget(videoContainer);
    overlay->setObjectName(QStringLiteral("overlay"));

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
    connectionPanel->setMaximumWidth(270);
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

    auto* buttonRow = new QHBoxLayout();
    refreshButton = new QPushButton(tr("refreshState"), connectionPanel);
    refreshButton->setObjectName(QStringLiteral("refreshButton"));
    refreshButton->setStyleSheet(
        QStringLiteral("QPushButton { padding: 10px 0px; margin: 8px 0px }"));
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
    mpvWidget->move((w - s) / 2, (h - s) / 2);
    mpvWidget->resize(s, s);
    mpvWidget->show();
    qDebug() << "width:" << w << " hegith:" << h << " radius:" << r;

    if (overlay->parentWidget() != videoContainer)
        overlay->setParent(videoContainer);
    overlay->resize(w, h);
    overlay->move(0, 0);
    overlay->setRadius(r - overlay->borderWidth());
    overlay->show();

    playbackBar->raise();
}

void HomeWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    qDebug() << "Main window resized to:" << event->size();
    if (overlay)
        layoutVideoSquare();
}

void HomeWindow::mouseMoveEvent(QMouseEvent* event)
{
    QMainWindow::mouseMoveEvent(event);
    if (playbackBar->isHidden() && isVideo)
        playbackBar->show();
    hideTimer.start(barHideDelayMs);
}

void HomeWindow::enterEvent(QEvent* event)
{
    QMainWindow::enterEvent(event);
    if (isVideo)
        playbackBar->show();
    hideTimer.start(barHideDelayMs);
}

void HomeWindow::leaveEvent(QEvent* event)
{
    QMainWindow::leaveEvent(event);
    playbackBar->hide();
    hideTimer.stop();
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

QString HomeWindow::formatClock(int t)
{
    const int hours = t / 3600;
    const int minutes = t / 60 - hours * 60;
    const int seconds = t % 60;
    return QStringLiteral("%1:%2:%3")
        .arg(hours, 2, 10, QLatin1Char('0'))
        .arg(minutes, 2, 10, QLatin1Char('0'))
        .arg(seconds, 2, 10, QLatin1Char('0'));
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
    if (stateLabel) {
        stateLabel->setText(connected ? tr("connected") : tr("disconnected"));
        stateLabel->setStyleSheet(QLatin1String(connected ? kConnectedStyle : kDisconnectedStyle));
    }
    if (stateIcon)
        stateIcon->setPixmap(
            QPixmap(QLatin1String(connected ? kConnectedIcon : kDisconnectedIcon)));
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
