// Menu bar: the language menu with its restart prompt, and the about box.
#include "HomeWindow.h"

#include "MPVWidget.h"
#include "Settings.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTimeEdit>
#include <QCoreApplication>
#include <QDebug>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

// A menu text with a keyboard mnemonic: the first letter itself where the text
// starts with one a keyboard can type (Latin, Cyrillic), else the Latin letter
// appended in brackets, as Chinese menus write it ("语言(&L)").
static QString withMnemonic(const QString& text, QChar latin)
{
    if (text.contains(QLatin1Char('&')))
        return text;
    const QChar first = text.isEmpty() ? QChar() : text.at(0);
    const QChar::Script script = first.script();
    if (first.isLetter() && (script == QChar::Script_Latin || script == QChar::Script_Cyrillic))
        return QLatin1Char('&') + text;
    return QStringLiteral("%1(&%2)").arg(text, latin);
}

void HomeWindow::buildMenuBar()
{
    auto* bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("menuBar"));

    QMenu* languageMenu = bar->addMenu(withMnemonic(tr("language"), QLatin1Char('L')));
    languageMenu->setObjectName(QStringLiteral("languageMenu"));
    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    auto addLanguage = [&](const QString& text, const char* code, const char* name, char key) {
        QAction* action = languageMenu->addAction(withMnemonic(text, QLatin1Char(key)));
        action->setObjectName(QLatin1String(name));
        action->setCheckable(true);
        action->setData(QLatin1String(code));
        languageGroup->addAction(action);
        return action;
    };
    englishAction = addLanguage(tr("english"), "en", "englishAction", 'E');
    chineseAction = addLanguage(tr("chinese"), "zh", "chineseAction", 'C');
    russianAction = addLanguage(tr("russian"), "ru", "russianAction", 'R');
    connect(languageGroup, &QActionGroup::triggered, this, &HomeWindow::onLanguageTriggered);

    const QString current =
        settings->value(QLatin1String(Settings::Language), QStringLiteral("en")).toString();
    qDebug() << "####CURRENT LANGUAGE " << current;
    checkLanguageAction(current);

    QMenu* helpMenu = bar->addMenu(withMnemonic(tr("help"), QLatin1Char('H')));
    helpMenu->setObjectName(QStringLiteral("helpMenu"));
    aboutAction = helpMenu->addAction(withMnemonic(tr("about"), QLatin1Char('A')));
    aboutAction->setObjectName(QStringLiteral("aboutAction"));
    aboutAction->setShortcut(QKeySequence(Qt::Key_F1));
    // The shortcut works while the menu is closed.
    addAction(aboutAction);
    aboutVersion = QCoreApplication::applicationVersion();
    connect(aboutAction, &QAction::triggered, this, &HomeWindow::showAbout);

    setMenuBar(bar);
}

void HomeWindow::checkLanguageAction(const QString& code)
{
    if (code == QLatin1String("zh"))
        chineseAction->setChecked(true);
    else if (code == QLatin1String("ru"))
        russianAction->setChecked(true);
    else
        englishAction->setChecked(true);
}

void HomeWindow::onLanguageTriggered(QAction* action)
{
    QString code;
    if (action == chineseAction) {
        qDebug() << "Switched to Chinese";
        code = QStringLiteral("zh");
    } else if (action == russianAction) {
        qDebug() << "Switched to Russian";
        code = QStringLiteral("ru");
    } else {
        qDebug() << "Switched to English";
        code = QStringLiteral("en");
    }
    askLanguageRestart(code);
}

void HomeWindow::askLanguageRestart(const QString& code)
{
    QMessageBox box(this);
    box.setWindowTitle(tr("language_change"));
    box.setTextFormat(Qt::RichText);
    box.setText(tr("language_changed_content"));
    box.setIcon(QMessageBox::Question);
    QPushButton* restartNow = box.addButton(tr("restart_now"), QMessageBox::AcceptRole);
    QPushButton* later = box.addButton(tr("later"), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(tr("cancel"), QMessageBox::DestructiveRole);
    restartNow->setObjectName(QStringLiteral("restartNowButton"));
    later->setObjectName(QStringLiteral("laterButton"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    box.setDefaultButton(restartNow);
    runDialog(box);

    QAbstractButton* clicked = box.clickedButton();
    if (clicked == restartNow) {
        settings->setValue(QLatin1String(Settings::Language), code);
        keepForRestart();
        settings->sync();
        if (restarter)
            restarter(QCoreApplication::applicationFilePath(), QCoreApplication::arguments());
    } else if (clicked == later) {
        settings->setValue(QLatin1String(Settings::Language), code);
        QMessageBox notice(QMessageBox::Information, tr("language_change"),
                           tr("language_change_next_startup"), QMessageBox::Ok, this);
        runDialog(notice);
    } else {
        // Cancel, or the box closed without a choice: the menu shows the
        // stored language again.
        checkLanguageAction(
            settings->value(QLatin1String(Settings::Language), QStringLiteral("en")).toString());
    }
}

void HomeWindow::showAbout()
{
    QString text = tr("about content");
    // Without a catalogue the key has no place-holders to fill.
    if (text.contains(QLatin1String("%1")))
        text = text.arg(QStringLiteral("Spindra"), aboutVersion);
    if (!dialogRunner) {
        QMessageBox::about(this, tr("about title"), text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, tr("about title"), text, QMessageBox::Ok, this);
    box.setIconPixmap(windowIcon().pixmap(64, 64));
    runDialog(box);
}

namespace {

int secondsOf(const QTime& t) { return t.hour() * 3600 + t.minute() * 60 + t.second(); }

} // namespace

void HomeWindow::keepForRestart()
{
    QJsonObject state;
    state.insert(QStringLiteral("hflip"), hFlipButton->isChecked());
    state.insert(QStringLiteral("vflip"), vFlipButton->isChecked());
    state.insert(QStringLiteral("model"), modelSelector->currentText());
    state.insert(QStringLiteral("output"), outputField->text());
    if (!loadedInput.isEmpty() && !inputFailed) {
        state.insert(QStringLiteral("input"), loadedInput);
        state.insert(QStringLiteral("start"), secondsOf(startTimeEdit->time()));
        state.insert(QStringLiteral("end"), secondsOf(endTimeEdit->time()));
        const QPointF offset = mpvWidget->framingOffset();
        state.insert(QStringLiteral("zoom"), mpvWidget->currentZoom());
        state.insert(QStringLiteral("offsetX"), offset.x());
        state.insert(QStringLiteral("offsetY"), offset.y());
    }
    settings->setValue(QLatin1String(Settings::RestartState),
                       QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact)));
}

void HomeWindow::restoreAfterRestart()
{
    const QString text = settings->value(QLatin1String(Settings::RestartState)).toString();
    if (text.isEmpty())
        return;
    // Once only: a later start begins afresh.
    settings->remove(QLatin1String(Settings::RestartState));
    const QJsonObject state = QJsonDocument::fromJson(text.toUtf8()).object();
    if (state.isEmpty())
        return;
    hFlipButton->setChecked(state.value(QStringLiteral("hflip")).toBool());
    vFlipButton->setChecked(state.value(QStringLiteral("vflip")).toBool());
    onFlipClicked();
    const int model = modelSelector->findText(state.value(QStringLiteral("model")).toString(),
                                              Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (model >= 0 && modelSelector->isEnabled())
        modelSelector->setCurrentIndex(model);
    if (state.contains(QStringLiteral("output")))
        outputField->setText(state.value(QStringLiteral("output")).toString());
    const QString input = state.value(QStringLiteral("input")).toString();
    if (input.isEmpty() || !QFileInfo::exists(input))
        return;
    // The times and the framing follow once the file has opened.
    restoring = state.toVariantMap();
    inputField->setText(input);
    loadInput(input);
}

void HomeWindow::restoreFileState()
{
    if (restoring.isEmpty())
        return;
    const QVariantMap state = std::exchange(restoring, QVariantMap());
    if (state.value(QStringLiteral("input")).toString() != loadedInput)
        return;
    if (isVideo) {
        const int length = int(videoDuration);
        const int end = qBound(0, state.value(QStringLiteral("end")).toInt(), length);
        const int start = qBound(0, state.value(QStringLiteral("start")).toInt(), end);
        startTimeEdit->setTime(QTime(0, 0, 0).addSecs(start));
        endTimeEdit->setTime(QTime(0, 0, 0).addSecs(end));
    }
    mpvWidget->applyFraming(state.value(QStringLiteral("zoom"), 1.0).toDouble(),
                            QPointF(state.value(QStringLiteral("offsetX")).toDouble(),
                                    state.value(QStringLiteral("offsetY")).toDouble()));
}
