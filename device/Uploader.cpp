// Upload of a fan file to the device as multipart form data, on a TCP
// connection of its own so that the progress, the time-out and the abort can
// reach into it.
#include "Uploader.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMetaEnum>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QTimer>

#include "NetworkManagerEx.h"
#include "UploadWire.h"

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif
#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

namespace {

const char kTooLargeText[] = "device answer too large";
// The file is read and handed to the socket in pieces of this size, and no
// more than this waits in the socket's own buffer: the rest stays in the file.
const qint64 kPieceBytes = 16 * 1024;

} // namespace

// One upload: the file, its connection, its answer and its timers. Deletes
// itself (later) once it has ended or been stopped.
class UploadTransfer : public QObject {
public:
    UploadTransfer(Uploader* owner, int id, Uploader::ResultCallback onResult,
                   Uploader::ProgressCallback onProgress)
        : QObject(owner),
          owner(owner),
          id(id),
          answer(NetworkManagerEx::kDefaultAnswerCap),
          onResult(std::move(onResult)),
          onProgress(std::move(onProgress))
    {
    }

    void start(const QString& path, const QString& name, int timeoutMs);
    Uploader::Fate stop();

private:
    void onConnected();
    void pump();
    void updateProgress();
    void onReadable();
    void onClosed();
    void answered();
    void end(bool ok, const QVariant& data);
    void drain();
    void closeConnection(bool graceful);
    bool everythingSent() const;
    qint64 queuedInSystem(unsigned long request) const;

    Uploader* owner;
    int id;
    QFile file;
    QTcpSocket* socket = nullptr;
    QTimer* deadline = nullptr;
    QTimer* poll = nullptr;
    UploadRequest request;
    HttpAnswer answer;
    QString url;
    qint64 queued = 0;     // bytes handed to the socket
    qint64 fileQueued = 0; // of them, the file's
    bool tailQueued = false;
    int lastPercent = -1;
    bool ended = false;
    Uploader::ResultCallback onResult;
    Uploader::ProgressCallback onProgress;
};

void UploadTransfer::start(const QString& path, const QString& name, int timeoutMs)
{
    const DeviceEndpoint device = owner->endpoint();
    url = device.httpUrl(QStringLiteral("/DCIM/upload"));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Reported like every other end: later, from the event loop.
        QTimer::singleShot(0, this, [this]() { end(false, QStringLiteral("无法打开文件")); });
        return;
    }
    request = UploadRequest::build(device, name, file.size(), UploadRequest::newBoundary(),
                                   UploadRequest::acceptLanguage(QLocale::system().name()));

    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this]() {
        qDebug() << "Upload error:" << "网络超时";
        end(false, QStringLiteral("网络超时"));
    });
    if (timeoutMs > 0)
        deadline->start(timeoutMs);
    poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &UploadTransfer::updateProgress);

    socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    // A device that floods its answer is held to the answer's cap a piece at
    // a time, never gathered whole.
    socket->setReadBufferSize(64 * 1024);
    connect(socket, &QTcpSocket::connected, this, &UploadTransfer::onConnected);
    connect(socket, &QTcpSocket::bytesWritten, this, [this]() {
        pump();
        if (!ended)
            updateProgress();
    });
    connect(socket, &QTcpSocket::readyRead, this, &UploadTransfer::onReadable);
    connect(socket, &QTcpSocket::disconnected, this, &UploadTransfer::onClosed);
    connect(socket, &QTcpSocket::errorOccurred, this, &UploadTransfer::onClosed);
    qDebug() << "➡️ Request: POST" << url << "size" << request.totalSize();
    socket->connectToHost(device.host, quint16(device.httpPort));
}

void UploadTransfer::onConnected()
{
    const int sendBuffer = owner->sendBufferBytes;
    if (sendBuffer > 0)
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, sendBuffer);
    socket->write(request.head);
    socket->write(request.before);
    queued = request.head.size() + request.before.size();
    poll->start(qMax(1, owner->progressIntervalMs));
    updateProgress();
    if (!ended)
        pump();
}

void UploadTransfer::pump()
{
    while (!ended && socket->state() == QAbstractSocket::ConnectedState &&
           socket->bytesToWrite() < kPieceBytes) {
        if (fileQueued < request.fileSize) {
            const QByteArray piece = file.read(qMin(kPieceBytes, request.fileSize - fileQueued));
            if (piece.isEmpty()) {
                const QString why = file.error() != QFileDevice::NoError
                    ? file.errorString()
                    : QStringLiteral("the file became shorter while it was sent");
                qDebug() << "Upload error:" << why;
                end(false, why);
                return;
            }
            socket->write(piece);
            fileQueued += piece.size();
            queued += piece.size();
        } else if (!tailQueued) {
            socket->write(request.after);
            queued += request.after.size();
            tailQueued = true;
        } else {
            break;
        }
    }
}

// Bytes in the system's send queue of the connection: not yet acknowledged by
// the device (SIOCOUTQ), or not yet sent at all (SIOCOUTQNSD). 0 where the
// system cannot tell.
qint64 UploadTransfer::queuedInSystem(unsigned long what) const
{
#ifdef Q_OS_LINUX
    const qintptr fd = socket ? socket->socketDescriptor() : -1;
    int bytes = 0;
    if (fd >= 0 && ::ioctl(int(fd), what, &bytes) == 0 && bytes > 0)
        return bytes;
#else
    Q_UNUSED(what);
#endif
    return 0;
}

void UploadTransfer::updateProgress()
{
    if (ended || !socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
#ifdef Q_OS_LINUX
    const qint64 notTaken = queuedInSystem(SIOCOUTQ);
#else
    const qint64 notTaken = 0;
#endif
    // What the device has acknowledged: handed to the system and gone from
    // its send queue.
    const qint64 taken = queued - socket->bytesToWrite() - notTaken;
    const qint64 body = request.bodySize();
    const qint64 bodyTaken = qBound<qint64>(0, taken - request.head.size(), body);
    const int percent = bodyTaken >= body && tailQueued
        ? 100
        : qMin(99, int(double(bodyTaken) * 100.0 / double(body)));
    if (percent == 100)
        poll->stop();
    if (percent <= lastPercent)
        return;
    lastPercent = percent;
    if (onProgress)
        onProgress(percent);
}

void UploadTransfer::onReadable()
{
    if (ended)
        return;
    answer.feed(socket->readAll());
    if (answer.state() != HttpAnswer::State::Reading)
        answered();
}

void UploadTransfer::onClosed()
{
    if (ended)
        return;
    if (socket->bytesAvailable() > 0)
        answer.feed(socket->readAll());
    if (answer.state() != HttpAnswer::State::Reading) {
        answered();
        return;
    }
    const bool gone = socket->state() != QAbstractSocket::ConnectedState ||
        socket->error() == QAbstractSocket::RemoteHostClosedError;
    if (!gone)
        return; // an error that does not end the connection
    // An answer that runs until the close is complete now; any other end
    // reports what the connection says.
    if (answer.closed() == HttpAnswer::State::Complete) {
        answered();
        return;
    }
    const QString why = socket->errorString();
    qDebug() << "Upload error:" << why;
    end(false, why);
}

void UploadTransfer::answered()
{
    // An answer to the whole request: the device has taken all of it, and
    // says so before its answer is reported.
    if (everythingSent()) {
        updateProgress();
        if (ended)
            return;
    }
    if (answer.state() == HttpAnswer::State::Failed) {
        qDebug() << "Upload error:" << answer.error();
        end(false, answer.tooLarge() ? QString::fromLatin1(kTooLargeText) : answer.error());
        return;
    }
    const int status = answer.status();
    const QByteArray body = answer.body();
    qDebug().noquote() << "RSP -> status:" << status
                       << " response:" << logExcerpt(QString::fromUtf8(body));
    // Whatever a redirect or an error page says, the file was not taken.
    if (status < 200 || status > 299) {
        end(false,
            QStringLiteral("server replied: HTTP %1 %2")
                .arg(status)
                .arg(QString::fromLatin1(answer.reason())));
        return;
    }
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject()) {
        end(false, QStringLiteral("解析响应失败"));
        return;
    }
    const QJsonObject object = doc.object();
    end(answerCode(object) == 0, QVariant(object));
}

bool UploadTransfer::everythingSent() const
{
    if (!socket || !tailQueued || socket->bytesToWrite() > 0)
        return false;
#ifdef Q_OS_LINUX
    return queuedInSystem(SIOCOUTQNSD) == 0;
#else
    return true;
#endif
}

void UploadTransfer::closeConnection(bool graceful)
{
    if (!socket)
        return;
    socket->disconnect(this);
    if (graceful) {
        socket->disconnectFromHost();
        return;
    }
#ifdef Q_OS_UNIX
    // Closed with a reset: the system drops what it still holds for the
    // device instead of sending it on, and the device learns at once.
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        struct linger reset;
        reset.l_onoff = 1;
        reset.l_linger = 0;
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
#endif
    socket->abort();
}

void UploadTransfer::end(bool ok, const QVariant& data)
{
    if (ended)
        return;
    ended = true;
    if (deadline)
        deadline->stop();
    if (poll)
        poll->stop();
    // A connection whose request went out whole and was answered ends
    // normally; any other is reset.
    closeConnection(answer.state() == HttpAnswer::State::Complete && everythingSent());
    owner->forget(id);
    deleteLater();
    const Uploader::ResultCallback report = std::move(onResult);
    onProgress = nullptr;
    if (report)
        report(ok, data);
}

void UploadTransfer::drain()
{
    if (!socket || answer.state() != HttpAnswer::State::Reading)
        return;
    answer.feed(socket->readAll());
#ifdef Q_OS_UNIX
    // What the system has received but the socket has not read yet.
    const qintptr fd = socket->socketDescriptor();
    char buffer[16 * 1024];
    while (fd >= 0 && answer.state() == HttpAnswer::State::Reading) {
        const ssize_t n = ::recv(int(fd), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0)
            break;
        answer.feed(QByteArray(buffer, int(n)));
    }
#endif
}

Uploader::Fate UploadTransfer::stop()
{
    if (ended)
        return Uploader::Fate::Ended;
    drain();
    Uploader::Fate fate = Uploader::Fate::NotStored;
    if (answer.state() == HttpAnswer::State::Complete) {
        const QJsonDocument doc = QJsonDocument::fromJson(answer.body());
        if (answer.status() >= 200 && answer.status() <= 299 && doc.isObject() &&
            answerCode(doc.object()) == 0)
            fate = Uploader::Fate::Stored;
    } else if (everythingSent()) {
        fate = Uploader::Fate::MayBeStored;
    }
    ended = true;
    onResult = nullptr;
    onProgress = nullptr;
    if (deadline)
        deadline->stop();
    if (poll)
        poll->stop();
    closeConnection(false);
    owner->forget(id);
    deleteLater();
    return fate;
}

Uploader::Uploader(const DeviceEndpoint& endpoint, QObject* parent)
    : QObject(parent),
      network(new NetworkManagerEx(this)),
      device(endpoint)
{
    setProbeTimeout(10000);
}

Uploader::~Uploader()
{
    const auto running = transfers;
    for (const QPointer<UploadTransfer>& t : running) {
        if (t)
            t->stop();
    }
}

void Uploader::setProbeTimeout(int ms) { network->setDeadline(ms); }

bool Uploader::isRunning(int id) const { return transfers.value(id); }

void Uploader::forget(int id) { transfers.remove(id); }

Uploader::Fate Uploader::abort(int id)
{
    const QPointer<UploadTransfer> t = transfers.take(id);
    if (!t)
        return Fate::Ended;
    const Fate fate = t->stop();
    qDebug() << "Upload aborted:" << id << "fate" << int(fate);
    return fate;
}

int Uploader::uploadFile(const QString& path, const QString& name, ResultCallback onResult,
                         ProgressCallback onProgress, int timeoutMs)
{
    network->setProxy(QNetworkProxy::NoProxy);

    // Reachability probe: only logged, the upload does not wait for it.
    QNetworkRequest probeRequest(QUrl(device.httpUrl(QStringLiteral("/info"))));
    if (network->deadline() > 0)
        probeRequest.setTransferTimeout(network->deadline());
    QNetworkReply* probe = network->get(probeRequest);
    connect(probe, &QNetworkReply::finished, probe, [probe]() {
        const QByteArray body = NetworkManagerEx::readAnswer(probe);
        const char* errorName =
            QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(probe->error());
        qDebug().noquote() << "Connected:" << (errorName ? errorName : "UnknownError")
                           << logExcerpt(QString::fromUtf8(body));
        probe->deleteLater();
    });

    const int id = ++lastId;
    auto* t = new UploadTransfer(this, id, std::move(onResult), std::move(onProgress));
    transfers.insert(id, t);
    t->start(path, name, timeoutMs);
    return id;
}
