// Request stamping, traffic log and answer size cap for the device link.
#include "NetworkManagerEx.h"

#include <QDebug>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
const char kTooLargeProperty[] = "spindraAnswerTooLarge";
const qint64 kPeekBytes = 512;
} // namespace

NetworkManagerEx::NetworkManagerEx(QObject* parent)
    : QNetworkAccessManager(parent)
{
}

void NetworkManagerEx::setAnswerCap(qint64 bytes) { cap = bytes; }

qint64 NetworkManagerEx::answerCap() const { return cap; }

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
    stamped.setRawHeader("User-Agent", "QtApp/1.0");
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
