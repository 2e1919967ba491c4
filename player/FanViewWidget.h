// The fan view: shows, inside the framing circle, what the fan will show for
// the current frame of the preview, live while the clip plays and while the
// picture is dragged, zoomed or flipped. It lies above the video widget and
// below the framing overlay, covers the same area as the overlay and lets
// every mouse event through to the video widget.
//
// While it is on, a timer asks the video widget for a read-back of the
// picture under the framing square at every tick and runs the fan view
// pipeline (FanViewRenderer) on it; the parameters come from a source
// function read at every tick, so a new model or parameter builds a new plan
// at once and nothing else does. While it is off nothing of it runs: no
// timer, no read-back, no plan.
#pragma once

#include "FanViewRenderer.h"

#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QTimer>
#include <QWidget>

#include <functional>

class MPVWidget;
struct FanGeometry;

class FanViewWidget : public QWidget {
    Q_OBJECT

public:
    // player: the video widget whose picture is shown; both are children of
    // the same preview area (the parent).
    FanViewWidget(MPVWidget* player, QWidget* parent);
    ~FanViewWidget() override;

    // The widget the view stays under (the framing overlay).
    void setOverlay(QWidget* overlay);

    using ParamsSource = std::function<FanViewParams()>;
    void setParamsSource(ParamsSource source);

    void setActive(bool on);
    bool isActive() const { return active; }

    // Shows the first frame of a fan file for this geometry instead of the
    // live picture and switches the view on. The live picture returns with
    // showLive(): at any framing change of the player (drag, zoom, flip,
    // reset) by itself, and when the window calls it for a new model or a
    // playback change. False with *error set (and the view unchanged) when
    // the file cannot be read.
    bool showFanFile(const QString& path, const FanGeometry& geometry, QString* error);
    bool isShowingFile() const { return showingFile; }
    // The file shown instead of the live picture (empty while live or off).
    QString shownFile() const { return showingFile ? filePath : QString(); }
    // Back from a file to the live picture; nothing while live or off.
    void showLive();

    // Milliseconds between two live updates (50, the fan's frame rate).
    void setUpdateInterval(int ms);
    int updateInterval() const { return timer.interval(); }

    // For observers and tests: the pictures made so far, the last one, and
    // the plans the pipeline has built.
    int updateCount() const { return updates; }
    QImage picture() const { return shown; }
    const FanViewRenderer& renderer() const { return pipeline; }

signals:
    void activeChanged(bool on);
    void pictureChanged();
    // A file is shown instead of the live picture, or no more (empty path).
    void shownFileChanged(const QString& path);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void tick();
    void onFrame(const QImage& picture, const QRectF& square);
    QRect squareRect() const;
    void followParent();
    void bringUp();

    QPointer<MPVWidget> player;
    QPointer<QWidget> overlay;
    ParamsSource paramsSource;
    FanViewRenderer pipeline;
    QTimer timer;
    bool active = false;
    bool showingFile = false;
    QString filePath;
    int updates = 0;
    QImage shown;
};
