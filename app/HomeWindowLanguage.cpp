// Menu bar: the language menu with its restart prompt, and the about box.
#include "HomeWindow.h"

#include "Settings.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QDebug>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

void HomeWindow::buildMenuBar()
{
    auto* bar = new QMenuBar(this);
    bar->setObjectName(QStringLiteral("menuBar"));

    QMenu* languageMenu = bar->addMenu(tr("language"));
    languageMenu->setObjectName(QStringLiteral("languageMenu"));
    languageGroup = new QActionGroup(this);
    languageGroup->setExclusive(true);
    auto addLanguage = [&](const QString& text, const char* code, const char* name) {
        QAction* action = languageMenu->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setCheckable(true);
        action->setData(QLatin1String(code));
        languageGroup->addAction(action);
        return action;
    };
    englishAction = addLanguage(tr("english"), "en", "englishAction");
    chineseAction = addLanguage(tr("chinese"), "zh", "chineseAction");
    russianAction = addLanguage(tr("russian"), "ru", "russianAction");
    connect(languageGroup, &QActionGroup::triggered, this, &HomeWindow::onLanguageTriggered);

    const QString current =
        settings->value(QLatin1String(Settings::Language), QStringLiteral("en")).toString();
    qDebug() << "####CURRENT LANGUAGE " << current;
    checkLanguageAction(current);

    QMenu* helpMenu = bar->addMenu(tr("help"));
    helpMenu->setObjectName(QStringLiteral("helpMenu"));
    aboutAction = helpMenu->addAction(tr("about"));
    aboutAction->setObjectName(QStringLiteral("aboutAction"));
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
