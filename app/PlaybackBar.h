// The playback bar over the bottom of the preview: a play and pause button,
// the current time, a slider to seek and the length. It follows the player's
// reports (duration, position, pause) by itself. It shows only while the
// window says a bar makes sense (a video whose length is known), appears on
// reveal() and hides itself again after a delay without a reveal.
#pragma once

#include <QTimer>
#include <QWidget>

class MPVWidget;
class QLabel;
class QPushButton;
class QSlider;

class PlaybackBar : public QWidget {
    Q_OBJECT
public:
    PlaybackBar(MPVWidget* player, QWidget* parent);

    // Whether the bar may show at all; false hides it at once.
    void setAvailable(bool available);
    bool isAvailable() const { return available; }
    // Shows the bar (when available) and restarts the hide delay.
    void reveal();
    // Hides the bar at once.
    void conceal();
    // Hide delay in ms (5000 unless set).
    void setHideDelay(int ms) { hideDelayMs = ms; }
    // Back to an empty bar: no length, 00:00:00.
    void clear();

public slots:
    // Pauses or resumes the clip (only while the bar is available).
    void togglePlayback();

signals:
    // The user paused, resumed or moved the position.
    void playbackChanged();

private:
    void onDuration(double seconds);
    void onPosition(double seconds);
    void onPaused(bool paused);

    MPVWidget* player = nullptr;
    QPushButton* playPauseButton = nullptr;
    QLabel* currentTimeLabel = nullptr;
    QSlider* positionSlider = nullptr;
    QLabel* totalTimeLabel = nullptr;
    QTimer hideTimer;
    int hideDelayMs = 5000;
    bool available = false;
};
