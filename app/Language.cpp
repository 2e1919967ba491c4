#include "Language.h"

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

} // namespace Language
