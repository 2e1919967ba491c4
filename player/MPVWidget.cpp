#include "MPVWidget.h"

#include <QByteArray>
#include <QDebug>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QShowEvent>
#include <QSurfaceFormat>
#include <QWheelEvent>
#include <QtGlobal>

#include <mpv/client.h>
#include <mpv/render_gl.h>

#include <cmath>
#include <utility>

namespace {

void* getProcAddress(void* ctx, const char* name)
{
    auto* widget = static_cast<MPVWidget*>(ctx);
    widget->makeCurrent();
    QOpenGLContext* gl = QOpenGLContext::currentContext();
    if (!gl)
        return nullptr;
    return reinterpret_cast<void*>(gl->getProcAddress(QByteArray(name)));
}

bool readInt64(mpv_handle* mpv, const char* name, int64_t& out)
{
    int64_t v = 0;
    if (mpv_get_property(mpv, name, MPV_FORMAT_INT64, &v) < 0)
        return false;
    out = v;
    return true;
}

// The picture's rotation in degrees (0, 90, 180 or 270) as mpv shows it: the
// decoded frames' parameters once video runs, the track's header (a phone
// clip's display matrix) before that; 0 when neither is known.
int64_t shownRotation(mpv_handle* mpv)
{
    int64_t rotate = 0;
    if (!readInt64(mpv, "video-params/rotate", rotate))
        readInt64(mpv, "current-tracks/video/demux-rotation", rotate);
    return ((rotate % 360) + 360) % 360;
}

// The frame size as shown: mpv's "width" and "height" are the size as stored,
// and a picture turned by a quarter (portrait phone clips) is shown, and
// decoded by FFmpeg for a conversion, with the two sides swapped.
bool readShownSize(mpv_handle* mpv, int64_t& width, int64_t& height, bool warn)
{
    const bool okW = readInt64(mpv, "width", width);
    if (!okW && warn)
        qWarning() << "Failed to get width";
    const bool okH = readInt64(mpv, "height", height);
    if (!okH && warn)
        qWarning() << "Failed to get height";
    if (okW && okH && shownRotation(mpv) % 180 == 90)
        std::swap(width, height);
    return okW && okH;
}

// The playlist entry a loadfile answer names; -1 when it names none.
int64_t entryIdOf(const mpv_node& result)
{
    if (result.format != MPV_FORMAT_NODE_MAP || !result.u.list)
        return -1;
    const mpv_node_list* map = result.u.list;
    for (int i = 0; i < map->num; ++i) {
        if (qstrcmp(map->keys[i], "playlist_entry_id") == 0 &&
            map->values[i].format == MPV_FORMAT_INT64)
            return map->values[i].u.int64;
    }
    return -1;
}

bool readDouble(mpv_handle* mpv, const char* name, double& out)
{
    double v = 0;
    if (mpv_get_property(mpv, name, MPV_FORMAT_DOUBLE, &v) < 0)
        return false;
    out = v;
    return true;
}

} // namespace

MPVWidget::MPVWidget(QWidget* parent)
    : QOpenGLWidget(parent)
{
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    setFormat(format);

    mpv = mpv_create();
    if (!mpv)
        qFatal("Failed to create mpv instance");

    mpv_set_option_string(mpv, "vo", "libmpv");
    mpv_set_property_string(mpv, "loop-file", "inf");
    mpv_set_option_string(mpv, "utf8-filesystem", "yes");
    mpv_set_option_string(mpv, "sub-codepage", "utf8");
    for (const auto& option : PreviewLook::globalOptions())
        mpv_set_option_string(mpv, option.first.constData(), option.second.constData());
    const QByteArray ao = qgetenv("SPINDRA_MPV_AO");
    if (!ao.isEmpty())
        mpv_set_option_string(mpv, "ao", ao.constData());

    if (mpv_initialize(mpv) < 0)
        qFatal("mpv_initialize failed");
    observe();

    connect(&repaintTimer, &QTimer::timeout, this, &MPVWidget::onTick);
    repaintTimer.start(16);

    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
}

MPVWidget::~MPVWidget()
{
    repaintTimer.stop();
    // The render context must go first and with its GL context current;
    // only then may the core be destroyed.
    freeRenderContext();
    // The base class destroys the GL context after this body; by then this
    // part of the object is gone and must not be called back.
    if (QOpenGLContext* gl = context())
        disconnect(gl, nullptr, this, nullptr);
    if (mpv) {
        mpv_terminate_destroy(mpv);
        mpv = nullptr;
    }
}

void MPVWidget::freeRenderContext()
{
    if (!renderContext)
        return;
    makeCurrent();
    mpv_render_context_free(renderContext);
    renderContext = nullptr;
    glReady = false;
    doneCurrent();
    // Freeing the context took mpv's video output down with it; the current
    // file has to be started again on the next context.
    loadOnInit = !currentPath.isEmpty();
}

void MPVWidget::setRepaintInterval(int ms) { repaintTimer.setInterval(qMax(1, ms)); }

// The properties whose changes arrive through the event queue, each under the
// reply id the drain knows it by.
namespace {
enum Observed : uint64_t {
    ObservedDuration = 1,
    ObservedPosition,
    ObservedPause,
    ObservedDisplayWidth,
    ObservedDisplayHeight,
    ObservedWidth,
    ObservedHeight,
};
} // namespace

void MPVWidget::observe()
{
    mpv_observe_property(mpv, ObservedDuration, "duration", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, ObservedPosition, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv, ObservedPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv, ObservedDisplayWidth, "dwidth", MPV_FORMAT_INT64);
    mpv_observe_property(mpv, ObservedDisplayHeight, "dheight", MPV_FORMAT_INT64);
    mpv_observe_property(mpv, ObservedWidth, "width", MPV_FORMAT_INT64);
    mpv_observe_property(mpv, ObservedHeight, "height", MPV_FORMAT_INT64);
}

void MPVWidget::onTick()
{
    drainEvents();
    // Render only what is new: a frame mpv has ready (playback, a seek, a
    // filter change) or a change of the view itself. A paused or empty
    // preview then costs nothing.
    if (renderContext && (mpv_render_context_update(renderContext) & MPV_RENDER_UPDATE_FRAME) != 0)
        viewDirty = true;
    if (viewDirty)
        update();
}

void MPVWidget::renderLater() { viewDirty = true; }

void MPVWidget::onPropertyChange(uint64_t id, const void* data)
{
    const auto* property = static_cast<const mpv_event_property*>(data);
    const bool known = property->format != MPV_FORMAT_NONE && property->data;
    switch (id) {
    case ObservedDuration:
    case ObservedPosition: {
        const double value = known && property->format == MPV_FORMAT_DOUBLE
            ? *static_cast<double*>(property->data)
            : -1.0;
        double& slot = id == ObservedDuration ? observedDuration : observedPosition;
        if (slot == value)
            return;
        slot = value;
        // While a new file opens, mpv may still report the previous one.
        if (awaitingFile || currentPath.isEmpty())
            return;
        if (id == ObservedDuration)
            emit durationChanged(value);
        else
            emit positionChanged(value);
        return;
    }
    case ObservedPause: {
        const bool paused =
            known && property->format == MPV_FORMAT_FLAG && *static_cast<int*>(property->data);
        if (paused != observedPaused) {
            observedPaused = paused;
            emit pausedChanged(paused);
        }
        return;
    }
    case ObservedDisplayWidth:
    case ObservedDisplayHeight: {
        const int64_t value = known && property->format == MPV_FORMAT_INT64
            ? *static_cast<int64_t*>(property->data)
            : 0;
        (id == ObservedDisplayWidth ? displayWidth : displayHeight) = value;
        renderLater();
        return;
    }
    case ObservedWidth:
    case ObservedHeight:
        if (!awaitingFile && !currentPath.isEmpty())
            emit videoSizeChanged();
        return;
    default:
        return;
    }
}

// The current file's duration and position as they stand, once it has opened.
void MPVWidget::reportPlayback()
{
    if (!readDouble(mpv, "duration", observedDuration))
        observedDuration = -1.0;
    if (!readDouble(mpv, "time-pos", observedPosition))
        observedPosition = -1.0;
    emit durationChanged(observedDuration);
    emit positionChanged(observedPosition);
    emit videoSizeChanged();
}

// No callback is installed, so mpv's events pile up in its queue unless they
// are read; a full queue makes mpv refuse further asynchronous commands (a new
// "loadfile" would fail). Read them here, logging only what helps a user.
void MPVWidget::drainEvents()
{
    if (!mpv)
        return;
    for (;;) {
        mpv_event* ev = mpv_wait_event(mpv, 0);
        if (!ev || ev->event_id == MPV_EVENT_NONE)
            break;
        switch (ev->event_id) {
        case MPV_EVENT_COMMAND_REPLY:
            // Only loadfile runs asynchronously; its answer names the playlist
            // entry whose start, loading and end concern the current file.
            if (ev->reply_userdata == loadSerial && loadSerial != 0) {
                if (ev->error < 0) {
                    qWarning() << "[MPV] command failed:" << mpv_error_string(ev->error);
                    settleLoad(false);
                } else if (ev->data) {
                    const auto* reply = static_cast<const mpv_event_command*>(ev->data);
                    expectedEntry = entryIdOf(reply->result);
                    if (expectedEntry >= 0 && expectedEntry == loadedEntry)
                        settleLoad(true);
                    else if (expectedEntry >= 0 && expectedEntry == failedEntry)
                        settleLoad(false);
                }
            } else if (ev->error < 0) {
                qWarning() << "[MPV] command failed:" << mpv_error_string(ev->error);
            }
            break;
        case MPV_EVENT_START_FILE:
            if (ev->data)
                startedEntry =
                    static_cast<const mpv_event_start_file*>(ev->data)->playlist_entry_id;
            break;
        case MPV_EVENT_FILE_LOADED:
            loadedEntry = startedEntry;
            if (awaitingFile && expectedEntry >= 0 && loadedEntry == expectedEntry)
                settleLoad(true);
            break;
        case MPV_EVENT_PROPERTY_CHANGE:
            if (ev->data)
                onPropertyChange(ev->reply_userdata, ev->data);
            break;
        case MPV_EVENT_END_FILE:
            if (ev->data) {
                const auto* end = static_cast<const mpv_event_end_file*>(ev->data);
                // A failure while the video surface is being replaced is expected:
                // the file is started again on the new surface.
                if (end->reason == MPV_END_FILE_REASON_ERROR && !loadOnInit) {
                    qWarning() << "[MPV] playback failed:" << mpv_error_string(end->error);
                    failedEntry = end->playlist_entry_id;
                    if (awaitingFile && expectedEntry >= 0 && failedEntry == expectedEntry)
                        settleLoad(false);
                }
            }
            break;
        default:
            break;
        }
    }
}

void MPVWidget::settleLoad(bool opened)
{
    awaitingFile = false;
    expectedEntry = -1;
    if (currentPath.isEmpty())
        return;
    renderLater();
    // A file without a picture (sound only) cannot be framed or converted.
    int64_t videoId = 0;
    if (opened && readInt64(mpv, "current-tracks/video/id", videoId)) {
        // The turn of this file is known now.
        applyMirror();
        emit fileOpened(currentPath);
        reportPlayback();
    } else {
        emit fileFailed(currentPath);
    }
}

void MPVWidget::initializeGL()
{
    initializeOpenGLFunctions();
    qDebug() << "OpenGL Version: " << reinterpret_cast<const char*>(glGetString(GL_VERSION));

    // Qt replaces the GL context when the widget moves to another top-level
    // window; the render context is tied to the old one and must go with it.
    if (QOpenGLContext* gl = context()) {
        connect(gl, &QOpenGLContext::aboutToBeDestroyed, this, &MPVWidget::freeRenderContext,
                Qt::UniqueConnection);
    }

    if (renderContext)
        return;
    mpv_opengl_init_params glInit {};
    glInit.get_proc_address = &getProcAddress;
    glInit.get_proc_address_ctx = this;
    char apiType[] = MPV_RENDER_API_TYPE_OPENGL;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, apiType},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &glInit},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    if (mpv_render_context_create(&renderContext, mpv, params) < 0)
        qFatal("failed to create mpv GL context");
    glReady = true;
    renderLater();
    if (loadOnInit) {
        loadOnInit = false;
        issueLoad(currentPath);
    }
}

void MPVWidget::paintGL()
{
    if (!renderContext)
        return;
    viewDirty = false;
    ++renders;

    glClearColor(1.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);

    // Work in device pixels so that high-density screens get the full surface.
    const qreal dpr = devicePixelRatioF();
    const int w = qRound(width() * dpr);
    const int h = qRound(height() * dpr);
    if (w < 1 || h < 1)
        return;

    // mpv's display size is the picture's before it is turned; mpv shows it
    // turned, letterboxed in the whole surface.
    int64_t dw = displayWidth, dh = displayHeight;
    if (dw < 1 || dh < 1) {
        dw = w;
        dh = h;
    } else if (shownRotation(mpv) % 180 == 90) {
        std::swap(dw, dh);
    }

    // Largest rectangle of the picture's aspect ratio, centred.
    const double ratio = double(dw) / double(dh);
    QRect shown; // in GL's coordinates (origin bottom left)
    if (double(w) / double(h) > ratio) {
        const int e = int(h * ratio);
        shown = QRect((w - e) / 2, 0, e, h);
    } else {
        const int f = int(w / ratio);
        shown = QRect(0, (h - f) / 2, w, f);
    }
    glViewport(shown.x(), shown.y(), shown.width(), shown.height());

    mpv_opengl_fbo fbo {};
    fbo.fbo = static_cast<int>(defaultFramebufferObject());
    fbo.w = w;
    fbo.h = h;
    fbo.internal_format = 0;
    // GL's origin is the bottom left; flip-Y 1 shows the picture upright, so
    // leaving it off shows it upside down (the vertical flip).
    int flipY = vflip ? 0 : 1;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flipY},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context_render(renderContext, params);

    glViewport(0, 0, w, h);
    if (grabPending) {
        grabPending = false;
        grabFrame(QRect(shown.x(), h - shown.y() - shown.height(), shown.width(), shown.height()),
                  h);
    }
}

void MPVWidget::requestFrameGrab()
{
    grabPending = true;
    renderLater();
    update();
}

void MPVWidget::grabFrame(const QRect& pictureRect, int surfaceHeight)
{
    if (pictureRect.isEmpty())
        return;
    // The framing square in the widget's device pixels, top row first.
    const qreal dpr = devicePixelRatioF();
    const QRect layoutRect = framing.layout();
    const QRectF square = layoutRect.isNull()
        ? QRectF(0, 0, width() * dpr, height() * dpr)
        : QRectF(QPointF(layoutRect.topLeft() - pos()) * dpr, QSizeF(layoutRect.size()) * dpr);

    // The picture's pixels under the square and one more on each side, or
    // its nearest row and column when the square lies beside it.
    const int left = pictureRect.left(), right = pictureRect.x() + pictureRect.width();
    const int top = pictureRect.top(), bottom = pictureRect.y() + pictureRect.height();
    const int x0 = qBound(left, int(std::floor(square.left())) - 1, right - 1);
    const int x1 = qBound(x0 + 1, int(std::ceil(square.right())) + 1, right);
    const int y0 = qBound(top, int(std::floor(square.top())) - 1, bottom - 1);
    const int y1 = qBound(y0 + 1, int(std::ceil(square.bottom())) + 1, bottom);

    QImage pixels(x1 - x0, y1 - y0, QImage::Format_RGBA8888);
    if (pixels.isNull())
        return;
    // mpv may leave a framebuffer of its own bound.
    glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(x0, surfaceHeight - y1, pixels.width(), pixels.height(), GL_RGBA, GL_UNSIGNED_BYTE,
                 pixels.bits());
    // GL returns the bottom row first.
    emit frameGrabbed(pixels.mirrored(false, true), square.translated(-x0, -y0));
}

bool MPVWidget::loadFile(const QString& path)
{
    if (!mpv)
        return false;
    // The argument reaches mpv verbatim (no command-line parsing happens
    // here), so quotes and backslashes are part of the file name and must not
    // be escaped. A relative name is made absolute so that names such as "-"
    // or "x://y" are not taken for standard input or a protocol.
    QString target = path;
    if (QFileInfo(path).isRelative() && QFileInfo::exists(path))
        target = QFileInfo(path).absoluteFilePath();
    currentPath = target;
    awaitingFile = true;
    // The previous file's look is not this one's; its facts follow.
    applyLook(PreviewLook());
    renderLater();
    if (!renderContext) {
        loadOnInit = true;
        qDebug() << "[MPV] loadfile waits for the video surface:" << target;
        return true;
    }
    return issueLoad(target);
}

bool MPVWidget::issueLoad(const QString& path)
{
    const QByteArray utf8 = path.toUtf8();
    const char* cmd[] = {"loadfile", utf8.constData(), nullptr};
    const uint64_t serial = ++loadSerial;
    expectedEntry = -1;
    const int ret = mpv_command_async(mpv, serial, cmd);
    qDebug() << "[MPV] async loadfile" << path << "ret=" << ret;
    return ret >= 0;
}

void MPVWidget::stop()
{
    currentPath.clear();
    awaitingFile = false;
    loadOnInit = false;
    if (!mpv)
        return;
    const char* cmd[] = {"stop", nullptr};
    mpv_command(mpv, cmd);
    // The answers to earlier loads concern nothing any more.
    ++loadSerial;
    expectedEntry = -1;
    observedDuration = -1.0;
    observedPosition = -1.0;
    emit durationChanged(observedDuration);
    emit positionChanged(observedPosition);
    renderLater();
    update();
}

bool MPVWidget::togglePause()
{
    if (!mpv || currentPath.isEmpty())
        return false;
    int paused = 0;
    mpv_get_property(mpv, "pause", MPV_FORMAT_FLAG, &paused);
    paused = !paused;
    return mpv_set_property(mpv, "pause", MPV_FORMAT_FLAG, &paused) >= 0;
}

bool MPVWidget::isPaused() const
{
    int paused = 0;
    if (mpv)
        mpv_get_property(mpv, "pause", MPV_FORMAT_FLAG, &paused);
    return paused != 0;
}

bool MPVWidget::seekTo(int ms)
{
    if (!mpv)
        return false;
    const QByteArray seconds = QByteArray::number(ms / 1000.0, 'g', 6);
    const char* cmd[] = {"seek", seconds.constData(), "absolute", nullptr};
    mpv_command(mpv, cmd);
    return true;
}

bool MPVWidget::getPlaybackTime(double& duration, double& position)
{
    // While a new file opens, mpv still reports the previous one.
    if (!mpv || awaitingFile || currentPath.isEmpty() || observedDuration < 0 ||
        observedPosition < 0)
        return false;
    duration = observedDuration;
    position = observedPosition;
    return true;
}

bool MPVWidget::getVideoSize(uint32_t& width, uint32_t& height)
{
    if (!mpv)
        return false;
    // While a new file opens, mpv still reports the previous one.
    if (awaitingFile || currentPath.isEmpty()) {
        width = 0;
        height = 0;
        return false;
    }
    int64_t w = 0, h = 0;
    readShownSize(mpv, w, h, true);
    width = w > 0 ? uint32_t(w) : 0;
    height = h > 0 ? uint32_t(h) : 0;
    // An unknown size is a failure: callers must not frame or convert 0 x 0.
    return width > 0 && height > 0;
}

void MPVWidget::setFlip(bool horizontal, bool vertical)
{
    const bool changed = horizontal != hflip || vertical != vflip;
    hflip = horizontal;
    vflip = vertical;
    renderLater();
    update();
    if (changed)
        emit framingChanged();
    applyMirror();
}

bool MPVWidget::replaceFilter(const char* label, const QByteArray& current,
                              const QByteArray& wanted)
{
    if (!mpv || current == wanted)
        return true;
    if (!current.isEmpty()) {
        const char* cmd[] = {"vf", "remove", label, nullptr};
        if (mpv_command(mpv, cmd) < 0)
            return false;
    }
    if (wanted.isEmpty())
        return true;
    const char* cmd[] = {"vf", "add", wanted.constData(), nullptr};
    return mpv_command(mpv, cmd) >= 0;
}

// The mirror acts on the picture as shown: mpv turns the picture after its
// filters, so the mirror depends on the turn. It is one filter in mpv's
// chain, replaced only on a change (a second mirror would cancel the first),
// and the last one (a mirror before the deinterlacing would swap the fields).
void MPVWidget::applyMirror()
{
    if (!mpv)
        return;
    const QByteArray wanted =
        hflip ? PreviewLook::mirrorFilter(int(shownRotation(mpv))) : QByteArray();
    if (wanted == mirrorInChain)
        return;
    const bool ok = replaceFilter("@mirror", mirrorInChain, wanted);
    if (ok)
        mirrorInChain = wanted;
    if (wanted.isEmpty())
        qDebug() << "horizontal remove excute " << (ok ? 0 : -1);
    else
        qDebug() << "horizontal add excute " << (ok ? 0 : -1) << wanted;
}

void MPVWidget::setMediaFacts(const MediaFacts& facts) { applyLook(PreviewLook::forFacts(facts)); }

void MPVWidget::applyLook(const PreviewLook& wanted)
{
    if (!mpv || wanted == look)
        return;
    // The mirror goes after whatever comes before it.
    const bool mirrored = !mirrorInChain.isEmpty();
    if (mirrored && replaceFilter("@mirror", mirrorInChain, QByteArray()))
        mirrorInChain.clear();
    if (replaceFilter("@deinterlace", look.deinterlace, wanted.deinterlace))
        look.deinterlace = wanted.deinterlace;
    if (replaceFilter("@levels", look.levels, wanted.levels))
        look.levels = wanted.levels;
    if (wanted.targetTrc != look.targetTrc &&
        mpv_set_property_string(mpv, "target-trc", wanted.targetTrc.constData()) >= 0)
        look.targetTrc = wanted.targetTrc;
    qDebug() << "[MPV] look:" << look.deinterlace << look.levels << look.targetTrc;
    applyMirror();
    renderLater();
}

void MPVWidget::setVolume(double volume)
{
    if (!mpv)
        return;
    double v = qBound(0.0, volume, 100.0);
    mpv_set_property(mpv, "volume", MPV_FORMAT_DOUBLE, &v);
    qDebug() << "Set volume:" << v;
}

double MPVWidget::volume() const
{
    double v = 0;
    if (mpv)
        readDouble(mpv, "volume", v);
    return v;
}

bool MPVWidget::isMuted() const
{
    int muted = 0;
    if (mpv)
        mpv_get_property(mpv, "mute", MPV_FORMAT_FLAG, &muted);
    return muted != 0;
}

void MPVWidget::keyPressEvent(QKeyEvent* event)
{
    if (framingKey(event))
        return;
    const bool control = event->modifiers() & Qt::ControlModifier;
    switch (event->key()) {
    case Qt::Key_M:
        if (mpv) {
            int muted = 0;
            mpv_get_property(mpv, "mute", MPV_FORMAT_FLAG, &muted);
            muted = !muted;
            mpv_set_property(mpv, "mute", MPV_FORMAT_FLAG, &muted);
            qDebug() << "Audio mute set to:" << bool(muted);
        }
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (control) {
            setVolume(volume() + (event->key() == Qt::Key_Up ? 5 : -5));
            break;
        }
        QOpenGLWidget::keyPressEvent(event);
        break;
    default:
        QOpenGLWidget::keyPressEvent(event);
    }
}

// Arrows move the picture (Shift: by a single pixel), + and - zoom by one
// wheel notch, 0 frames the picture anew. True when the key was one of them.
bool MPVWidget::framingKey(QKeyEvent* event)
{
    const Qt::KeyboardModifiers mods =
        event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (mods != Qt::NoModifier || !framing.hasLayout())
        return false;
    const int step = event->modifiers() & Qt::ShiftModifier
        ? 1
        : qMax(1, framing.layout().width() / kArrowSteps);
    QRect next = geometry();
    switch (event->key()) {
    case Qt::Key_Left:
        next = framing.movedBy(geometry(), QPoint(-step, 0));
        break;
    case Qt::Key_Right:
        next = framing.movedBy(geometry(), QPoint(step, 0));
        break;
    case Qt::Key_Up:
        next = framing.movedBy(geometry(), QPoint(0, -step));
        break;
    case Qt::Key_Down:
        next = framing.movedBy(geometry(), QPoint(0, step));
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        next = framing.zoomedBy(geometry(), Framing::kNotch);
        break;
    case Qt::Key_Minus:
        next = framing.zoomedBy(geometry(), -Framing::kNotch);
        break;
    case Qt::Key_0:
        next = framing.resetFraming(geometry());
        break;
    default:
        return false;
    }
    setGeometry(next);
    emit framingChanged();
    event->accept();
    return true;
}

void MPVWidget::enterEvent(QEvent* event)
{
    setCursor(Qt::OpenHandCursor);
    qDebug() << "🖱️ Mouse entered MPVWidget";
    QOpenGLWidget::enterEvent(event);
}

void MPVWidget::leaveEvent(QEvent* event)
{
    qDebug() << "leaveEvent";
    if (!dragging)
        setCursor(Qt::ArrowCursor);
    QOpenGLWidget::leaveEvent(event);
}

void MPVWidget::focusInEvent(QFocusEvent* event)
{
    QOpenGLWidget::focusInEvent(event);
    emit focusChanged(true);
}

void MPVWidget::focusOutEvent(QFocusEvent* event)
{
    QOpenGLWidget::focusOutEvent(event);
    emit focusChanged(false);
}

// ---- framing -------------------------------------------------------------

void MPVWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragStartGeometry = geometry();
        dragStartGlobal = event->globalPos();
        dragging = true;
        setCursor(Qt::ClosedHandCursor);
    }
    QOpenGLWidget::mousePressEvent(event);
}

void MPVWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging) {
        const QRect next = framing.dragged(dragStartGeometry, event->globalPos() - dragStartGlobal);
        if (next.topLeft() != pos()) {
            move(next.topLeft());
            emit framingChanged();
        }
    }
    QOpenGLWidget::mouseMoveEvent(event);
}

void MPVWidget::mouseReleaseEvent(QMouseEvent* event)
{
    qDebug() << "mouseReleaseEvent";
    dragging = false;
    setCursor(Qt::OpenHandCursor);
    QOpenGLWidget::mouseReleaseEvent(event);
}

void MPVWidget::wheelEvent(QWheelEvent* event)
{
    // Without a layout rectangle there is no reference size to zoom from.
    if (!framing.hasLayout()) {
        event->ignore();
        return;
    }
    setGeometry(framing.zoomedBy(geometry(), event->angleDelta().y()));
    emit framingChanged();
    event->accept();
}

void MPVWidget::showEvent(QShowEvent* event)
{
    QOpenGLWidget::showEvent(event);
    if (framing.layout().isNull()) {
        QTimer::singleShot(0, this, [this] {
            if (!framing.layout().isNull())
                return;
            framing.captureInitial(geometry());
            qDebug() << "Initial geometry after layout:" << framing.layout();
        });
    }
}

void MPVWidget::resetLayout()
{
    QTimer::singleShot(0, this, [this] {
        setGeometry(framing.resetLayout(geometry()));
        qDebug() << "updateTheOverlay layout:" << framing.layout();
    });
}

void MPVWidget::placeInSquare(const QRect& square)
{
    if (!square.isValid())
        return;
    setGeometry(framing.placeInSquare(square, geometry()));
}

void MPVWidget::resetFraming()
{
    setGeometry(framing.resetFraming(geometry()));
    emit framingChanged();
}

void MPVWidget::applyFraming(double zoom, const QPointF& offset)
{
    if (!framing.hasLayout())
        return;
    setGeometry(framing.place(zoom, offset));
    emit framingChanged();
}

bool MPVWidget::computeFraming(QPointF& videoCenter, double& videoScale, int destResolution)
{
    if (!mpv) {
        qDebug() << "mpv instance is null";
        return false;
    }
    if (!framing.hasLayout()) {
        qWarning() << "Framing reference not laid out yet:" << framing.layout();
        return false;
    }
    int64_t videoW = 0, videoH = 0;
    const bool ok = readShownSize(mpv, videoW, videoH, false);
    Framing::Result result;
    if (!ok || videoW <= 0 || videoH <= 0 ||
        !framing.compute(geometry(), QSize(int(videoW), int(videoH)), destResolution, &result)) {
        qWarning() << "Invalid video size:" << videoW << "x" << videoH;
        return false;
    }
    qDebug() << "destResolution:" << destResolution << "videoW:" << videoW << "videoH:" << videoH
             << "winW:" << width() << "winH:" << height() << "scale:" << result.videoScale
             << "videoScale:" << result.videoScale << "videoCenter:" << result.videoCenter;
    videoScale = result.videoScale;
    videoCenter = result.videoCenter;
    return true;
}
