// The rendering core on its own: geometry, orientation, the disc's extent and
// the widening of the kept colour bits.
#include "fan_render.h"

#include <QtTest>

#include <cmath>
#include <vector>

class TestFanRender : public QObject {
    Q_OBJECT

private:
    struct Rendered {
        uint32_t size;
        std::vector<uint8_t> rgb;
        const uint8_t* at(double x, double y) const
        {
            return &rgb[(size_t(y) * size + size_t(x)) * 3];
        }
    };

    static Rendered render(uint32_t lines, uint32_t lights, uint32_t size,
                           const std::vector<uint8_t>& leds)
    {
        fan_render_plan* plan = fan_render_plan_create(lines, lights, size);
        Rendered out {size, std::vector<uint8_t>(size_t(size) * size * 3, 0x55)};
        if (plan)
            fan_render_frame(plan, leds.data(), out.rgb.data(), size_t(size) * 3);
        fan_render_plan_free(plan);
        return out;
    }

private slots:
    void expand_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("expected");
        QTest::newRow("depth 8 keeps the value") << 0x5a << 8 << 0x5a;
        QTest::newRow("depth 1, bit set") << 0x80 << 1 << 0xff;
        QTest::newRow("depth 1, bit clear") << 0x7f << 1 << 0x00;
        QTest::newRow("depth 3 repeats 101") << 0xa0 << 3 << 0xb6;
        QTest::newRow("depth 5, all ones") << 0xf8 << 5 << 0xff;
        QTest::newRow("depth 5, lowest kept bit") << 0x08 << 5 << 0x08;
        QTest::newRow("depth 6, dropped bits ignored") << 0x87 << 6 << 0x86;
        QTest::newRow("depth 0 is dark") << 0xff << 0 << 0x00;
    }

    void expand()
    {
        QFETCH(int, value);
        QFETCH(int, depth);
        QFETCH(int, expected);
        QCOMPARE(int(fan_render_expand(uint8_t(value), uint32_t(depth))), expected);
        uint8_t buffer[3] = {uint8_t(value), uint8_t(value), uint8_t(value)};
        fan_render_expand_all(buffer, 3, uint32_t(depth));
        QCOMPARE(int(buffer[2]), expected);
    }

    void rejects_bad_plans_data()
    {
        QTest::addColumn<uint32_t>("lines");
        QTest::addColumn<uint32_t>("lights");
        QTest::addColumn<uint32_t>("size");
        QTest::newRow("no lines") << 0u << 10u << 40u;
        QTest::newRow("no lights") << 10u << 0u << 40u;
        QTest::newRow("no pixels") << 10u << 10u << 0u;
        QTest::newRow("too large") << 10u << 10u << FAN_RENDER_MAX_SIZE + 1;
        QTest::newRow("LED count beyond 32 bits") << 0x10000u << 0x10000u << 8u;
    }

    void rejects_bad_plans()
    {
        QFETCH(uint32_t, lines);
        QFETCH(uint32_t, lights);
        QFETCH(uint32_t, size);
        QVERIFY(fan_render_plan_create(lines, lights, size) == nullptr);
    }

    // A single lit line must appear where the fan draws it: line 0 to the
    // right of the centre, line lines/4 above it (counter-clockwise as seen).
    void lit_line_appears_at_its_angle_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<double>("dx"); // direction as seen: x right, y up
        QTest::addColumn<double>("dy");
        QTest::newRow("line 0: right") << 0 << 1.0 << 0.0;
        QTest::newRow("line lines/4: up") << 4 << 0.0 << 1.0;
        QTest::newRow("line lines/2: left") << 8 << -1.0 << 0.0;
        QTest::newRow("line 3 lines/4: down") << 12 << 0.0 << -1.0;
        QTest::newRow("line lines/8: up and right") << 2 << M_SQRT1_2 << M_SQRT1_2;
        QTest::newRow("line 7 lines/8: down and right") << 14 << M_SQRT1_2 << -M_SQRT1_2;
    }

    void lit_line_appears_at_its_angle()
    {
        QFETCH(int, line);
        QFETCH(double, dx);
        QFETCH(double, dy);
        // Few lines, so that a pixel a fraction off the spoke is still almost
        // entirely that spoke's colour.
        const uint32_t lines = 16, lights = 40, size = 160;
        std::vector<uint8_t> leds(size_t(lines) * lights * 3, 0);
        for (uint32_t t = 0; t < lights; t++) {
            uint8_t* led = &leds[(size_t(line) * lights + t) * 3];
            led[0] = 10;  // blue
            led[1] = 20;  // green
            led[2] = 250; // red
        }
        const Rendered img = render(lines, lights, size, leds);
        const double c = size / 2.0, r = size * 0.3;
        const uint8_t* on = img.at(c + dx * r, c - dy * r);
        QVERIFY2(on[0] > 235 && on[1] > 14 && on[1] <= 20 && on[2] > 6 &&
                     on[2] <= 10, // red first in the output
                 qPrintable(QStringLiteral("%1 %2 %3").arg(on[0]).arg(on[1]).arg(on[2])));
        const uint8_t* opposite = img.at(c - dx * r, c + dy * r);
        QCOMPARE(int(opposite[0]), 0);
    }

    // LED 0 is the outermost: lighting only it draws a ring at the rim and
    // leaves the middle dark; the corners stay black.
    void outermost_led_is_the_rim()
    {
        const uint32_t lines = 64, lights = 20, size = 80;
        std::vector<uint8_t> leds(size_t(lines) * lights * 3, 0);
        for (uint32_t l = 0; l < lines; l++)
            leds[size_t(l) * lights * 3 + 1] = 200; // green of LED 0
        const Rendered img = render(lines, lights, size, leds);
        const double k = size / (2.0 * lights);
        // (the rim is antialiased over one pixel, so allow a trace of it)
        QVERIFY(img.at(size / 2.0 + (lights - 1) * k, size / 2.0)[1] >= 195);
        QVERIFY(img.at(size / 2.0, size / 2.0 - (lights - 1) * k - 0.5)[1] >= 195);
        QCOMPARE(int(img.at(size / 2.0 + 5, size / 2.0)[1]), 0);
        QCOMPARE(int(img.at(0, 0)[1]), 0);
        QCOMPARE(int(img.at(size - 1, size - 1)[1]), 0);
    }

    // The disc is filled smoothly: between two lit spokes the colour blends
    // instead of falling to black, and one constant colour stays constant.
    void fills_between_spokes_and_leds()
    {
        const uint32_t lines = 8, lights = 10, size = 200;
        std::vector<uint8_t> leds(size_t(lines) * lights * 3, 0);
        for (uint32_t t = 0; t < lights; t++) {
            leds[(0 * lights + t) * 3 + 2] = 200; // line 0 red
            leds[(1 * lights + t) * 3 + 2] = 100; // line 1 (45 degrees) red, dimmer
        }
        const Rendered img = render(lines, lights, size, leds);
        const double c = size / 2.0, r = 0.6 * size / 2.0;
        const double a = 22.5 * M_PI / 180.0; // half-way between the two spokes
        const int mid = img.at(c + r * std::cos(a), c - r * std::sin(a))[0];
        QVERIFY2(mid > 130 && mid < 170, qPrintable(QString::number(mid)));

        std::vector<uint8_t> flat(size_t(lines) * lights * 3);
        for (size_t n = 0; n < flat.size(); n += 3) {
            flat[n] = 30;
            flat[n + 1] = 140;
            flat[n + 2] = 222;
        }
        const Rendered same = render(lines, lights, size, flat);
        const double inner = (lights - 1) * size / (2.0 * lights);
        for (uint32_t j = 0; j < size; j++) {
            for (uint32_t i = 0; i < size; i++) {
                if (std::hypot(i + 0.5 - c, j + 0.5 - c) > inner)
                    continue;
                const uint8_t* p = same.at(i, j);
                QVERIFY(p[0] == 222 && p[1] == 140 && p[2] == 30);
            }
        }
    }

    void one_led_and_one_line()
    {
        std::vector<uint8_t> leds = {1, 2, 3};
        const Rendered img = render(1, 1, 8, leds);
        QCOMPARE(int(img.at(3, 3)[0]), 3);
        QCOMPARE(int(img.at(4, 4)[2]), 1);
        QCOMPARE(int(img.at(0, 0)[0]), 0);
    }
};

QTEST_APPLESS_MAIN(TestFanRender)
#include "tst_fan_render.moc"
