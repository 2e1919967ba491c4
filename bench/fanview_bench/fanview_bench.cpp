// Speed of the fan view's per-frame pipeline for every built-in model, on one
// core: resampling the framing square into the engine's frame, the engine's
// LED values, and the polar picture. The input is a picture of the size the
// window reads back from the preview (the framing square, --side pixels) and
// the output has the same side. Prints a table; nothing is checked.
//
//   fanview_bench [--model NAME] [--side PIXELS] [--seconds S]
//
// Each figure is the mean over as many updates as fit in S seconds (at least
// five) after one warm-up update. The plan is built once per model, as the
// window builds it once per model or parameter change; its build time is
// shown separately.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sched.h>

#include <QImage>

#include "FanViewRenderer.h"
#include "fan_models.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

QImage testPicture(int side)
{
    QImage image(side, side, QImage::Format_RGB888);
    for (int y = 0; y < side; y++) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < side; x++) {
            row[3 * x] = uchar(x * 255 / side);
            row[3 * x + 1] = uchar(y * 255 / side);
            row[3 * x + 2] = uchar((x ^ y) & 0xff);
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    std::string only;
    int side = 592;
    double seconds = 2.0;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--model" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--side" && i + 1 < argc)
            side = std::atoi(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: fanview_bench [--model NAME] [--side PIXELS] [--seconds S]\n");
            return 2;
        }
    }
    if (side < 16 || side > 4096 || !(seconds > 0)) {
        std::fprintf(stderr, "fanview_bench: --side 16..4096, --seconds > 0\n");
        return 2;
    }

    // One core, as the GUI thread has.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &set);
    sched_setaffinity(0, sizeof(set), &set);

    const QImage picture = testPicture(side);
    const QRectF square(0, 0, side, side);
    std::printf("fan view pipeline, one core, framing square %d px read back, picture %d px\n",
                side, side);
    std::printf("%-10s %5s %5s %9s %9s %9s %9s %9s %10s\n", "model", "lights", "lines", "plan ms",
                "frame ms", "leds ms", "draw ms", "total ms", "updates/s");
    for (int m = 0; m < fan_model_count(); m++) {
        const fan_model* model = fan_model_at(m);
        if (!only.empty() && only != model->name)
            continue;
        FanViewParams params;
        params.lights = model->lights;
        params.lines = model->lines;
        params.colorDeep = model->colorDeep;
        params.changeBrightnessLights = 10;
        FanViewRenderer view;
        auto start = Clock::now();
        if (!view.setParams(params)) {
            std::fprintf(stderr, "fanview_bench: no plan for %s\n", model->name);
            return 1;
        }
        const double planMs = msSince(start);
        if (view.render(picture, square, side).isNull()) {
            std::fprintf(stderr, "fanview_bench: no picture for %s\n", model->name);
            return 1;
        }
        double frameMs = 0, ledsMs = 0, drawMs = 0;
        int updates = 0;
        const auto begin = Clock::now();
        while (updates < 5 || msSince(begin) < seconds * 1000.0) {
            start = Clock::now();
            view.buildFrame(picture, square);
            frameMs += msSince(start);
            start = Clock::now();
            view.computeLeds();
            ledsMs += msSince(start);
            start = Clock::now();
            const QImage shown = view.renderLeds(side);
            drawMs += msSince(start);
            if (shown.isNull())
                return 1;
            updates++;
        }
        const double total = (frameMs + ledsMs + drawMs) / updates;
        std::printf("%-10s %5d %5d %9.2f %9.2f %9.2f %9.2f %9.2f %10.1f\n", model->name,
                    model->lights, model->lines, planMs, frameMs / updates, ledsMs / updates,
                    drawMs / updates, total, 1000.0 / total);
    }
    return 0;
}
