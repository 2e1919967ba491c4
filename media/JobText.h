// The engine's job description as text: what `spindra-convert --job` reads
// and convert_start parses (a flat job, keys in their fixed order).
#pragma once

#include <QString>

// Text as the inside of a JSON string: quote, backslash and control
// characters escaped, everything else verbatim.
QString jsonEscaped(const QString& text);

struct JobTextValues {
    QString videoPath;
    int width = 0;
    int height = 0;
    QString audioPath; // empty: no sound
    QString outPath;
    int lights = 0;
    int centerX = 0;
    int centerY = 0;
    int lines = 0;
    int colorDeep = 0;
    double gamma = 0.0;
    double minBrightness = 0.0;
    int changeBrightnessLights = 0;
};
// The engine's flat job description, keys in their fixed order.
QString buildJobText(const JobTextValues& values);
