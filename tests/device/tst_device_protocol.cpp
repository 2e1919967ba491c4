// Hex GBK helpers, the reading of device answers into records, and the bytes
// of an upload: the request written and the HTTP answer read.
#include <QtTest>

#include "DeviceProtocol.h"
#include "UploadWire.h"

class DeviceProtocolTest : public QObject {
    Q_OBJECT
private slots:
    void decodeGbkHex_data();
    void decodeGbkHex();
    void encodeGbkHex_data();
    void encodeGbkHex();
    void parseDeviceInfo_data();
    void parseDeviceInfo();
    void parsePlayInfo_data();
    void parsePlayInfo();
    void endpointFromEnvironment_data();
    void endpointFromEnvironment();
    void uploadRequest_data();
    void uploadRequest();
    void httpAnswer_data();
    void httpAnswer();
    void logExcerpt_data();
    void logExcerpt();
};

void DeviceProtocolTest::decodeGbkHex_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<QString>("text");
    QTest::newRow("chinese") << "d6d0" << QString::fromUtf8("中");
    QTest::newRow("upper-case digits") << "D6D0" << QString::fromUtf8("中");
    QTest::newRow("unreadable pair skipped") << "zz41"
                                             << "A";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("odd length reads the last digit alone")
        << "4142f" << QString::fromLatin1("AB\x0f");
    QTest::newRow("ascii name") << "30305f30303030312e62696e"
                                << "00_00001.bin";
}

void DeviceProtocolTest::decodeGbkHex()
{
    QFETCH(QString, hex);
    QFETCH(QString, text);
    QCOMPARE(::decodeGbkHex(hex), text);
}

void DeviceProtocolTest::encodeGbkHex_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hex");
    QTest::newRow("ascii") << "abc"
                           << "616263";
    QTest::newRow("chinese, four digits each")
        << QString::fromUtf8("中文.bin") << "d6d0cec42e62696e";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("byte below 0x10 keeps its zero") << QString::fromLatin1("\x01") << "01";
}

void DeviceProtocolTest::encodeGbkHex()
{
    QFETCH(QString, text);
    QFETCH(QString, hex);
    QCOMPARE(::encodeGbkHex(text), hex);
    QCOMPARE(::decodeGbkHex(hex), text);
}

void DeviceProtocolTest::parseDeviceInfo_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("sw");
    QTest::addColumn<int>("code");
    QTest::newRow("full") << R"({"code":0,"sw":"2.1","model":"RIGEL","desc":"x"})" << true
                          << "RIGEL"
                          << "2.1" << 0;
    QTest::newRow("code only keeps defaults") << R"({"code":0})" << true << "VEGA"
                                              << "" << 0;
    QTest::newRow("no code") << R"({"model":"ALTAIR"})" << true << "ALTAIR"
                             << "" << 0;
    QTest::newRow("code as string reads 0") << R"({"code":"1"})" << true << "VEGA"
                                            << "" << 0;
    QTest::newRow("model of another type is empty") << R"({"model":5,"code":3})" << true << ""
                                                    << "" << 3;
    QTest::newRow("array") << "[1,2]" << false << ""
                           << "" << 0;
    QTest::newRow("not json") << "<html>" << false << ""
                              << "" << 0;
    QTest::newRow("empty") << "" << false << ""
                           << "" << 0;
}

void DeviceProtocolTest::parseDeviceInfo()
{
    QFETCH(QString, json);
    QFETCH(bool, valid);
    QObject parent;
    DeviceInfo* info = ::parseDeviceInfo(json, &parent);
    QCOMPARE(info != nullptr, valid);
    if (!info)
        return;
    QCOMPARE(info->parent(), &parent);
    QTEST(info->model, "model");
    QTEST(info->sw, "sw");
    QTEST(int(info->code), "code");
}

void DeviceProtocolTest::parsePlayInfo_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("defaultCode");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("current");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("stateNull");
    QTest::newRow("update")
        << R"({"cmd":"onPlayInfoUpdate","current":"d6d0","progress":1,"total":4,"state":"play"})"
        << 0 << true << QString::fromUtf8("中") << 4 << 0 << false;
    QTest::newRow("absent code takes the default")
        << R"({"cmd":"status"})" << 7 << true << "" << 0 << 7 << true;
    QTest::newRow("code 1") << R"({"code":1})" << 0 << true << "" << 0 << 1 << true;
    QTest::newRow("total as text reads 0")
        << R"({"total":"4","code":2})" << 0 << true << "" << 0 << 2 << true;
    QTest::newRow("not an object") << "\"text\"" << 0 << false << "" << 0 << 0 << true;
}

void DeviceProtocolTest::parsePlayInfo()
{
    QFETCH(QString, json);
    QFETCH(int, defaultCode);
    QFETCH(bool, valid);
    PlayInfo* info = ::parsePlayInfo(json, defaultCode, nullptr);
    QCOMPARE(info != nullptr, valid);
    if (!info)
        return;
    QTEST(info->current, "current");
    QTEST(int(info->total), "total");
    QTEST(int(info->code), "code");
    QTEST(info->state.isNull(), "stateNull");
    delete info;
}

void DeviceProtocolTest::endpointFromEnvironment_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("http");
    QTest::addColumn<QByteArray>("ws");
    QTest::addColumn<QString>("expectHttpUrl");
    QTest::addColumn<QString>("expectWsUrl");
    QTest::newRow("overrides") << QByteArray("127.0.0.1") << QByteArray("8080")
                               << QByteArray("9001") << "http://127.0.0.1:8080/info"
                               << "ws://127.0.0.1:9001";
    QTest::newRow("bad ports keep defaults") << QByteArray("127.0.0.1") << QByteArray("http")
                                             << QByteArray("70000") << "http://127.0.0.1:80/info"
                                             << "ws://127.0.0.1:9000";
}

void DeviceProtocolTest::endpointFromEnvironment()
{
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, http);
    QFETCH(QByteArray, ws);
    qputenv("SPINDRA_DEVICE_HOST", host);
    qputenv("SPINDRA_DEVICE_HTTP_PORT", http);
    qputenv("SPINDRA_DEVICE_WS_PORT", ws);
    const DeviceEndpoint e = DeviceEndpoint::fromEnvironment();
    QTEST(e.httpUrl(QStringLiteral("/info")), "expectHttpUrl");
    QTEST(e.wsUrl(), "expectWsUrl");
}

QTEST_GUILESS_MAIN(DeviceProtocolTest)
#include "tst_device_protocol.moc"

void DeviceProtocolTest::uploadRequest_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("expected"); // the whole request around the file "ABCDEFGH"
    const QByteArray boundary = "boundary_.oOo._D0onFHYNNqQa/MylXAftq+UjJxUWIEW6";
    auto request = [&](const QByteArray& host, const QByteArray& hex, const QByteArray& language,
                       int length) {
        return "POST /DCIM/upload HTTP/1.1\r\nHost: " + host +
            "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nExpires: 0\r\n"
            "Content-Type: multipart/form-data; boundary=\"" +
            boundary +
            "\"\r\nMIME-Version: 1.0\r\nUser-Agent: QtApp/1.0\r\nContent-Length: " +
            QByteArray::number(length) +
            "\r\nConnection: Keep-Alive\r\nAccept-Encoding: identity\r\nAccept-Language: " +
            language + "\r\n\r\n--" + boundary +
            "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n" + hex + "\r\n--" +
            boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + hex +
            "\"\r\nContent-Type: application/octet-stream\r\n\r\nABCDEFGH\r\n--" + boundary +
            "--\r\n";
    };
    // The bytes the client has always sent (a capture of an earlier upload).
    QTest::newRow("chinese name, own port")
        << QString::fromUtf8("中a.bin") << 8765 << "C"
        << request("127.0.0.1:8765", "d6d0612e62696e", "en,*", 342);
    QTest::newRow("the device's port is not named")
        << "abc" << 80 << "en_GB" << request("127.0.0.1", "616263", "en-GB,*", 326);
    QTest::newRow("another language") << "abc" << 80 << "zh_CN"
                                      << request("127.0.0.1", "616263", "zh-CN,en,*", 326);
}

void DeviceProtocolTest::uploadRequest()
{
    QFETCH(QString, name);
    QFETCH(int, port);
    QFETCH(QString, locale);
    QFETCH(QByteArray, expected);
    DeviceEndpoint device;
    device.host = QStringLiteral("127.0.0.1");
    device.httpPort = port;
    const UploadRequest r =
        UploadRequest::build(device, name, 8, "boundary_.oOo._D0onFHYNNqQa/MylXAftq+UjJxUWIEW6",
                             UploadRequest::acceptLanguage(locale));
    QCOMPARE(r.head + r.before + "ABCDEFGH" + r.after, expected);
    QCOMPARE(r.totalSize(), qint64(expected.size()));
    const QByteArray boundary = UploadRequest::newBoundary();
    QVERIFY(boundary.startsWith("boundary_.oOo._"));
    QCOMPARE(boundary.size(), 15 + 32);
    QVERIFY(boundary != UploadRequest::newBoundary());
}

void DeviceProtocolTest::httpAnswer_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces"); // as they arrive
    QTest::addColumn<bool>("closed");              // the connection ends after them
    QTest::addColumn<int>("state");                // HttpAnswer::State
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("tooLarge");
    using L = QList<QByteArray>;
    const int reading = int(HttpAnswer::State::Reading);
    const int complete = int(HttpAnswer::State::Complete);
    const int failed = int(HttpAnswer::State::Failed);
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{\"code\":0}";
    QTest::newRow("with a length") << L {ok} << false << complete << 200 << QByteArray("{\"code\":0}")
                                   << false;
    L bytes;
    for (char c : ok)
        bytes << QByteArray(1, c);
    QTest::newRow("a byte at a time") << bytes << false << complete << 200
                                      << QByteArray("{\"code\":0}") << false;
    QTest::newRow("bytes after the answer are ignored")
        << L {ok + "HTTP/1.1 500 X\r\n\r\n"} << false << complete << 200
        << QByteArray("{\"code\":0}") << false;
    QTest::newRow("not yet whole") << L {ok.left(ok.size() - 1)} << false << reading << 200
                                   << QByteArray("{\"code\":0") << false;
    QTest::newRow("chunked, with extension and trailer")
        << L {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=1\r\n{\"co\r\n",
              "6\r\nde\":0}\r\n0\r\nX-End: 1\r\n\r\n"}
        << false << complete << 200 << QByteArray("{\"code\":0}") << false;
    QTest::newRow("until the close") << L {"HTTP/1.0 200 OK\r\n\r\n{\"code\":", "0}"} << true
                                     << complete << 200 << QByteArray("{\"code\":0}") << false;
    QTest::newRow("until the close, still open")
        << L {"HTTP/1.0 200 OK\r\n\r\n{}"} << false << reading << 200 << QByteArray("{}")
        << false;
    QTest::newRow("interim answer skipped")
        << L {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"}
        << false << complete << 200 << QByteArray("{}") << false;
    QTest::newRow("redirect with a body")
        << L {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 10\r\n\r\n{\"code\":0}"}
        << false << complete << 302 << QByteArray("{\"code\":0}") << false;
    QTest::newRow("no content") << L {"HTTP/1.1 204 No Content\r\n\r\n"} << false << complete
                                << 204 << QByteArray() << false;
    QTest::newRow("announced length beyond the cap")
        << L {"HTTP/1.1 200 OK\r\nContent-Length: 1025\r\n\r\n"} << false << failed << 200
        << QByteArray() << true;
    QTest::newRow("chunks beyond the cap")
        << L {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
              "200\r\n" + QByteArray(512, 'x') + "\r\n", "201\r\n"}
        << false << failed << 200 << QByteArray(512, 'x') << true;
    QTest::newRow("until the close, beyond the cap")
        << L {"HTTP/1.1 200 OK\r\n\r\n", QByteArray(1025, 'x')} << false << failed << 200
        << QByteArray(1025, 'x') << true;
    QTest::newRow("head beyond its cap")
        << L {"HTTP/1.1 200 OK\r\nX: " + QByteArray(300, 'y')} << false << failed << 0
        << QByteArray() << true;
    QTest::newRow("not HTTP") << L {"<html>fan is busy</html>\r\n\r\n"} << false << failed << 0
                              << QByteArray() << false;
    QTest::newRow("bad length") << L {"HTTP/1.1 200 OK\r\nContent-Length: ten\r\n\r\n"} << false
                                << failed << 200 << QByteArray() << false;
    QTest::newRow("closed before the whole body")
        << L {ok.left(ok.size() - 2)} << true << failed << 200 << QByteArray("{\"code\":") << false;
    QTest::newRow("closed without an answer") << L {} << true << failed << 0 << QByteArray()
                                              << false;
}

void DeviceProtocolTest::httpAnswer()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, closed);
    QFETCH(int, state);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, tooLarge);
    // Small caps, so that the limits show with small answers.
    HttpAnswer answer(1024, 256);
    for (const QByteArray& piece : pieces)
        answer.feed(piece);
    if (closed)
        answer.closed();
    QCOMPARE(int(answer.state()), state);
    QCOMPARE(answer.status(), status);
    QCOMPARE(answer.body(), body);
    QCOMPARE(answer.tooLarge(), tooLarge);
    QCOMPARE(answer.error().isEmpty(), state != int(HttpAnswer::State::Failed));
}

void DeviceProtocolTest::logExcerpt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("expected");
    QTest::newRow("short") << "{\"cmd\":\"heartbeat\"}" << 300 << "{\"cmd\":\"heartbeat\"}";
    QTest::newRow("cut, with the whole length")
        << QString(50000000 / 1000, QLatin1Char('x')) << 5 << "xxxxx...(50000 characters)";
    QTest::newRow("line breaks and controls escaped")
        << QString::fromLatin1("a\nb\x1b") << 300 << "a\\x0ab\\x1b";
}

void DeviceProtocolTest::logExcerpt()
{
    QFETCH(QString, text);
    QFETCH(int, limit);
    QFETCH(QString, expected);
    QCOMPARE(::logExcerpt(text, limit), expected);
}
