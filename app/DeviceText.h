// Texts that come from the fan (its model, firmware, description, the names
// of the files it plays, the reason it gives for refusing a file), made safe
// to show. The fan is a stranger on the network: its texts are shown as
// plain text only, without the control characters and direction overrides
// that could garble the window, shortened to fit, and isolated from the
// direction of the text around them.
#pragma once

#include <QString>

class QFontMetrics;
class QLabel;

namespace DeviceText {

// The longest text kept, in characters; a longer one ends in an ellipsis.
constexpr int kMaxLength = 200;

// The text with its line breaks and tabs turned into spaces, every other
// control character and every direction control (embeddings, overrides,
// isolates, marks) removed, blanks at the ends trimmed, and cut to
// kMaxLength characters.
QString clean(const QString& raw);
// A clean text wrapped as a first-strong isolate, so that it takes its
// direction from itself and leaves the text around it alone.
QString isolate(const QString& cleanText);
// clean(), shortened with an ellipsis to fit `width` pixels of `metrics`,
// and isolated.
QString fit(const QString& raw, const QFontMetrics& metrics, int width);
// A tooltip that shows a clean text literally, whatever markup it seems to
// hold (tooltips take anything that looks like markup for rich text); its
// line breaks stay line breaks.
QString toolTip(const QString& cleanText);
// Shows a device text in a label as plain text, fitted to the label's
// current width, with the whole (clean) text as its tooltip when it had to
// be shortened.
void show(QLabel* label, const QString& raw);

} // namespace DeviceText
