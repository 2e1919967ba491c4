// Session, device information, WebSocket liveness and playback state.
#include "ConnectionManager.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QMutex>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QWebSocket>
#include <atomic>
#include <utility>

#include "NetworkManagerEx.h"

namespace {

std::atomic<ConnectionManager*> singleInstance {nullptr};
QMutex creationMutex;

// The document when the body is a JSON object whose "code" can be read.
bool answerObject(const QByteArray& body, QJsonObject* out)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return false;
    *out = doc.object();
    return true;
}

} // namespace

ConnectionManager* ConnectionManager::instance()
{
    ConnectionManager* m = singleInstance.load(std::memory_order_acquire);
    if (m)
        return m;
    QMutexLocker lock(&creationMutex);
    m = singleInstance.load(std::memory_order_relaxed);
    if (!m) {
        m = new ConnectionManager(DeviceEndpoint::fromEnvironment(), ConnectionTiming());
        singleInstance.store(m, std::memory_order_release);
    }
    return m;
}

ConnectionManager::ConnectionManager(const DeviceEndpoint& endpoint, const ConnectionTiming& timing,
                                     QObject* parent)
    : QObject(parent),
      checkTimer(new QTimer(this)),
      network(new NetworkManagerEx(this)),
      host(endpoint.host),
      port(endpoint.httpPort),
      wsPort(endpoint.wsPort),
      timing(timing)
{
    qRegisterMetaType<PlayInfo*>("PlayInfo*");
    network->setDeadline(timing.requestTimeoutMs);
    connect(checkTimer, &QTimer::timeout, this, &ConnectionManager::checkConnect);
    checkTimer->start(timing.checkPeriodMs);
    checkConnect();
}

ConnectionManager::~ConnectionManager()
{
    checkTimer->stop();
    if (webSocket) {
        webSocket->disconnect(this);
        webSocket->abort();
        delete webSocket;
        webSocket = nullptr;
    }
}

bool ConnectionManager::isConnected() const { return connected; }

QString ConnectionManager::currentModel() const
{
    if (deviceInfo && connected && !deviceInfo->model.isEmpty())
        return deviceInfo->model;
    return defaultDeviceModel();
}

QString ConnectionManager::currentFirmware() const
{
    return deviceInfo && connected ? deviceInfo->sw : QString();
}

QString ConnectionManager::currentDescription() const
{
    return deviceInfo && connected ? deviceInfo->desc : QString();
}

DeviceEndpoint ConnectionManager::endpoint() const
{
    DeviceEndpoint e;
    e.host = host;
    e.httpPort = port;
    e.wsPort = wsPort;
    return e;
}

qint64 ConnectionManager::now() const
{
    return timing.clock ? timing.clock() : QDateTime::currentMSecsSinceEpoch();
}

QNetworkReply* ConnectionManager::getDevice(const QString& path)
{
    QNetworkRequest request(QUrl(endpoint().httpUrl(path)));
    if (timing.requestTimeoutMs > 0)
        request.setTransferTimeout(timing.requestTimeoutMs);
    return network->get(request);
}

void ConnectionManager::checkConnect()
{
    const qint64 t = now();
    qDebug() << "checkConnect" << t << " last:" << lastActiveMs;

    if (lastActiveMs > 0 && t - lastActiveMs > timing.silenceLimitMs && connected) {
        deviceLost = true;
        setConnected(false);
    }

    if (hasSession) {
        checkWebSocket();
        if (webSocket && webSocket->state() == QAbstractSocket::ConnectedState &&
            t - lastHeartbeatMs > timing.heartbeatSpacingMs) {
            lastHeartbeatMs = t;
            webSocket->sendTextMessage(QString::fromLatin1(kHeartbeatText));
        }
    } else if (sessionPending) {
        // An unanswered request would otherwise be joined by a new one every
        // check, and they pile up while the device drops packets.
        qDebug() << "session request still under way";
    } else {
        startSession();
    }
}

void ConnectionManager::startSession()
{
    if (sessionPending)
        return;
    sessionPending = true;
    requestSession([this](bool ok) {
        sessionPending = false;
        if (ok)
            checkWebSocket();
    });
}

void ConnectionManager::setConnected(bool value)
{
    const bool old = connected;
    connected = value;
    if (old != value)
        emit connectStateChanged(value, currentModel());
}

void ConnectionManager::requestSession(std::function<void(bool)> done)
{
    QNetworkReply* reply = getDevice(QStringLiteral("/ctrl/session"));
    connect(reply, &QNetworkReply::finished, this, [this, reply, done]() {
        const QByteArray body = NetworkManagerEx::readAnswer(reply);
        reply->deleteLater();
        QJsonObject answer;
        const bool granted = answerObject(body, &answer) && answerCode(answer) == 0;
        if (granted) {
            requestDeviceInfo([this, done](bool ok) {
                hasSession = ok;
                // The socket that opens next follows this reading at once;
                // one already open (a session renewed over it) does not.
                if (ok)
                    firstSocketOfSession =
                        !(webSocket && webSocket->state() == QAbstractSocket::ConnectedState);
                if (done)
                    done(ok);
            });
        } else {
            hasSession = false;
            if (done)
                done(false);
        }
    });
}

void ConnectionManager::requestDeviceInfo(std::function<void(bool)> done)
{
    QNetworkReply* reply = getDevice(QStringLiteral("/info"));
    connect(reply, &QNetworkReply::finished, this, [this, reply, done]() {
        const QByteArray body = NetworkManagerEx::readAnswer(reply);
        reply->deleteLater();
        bool result = false;
        QJsonObject answer;
        if (answerObject(body, &answer)) {
            const int code = answerCode(answer);
            if (code == 0) {
                DeviceInfo* info = parseDeviceInfo(QString::fromUtf8(body), this);
                if (info) {
                    const bool changed = !deviceInfo || deviceInfo->model != info->model ||
                        deviceInfo->sw != info->sw || deviceInfo->desc != info->desc;
                    delete deviceInfo;
                    deviceInfo = info;
                    deviceLost = false;
                    lastActiveMs = now();
                    // Stored before anyone hears of the connection, so that
                    // both signals carry the new device's model.
                    setConnected(true);
                    result = true;
                    if (changed) {
                        qDebug().noquote() << "device information:" << logExcerpt(info->model, 80)
                                           << logExcerpt(info->sw, 80);
                        emit deviceInfoChanged();
                    }
                }
            } else if (code == 1) {
                resetConnection();
            }
        }
        if (done)
            done(result);
    });
}

void ConnectionManager::refreshDeviceInfo()
{
    if (hasSession && !deviceLost)
        requestDeviceInfo({});
    else
        startSession();
}

void ConnectionManager::checkWebSocket()
{
    if (!webSocket) {
        qDebug() << "Websocket is null, start it";
        startWebSocket();
        return;
    }
    const QAbstractSocket::SocketState state = webSocket->state();
    if (state == QAbstractSocket::ConnectedState || state == QAbstractSocket::ConnectingState)
        return;
    qDebug() << "websocket setate:" << state;
    stopWebSocket();
    QTimer::singleShot(timing.restartDelayMs, this, &ConnectionManager::startWebSocket);
}

void ConnectionManager::startWebSocket()
{
    if (!hasSession) {
        qDebug() << "start websocket failed, not got session";
        return;
    }
    if (webSocket) {
        qDebug() << "Websocket had started";
        return;
    }
    const QString url = endpoint().wsUrl();
    qDebug().noquote() << QStringLiteral("start websocket URL:%1").arg(url);

    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    webSocket = new QWebSocket(QString(), QWebSocketProtocol::Version13, nullptr);
    // A device's heartbeat or play update is small; a larger message (or one
    // frame of it) is refused by the socket before it is gathered in memory,
    // and the socket closes (see onWebSocketClosed).
    webSocket->setMaxAllowedIncomingMessageSize(kDeviceMessageCap);
    webSocket->setMaxAllowedIncomingFrameSize(kDeviceMessageCap);
    connect(webSocket, &QWebSocket::connected, this, &ConnectionManager::onWebSocketConnected);
    connect(webSocket, &QWebSocket::textMessageReceived, this,
            &ConnectionManager::onWebSocketMessage);
    connect(webSocket, &QWebSocket::disconnected, this, &ConnectionManager::onWebSocketClosed);
    connect(webSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [](QAbstractSocket::SocketError error) { qDebug() << "❌ WebSocket error:" << error; });
    webSocket->open(QUrl(url));
}

void ConnectionManager::stopWebSocket()
{
    qDebug() << "stop websocket";
    if (webSocket) {
        webSocket->close(QWebSocketProtocol::CloseCodeNormal, QString());
        webSocket->deleteLater();
        webSocket = nullptr;
    }
}

void ConnectionManager::onWebSocketConnected()
{
    // A socket that was stopped while it was still connecting is not ours any more.
    if (sender() && sender() != webSocket)
        return;
    qDebug() << "WebSocket connected";
    lastHeartbeatMs = 0;
    lastActiveMs = 0;
    // The device was lost: what answers now may be another one. A socket
    // opened again on the same session (after a drop) may also meet another
    // device, so its information is read again.
    if (deviceLost)
        startSession();
    else if (!std::exchange(firstSocketOfSession, false))
        requestDeviceInfo({});

    QNetworkReply* reply = getDevice(QStringLiteral("/ctrl/play?action=status"));
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        const QByteArray body = NetworkManagerEx::readAnswer(reply);
        reply->deleteLater();
        delete playInfo;
        playInfo = parsePlayInfo(QString::fromUtf8(body), 0, this);
        if (!playInfo)
            return;
        if (playInfo->code == 0)
            emit playInfoChanged(playInfo);
        else if (playInfo->code == 1)
            resetConnection();
    });
}

void ConnectionManager::onWebSocketMessage(QString message)
{
    qDebug().noquote() << "onWebSocketMessage" << logExcerpt(message);
    const QJsonDocument doc = QJsonDocument::fromJson(message.toUtf8());
    if (!doc.isObject())
        return;
    const QJsonValue cmd = doc.object().value(QLatin1String("cmd"));
    const QString kind = cmd.isString() ? cmd.toString() : QString();
    if (kind == QLatin1String("heartbeat")) {
        if (deviceLost) {
            // Alive again, but perhaps another device: announced once a new
            // session has read its information.
            startSession();
            return;
        }
        lastActiveMs = now();
        setConnected(true);
    } else if (kind == QLatin1String("onPlayInfoUpdate")) {
        delete playInfo;
        playInfo = parsePlayInfo(message, 0, this);
        lastActiveMs = now();
        emit playInfoChanged(playInfo);
    }
}

void ConnectionManager::onWebSocketClosed()
{
    const auto* socket = qobject_cast<QWebSocket*>(sender());
    if (socket && socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
        qWarning().noquote() << "device message larger than" << kDeviceMessageCap
                             << "bytes, dropped:" << logExcerpt(socket->closeReason(), 200);
    qDebug() << "WebSocket closed";
}

void ConnectionManager::resetConnection()
{
    stopWebSocket();
    connected = false;
    hasSession = false;
    delete playInfo;
    playInfo = new PlayInfo(this);
    delete deviceInfo;
    deviceInfo = new DeviceInfo(this);
    lastActiveMs = 0;
    lastHeartbeatMs = 0;
    deviceLost = false;
    firstSocketOfSession = false;
    emit connectStateChanged(false, currentModel());
    emit playInfoChanged(playInfo);
}

QString ConnectionManager::makeUniqueFileName(const QString& base, const QString& extension)
{
    const QString ext = extension.isEmpty() ? QStringLiteral("bin") : extension;
    const QString digits = QStringLiteral("0123456789");
    for (const QChar i : digits) {
        for (const QChar j : digits) {
            const QString id = QString(i) + j;
            if (!usedIdentifiers.contains(id)) {
                usedIdentifiers.insert(id);
                return QStringLiteral("%1_%2.%3").arg(id, base, ext);
            }
        }
    }
    qDebug() << "所有的identifier已经用完";
    return QString();
}
