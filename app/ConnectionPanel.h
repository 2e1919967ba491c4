// The connection panel: whether the fan answers (a badge and an icon), what
// it says about itself (model and firmware, its description), what it plays,
// and Read Device Information, which asks the fan again at once. It follows
// the device link's reports by itself. Every text the fan sent is shown as
// plain text, cleaned and fitted to the panel (DeviceText), with the whole
// text in a tooltip.
#pragma once

#include <QGroupBox>
#include <QString>

class ConnectionManager;
class PlayInfo;
class QLabel;
class QPushButton;

class ConnectionPanel : public QGroupBox {
    Q_OBJECT
public:
    ConnectionPanel(ConnectionManager* connection, QWidget* parent);

    // Redraws everything from the device link's current state.
    void refresh();
    QPushButton* refreshButton() const { return readButton; }

    // The line for a playback state: "Playing 00_00005.bin · 3 of 7", or
    // that nothing plays. The file's name is a device text, shown clean.
    static QString playText(const QString& state, const QString& current, int progress, int total);
    // The same line with the character \x01 where the name goes.
    static QString playFrame(const QString& state, int progress, int total, bool hasFile);

signals:
    // Read Device Information was pressed; the link has been asked already.
    void refreshRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onPlayInfo(PlayInfo* info);
    void fitTexts();

    ConnectionManager* connection = nullptr;
    QLabel* stateLabel = nullptr;
    QLabel* stateIcon = nullptr;
    QLabel* deviceInfoLabel = nullptr;
    QLabel* playInfoLabel = nullptr;
    QPushButton* readButton = nullptr;
    bool connected = false;
    // What the fan reported, as it sent it.
    QString model;
    QString firmware;
    QString description;
    // The fan's playback state; no file while nothing is known.
    QString playState;
    QString playFile;
    int playProgress = 0;
    int playTotal = 0;
};
