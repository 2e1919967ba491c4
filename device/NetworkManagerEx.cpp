// Request stamping, traffic log, answer size cap and deadline for the device link.
#include "NetworkManagerEx.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {
const char kTooLargeProperty[] = "spindraAnswerTooLarge";
const char kDeadlineProperty[] = "spindraDeadlinePassed";
const qint64 kPeekBytes = 512;
} // namespace

NetworkManagerEx::NetworkManagerEx(QObject* parent)
    : QNetworkAccessManager(parent)
{
}

void NetworkManagerEx::setAnswerCap(qint64 bytes) { cap = bytes; }

qint64 NetworkManagerEx::answerCap() const { return cap; }

void NetworkManagerEx::setDeadline(int ms) { deadlineMs = qMax(0, ms); }

int NetworkManagerEx::deadline() const { return deadlineMs; }

bool NetworkManagerEx::deadlinePassed(const QNetworkReply* reply)
{
    return reply && reply->property(kDeadlineProperty).toBool();
}

bool NetworkManagerEx::answerTooLarge(const QNetworkReply* reply)
{
    return reply && reply->property(kTooLargeProperty).toBool();
}

QByteArray NetworkManagerEx::readAnswer(QNetworkReply* reply)
{
    if (!reply)
        return QByteArray();
    if (answerTooLarge(reply) || !reply->isOpen())
        return QByteArray();
    return reply->readAll();
}

QNetworkReply* NetworkManagerEx::createRequest(Operation op, const QNetworkRequest& request,
                                               QIODevice* outgoingData)
{
    const QList<QByteArray> headers = request.rawHeaderList();
    const QString url = request.url().toString();
    const char* label = "OTHER";
    switch (op) {
    case GetOperation:
        label = "GET";
        break;
    case PutOperation:
        label = "PUT";
        break;
    case PostOperation:
        label = "POST";
        break;
    case DeleteOperation:
        label = "DELETE";
        break;
    default:
        break;
    }
    qDebug() << "➡️ Request:" << label << url << headers;

    QNetworkRequest stamped(request);
    stamped.setRawHeader("User-Agent", kUserAgent);
    QNetworkReply* reply = QNetworkAccessManager::createRequest(op, stamped, outgoingData);

    // The logger is connected first, so it runs before the caller's handlers.
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { logReply(reply); });
    // Size watch: the announced length, every arrival of data, and progress.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            watchSize(reply, 0, length.toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this,
            [this, reply]() { watchSize(reply, reply->bytesAvailable(), -1); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) { watchSize(reply, received, total); });
    if (deadlineMs > 0) {
        // The timer belongs to the reply, so it goes with it.
        auto* timer = new QTimer(reply);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, reply, [reply]() {
            if (!reply->isRunning())
                return;
            qWarning() << "device request took too long, giving up:" << reply->url().toString();
            reply->setProperty(kDeadlineProperty, true);
            reply->abort();
        });
        connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
        timer->start(deadlineMs);
    }
    return reply;
}

void NetworkManagerEx::watchSize(QNetworkReply* reply, qint64 received, qint64 total)
{
    if (cap <= 0 || answerTooLarge(reply))
        return;
    if (received > cap || total > cap) {
        qWarning() << "device answer too large, giving up:" << reply->url().toString() << "received"
                   << received << "announced" << total << "cap" << cap;
        reply->setProperty(kTooLargeProperty, true);
        if (reply->isRunning())
            reply->abort();
    }
}

void NetworkManagerEx::logReply(QNetworkReply* reply)
{
    // Whatever arrived in one last burst is held to the cap as well.
    if (reply->isOpen())
        watchSize(reply, reply->bytesAvailable(), -1);
    const QString errorText = reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString url = reply->url().toString();
    const QNetworkReply::NetworkError error = reply->error();
    const char* errorName = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(error);
    qDebug() << "⬅️ Reply:" << url << "status:" << status
             << "error:" << (errorName ? errorName : "UnknownError") << errorText;
    qDebug() << "Data:" << (reply->isOpen() ? reply->peek(kPeekBytes) : QByteArray());
}
