// Hex GBK helpers and the reading of device answers into records.
#include <QtTest>

#include "DeviceProtocol.h"

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
