#include "PlaybackBar.h"

#include "DecodeSteps.h"
#include "MPVWidget.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

namespace {

const char* const kTimeLabelStyle =
    "color: white; background-color: transparent; padding-bottom: 3px";
// The groove stays visible on the black preview: the played part in the
// highlight blue, the rest grey.
const char* const kSliderStyle =
    "QSlider { background-color: transparent; }"
    " QSlider::groove:horizontal { height: 4px; background: #6e6e6e; border-radius: 2px; }"
    " QSlider::sub-page:horizontal { background: #3d8ee9; border-radius: 2px; }"
    " QSlider::add-page:horizontal { background: #6e6e6e; border-radius: 2px; }"
    " QSlider::handle:horizontal { background: white; width: 12px; margin: -4px 0;"
    " border-radius: 6px; }";

// The play and pause symbols, drawn white for the black preview.
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

PlaybackBar::PlaybackBar(MPVWidget* player, QWidget* parent)
    : QWidget(parent),
      player(player)
{
    setObjectName(QStringLiteral("playbackBar"));
    setStyleSheet(QStringLiteral("background-color: #00000000;"));
    setFixedHeight(46);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(8);

    playPauseButton = new QPushButton(this);
    playPauseButton->setObjectName(QStringLiteral("playPauseButton"));
    playPauseButton->setIcon(playbackIcon(false));
    playPauseButton->setToolTip(QCoreApplication::translate("HomeWindow", "play_pause"));
    playPauseButton->setFlat(true);
    // Space does the same from anywhere; the bar hides itself, so it takes
    // no place in the Tab order.
    playPauseButton->setFocusPolicy(Qt::NoFocus);
    playPauseButton->setStyleSheet(QStringLiteral("background-color: transparent;"));
    currentTimeLabel = new QLabel(QStringLiteral("00:00:00"), this);
    currentTimeLabel->setObjectName(QStringLiteral("currentTimeLabel"));
    currentTimeLabel->setStyleSheet(QLatin1String(kTimeLabelStyle));
    positionSlider = new QSlider(Qt::Horizontal, this);
    positionSlider->setObjectName(QStringLiteral("positionSlider"));
    positionSlider->setRange(0, 0);
    positionSlider->setFocusPolicy(Qt::NoFocus);
    positionSlider->setStyleSheet(QLatin1String(kSliderStyle));
    totalTimeLabel = new QLabel(QStringLiteral("00:00:00"), this);
    totalTimeLabel->setObjectName(QStringLiteral("totalTimeLabel"));
    totalTimeLabel->setStyleSheet(QLatin1String(kTimeLabelStyle));
    layout->addWidget(playPauseButton);
    layout->addWidget(currentTimeLabel);
    layout->addWidget(positionSlider);
    layout->addWidget(totalTimeLabel);

    connect(playPauseButton, &QPushButton::clicked, this, &PlaybackBar::togglePlayback);
    // Only the user's drags seek; the position reports move the slider with
    // its signals blocked.
    connect(positionSlider, &QSlider::sliderMoved, this, [this](int ms) {
        this->player->seekTo(ms);
        emit playbackChanged();
    });
    connect(player, &MPVWidget::durationChanged, this, &PlaybackBar::onDuration);
    connect(player, &MPVWidget::positionChanged, this, &PlaybackBar::onPosition);
    connect(player, &MPVWidget::pausedChanged, this, &PlaybackBar::onPaused);

    hideTimer.setSingleShot(true);
    connect(&hideTimer, &QTimer::timeout, this, &QWidget::hide);
    hide();
}

void PlaybackBar::setAvailable(bool on)
{
    available = on;
    if (!on)
        conceal();
}

void PlaybackBar::reveal()
{
    if (isHidden() && available)
        show();
    hideTimer.start(hideDelayMs);
}

void PlaybackBar::conceal()
{
    hide();
    hideTimer.stop();
}

void PlaybackBar::clear()
{
    const QSignalBlocker blocker(positionSlider);
    positionSlider->setRange(0, 0);
    currentTimeLabel->setText(formatClock(0));
    totalTimeLabel->setText(formatClock(0));
}

void PlaybackBar::togglePlayback()
{
    if (!available || !player->togglePause())
        return;
    emit playbackChanged();
}

void PlaybackBar::onDuration(double seconds)
{
    const double known = qMax(0.0, seconds);
    const QSignalBlocker blocker(positionSlider);
    positionSlider->setMaximum(int(known * 1000));
    totalTimeLabel->setText(formatClock(int(known)));
}

void PlaybackBar::onPosition(double seconds)
{
    const double known = qMax(0.0, seconds);
    if (!positionSlider->isSliderDown()) {
        const QSignalBlocker blocker(positionSlider);
        positionSlider->setValue(int(known * 1000));
    }
    currentTimeLabel->setText(formatClock(int(known)));
}

void PlaybackBar::onPaused(bool paused) { playPauseButton->setIcon(playbackIcon(paused)); }
