#include "FanViewWidget.h"

#include "FanPreview.h"
#include "MPVWidget.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>

#include <utility>

FanViewWidget::FanViewWidget(MPVWidget* player, QWidget* parent)
    : QWidget(parent),
      player(player)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    timer.setInterval(50);
    connect(&timer, &QTimer::timeout, this, &FanViewWidget::tick);
    if (player) {
        connect(player, &MPVWidget::frameGrabbed, this, &FanViewWidget::onFrame);
        connect(player, &MPVWidget::framingChanged, this, &FanViewWidget::showLive);
    }
    if (parent)
        parent->installEventFilter(this);
    followParent();
    hide();
}

FanViewWidget::~FanViewWidget() = default;

void FanViewWidget::setOverlay(QWidget* widget) { overlay = widget; }

void FanViewWidget::bringUp()
{
    followParent();
    raise();
    if (overlay && overlay->parentWidget() == parentWidget())
        stackUnder(overlay);
    show();
}

void FanViewWidget::setParamsSource(ParamsSource source) { paramsSource = std::move(source); }

void FanViewWidget::setUpdateInterval(int ms) { timer.setInterval(ms > 0 ? ms : 50); }

void FanViewWidget::setActive(bool on)
{
    if (on == active)
        return;
    active = on;
    const bool wasShowingFile = std::exchange(showingFile, false);
    if (on) {
        bringUp();
        timer.start();
        tick();
    } else {
        timer.stop();
        pipeline.release();
        shown = QImage();
        hide();
    }
    if (wasShowingFile)
        emit shownFileChanged(QString());
    emit activeChanged(on);
}

void FanViewWidget::showLive()
{
    if (!active || !showingFile)
        return;
    showingFile = false;
    filePath.clear();
    shown = QImage();
    update();
    timer.start();
    tick();
    emit shownFileChanged(QString());
}

bool FanViewWidget::showFanFile(const QString& path, const FanGeometry& geometry, QString* error)
{
    const int size = qMax(1, squareRect().width());
    FanPreview file;
    if (!file.open(path, geometry, error))
        return false;
    const QImage frame = file.renderFrame(0, int(size * devicePixelRatioF()), error);
    if (frame.isNull())
        return false;
    const bool changed = !active;
    timer.stop();
    pipeline.release();
    active = true;
    showingFile = true;
    filePath = path;
    shown = frame;
    bringUp();
    update();
    ++updates;
    if (changed)
        emit activeChanged(true);
    emit shownFileChanged(path);
    emit pictureChanged();
    return true;
}

void FanViewWidget::tick()
{
    if (!active || showingFile || !player)
        return;
    const FanViewParams params = paramsSource ? paramsSource() : pipeline.params();
    if (!pipeline.setParams(params)) {
        // No model yet (or an invalid one): nothing to show.
        if (!shown.isNull()) {
            shown = QImage();
            update();
        }
        return;
    }
    player->requestFrameGrab();
}

void FanViewWidget::onFrame(const QImage& picture, const QRectF& square)
{
    if (!active || showingFile || !pipeline.hasPlan())
        return;
    const int size = qRound(squareRect().width() * devicePixelRatioF());
    const QImage image = pipeline.render(picture, square, size);
    if (image.isNull())
        return;
    shown = image;
    shown.setDevicePixelRatio(devicePixelRatioF());
    ++updates;
    update();
    emit pictureChanged();
}

QRect FanViewWidget::squareRect() const
{
    if (!player)
        return rect();
    // The framing square: the video widget's layout rectangle, in the
    // coordinates of the preview area that both share.
    const QRect layout = player->currentLayoutRect();
    return layout.isNull() ? player->geometry() : layout;
}

void FanViewWidget::paintEvent(QPaintEvent*)
{
    if (shown.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect square = squareRect();
    QPainterPath disc;
    disc.addEllipse(QRectF(square));
    painter.setClipPath(disc);
    painter.drawImage(square, shown);
}

bool FanViewWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        followParent();
    return QWidget::eventFilter(watched, event);
}

void FanViewWidget::followParent()
{
    if (parentWidget())
        setGeometry(parentWidget()->rect());
}
