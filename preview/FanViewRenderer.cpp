#include "FanViewRenderer.h"

#include "fan_view.h"
#include "fan_render.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------
// The engine's side: one plan per parameter set, LED values per frame.

struct FanViewPlan {
    convert_fast_plan* engine = nullptr;
};

namespace {

// The plan of a conversion whose frames are the 2 x lights square with the
// circle's centre in its middle.
FanViewPlan* createPlan(const FanViewParams& p)
{
    convert_fast_plan* engine = convert_fast_plan_create_for(
        uint32_t(2 * p.lights), uint32_t(2 * p.lights), p.lights, p.lights, uint32_t(p.lights),
        uint32_t(p.lines), uint32_t(p.colorDeep), p.gamma, p.minBrightness,
        p.changeBrightnessLights);
    if (!engine)
        return nullptr;
    auto* plan = new FanViewPlan;
    plan->engine = engine;
    return plan;
}

void freePlan(FanViewPlan* plan)
{
    if (plan)
        convert_fast_plan_free(plan->engine);
    delete plan;
}

// The LED values of one frame, as the engine's flat worker writes them.
void planLeds(const FanViewPlan* plan, const uint8_t* frame, uint8_t* leds)
{
    convert_fast_plan_leds(plan->engine, frame, leds);
}

// ---------------------------------------------------------------------------
// Resampling of the framing square into the engine's frame.

// One axis of the resampling: for each frame pixel the two source pixels and
// the weight of the second one (0..256), positions clamped to the source
// (whose outermost pixels are the black border).
struct Taps {
    std::vector<int> first;
    std::vector<int> second;
    std::vector<int> weight;
};

// Frame pixel i covers source positions origin + i * step .. + step; its
// centre is sampled, as FFmpeg's scaler centres its output pixels.
void makeTaps(Taps& taps, int count, double origin, double step, int sourceSize)
{
    taps.first.resize(size_t(count));
    taps.second.resize(size_t(count));
    taps.weight.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        double pos = origin + (i + 0.5) * step - 0.5;
        pos = std::min(std::max(pos, 0.0), double(sourceSize - 1));
        const int p0 = int(pos);
        const int p1 = std::min(p0 + 1, sourceSize - 1);
        taps.first[size_t(i)] = p0;
        taps.second[size_t(i)] = p1;
        taps.weight[size_t(i)] = int(std::lround((pos - p0) * 256.0));
    }
}

int clampInt(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

} // namespace

// ---------------------------------------------------------------------------

bool FanViewParams::isValid() const
{
    return lights > 0 && lights <= 4096 && lines > 0 && lines <= 65536 && colorDeep >= 1 &&
        colorDeep <= 8 && std::isfinite(gamma) && std::isfinite(minBrightness);
}

bool FanViewParams::operator==(const FanViewParams& o) const
{
    return lights == o.lights && lines == o.lines && colorDeep == o.colorDeep && gamma == o.gamma &&
        minBrightness == o.minBrightness && changeBrightnessLights == o.changeBrightnessLights;
}

FanViewRenderer::FanViewRenderer() = default;

FanViewRenderer::~FanViewRenderer() { release(); }

void FanViewRenderer::release()
{
    freePlan(plan);
    plan = nullptr;
    fan_render_plan_free(renderPlan);
    renderPlan = nullptr;
    current = FanViewParams();
    frameData = QByteArray();
    ledData = QByteArray();
}

bool FanViewRenderer::setParams(const FanViewParams& params)
{
    if (plan && params == current)
        return true;
    release();
    if (!params.isValid())
        return false;
    plan = createPlan(params);
    if (!plan)
        return false;
    current = params;
    ++builds;
    const qsizetype side = 2 * qsizetype(params.lights);
    frameData.resize(side * side * 3);
    ledData.resize(qsizetype(params.lines) * params.lights * 3);
    return true;
}

bool FanViewRenderer::buildFrame(const QImage& picture, const QRectF& square)
{
    if (!plan || picture.isNull() || !(square.width() > 0) || !(square.height() > 0))
        return false;
    const int side = 2 * current.lights;

    // The picture's pixels under the square, a pixel more on each side for
    // the interpolation; at least one row and column of the picture when the
    // square lies beside it.
    const int pw = picture.width(), ph = picture.height();
    const int x0 = clampInt(int(std::floor(square.left())) - 1, 0, pw - 1);
    const int x1 = clampInt(int(std::ceil(square.right())) + 1, x0 + 1, pw);
    const int y0 = clampInt(int(std::floor(square.top())) - 1, 0, ph - 1);
    const int y1 = clampInt(int(std::ceil(square.bottom())) + 1, y0 + 1, ph);
    QImage source = picture.copy(x0, y0, x1 - x0, y1 - y0).convertToFormat(QImage::Format_RGB888);
    double stepX = square.width() / side, stepY = square.height() / side;
    double originX = square.left() - x0, originY = square.top() - y0;

    // Far more picture pixels than frame pixels: shrink with averaging first,
    // so that the frame is not a sparse point sample of the picture.
    if (stepX > 2.0 || stepY > 2.0) {
        const int w = std::max(1, int(std::lround(source.width() / std::max(stepX, 1.0))));
        const int h = std::max(1, int(std::lround(source.height() / std::max(stepY, 1.0))));
        const double fx = double(source.width()) / w, fy = double(source.height()) / h;
        source = source.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                     .convertToFormat(QImage::Format_RGB888);
        stepX /= fx;
        stepY /= fy;
        originX /= fx;
        originY /= fy;
    }

    // One pixel more around the cut-out: black where the cut-out ends at the
    // picture's edge, so that where the square reaches beyond the picture
    // the frame is black, as the preview shows it and as the conversion pads
    // its frames (the edge blends into it over one pixel); elsewhere the
    // cut-out's own edge repeated, as the picture goes on there.
    const int w = source.width(), h = source.height();
    QImage bordered(w + 2, h + 2, QImage::Format_RGB888);
    if (bordered.isNull())
        return false;
    bordered.fill(Qt::black);
    for (int y = -1; y <= h; ++y) {
        const bool outside = (y < 0 && y0 == 0) || (y == h && y1 == ph);
        if (outside)
            continue;
        const uint8_t* in = source.constScanLine(clampInt(y, 0, h - 1));
        uint8_t* row = bordered.scanLine(y + 1);
        std::memcpy(row + 3, in, size_t(w) * 3);
        if (x0 > 0)
            std::memcpy(row, in, 3);
        if (x1 < pw)
            std::memcpy(row + 3 * size_t(w + 1), in + 3 * size_t(w - 1), 3);
    }
    source = bordered;
    originX += 1.0;
    originY += 1.0;

    Taps tx, ty;
    makeTaps(tx, side, originX, stepX, source.width());
    makeTaps(ty, side, originY, stepY, source.height());
    uint8_t* out = reinterpret_cast<uint8_t*>(frameData.data());
    for (int j = 0; j < side; ++j) {
        const uint8_t* r0 = source.constScanLine(ty.first[size_t(j)]);
        const uint8_t* r1 = source.constScanLine(ty.second[size_t(j)]);
        const int wy = ty.weight[size_t(j)];
        // The engine's frames are stored bottom row first.
        uint8_t* row = out + size_t(side - 1 - j) * size_t(side) * 3;
        for (int i = 0; i < side; ++i) {
            const int a = 3 * tx.first[size_t(i)], b = 3 * tx.second[size_t(i)];
            const int wx = tx.weight[size_t(i)];
            for (int k = 0; k < 3; ++k) {
                const int top = r0[a + k] * (256 - wx) + r0[b + k] * wx;
                const int bottom = r1[a + k] * (256 - wx) + r1[b + k] * wx;
                const int v = (top * (256 - wy) + bottom * wy + 32768) >> 16;
                row[3 * i + (2 - k)] = uint8_t(v); // RGB in, BGR out
            }
        }
    }
    return true;
}

bool FanViewRenderer::computeLeds()
{
    if (!plan)
        return false;
    uint8_t* leds = reinterpret_cast<uint8_t*>(ledData.data());
    planLeds(plan, reinterpret_cast<const uint8_t*>(frameData.constData()), leds);
    fan_render_expand_all(leds, size_t(ledData.size()), uint32_t(current.colorDeep));
    return true;
}

QImage FanViewRenderer::renderLeds(int size)
{
    if (!plan || size <= 0 || uint32_t(size) > FAN_RENDER_MAX_SIZE)
        return QImage();
    if (!renderPlan || fan_render_plan_size(renderPlan) != uint32_t(size)) {
        fan_render_plan_free(renderPlan);
        renderPlan = fan_render_plan_create(uint32_t(current.lines), uint32_t(current.lights),
                                            uint32_t(size));
        if (!renderPlan)
            return QImage();
    }
    QImage image(size, size, QImage::Format_RGB888);
    if (image.isNull())
        return QImage();
    fan_render_frame(renderPlan, reinterpret_cast<const uint8_t*>(ledData.constData()),
                     image.bits(), size_t(image.bytesPerLine()));
    return image;
}

QImage FanViewRenderer::render(const QImage& picture, const QRectF& square, int size)
{
    if (!buildFrame(picture, square) || !computeLeds())
        return QImage();
    return renderLeds(size);
}
