// The bytes of an upload on its own connection: the request the device
// expects (request line, headers and the two-part multipart body around the
// file), and a reader for the device's HTTP answer that takes the bytes as
// they arrive and holds a stranger's answer to firm limits.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include "DeviceProtocol.h"

// One upload request, without the file's own bytes: they go between before
// and after.
struct UploadRequest {
    QByteArray head;   // request line and headers, ending in the blank line
    QByteArray before; // multipart body up to the file's first byte
    QByteArray after;  // multipart body after the file's last byte
    qint64 fileSize = 0;

    qint64 bodySize() const { return before.size() + fileSize + after.size(); }
    qint64 totalSize() const { return head.size() + bodySize(); }

    // POST "/DCIM/upload" with the cache headers, the client's User-Agent and
    // the multipart form data of two parts: "name" holding the hex GBK name,
    // then "file" with the hex GBK name as its file name and the file as
    // application/octet-stream. The headers come in the order the client has
    // always sent them. acceptLanguage: see acceptLanguage().
    static UploadRequest build(const DeviceEndpoint& device, const QString& name,
                               qint64 fileSize, const QByteArray& boundary,
                               const QByteArray& acceptLanguage);

    // "boundary_.oOo._" and 32 random base64 characters.
    static QByteArray newBoundary();
    // The Accept-Language value for the system's locale ("en,*" for C,
    // "en-GB,*", "zh-CN,en,*").
    static QByteArray acceptLanguage(const QString& localeName);
};

// Reads one HTTP/1.x answer: the status line, the headers, and a body whose
// end is given by Content-Length, by chunked transfer coding, or by the
// connection's close. Interim 1xx answers are skipped.
class HttpAnswer {
public:
    enum class State { Reading, Complete, Failed };

    // bodyCap: largest body accepted; headCap: largest status line and
    // headers together.
    explicit HttpAnswer(qint64 bodyCap, int headCap = 16 * 1024);

    // Takes the next bytes of the connection; the state after them. Bytes
    // after a complete answer are ignored.
    State feed(const QByteArray& bytes);
    // The connection has ended: an answer read until the close is complete,
    // any other unfinished one fails.
    State closed();

    State state() const { return st; }
    int status() const { return code; }
    QByteArray reason() const { return reasonPhrase; }
    // The value of a header (name in any case); empty when absent.
    QByteArray header(const QByteArray& name) const;
    QByteArray body() const { return content; }
    // Why the answer failed.
    QString error() const { return why; }
    // It failed because it was larger than the caps.
    bool tooLarge() const { return oversized; }

private:
    enum class Phase { Head, Fixed, UntilClose, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };

    void parse();
    bool readHead(const QByteArray& head);
    // Moves up to `remaining` pending bytes into the body; true once none
    // remain.
    bool takeRemaining();
    void fail(const QString& reason, bool large = false);

    qint64 bodyCap;
    int headCap;
    State st = State::Reading;
    Phase phase = Phase::Head;
    QByteArray pending;
    QByteArray content;
    qint64 remaining = 0;
    int code = 0;
    QByteArray reasonPhrase;
    QList<QPair<QByteArray, QByteArray>> headers;
    QString why;
    bool oversized = false;
};
