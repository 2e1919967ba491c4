#include "DeviceText.h"

#include <QFontMetrics>
#include <QLabel>

namespace DeviceText {

namespace {

// Unicode's explicit direction controls: marks, embeddings, overrides and
// isolates.
bool isDirectionControl(char16_t c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
        (c >= 0x2066 && c <= 0x2069);
}

constexpr char16_t kFirstStrongIsolate = 0x2068;
constexpr char16_t kPopDirectionalIsolate = 0x2069;

} // namespace

QString clean(const QString& raw)
{
    QString out;
    out.reserve(qMin(raw.size(), kMaxLength + 1));
    for (const QChar c : raw) {
        if (out.size() > kMaxLength)
            break;
        const char16_t u = c.unicode();
        if (u == '\t' || u == '\n' || u == '\r' || u == 0x2028 || u == 0x2029) {
            out += QLatin1Char(' ');
            continue;
        }
        if (c.category() == QChar::Other_Control || isDirectionControl(u))
            continue;
        out += c;
    }
    out = out.trimmed();
    if (out.size() > kMaxLength) {
        out.truncate(kMaxLength);
        // Never end on the first half of a surrogate pair.
        if (!out.isEmpty() && QChar(out.back()).isHighSurrogate())
            out.chop(1);
        out += QChar(0x2026);
    }
    return out;
}

QString isolate(const QString& cleanText)
{
    if (cleanText.isEmpty())
        return cleanText;
    return QChar(kFirstStrongIsolate) + cleanText + QChar(kPopDirectionalIsolate);
}

QString fit(const QString& raw, const QFontMetrics& metrics, int width)
{
    return isolate(metrics.elidedText(clean(raw), Qt::ElideRight, qMax(0, width)));
}

QString toolTip(const QString& cleanText)
{
    if (cleanText.isEmpty())
        return cleanText;
    // A tooltip that looks like markup would be shown as rich text: say
    // outright that it is rich text and escape all of it.
    return QStringLiteral("<qt>%1</qt>")
        .arg(isolate(cleanText).toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>")));
}

void show(QLabel* label, const QString& raw)
{
    label->setTextFormat(Qt::PlainText);
    const QString whole = clean(raw);
    const QString shown = label->fontMetrics().elidedText(whole, Qt::ElideRight,
                                                          qMax(0, label->contentsRect().width()));
    label->setText(isolate(shown));
    label->setToolTip(shown == whole ? QString() : toolTip(whole));
}

} // namespace DeviceText
