// The fan view's pipeline without widgets: turns the picture inside the
// framing circle into the picture the fan shows for it, with the engine's own
// sampling, tone curve and brightness ramp and the fan file renderer.
//
// The framing square (the square around the circle, the part of the preview
// that a conversion maps onto 2 x lights pixels) is resampled into a frame of
// 2 x lights by 2 x lights pixels with the circle's centre in its middle,
// stored as the engine stores the decoded frames (bgr24, bottom row first).
// Where the square reaches beyond the picture the frame is black, as the
// preview shows it and as the conversion pads its frames. The
// engine's plan for that frame turns it into lines x lights LED values, which
// are widened from colorDeep bits as the fan does and rendered polar.
//
// The plan depends only on the parameters: moving, zooming or flipping the
// picture needs no new plan, a new model or brightness value does.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QRectF>

#include <cstdint>

struct fan_render_plan;
struct FanViewPlan;

struct FanViewParams {
    int lights = 0;
    int lines = 0;
    int colorDeep = 0;
    double gamma = 2.2;
    double minBrightness = 0.3;
    int changeBrightnessLights = 0; // LEDs from the centre on the brightness ramp; 0: none

    bool isValid() const;
    bool operator==(const FanViewParams& o) const;
    bool operator!=(const FanViewParams& o) const { return !(*this == o); }
};

class FanViewRenderer {
public:
    FanViewRenderer();
    ~FanViewRenderer();
    FanViewRenderer(const FanViewRenderer&) = delete;
    FanViewRenderer& operator=(const FanViewRenderer&) = delete;

    // Builds the engine plan for these parameters (nothing when they are the
    // current ones). False, and no plan, when they are invalid or memory is
    // short.
    bool setParams(const FanViewParams& params);
    const FanViewParams& params() const { return current; }
    bool hasPlan() const { return plan != nullptr; }
    // Plans built so far (a new model or parameter builds one).
    int planBuilds() const { return builds; }
    // Frees the plans and every buffer.
    void release();

    // The fan's picture, size x size pixels (RGB888, black outside the disc),
    // for `picture` (as shown, top row first) and the framing square given in
    // the picture's pixel coordinates (it may reach beyond the picture). A
    // null image without a plan, for an empty picture or an invalid size.
    QImage render(const QImage& picture, const QRectF& square, int size);

    // The steps of render(), for the tests and the benchmark.
    // 1. The engine's input frame: 2 x lights square, bgr24, bottom row first.
    bool buildFrame(const QImage& picture, const QRectF& square);
    const QByteArray& frame() const { return frameData; }
    // 2. The LED values of the frame (lines x lights triples, file order),
    //    as the fan shows them (widened from colorDeep bits).
    bool computeLeds();
    const QByteArray& leds() const { return ledData; }
    // 3. The polar picture of the LED values.
    QImage renderLeds(int size);

private:
    FanViewParams current;
    FanViewPlan* plan = nullptr;
    fan_render_plan* renderPlan = nullptr;
    int builds = 0;
    QByteArray frameData;
    QByteArray ledData;
};
