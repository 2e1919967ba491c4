#include "ConnectionPanel.h"

#include "ConnectionManager.h"
#include "DeviceText.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const kConnectedStyle =
    "background:#01BA1E; font-weight:bold; color:#FFFFFF; border-radius:5px; padding:5px";
const char* const kDisconnectedStyle =
    "background:#D81E06; font-weight:bold; color:#FFFFFF; border-radius:5px; padding:5px";
const char* const kConnectedIcon = ":/images/gui/res/img/ic_connected.png";
const char* const kDisconnectedIcon = ":/images/gui/res/img/ic_disconnected.png";

// A catalogue text with place-holders; without a catalogue the key has none
// to fill, and the values follow it instead.
QString filled(const char* key, const QStringList& values)
{
    QString text = QCoreApplication::translate("HomeWindow", key);
    if (!text.contains(QStringLiteral("%%1").arg(values.size())))
        return (QStringList(text) + values).join(QLatin1Char(' '));
    for (const QString& v : values)
        text = text.arg(v);
    return text;
}

// The height one line of a label's text takes, descenders included.
int lineHeight(const QLabel* label)
{
    const QFontMetrics metrics = label->fontMetrics();
    return qMax(metrics.height(), metrics.lineSpacing()) + 1;
}

} // namespace

ConnectionPanel::ConnectionPanel(ConnectionManager* connection, QWidget* parent)
    : QGroupBox(QCoreApplication::translate("HomeWindow", "connection"), parent),
      connection(connection)
{
    setObjectName(QStringLiteral("connectionPanel"));
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);

    auto* stateRow = new QHBoxLayout();
    stateRow->addStretch();
    auto* caption = new QLabel(
        QStringLiteral("%1:").arg(QCoreApplication::translate("HomeWindow", "state")), this);
    caption->setStyleSheet(QStringLiteral(
        "font-weight: bold; font-size: 18px; padding-top: 5px; padding-bottom: 5px;"));
    stateRow->addWidget(caption);
    stateLabel = new QLabel(this);
    stateLabel->setObjectName(QStringLiteral("stateLabel"));
    stateRow->addWidget(stateLabel);
    stateIcon = new QLabel(this);
    stateIcon->setObjectName(QStringLiteral("stateIcon"));
    stateIcon->setScaledContents(true);
    stateIcon->setFixedSize(30, 30);
    stateRow->addWidget(stateIcon);
    stateRow->addStretch();
    layout->addLayout(stateRow);

    // What the fan reports about itself: model and firmware, then its
    // description, one line each; two lines are always reserved, so that
    // the panel keeps its height.
    deviceInfoLabel = new QLabel(this);
    deviceInfoLabel->setObjectName(QStringLiteral("deviceInfoLabel"));
    deviceInfoLabel->setTextFormat(Qt::PlainText);
    deviceInfoLabel->setAlignment(Qt::AlignCenter);
    deviceInfoLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    deviceInfoLabel->setStyleSheet(QStringLiteral("color: #505050;"));
    deviceInfoLabel->ensurePolished();
    deviceInfoLabel->setFixedHeight(2 * lineHeight(deviceInfoLabel) + 4);
    // The texts are fitted to the width the panel gives; they never widen it.
    deviceInfoLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(deviceInfoLabel);

    // What the fan plays.
    playInfoLabel = new QLabel(this);
    playInfoLabel->setObjectName(QStringLiteral("playInfoLabel"));
    playInfoLabel->setTextFormat(Qt::PlainText);
    playInfoLabel->setAlignment(Qt::AlignCenter);
    playInfoLabel->setStyleSheet(QStringLiteral("color: #505050;"));
    playInfoLabel->ensurePolished();
    playInfoLabel->setFixedHeight(lineHeight(playInfoLabel) + 4);
    playInfoLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(playInfoLabel);

    readButton = new QPushButton(QCoreApplication::translate("HomeWindow", "refreshState"), this);
    readButton->setObjectName(QStringLiteral("refreshButton"));
    readButton->setStyleSheet(QStringLiteral("QPushButton { padding: 8px 12px; margin: 2px 0px }"));
    layout->addWidget(readButton);

    // The texts are fitted again whenever the labels change width.
    deviceInfoLabel->installEventFilter(this);
    playInfoLabel->installEventFilter(this);

    connect(readButton, &QPushButton::clicked, this, [this] {
        this->connection->refreshDeviceInfo();
        refresh();
        emit refreshRequested();
    });
    connect(connection, &ConnectionManager::connectStateChanged, this, &ConnectionPanel::refresh);
    connect(connection, &ConnectionManager::deviceInfoChanged, this, &ConnectionPanel::refresh);
    connect(connection, &ConnectionManager::playInfoChanged, this, &ConnectionPanel::onPlayInfo);
    refresh();
}

QString ConnectionPanel::playFrame(const QString& state, int progress, int total, bool hasFile)
{
    if (!hasFile || total <= 0 || state == QLatin1String("idle") || state == QLatin1String("stop"))
        return QCoreApplication::translate("HomeWindow", "play_idle");
    const QStringList values {QStringLiteral("\x01"), QString::number(progress),
                              QString::number(total)};
    if (state == QLatin1String("play"))
        return filled("play_playing", values);
    if (state == QLatin1String("pause"))
        return filled("play_paused", values);
    return filled("play_listed", values);
}

QString ConnectionPanel::playText(const QString& state, const QString& current, int progress,
                                  int total)
{
    const QString name = DeviceText::clean(current);
    return playFrame(state, progress, total, !name.isEmpty())
        .replace(QLatin1Char('\x01'), DeviceText::isolate(name));
}

void ConnectionPanel::refresh()
{
    connected = connection->isConnected();
    stateLabel->setText(
        QCoreApplication::translate("HomeWindow", connected ? "connected" : "disconnected"));
    stateLabel->setStyleSheet(QLatin1String(connected ? kConnectedStyle : kDisconnectedStyle));
    stateIcon->setPixmap(QPixmap(QLatin1String(connected ? kConnectedIcon : kDisconnectedIcon)));
    model = connected ? connection->currentModel() : QString();
    firmware = connection->currentFirmware();
    description = connection->currentDescription();
    if (!connected)
        playState.clear();
    fitTexts();
}

void ConnectionPanel::onPlayInfo(PlayInfo* info)
{
    // The record is the link's and lives only until its next report.
    if (info && connected) {
        playState = info->state.isEmpty() ? QStringLiteral("idle") : info->state;
        playFile = info->current;
        playProgress = info->progress;
        playTotal = info->total;
    } else {
        playState.clear();
    }
    fitTexts();
}

bool ConnectionPanel::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == deviceInfoLabel || watched == playInfoLabel) && event->type() == QEvent::Resize)
        fitTexts();
    return QGroupBox::eventFilter(watched, event);
}

void ConnectionPanel::fitTexts()
{
    const QFontMetrics metrics = deviceInfoLabel->fontMetrics();
    const int width = deviceInfoLabel->contentsRect().width();
    if (!connected) {
        deviceInfoLabel->setText(QCoreApplication::translate("HomeWindow", "device_none"));
        deviceInfoLabel->setToolTip(QString());
    } else {
        // The model and firmware share the first line; the firmware gives way
        // first, then the model.
        const QString cleanModel = DeviceText::clean(model);
        const QString cleanFirmware = DeviceText::clean(firmware);
        const QString cleanDescription = DeviceText::clean(description);
        const QString frame =
            filled("device_info", {QStringLiteral("\x01"), QStringLiteral("\x02")});
        const int frameWidth = metrics.horizontalAdvance(
            QString(frame).remove(QLatin1Char('\x01')).remove(QLatin1Char('\x02')));
        const int room = qMax(0, width - frameWidth);
        // The model keeps what it needs, leaving the firmware at least a
        // third of the line when both do not fit.
        const int firmwareNeeds = metrics.horizontalAdvance(cleanFirmware);
        const int modelRoom = room - qMin(firmwareNeeds, room / 3);
        const QString shownModel = metrics.elidedText(cleanModel, Qt::ElideRight, modelRoom);
        const QString shownFirmware = metrics.elidedText(
            cleanFirmware, Qt::ElideRight, room - metrics.horizontalAdvance(shownModel));
        QString text = QString(frame)
                           .replace(QLatin1Char('\x01'), DeviceText::isolate(shownModel))
                           .replace(QLatin1Char('\x02'), DeviceText::isolate(shownFirmware));
        const QString shownDescription =
            metrics.elidedText(cleanDescription, Qt::ElideRight, width);
        if (!shownDescription.isEmpty())
            text += QLatin1Char('\n') + DeviceText::isolate(shownDescription);
        deviceInfoLabel->setText(text);
        const bool shortened = shownModel != cleanModel || shownFirmware != cleanFirmware ||
            shownDescription != cleanDescription;
        QString whole = QString(frame)
                            .replace(QLatin1Char('\x01'), cleanModel)
                            .replace(QLatin1Char('\x02'), cleanFirmware);
        if (!cleanDescription.isEmpty())
            whole += QLatin1Char('\n') + cleanDescription;
        deviceInfoLabel->setToolTip(shortened ? DeviceText::toolTip(whole) : QString());
    }
    if (playState.isEmpty()) {
        playInfoLabel->clear();
        playInfoLabel->setToolTip(QString());
        return;
    }
    // The file's name gives way when the line is too long.
    const QString name = DeviceText::clean(playFile);
    const QString frame = playFrame(playState, playProgress, playTotal, !name.isEmpty());
    const int frameWidth = metrics.horizontalAdvance(QString(frame).remove(QLatin1Char('\x01')));
    const QString shownName =
        metrics.elidedText(name, Qt::ElideMiddle, qMax(0, width - frameWidth));
    playInfoLabel->setText(
        QString(frame).replace(QLatin1Char('\x01'), DeviceText::isolate(shownName)));
    playInfoLabel->setToolTip(shownName != name ? DeviceText::toolTip(name) : QString());
}
