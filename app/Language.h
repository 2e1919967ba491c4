// Choice of the user-interface catalogue from the stored language code.
#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

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

// Qt's own catalogue (its dialogs' and standard buttons' texts) that goes
// with one of the three catalogues above: "qtbase_zh_CN", "qtbase_ru", or
// empty for English, which needs none.
QString qtCatalogueFor(const QString& appCatalogue);

// Loads Qt's own catalogue for appCatalogue from Qt's translations folder
// into translator; false when there is none to load (English) or it is missing.
bool loadQtCatalogue(QTranslator& translator, const QString& appCatalogue);

} // namespace Language
