// The window in each of its three languages, connected to fan-sim, at its
// default size: every label, button, radio button, combo box and the state
// badge is wide enough for its text, the settings column needs no scroll bar,
// the busy and result displays move nothing, and Qt's own texts (message box
// buttons, file dialogs) speak the chosen language.
#include "AppTestSupport.h"

#include "HomeWindow.h"
#include "Language.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTextDocument>
#include <QTranslator>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

namespace {

// The widest line of a widget's text as shown (mnemonics removed).
int textAdvance(const QFontMetrics& fm, QString text)
{
    text.remove(QLatin1Char('&'));
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = qMax(widest, fm.horizontalAdvance(line));
    return widest;
}

// Why a widget is too narrow for its text, or empty when it is not.
QString tooNarrow(QWidget* w)
{
    const QString name = w->objectName().isEmpty()
        ? QString::fromLatin1(w->metaObject()->className())
        : w->objectName();
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text().isEmpty() || label->pixmap(Qt::ReturnByValue).width() > 0)
            return {};
        if (label->wordWrap()) {
            if (label->height() < label->heightForWidth(label->width()))
                return QStringLiteral("%1 \"%2\": height %3 < %4")
                    .arg(name, label->text())
                    .arg(label->height())
                    .arg(label->heightForWidth(label->width()));
            return {};
        }
        QString text = label->text();
        if (Qt::mightBeRichText(text)) {
            QTextDocument doc;
            doc.setHtml(text);
            text = doc.toPlainText();
        }
        const int need = textAdvance(label->fontMetrics(), text);
        if (label->contentsRect().width() < need ||
            label->width() < label->minimumSizeHint().width())
            return QStringLiteral("%1 \"%2\": %3 < %4")
                .arg(name, text)
                .arg(label->contentsRect().width())
                .arg(need);
        return {};
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        const int need = button->sizeHint().width();
        int textNeed = textAdvance(button->fontMetrics(), button->text());
        // A push button's text keeps some air on both sides.
        if (qobject_cast<QPushButton*>(button) && textNeed > 0)
            textNeed += 8;
        if (button->width() < need || button->width() < textNeed)
            return QStringLiteral("%1 \"%2\": %3 < %4")
                .arg(name, button->text())
                .arg(button->width())
                .arg(qMax(need, textNeed));
        return {};
    }
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i)
            widest = qMax(widest, combo->fontMetrics().horizontalAdvance(combo->itemText(i)));
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = combo->isEditable();
        const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                           QStyle::SC_ComboBoxEditField, combo);
        const QRect arrow = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                           QStyle::SC_ComboBoxArrow, combo);
        if (field.width() < widest || arrow.right() > combo->width())
            return QStringLiteral("%1: text field %2 < %3")
                .arg(name)
                .arg(field.width())
                .arg(widest);
        return {};
    }
    return {};
}

} // namespace

class TestWindowTexts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void everyTextFits_data();
    void everyTextFits();
    void qtTextsFollowTheLanguage();

private:
    void useLanguage(const QString& catalogue);
    std::unique_ptr<HomeWindow> makeWindow();

    QTemporaryDir configDir;
    FanSimProcess sim;
    QTranslator appTranslator;
    QTranslator qtTranslator;
};

void TestWindowTexts::initTestCase()
{
    QVERIFY(configDir.isValid());
    isolateWindowTest(configDir);
    QApplication::setFont(QFont(QStringLiteral("Microsoft YaHei"), 10));
    QVERIFY2(sim.start({QStringLiteral("--model"), QStringLiteral("BELLATRIX")}),
             qPrintable(sim.errorText));
    exportAddress(sim);
}

void TestWindowTexts::cleanupTestCase() { sim.stop(); }

void TestWindowTexts::cleanup()
{
    QCoreApplication::removeTranslator(&appTranslator);
    QCoreApplication::removeTranslator(&qtTranslator);
}

void TestWindowTexts::useLanguage(const QString& catalogue)
{
    // In the order the program installs them: Qt's own first.
    if (!Language::qtCatalogueFor(catalogue).isEmpty()) {
        QVERIFY2(Language::loadQtCatalogue(qtTranslator, catalogue),
                 qPrintable(Language::qtCatalogueFor(catalogue)));
        QCoreApplication::installTranslator(&qtTranslator);
    }
    QVERIFY(appTranslator.load(catalogue));
    QCoreApplication::installTranslator(&appTranslator);
}

std::unique_ptr<HomeWindow> TestWindowTexts::makeWindow()
{
    auto window = std::make_unique<HomeWindow>();
    window->setUseNativeDialogs(false);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    return window;
}

void TestWindowTexts::everyTextFits_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::newRow("en") << Language::catalogueEnglish();
    QTest::newRow("zh") << Language::catalogueChinese();
    QTest::newRow("ru") << Language::catalogueRussian();
}

void TestWindowTexts::everyTextFits()
{
    QFETCH(QString, catalogue);
    useLanguage(catalogue);
    std::unique_ptr<HomeWindow> window = makeWindow();
    QVERIFY(window);
    // The connected badge is the wider of the two states in every language.
    QTRY_VERIFY_WITH_TIMEOUT(window->isDeviceConnected(), 20000);
    auto* state = requireChild<QLabel>(*window, "stateLabel");
    QTRY_COMPARE(state->text(), appTranslator.translate("HomeWindow", "connected"));
    QTest::qWait(200); // the initial synchronisation has run

    auto check = [&](const char* when) {
        QStringList faults;
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (!w->isVisible())
                continue;
            const QString why = tooNarrow(w);
            if (!why.isEmpty())
                faults << why;
        }
        QVERIFY2(faults.isEmpty(),
                 qPrintable(QStringLiteral("%1: %2").arg(when, faults.join("; "))));
    };
    check("idle");

    auto* scroll = requireChild<QScrollArea>(*window, "settingsScrollArea");
    QVERIFY2(!scroll->verticalScrollBar()->isVisible(),
             qPrintable(QStringLiteral("settings need %1 more pixels")
                            .arg(scroll->verticalScrollBar()->maximum())));
    QVERIFY(scroll->widget()->width() <= scroll->viewport()->width());

    // Busy, progress and results appear in reserved space: nothing moves.
    auto* convert = requireChild<QPushButton>(*window, "convertButton");
    const QRect scrollGeometry = scroll->geometry();
    const QRect convertGeometry = convert->geometry();
    window->beginBusyView();
    QTest::qWait(50);
    for (const char* key :
         {"upload_success", "convert_success", "convert_failed", "uploading", "file_unreadable"}) {
        QMetaObject::invokeMethod(window.get(), "updateProcessResult", Q_ARG(bool, true),
                                  Q_ARG(QString, appTranslator.translate("HomeWindow", key)),
                                  Q_ARG(QString, QString()));
        QTest::qWait(20);
        QCOMPARE(scroll->geometry(), scrollGeometry);
        QCOMPARE(convert->geometry(), convertGeometry);
        check(key);
    }
    window->endBusyView();
    QTest::qWait(20);
    QCOMPARE(scroll->geometry(), scrollGeometry);
    QCOMPARE(convert->geometry(), convertGeometry);
}

void TestWindowTexts::qtTextsFollowTheLanguage()
{
    useLanguage(Language::catalogueRussian());
    std::unique_ptr<HomeWindow> window = makeWindow();
    QVERIFY(window);

    // A message box's OK.
    QString okText;
    window->setDialogRunner([&](QMessageBox& box) {
        if (QAbstractButton* ok = box.button(QMessageBox::Ok))
            okText = ok->text();
    });
    window->showMessage(QStringLiteral("t"), QStringLiteral("x"));
    QVERIFY(!okText.isEmpty());
    QVERIFY2(okText != QLatin1String("OK") && okText != QLatin1String("&OK"), qPrintable(okText));

    // The file dialog: its caption, filters and buttons.
    QString title;
    QStringList buttons;
    QStringList filters;
    QTimer::singleShot(0, this, [&] {
        QFileDialog* dialog = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                        dialog = d;
                return dialog != nullptr;
            },
            10000);
        if (!dialog)
            return;
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        if (auto* box = dialog->findChild<QDialogButtonBox*>())
            for (QAbstractButton* b : box->buttons())
                buttons << b->text().remove(QLatin1Char('&'));
        dialog->reject();
    });
    window->clickSelectFolder();
    QCOMPARE(title, QString::fromUtf8("Выбор видеофайла"));
    QVERIFY2(filters.size() == 4 && filters.first().startsWith(QString::fromUtf8("Медиафайлы")),
             qPrintable(filters.join(" | ")));
    QVERIFY(!buttons.isEmpty());
    for (const QString& b : buttons)
        QVERIFY2(b != QLatin1String("Open") && b != QLatin1String("Cancel"), qPrintable(b));
}

QTEST_MAIN(TestWindowTexts)
#include "tst_window_texts.moc"
