// Upload request bytes and the reader of the device's HTTP answer.
#include "UploadWire.h"

#include <QRandomGenerator>
#include <QUrl>

#include "NetworkManagerEx.h"

UploadRequest UploadRequest::build(const DeviceEndpoint& device, const QString& name,
                                   qint64 fileSize, const QByteArray& boundary,
                                   const QByteArray& acceptLanguage)
{
    const QByteArray hexName = encodeGbkHex(name).toLatin1();
    const QByteArray dash = "--" + boundary;

    UploadRequest r;
    r.fileSize = fileSize;
    r.before = dash + "\r\n"
        + "Content-Disposition: form-data; name=\"name\"\r\n\r\n" + hexName + "\r\n" + dash
        + "\r\n" + "Content-Disposition: form-data; name=\"file\"; filename=\"" + hexName
        + "\"\r\n" + "Content-Type: application/octet-stream\r\n\r\n";
    r.after = "\r\n" + dash + "--\r\n";

    const QUrl url(device.httpUrl(QStringLiteral("/DCIM/upload")));
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (url.host().contains(QLatin1Char(':'))) // an IPv6 address
        host = '[' + host + ']';
    if (url.port(80) != 80)
        host += ':' + QByteArray::number(url.port());
    r.head = "POST " + url.path(QUrl::FullyEncoded).toLatin1() + " HTTP/1.1\r\n"
        + "Host: " + host + "\r\n"
        + "Cache-Control: no-cache\r\n"
        + "Pragma: no-cache\r\n"
        + "Expires: 0\r\n"
        + "Content-Type: multipart/form-data; boundary=\"" + boundary + "\"\r\n"
        + "MIME-Version: 1.0\r\n"
        + "User-Agent: " + NetworkManagerEx::kUserAgent + "\r\n"
        + "Content-Length: " + QByteArray::number(r.bodySize()) + "\r\n"
        + "Connection: Keep-Alive\r\n"
        // Only plain answers can be read.
        + "Accept-Encoding: identity\r\n"
        + "Accept-Language: " + acceptLanguage + "\r\n"
        + "\r\n";
    return r;
}

QByteArray UploadRequest::newBoundary()
{
    QByteArray random(24, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()),
                                          random.size() / 4);
    return "boundary_.oOo._" + random.toBase64();
}

QByteArray UploadRequest::acceptLanguage(const QString& localeName)
{
    QString tag = localeName;
    tag.replace(QLatin1Char('_'), QLatin1Char('-'));
    if (tag == QLatin1String("C"))
        return "en,*";
    if (tag.startsWith(QLatin1String("en-")))
        return tag.toLatin1() + ",*";
    return tag.toLatin1() + ",en,*";
}

HttpAnswer::HttpAnswer(qint64 bodyCap, int headCap)
    : bodyCap(bodyCap),
      headCap(headCap)
{
}

QByteArray HttpAnswer::header(const QByteArray& name) const
{
    const QByteArray wanted = name.toLower();
    for (const auto& h : headers) {
        if (h.first == wanted)
            return h.second;
    }
    return QByteArray();
}

void HttpAnswer::fail(const QString& reason, bool large)
{
    st = State::Failed;
    why = reason;
    oversized = large;
    pending.clear();
}

HttpAnswer::State HttpAnswer::feed(const QByteArray& bytes)
{
    if (st != State::Reading)
        return st;
    pending += bytes;
    parse();
    return st;
}

HttpAnswer::State HttpAnswer::closed()
{
    if (st != State::Reading)
        return st;
    if (phase == Phase::UntilClose) {
        phase = Phase::Done;
        st = State::Complete;
    } else {
        fail(QStringLiteral("the device closed the connection before its answer was complete"));
    }
    return st;
}

bool HttpAnswer::readHead(const QByteArray& head)
{
    const QList<QByteArray> lines = head.split('\n');
    // "HTTP/1.1 200 OK"
    const QByteArray statusLine = lines.first().trimmed();
    if (!statusLine.startsWith("HTTP/1."))
        return false;
    const int firstSpace = statusLine.indexOf(' ');
    if (firstSpace < 0)
        return false;
    const QByteArray rest = statusLine.mid(firstSpace + 1);
    const int secondSpace = rest.indexOf(' ');
    const QByteArray number = secondSpace < 0 ? rest : rest.left(secondSpace);
    bool ok = false;
    code = number.toInt(&ok);
    if (!ok || number.size() != 3 || code < 100)
        return false;
    reasonPhrase = secondSpace < 0 ? QByteArray() : rest.mid(secondSpace + 1);
    headers.clear();
    for (int i = 1; i < lines.size(); i++) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        if (colon <= 0)
            return false;
        headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    return true;
}

bool HttpAnswer::takeRemaining()
{
    const qint64 n = qMin<qint64>(remaining, pending.size());
    content += pending.left(int(n));
    pending.remove(0, int(n));
    remaining -= n;
    return remaining == 0;
}

void HttpAnswer::parse()
{
    for (;;) {
        switch (phase) {
        case Phase::Head: {
            const int end = pending.indexOf("\r\n\r\n");
            if (end < 0 || end > headCap) {
                if (end > headCap || pending.size() > headCap + 3)
                    fail(QStringLiteral("device answer too large"), true);
                return;
            }
            const QByteArray head = pending.left(end);
            pending.remove(0, end + 4);
            if (!readHead(head)) {
                fail(QStringLiteral("the device's answer is not HTTP"));
                return;
            }
            if (code < 200) // an interim answer; the real one follows
                continue;
            if (code == 204 || code == 304) {
                phase = Phase::Done;
                st = State::Complete;
                return;
            }
            if (header("transfer-encoding").toLower().contains("chunked")) {
                phase = Phase::ChunkSize;
            } else if (!header("content-length").isEmpty()) {
                bool ok = false;
                remaining = header("content-length").toLongLong(&ok);
                if (!ok || remaining < 0) {
                    fail(QStringLiteral("the device's answer has an invalid length"));
                    return;
                }
                if (remaining > bodyCap) {
                    fail(QStringLiteral("device answer too large"), true);
                    return;
                }
                phase = Phase::Fixed;
            } else {
                phase = Phase::UntilClose;
            }
            continue;
        }
        case Phase::Fixed:
            if (!takeRemaining())
                return;
            phase = Phase::Done;
            st = State::Complete;
            return;
        case Phase::UntilClose:
            content += pending;
            pending.clear();
            if (content.size() > bodyCap)
                fail(QStringLiteral("device answer too large"), true);
            return;
        case Phase::ChunkSize: {
            const int end = pending.indexOf("\r\n");
            if (end < 0) {
                if (pending.size() > 1024)
                    fail(QStringLiteral("the device's answer has an invalid chunk"));
                return;
            }
            QByteArray sizeText = pending.left(end);
            pending.remove(0, end + 2);
            const int extension = sizeText.indexOf(';');
            if (extension >= 0)
                sizeText.truncate(extension);
            bool ok = false;
            const qint64 size = sizeText.trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) {
                fail(QStringLiteral("the device's answer has an invalid chunk"));
                return;
            }
            if (size > bodyCap - content.size()) {
                fail(QStringLiteral("device answer too large"), true);
                return;
            }
            remaining = size;
            phase = size == 0 ? Phase::Trailer : Phase::ChunkData;
            continue;
        }
        case Phase::ChunkData:
            if (!takeRemaining())
                return;
            phase = Phase::ChunkEnd;
            continue;
        case Phase::ChunkEnd:
            if (pending.size() < 2)
                return;
            if (!pending.startsWith("\r\n")) {
                fail(QStringLiteral("the device's answer has an invalid chunk"));
                return;
            }
            pending.remove(0, 2);
            phase = Phase::ChunkSize;
            continue;
        case Phase::Trailer: {
            const int end = pending.indexOf("\r\n");
            if (end < 0) {
                if (pending.size() > headCap)
                    fail(QStringLiteral("device answer too large"), true);
                return;
            }
            pending.remove(0, end + 2);
            if (end == 0) {
                phase = Phase::Done;
                st = State::Complete;
                return;
            }
            continue;
        }
        case Phase::Done:
            return;
        }
    }
}
