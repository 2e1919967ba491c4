// The process-wide view of the fan: session, device information, liveness
// over a WebSocket with heartbeats and playback state. Fan files are sent by
// the Uploader (Uploader.h).
#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVariant>
#include <functional>

#include "DeviceProtocol.h"

class NetworkManagerEx;
class QNetworkReply;
class QTimer;
class QWebSocket;

// Periods and clock of the check cycle. The defaults are the product's; tests
// and tools may shorten them and supply a clock of their own.
struct ConnectionTiming {
    int checkPeriodMs = 3000;         // the periodic check
    qint64 silenceLimitMs = 20000;    // more than this since the last sign of life: gone
    qint64 heartbeatSpacingMs = 5000; // more than this since the last heartbeat: send one
    int restartDelayMs = 2000;        // WebSocket restart after a dead socket is stopped
    int requestTimeoutMs = 10000;     // longest one device query may take in all (0: none)
    std::function<qint64()> clock;    // ms since the epoch; empty: the system clock
};

class ConnectionManager : public QObject {
    Q_OBJECT
public:
    // The single instance, created on first use (thread-safe) with the device
    // address read once from the environment and the product's timing. Its
    // first check runs before this returns. Never destroyed.
    static ConnectionManager* instance();

    // A separate manager with its own address and timing, for tests and tools.
    // Starts its check cycle at once, like the single instance.
    ConnectionManager(const DeviceEndpoint& endpoint, const ConnectionTiming& timing,
                      QObject* parent = nullptr);
    ~ConnectionManager() override;

    // The device has answered recently.
    bool isConnected() const;
    // The connected device's reported model, else defaultDeviceModel().
    QString currentModel() const;
    // The connected device's reported firmware version and description;
    // empty while no device is connected.
    QString currentFirmware() const;
    QString currentDescription() const;
    // The address this manager talks to.
    DeviceEndpoint endpoint() const;

    // "<id>_<base>.<extension>" with the first two-digit identifier ("00" ..
    // "99") not handed out before in this process; extension "bin" when empty;
    // an empty string once all 100 are used.
    QString makeUniqueFileName(const QString& base, const QString& extension);

signals:
    void connectStateChanged(bool connected, QString model);
    void playInfoChanged(PlayInfo* playInfo);
    // The device information (model, firmware, description) has been
    // replaced by a newer answer with other contents: the first answer, a
    // device that changed, or another device at the same address (found by
    // the new session that follows a loss, or by the information that is read
    // again whenever the WebSocket is opened anew).
    void deviceInfoChanged();

public slots:
    // Asks the device for its information now; while no session exists (or
    // the device was lost) it starts a new one, which reads it. A changed
    // answer arrives as deviceInfoChanged.
    void refreshDeviceInfo();
    void onWebSocketConnected();
    void onWebSocketMessage(QString message);
    void onWebSocketClosed();

private:
    friend class ConnectionManagerTest;

    qint64 now() const;
    void checkConnect();
    void setConnected(bool value);
    void startSession();
    void requestSession(std::function<void(bool)> done);
    void requestDeviceInfo(std::function<void(bool)> done);
    void checkWebSocket();
    void startWebSocket();
    void stopWebSocket();
    void resetConnection();
    QNetworkReply* getDevice(const QString& path);

    QTimer* checkTimer = nullptr;
    QWebSocket* webSocket = nullptr;
    NetworkManagerEx* network = nullptr;
    QString host;
    int port = 80;
    int wsPort = 9000;
    bool connected = false;
    bool hasSession = false;
    qint64 lastHeartbeatMs = 0;
    qint64 lastActiveMs = 0;
    DeviceInfo* deviceInfo = nullptr;
    PlayInfo* playInfo = nullptr;
    QSet<QString> usedIdentifiers;

    ConnectionTiming timing;
    bool sessionPending = false; // a session request (and its "/info") is under way
    // The device fell silent for longer than the silence limit. Whatever
    // answers at the address next may be another device: it is announced
    // only after a new session has read its information.
    bool deviceLost = false;
    // The WebSocket that connects next is the first of its session, right
    // after the session read the device information.
    bool firstSocketOfSession = false;
};
