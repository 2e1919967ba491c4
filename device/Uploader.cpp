// Upload of a fan file to the device as multipart form data.
#include "Uploader.h"

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

#include "NetworkManagerEx.h"

namespace {

const char kTooLargeText[] = "device answer too large";

QString replyErrorText(const QNetworkReply* reply)
{
    return NetworkManagerEx::answerTooLarge(reply) ? QString::fromLatin1(kTooLargeText)
                                                   : reply->errorString();
}

} // namespace

// One posted upload. The reply's handlers hold it; the map of running
// uploads holds it until it ends or is aborted.
struct Uploader::Transfer {
    int id = 0;
    QPointer<QNetworkReply> reply;
    QTimer* timer = nullptr;
    ResultCallback onResult;
    ProgressCallback onProgress;
    ResultCallback onEnd;
    bool silenced = false;  // aborted by the caller: no callback runs any more
    bool timingOut = false; // the time-out is aborting the reply; it reports last
    bool ended = false;
    bool lastOk = false;
    QVariant lastData;

    void report(bool ok, const QVariant& data)
    {
        if (silenced)
            return;
        lastOk = ok;
        lastData = data;
        if (onResult)
            onResult(ok, data);
    }
};

Uploader::Uploader(const DeviceEndpoint& endpoint, QObject* parent)
    : QObject(parent),
      network(new NetworkManagerEx(this)),
      device(endpoint)
{
}

Uploader::~Uploader()
{
    for (const std::shared_ptr<Transfer>& t : qAsConst(transfers))
        t->silenced = true;
}

bool Uploader::isRunning(int id) const { return transfers.contains(id); }

bool Uploader::abort(int id)
{
    const std::shared_ptr<Transfer> t = transfers.take(id);
    if (!t)
        return false;
    qDebug() << "Upload aborted:" << id;
    t->silenced = true;
    if (t->timer)
        t->timer->stop();
    if (t->reply && t->reply->isRunning())
        t->reply->abort();
    return true;
}

int Uploader::uploadFile(const QString& path, const QString& name, ResultCallback onResult,
                         ProgressCallback onProgress, int timeoutMs, ResultCallback onEnd)
{
    network->setProxy(QNetworkProxy::NoProxy);

    // Reachability probe: only logged, the upload does not wait for it.
    QNetworkRequest probeRequest(QUrl(device.httpUrl(QStringLiteral("/info"))));
    if (probeTimeoutMs > 0)
        probeRequest.setTransferTimeout(probeTimeoutMs);
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
        if (onResult)
            onResult(false, QStringLiteral("无法打开文件"));
        return 0;
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

    QNetworkRequest request(QUrl(device.httpUrl(QStringLiteral("/DCIM/upload"))));
    request.setRawHeader("Cache-Control", "no-cache");
    request.setRawHeader("Pragma", "no-cache");
    request.setRawHeader("Expires", "0");
    QNetworkReply* reply = network->post(request, body);
    body->setParent(reply);

    auto t = std::make_shared<Transfer>();
    t->id = ++lastId;
    t->reply = reply;
    t->onResult = std::move(onResult);
    t->onProgress = std::move(onProgress);
    t->onEnd = std::move(onEnd);
    transfers.insert(t->id, t);

    auto end = [this, t]() {
        if (t->ended || t->silenced)
            return;
        t->ended = true;
        transfers.remove(t->id);
        if (t->onEnd)
            t->onEnd(t->lastOk, t->lastData);
    };

    // A time-out of 0 or less means none.
    t->timer = new QTimer(this);
    t->timer->setSingleShot(true);
    connect(t->timer, &QTimer::timeout, this, [t, end]() {
        if (t->reply && t->reply->isRunning()) {
            t->timingOut = true;
            t->reply->abort();
            t->report(false, QStringLiteral("网络超时"));
            end();
        }
    });
    if (timeoutMs > 0)
        t->timer->start(timeoutMs);

    if (t->onProgress) {
        connect(reply, &QNetworkReply::uploadProgress, this, [t](qint64 sent, qint64 total) {
            if (total > 0 && !t->silenced)
                t->onProgress(int(double(sent) * 100.0 / double(total)));
        });
    }

    connect(reply, &QNetworkReply::finished, this, [reply, t, end]() {
        t->timer->stop();
        t->timer->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray answer = NetworkManagerEx::readAnswer(reply);
        qDebug() << "RSP -> status:" << status << " response:" << answer;
        if (NetworkManagerEx::answerTooLarge(reply)) {
            t->report(false, QString::fromLatin1(kTooLargeText));
        } else if (reply->error() == QNetworkReply::NoError) {
            const QJsonDocument doc = QJsonDocument::fromJson(answer);
            if (doc.isObject()) {
                const QJsonObject object = doc.object();
                t->report(answerCode(object) == 0, QVariant(object));
            } else {
                t->report(false, QStringLiteral("解析响应失败"));
            }
        } else {
            t->report(false, replyErrorText(reply));
        }
        reply->deleteLater();
        if (!t->timingOut)
            end();
    });

    connect(reply, &QNetworkReply::errorOccurred, this, [reply, t](QNetworkReply::NetworkError) {
        const QString text = replyErrorText(reply);
        qDebug() << "Upload error:" << text;
        t->report(false, text);
    });
    return t->id;
}
