// Process entry: application identity, the catalogue chosen from the stored
// language, the main window, the event loop.
#include "ConnectionManager.h"
#include "HomeWindow.h"
#include "Language.h"
#include "Settings.h"
#include "platform.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

#include <clocale>

int main(int argc, char* argv[])
{
    // Before any thread starts: large frame buffers go back to the system
    // when freed, so a long session does not keep its biggest job's memory.
    engine_settle_allocator();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(SPINDRA_VERSION));
    // libmpv parses numbers with the C library and refuses to start under a
    // locale whose decimal separator is not a dot; Qt sets the user's locale.
    std::setlocale(LC_NUMERIC, "C");

    QFont font(QStringLiteral("Microsoft YaHei"), 10);
    QApplication::setFont(font);

    QSettings settings(QLatin1String(Settings::Organisation), QLatin1String(Settings::Application));
    const QString language =
        settings.value(QLatin1String(Settings::Language), QStringLiteral("en")).toString();
    const QString catalogue = Language::catalogueFor(language, QLocale::system().uiLanguages());
    qDebug() << "load qm:" << catalogue;

    // Qt's own catalogue goes in first: the application's, installed after it,
    // is asked first and may word a standard text better.
    QTranslator qtTranslator;
    if (Language::loadQtCatalogue(qtTranslator, catalogue))
        QCoreApplication::installTranslator(&qtTranslator);
    else if (!Language::qtCatalogueFor(catalogue).isEmpty())
        qDebug() << "Qt catalogue not found:" << Language::qtCatalogueFor(catalogue);

    QTranslator translator;
    if (translator.load(catalogue))
        QCoreApplication::installTranslator(&translator);
    else
        qDebug() << "加载翻译文件失败：" << catalogue;

    int code;
    {
        // The device link lives for the whole process; the window is handed it.
        HomeWindow window(ConnectionManager::instance());
        window.show();
        code = app.exec();
    }
    return code;
}
