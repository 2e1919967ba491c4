// Choice of the user-interface catalogue from the stored language code.
#pragma once

#include <QString>
#include <QStringList>

namespace Language {

// Resource paths of the three compiled catalogues.
QString catalogueEnglish();
QString catalogueChinese();
QString catalogueRussian();

// The catalogue for a stored code: "zh", "en" and "ru" map exactly
// (case-sensitive); anything else falls back to the first entry of the
// system's UI languages (Chinese or Russian by prefix, else English; an empty
// list gives English).
QString catalogueFor(const QString& storedCode, const QStringList& systemUiLanguages);

} // namespace Language
