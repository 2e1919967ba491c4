#pragma once

#include "Framing.h"
#include "PreviewLook.h"

#include <QImage>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QTimer>
#include <cstdint>

struct mpv_handle;
struct mpv_render_context;

// The preview surface: an OpenGL widget in which libmpv renders the chosen
// video or image, looping, with sound. The widget is also the object the user
// frames: dragging moves it inside its parent, the wheel zooms it around its
// centre, and computeFraming() turns its position and size relative to the
// laid-out square (layoutRect) into the centre and scale a conversion needs.
//
// Everything runs on the GUI thread. A 16 ms timer reads mpv's events (the
// observed position, duration, pause state and picture size arrive there as
// signals) and repaints only when mpv has a new frame or the view changed;
// no mpv callback ever enters the application.
//
// Keys while it has focus: arrows move the picture (Shift: by one pixel),
// + and - zoom, 0 resets the framing, M mutes, Ctrl+Up and Ctrl+Down change
// the volume.
//
// Environment: SPINDRA_MPV_AO, when set, becomes mpv's "ao" option (tests use
// "null" so that nothing tries to open a sound device).
class MPVWidget : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT

public:
    explicit MPVWidget(QWidget* parent = nullptr);
    ~MPVWidget() override;

    // Asynchronous "loadfile"; the file plays looping until another is loaded.
    // Returns false when mpv refused to queue the command.
    bool loadFile(const QString& path);
    // Absolute seek to ms milliseconds. False only without an mpv handle.
    bool seekTo(int ms);
    // Duration and current position in seconds, as last observed; false
    // without mpv or when either is not known (nothing loaded yet).
    bool getPlaybackTime(double& duration, double& position);
    // The source frame size in pixels as the picture is shown: a clip stored
    // with a quarter turn (a phone's portrait video) reports its sides
    // swapped, like the frames FFmpeg decodes from it. False when it is not
    // known (nothing loaded yet), in which case the unknown dimension is left 0.
    bool getVideoSize(uint32_t& width, uint32_t& height);
    // The flips of the picture as it is shown, turned upright. Horizontal: a
    // mirror filter in mpv's chain (for a picture turned a quarter, a
    // top-bottom mirror before the turn). Vertical: the picture is rendered
    // upside down. Takes effect at once.
    void setFlip(bool horizontal, bool vertical);
    // What the probe found about the file just loaded: the preview then shows
    // it as the conversion will (PreviewLook). Loading a file returns to the
    // defaults until its facts come.
    void setMediaFacts(const MediaFacts& facts);
    const PreviewLook& currentLook() const { return look; }
    // Limited to 0..100.
    void setVolume(double volume);
    // mpv's current volume (0 without mpv) and mute flag.
    double volume() const;
    bool isMuted() const;
    bool horizontalFlip() const { return hflip; }
    bool verticalFlip() const { return vflip; }

    // The circle's centre in video pixels (x from the left, y from the bottom
    // of the picture as shown, turned upright) and the factor that scales the
    // video so that the laid-out square spans destResolution pixels. False
    // (and the outputs untouched) without mpv, without a known video size or
    // before the layout rectangle has been captured.
    bool computeFraming(QPointF& videoCenter, double& videoScale, int destResolution);
    // On the next turn of the event loop: zoom back to 1.0 and capture the
    // current geometry as the layout rectangle.
    void resetLayout();
    // The square the window laid the picture out in. It becomes the layout
    // rectangle at once, and the picture keeps the user's zoom and offset
    // relative to it, so that the next wheel notch starts from what is shown.
    void placeInSquare(const QRect& square);
    // Back to zoom 1, centred in the layout rectangle.
    void resetFraming();
    // The picture's zoom and its offset from the circle's centre in units of
    // the square's side (Framing::offset), and the way back to them.
    QPointF framingOffset() const { return framing.offset(geometry()); }
    void applyFraming(double zoom, const QPointF& offset);

    // Stops playback and empties the preview.
    void stop();
    // Pauses or resumes playback; false without mpv or nothing loaded.
    bool togglePause();
    bool isPaused() const;

    // Read-only views of the framing state (for the window's diagnostics and tests).
    double currentZoom() const { return framing.zoom(); }
    QRect currentLayoutRect() const { return framing.layout(); }
    bool isDragging() const { return dragging; }
    // Whether the mpv render context exists (GL initialised).
    bool isRenderReady() const { return glReady; }
    // Interval of the timer that reads mpv's events and renders what changed
    // (16 ms by default).
    void setRepaintInterval(int ms);
    // Pictures rendered so far (for observers and benchmarks).
    int renderCount() const { return renders; }

    // Asks for one read-back of the shown picture: after the next repaint,
    // frameGrabbed() carries the pixels of the picture under the framing
    // square (the layout rectangle, or the whole widget before it is
    // captured), at least its nearest row and column when the square lies
    // beside it. Nothing is read back unless asked.
    void requestFrameGrab();
    bool isFrameGrabPending() const { return grabPending; }

signals:
    // picture: the shown picture's pixels (top row first, device pixels);
    // square: the framing square in the picture's coordinates (it may reach
    // beyond the picture, where the picture is not shown).
    void frameGrabbed(const QImage& picture, const QRectF& square);

public:
    static constexpr double kMinZoom = Framing::kMinZoom;
    static constexpr double kMaxZoom = Framing::kMaxZoom;
    // An arrow key moves the picture by this fraction of the square's side.
    static constexpr int kArrowSteps = 60;

signals:
    // The file last loaded has opened with a picture (a video or an image track).
    void fileOpened(const QString& path);
    // The file last loaded cannot be shown: mpv could not open it, or it holds
    // no video or image track.
    void fileFailed(const QString& path);
    // The current file's duration and position in seconds, as mpv reports
    // them (a negative value: not known). Only the current file's values are
    // reported: nothing while a new file opens, both once it has opened.
    void durationChanged(double seconds);
    void positionChanged(double seconds);
    void pausedChanged(bool paused);
    // The picture's size as shown may have changed (a new file, a new track).
    void videoSizeChanged();
    // The user moved, zoomed, reset or flipped the picture.
    void framingChanged();
    void focusChanged(bool focused);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void initializeGL() override;
    void paintGL() override;

private:
    void onTick();
    void renderLater();
    void observe();
    void onPropertyChange(uint64_t id, const void* property);
    void reportPlayback();
    bool framingKey(QKeyEvent* event);
    void grabFrame(const QRect& pictureRect, int surfaceHeight);
    void drainEvents();
    void freeRenderContext();
    bool issueLoad(const QString& path);
    void settleLoad(bool opened);
    void applyMirror();
    void applyLook(const PreviewLook& wanted);
    // Swaps mpv's filter under `label` from `current` to `wanted` (either
    // empty: none); false when mpv refused.
    bool replaceFilter(const char* label, const QByteArray& current, const QByteArray& wanted);

    bool hflip = false;
    bool vflip = false;
    bool glReady = false;
    mpv_handle* mpv = nullptr;
    mpv_render_context* renderContext = nullptr;
    QTimer repaintTimer;
    // The view changed since the last render (flip, read-back, new file).
    bool viewDirty = true;
    int renders = 0;

    // What mpv last reported about the current file (negative: not known).
    double observedDuration = -1.0;
    double observedPosition = -1.0;
    bool observedPaused = false;
    int64_t displayWidth = 0;
    int64_t displayHeight = 0;

    // Framing state.
    Framing framing;
    bool dragging = false;
    QPoint dragStartGlobal;
    QRect dragStartGeometry;

    // Our filters and options in mpv: the mirror (empty: none) and the look
    // of the current file.
    QByteArray mirrorInChain;
    PreviewLook look;
    // mpv cannot start a file's video without a render context; a file loaded
    // before there is one (or while it is being replaced) is loaded again once
    // the context exists.
    QString currentPath;
    bool loadOnInit = false;
    // The newest loadfile (its reply id) and the playlist entry it created;
    // the entries last started, loaded and failed, as mpv's events name them.
    uint64_t loadSerial = 0;
    int64_t expectedEntry = -1;
    int64_t startedEntry = -1;
    int64_t loadedEntry = -1;
    int64_t failedEntry = -1;
    // The current file has not opened (or failed) yet: what mpv reports is
    // still the previous file's.
    bool awaitingFile = false;

    bool grabPending = false;
};
