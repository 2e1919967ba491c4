#include "Language.h"

#include <QLibraryInfo>
#include <QTranslator>

namespace Language {

QString catalogueEnglish() { return QStringLiteral(":/translations/translations/en_US.qm"); }
QString catalogueChinese() { return QStringLiteral(":/translations/translations/zh_CN.qm"); }
QString catalogueRussian() { return QStringLiteral(":/translations/translations/ru_RU.qm"); }

QString catalogueFor(const QString& storedCode, const QStringList& systemUiLanguages)
{
    if (storedCode == QLatin1String("zh"))
        return catalogueChinese();
    if (storedCode == QLatin1String("en"))
        return catalogueEnglish();
    if (storedCode == QLatin1String("ru"))
        return catalogueRussian();

    if (systemUiLanguages.isEmpty())
        return catalogueEnglish();
    const QString first = systemUiLanguages.first().toLower();
    if (first.startsWith(QLatin1String("zh")))
        return catalogueChinese();
    if (first.startsWith(QLatin1String("ru")))
        return catalogueRussian();
    return catalogueEnglish();
}

QString qtCatalogueFor(const QString& appCatalogue)
{
    if (appCatalogue == catalogueChinese())
        return QStringLiteral("qtbase_zh_CN");
    if (appCatalogue == catalogueRussian())
        return QStringLiteral("qtbase_ru");
    return QString();
}

bool loadQtCatalogue(QTranslator& translator, const QString& appCatalogue)
{
    const QString name = qtCatalogueFor(appCatalogue);
    if (name.isEmpty())
        return false;
    return translator.load(name, QLibraryInfo::location(QLibraryInfo::TranslationsPath));
}

} // namespace Language
