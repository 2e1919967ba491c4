// Upload of a fan file to the device as multipart form data.
#include <QDebug>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include "ConnectionManager.h"
#include "NetworkManagerEx.h"

namespace {

const char kTooLargeText[] = "device answer too large";

QString replyErrorText(const QNetworkReply* reply)
{
    return NetworkManagerEx::answerTooLarge(reply) ? QString::fromLatin1(kTooLargeText)
                                                   : reply->errorString();
}

} // namespace

void ConnectionManager::uploadFile(const QString& path, const QString& name,
                                   std::function<void(bool, QVariant)> onResult,
                                   std::function<void(int)> onProgress, int timeoutMs)
{
    auto report = [onResult](bool ok, const QVariant& data) {
        if (onResult)
            onResult(ok, data);
    };

    network->setProxy(QNetworkProxy::NoProxy);

    // Reachability probe: only logged, the upload does not wait for it.
    QNetworkRequest probeRequest(QUrl(endpoint().httpUrl(QStringLiteral("/info"))));
    if (timing.requestTimeoutMs > 0)
        probeRequest.setTransferTimeout(timing.requestTimeoutMs);
    QNetworkReply* probe = network->get(probeRequest);
    connect(probe, &QNetworkReply::finished, probe, [probe]() {
        const QByteArray body = NetworkManagerEx::readAnswer(probe);
        const char* errorName =
            QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(probe->error());
        qDebug() << "Connected:" << (errorName ? errorName : "UnknownError") << body;
        probe->deleteLater();
    });

    auto* file = new QFile(path, this);
    if (!file->open(QIODevice::ReadOnly)) {
        delete file;
        report(false, QStringLiteral("无法打开文件"));
        return;
    }

    const QString hexName = encodeGbkHex(name);
    auto* body = new QHttpMultiPart(QHttpMultiPart::FormDataType, this);
    QHttpPart namePart;
    namePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"name\""));
    namePart.setBody(hexName.toLatin1());
    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"file\"; filename=\"%1\"").arg(hexName));
    filePart.setHeader(QNetworkRequest::ContentTypeHeader,
                       QStringLiteral("application/octet-stream"));
    filePart.setBodyDevice(file);
    file->setParent(body);
    body->append(namePart);
    body->append(filePart);

    QNetworkRequest request(QUrl(endpoint().httpUrl(QStringLiteral("/DCIM/upload"))));
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    request.setRawHeader("Expires", "0");
    QNetworkReply* reply = network->post(request, body);
    body->setParent(reply);
    QPointer<QNetworkReply> guard(reply);

    // A time-out of 0 or less means none.
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [guard, report]() {
        if (guard && guard->isRunning()) {
            guard->abort();
            report(false, QStringLiteral("网络超时"));
        }
    });
    if (timeoutMs > 0)
        timer->start(timeoutMs);

    if (onProgress) {
        connect(reply, &QNetworkReply::uploadProgress, this,
                [onProgress](qint64 sent, qint64 total) {
                    if (total > 0)
                        onProgress(int(double(sent) * 100.0 / double(total)));
                });
    }

    connect(reply, &QNetworkReply::finished, this, [reply, timer, report]() {
        timer->stop();
        timer->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray answer = NetworkManagerEx::readAnswer(reply);
        qDebug() << "RSP -> status:" << status << " response:" << answer;
        if (NetworkManagerEx::answerTooLarge(reply)) {
            report(false, QString::fromLatin1(kTooLargeText));
        } else if (reply->error() == QNetworkReply::NoError) {
            const QJsonDocument doc = QJsonDocument::fromJson(answer);
            if (doc.isObject()) {
                const QJsonObject object = doc.object();
                report(answerCode(object) == 0, QVariant(object));
            } else {
                report(false, QStringLiteral("解析响应失败"));
            }
        } else {
            report(false, replyErrorText(reply));
        }
        reply->deleteLater();
    });

    connect(reply, &QNetworkReply::errorOccurred, this,
            [reply, report](QNetworkReply::NetworkError) {
                const QString text = replyErrorText(reply);
                qDebug() << "Upload error:" << text;
                report(false, text);
            });
}
