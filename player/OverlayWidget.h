#pragma once

#include <QWidget>

// The framing mask drawn above the preview: everything outside a centred
// circle is darkened and a dashed ring marks the circle's edge. While the
// picture has keyboard focus a frame in the highlight colour runs along the
// edges. It lets every mouse event through to the video widget below.
class OverlayWidget : public QWidget {
    Q_OBJECT

public:
    // Sized to the parent and placed at (0, 0).
    explicit OverlayWidget(QWidget* parent = nullptr);

    void setRadius(int radius);
    int radius() const { return circleRadius; }
    // The keyboard focus frame along the edges.
    void setFocusFrame(bool shown);
    bool hasFocusFrame() const { return focusFrame; }
    static constexpr int kFocusFrameWidth = 3;
    // The ring's pen width in pixels.
    int borderWidth() const { return 4; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int circleRadius = 100;
    bool focusFrame = false;
};
