#include "JobText.h"

#include <QStringList>

namespace {

// One pass over the template, so that a value containing "%2" is never taken
// for a placeholder.
QString fillTemplate(const QString& pattern, const QStringList& values)
{
    QString out;
    out.reserve(pattern.size() + 512);
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == QLatin1Char('%') && i + 1 < pattern.size() && pattern.at(i + 1).isDigit()) {
            int number = pattern.at(i + 1).digitValue();
            int used = 1;
            if (i + 2 < pattern.size() && pattern.at(i + 2).isDigit()) {
                const int two = number * 10 + pattern.at(i + 2).digitValue();
                if (two <= values.size()) {
                    number = two;
                    used = 2;
                }
            }
            if (number >= 1 && number <= values.size()) {
                out += values.at(number - 1);
                i += used;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString number2(double value) { return QString::number(value, 'f', 2); }

} // namespace

QString jsonEscaped(const QString& text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString buildJobText(const JobTextValues& v)
{
    static const QString pattern = QStringLiteral("{\t\t\"is_360\": false,"
                                                  "\t\t\"frames_resized_file\" : \"%1\","
                                                  "\t\t\"in_width\" : %2,"
                                                  "\t\t\"in_height\" : %3,"
                                                  "\t\t\"in_aud_path\" : \"%4\","
                                                  "\t\t\"out_path\" : \"%5\","
                                                  "\t\t\"radius\" : %6,"
                                                  "\t\t\"center_x\" : %7,"
                                                  "\t\t\"center_y\" : %8,"
                                                  "\t\t\"lights\" : %9,"
                                                  "\t\t\"lines\" : %10,"
                                                  "\t\t\"colorDeep\" : %11,"
                                                  "\t\t\"gamma\" : %12,"
                                                  "\t\t\"min_brightness\" : %13,"
                                                  "\t\t\"change_brightness_lights\" : %14"
                                                  "\t}");
    return fillTemplate(pattern,
                        {
                            jsonEscaped(v.videoPath),
                            QString::number(v.width),
                            QString::number(v.height),
                            jsonEscaped(v.audioPath),
                            jsonEscaped(v.outPath),
                            QString::number(v.lights),
                            QString::number(v.centerX),
                            QString::number(v.centerY),
                            QString::number(v.lights),
                            QString::number(v.lines),
                            QString::number(v.colorDeep),
                            number2(v.gamma),
                            number2(v.minBrightness),
                            QString::number(v.changeBrightnessLights),
                        });
}
