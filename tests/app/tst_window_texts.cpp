// The window in each of its three languages, connected to fan-sim, at its
// default size: every label, button, check box, combo box and the state
// badge is wide enough for its text, the settings column needs no scroll bar,
// the busy and result displays move nothing, and Qt's own texts (message box
// buttons, file dialogs) speak the chosen language. In every language, at the
// default and the minimum size, connected or not, and in every state of a
// job, no two widgets are drawn over each other.
#include "AppTestSupport.h"

#include "ConnectionManager.h"
#include "ConversionController.h"
#include "HomeWindow.h"
#include "JobPanel.h"
#include "Language.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTextDocument>
#include <QTranslator>
#include <QtTest>

#include <clocale>
#include <functional>
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

// The widgets that draw something of their own (texts, fields, bars), as
// opposed to the containers that only hold them.
bool isLeaf(const QWidget* w)
{
    for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget()) {
        // The parts of a compound widget belong to it.
        if (qobject_cast<const QAbstractSpinBox*>(p) || qobject_cast<const QComboBox*>(p) ||
            qobject_cast<const QAbstractItemView*>(p) || qobject_cast<const QMenuBar*>(p))
            return false;
    }
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
        qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
        qobject_cast<const QComboBox*>(w) || qobject_cast<const QSlider*>(w) ||
        qobject_cast<const QProgressBar*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
        qobject_cast<const QScrollBar*>(w) || qobject_cast<const QMenuBar*>(w);
}

// Where a widget shows on the window: its rectangle cut by every parent's.
QRect shownRect(const QWidget* w)
{
    const QWidget* window = w->window();
    QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
    for (const QWidget* p = w->parentWidget(); p && p != window; p = p->parentWidget())
        r &= QRect(p->mapTo(window, QPoint(0, 0)), p->size());
    return r;
}

QString nameOf(const QWidget* w)
{
    QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                             : w->objectName();
    if (auto* label = qobject_cast<const QLabel*>(w))
        name += QStringLiteral(" \"%1\"").arg(label->text().left(30));
    else if (auto* button = qobject_cast<const QAbstractButton*>(w))
        name += QStringLiteral(" \"%1\"").arg(button->text().left(30));
    return name;
}

// Every pair of visible widgets drawn over each other, and every text wider
// or taller than its widget. The preview's picture layers (the player, the
// fan view, the framing overlay) lie under its buttons by design.
QStringList drawnOver(QWidget& window)
{
    const QStringList layers {QStringLiteral("player"), QStringLiteral("fanView"),
                              QStringLiteral("overlay")};
    QList<QWidget*> leaves;
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (w->isVisible() && w->window() == &window && isLeaf(w) &&
            !layers.contains(w->objectName()) && !shownRect(w).isEmpty())
            leaves << w;
    }
    QStringList faults;
    for (int i = 0; i < leaves.size(); ++i) {
        const QString why = tooNarrow(leaves[i]);
        if (!why.isEmpty())
            faults << why;
        for (int j = i + 1; j < leaves.size(); ++j) {
            QWidget* a = leaves[i];
            QWidget* b = leaves[j];
            if (a->isAncestorOf(b) || b->isAncestorOf(a))
                continue;
            const QRect both = shownRect(a) & shownRect(b);
            if (!both.isEmpty())
                faults << QStringLiteral("%1 over %2 at %3,%4 %5x%6")
                              .arg(nameOf(a), nameOf(b))
                              .arg(both.x())
                              .arg(both.y())
                              .arg(both.width())
                              .arg(both.height());
        }
    }
    return faults;
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
    void nothingDrawnOverAnything_data();
    void nothingDrawnOverAnything();
    void qtTextsFollowTheLanguage();

private:
    void useLanguage(const QString& catalogue);
    std::unique_ptr<HomeWindow> makeWindow(ConnectionManager* connection = nullptr);

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

std::unique_ptr<HomeWindow> TestWindowTexts::makeWindow(ConnectionManager* connection)
{
    auto window = std::make_unique<HomeWindow>(connection);
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

void TestWindowTexts::nothingDrawnOverAnything_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::addColumn<bool>("minimum");
    QTest::addColumn<bool>("connected");
    const QPair<const char*, QString> languages[] = {{"en", Language::catalogueEnglish()},
                                                     {"zh", Language::catalogueChinese()},
                                                     {"ru", Language::catalogueRussian()}};
    for (const auto& language : languages) {
        for (const bool minimum : {false, true}) {
            for (const bool connected : {true, false}) {
                QTest::addRow("%s %s %s", language.first, minimum ? "minimum" : "default",
                              connected ? "connected" : "not connected")
                    << language.second << minimum << connected;
            }
        }
    }
}

// The window goes through the states a job shows (the controller's reports
// are played to it) and, in each, nothing is drawn over anything.
void TestWindowTexts::nothingDrawnOverAnything()
{
    QFETCH(QString, catalogue);
    QFETCH(bool, minimum);
    QFETCH(bool, connected);
    useLanguage(catalogue);
    // Not connected: a link to a closed port on loopback.
    DeviceEndpoint nowhere;
    nowhere.host = QStringLiteral("127.0.0.1");
    nowhere.httpPort = 9;
    nowhere.wsPort = 9;
    std::unique_ptr<ConnectionManager> closed;
    if (!connected)
        closed = std::make_unique<ConnectionManager>(nowhere, ConnectionTiming());
    std::unique_ptr<HomeWindow> window = makeWindow(closed.get());
    QVERIFY(window);
    if (connected)
        QTRY_VERIFY_WITH_TIMEOUT(window->isDeviceConnected(), 20000);
    if (minimum)
        window->resize(window->minimumSize());
    QTest::qWait(200); // the initial synchronisation and the layout have run
    QCOMPARE(window->size(), minimum ? window->minimumSize() : window->size());

    ConversionController* controller = window->conversionController();
    auto* jobs = requireChild<JobPanel>(*window, "jobPanel");
    const QString deepPath = QDir::tempPath() +
        QStringLiteral("/a folder with a long name/another folder/VEGA/00_00007.bin");
    const QString kept = QDir(configDir.path()).filePath(QStringLiteral("00_00008.bin"));
    QFile keptFile(kept);
    QVERIFY(keptFile.open(QIODevice::WriteOnly));
    keptFile.close();
    ConvertResult fallback;
    fallback.outcome = ConvertOutcome::Succeeded;
    fallback.path = kept;
    fallback.fallbackReason = appTranslator.translate("MediaConvert", "output_folder_fallback");
    const QString refusal =
        QStringLiteral("{\"code\":3,\"msg\":\"not a fan file for CASTOR, it has 520 lines\"}");

    const QList<QPair<const char*, std::function<void()>>> states {
        {"idle", [] {}},
        {"decoding",
         [&] {
             emit controller->jobStarted(901);
             emit controller->jobProgress(901, JobStage::Decoding, 64);
         }},
        {"converting", [&] { emit controller->jobProgress(901, JobStage::Converting, 88); }},
        {"uploading",
         [&] {
             emit controller->jobConverted(901, fallback, true);
             emit controller->jobProgress(901, JobStage::Uploading, 42);
         }},
        {"waiting for the fan",
         [&] { emit controller->jobProgress(901, JobStage::WaitingForFan, 100); }},
        {"upload failed",
         [&] { emit controller->jobFinished(901, JobOutcome::Failed, kept, refusal); }},
        {"converted to the desktop",
         [&] {
             emit controller->jobStarted(902);
             emit controller->jobConverted(902, fallback, false);
             emit controller->jobFinished(902, JobOutcome::Succeeded, kept, QString());
         }},
        {"upload cancelled",
         [&] {
             emit controller->jobStarted(903);
             emit controller->jobConverted(903, fallback, true);
             emit controller->jobFinished(
                 903, JobOutcome::Cancelled, kept,
                 appTranslator.translate("HomeWindow", "cancel_kept_file"));
         }},
        {"queue shown",
         [&] {
             for (int id = 904; id < 910; ++id)
                 jobs->track(id, deepPath);
             emit controller->jobStarted(904);
             emit controller->jobProgress(904, JobStage::Converting, 50);
             emit controller->jobFinished(904, JobOutcome::Succeeded, deepPath, QString());
             emit controller->jobStarted(905);
             emit controller->jobProgress(905, JobStage::Decoding, 12);
         }},
        {"queue ended",
         [&] { emit controller->jobFinished(905, JobOutcome::Failed, QString(), QString()); }},
    };
    for (const auto& state : states) {
        state.second();
        QTest::qWait(30);
        QApplication::processEvents();
        const QStringList faults = drawnOver(*window);
        QVERIFY2(faults.isEmpty(),
                 qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(state.first),
                                                         faults.join(QStringLiteral("; ")))));
    }
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
