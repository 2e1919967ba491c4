// Catalogue choice from the stored language code and the compiled catalogues.
#include "Language.h"

#include <QCoreApplication>
#include <QTranslator>
#include <QtTest>

class TestLanguage : public QObject {
    Q_OBJECT

private slots:
    void catalogueChoice_data();
    void catalogueChoice();
    void cataloguesTranslate_data();
    void cataloguesTranslate();
    void qtCatalogues_data();
    void qtCatalogues();
};

void TestLanguage::catalogueChoice_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("system");
    QTest::addColumn<QString>("expected");
    const QString en = Language::catalogueEnglish();
    const QString zh = Language::catalogueChinese();
    const QString ru = Language::catalogueRussian();
    QTest::newRow("default en ignores the system") << "en" << QStringList {"ru-RU"} << en;
    QTest::newRow("zh") << "zh" << QStringList {"en-US"} << zh;
    QTest::newRow("ru") << "ru" << QStringList {} << ru;
    QTest::newRow("upper-case ZH asks the system")
        << "ZH" << QStringList {"zh-Hans-CN", "en"} << zh;
    QTest::newRow("unknown code, Russian system") << "de" << QStringList {"ru_RU"} << ru;
    QTest::newRow("unknown code, upper-case system name") << "de" << QStringList {"RU-ru"} << ru;
    QTest::newRow("unknown code, empty system list") << "de" << QStringList {} << en;
    QTest::newRow("empty code, German system") << "" << QStringList {"de-DE", "ru-RU"} << en;
}

void TestLanguage::catalogueChoice()
{
    QFETCH(QString, stored);
    QFETCH(QStringList, system);
    QFETCH(QString, expected);
    QCOMPARE(Language::catalogueFor(stored, system), expected);
}

void TestLanguage::cataloguesTranslate_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("convert");
    QTest::addColumn<QString>("language");
    QTest::newRow("en") << Language::catalogueEnglish() << "Convert"
                        << "Language";
    QTest::newRow("zh") << Language::catalogueChinese() << QString::fromUtf8("转码")
                        << QString::fromUtf8("语言");
    QTest::newRow("ru") << Language::catalogueRussian() << QString::fromUtf8("Конвертировать")
                        << QString::fromUtf8("Язык");
}

void TestLanguage::cataloguesTranslate()
{
    QFETCH(QString, path);
    QFETCH(QString, convert);
    QFETCH(QString, language);
    QTranslator translator;
    QVERIFY2(translator.load(path), qPrintable(path));
    QCOMPARE(translator.translate("HomeWindow", "convert"), convert);
    QCOMPARE(translator.translate("HomeWindow", "language"), language);
}

void TestLanguage::qtCatalogues_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::addColumn<QString>("qtName");
    QTest::addColumn<QString>("open"); // Qt's own word for a file dialog's Open
    QTest::newRow("en needs none") << Language::catalogueEnglish() << QString() << QString();
    QTest::newRow("zh") << Language::catalogueChinese() << "qtbase_zh_CN"
                        << QString::fromUtf8("打开");
    QTest::newRow("ru") << Language::catalogueRussian() << "qtbase_ru"
                        << QString::fromUtf8("Открыть");
}

void TestLanguage::qtCatalogues()
{
    QFETCH(QString, catalogue);
    QFETCH(QString, qtName);
    QFETCH(QString, open);
    QCOMPARE(Language::qtCatalogueFor(catalogue), qtName);
    QTranslator translator;
    QCOMPARE(Language::loadQtCatalogue(translator, catalogue), !qtName.isEmpty());
    if (!qtName.isEmpty())
        QCOMPARE(translator.translate("QFileDialog", "Open"), open);
}

QTEST_GUILESS_MAIN(TestLanguage)
#include "tst_language.moc"
