// Device address, protocol records and the hex GBK encoding.
#include "DeviceProtocol.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QTextCodec>

#include "fan_models.h"

const char kHeartbeatText[] = "{\"msgId\":\"1111\", \"cmd\":\"heartbeat\"}";

namespace {

int portFromEnvironment(const char* name, int fallback)
{
    if (!qEnvironmentVariableIsSet(name))
        return fallback;
    const QString text = qEnvironmentVariable(name).trimmed();
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 1 || value > 65535) {
        qWarning() << "ignoring invalid" << name << text;
        return fallback;
    }
    return value;
}

QString textOf(const QJsonValue& v) { return v.isString() ? v.toString() : QString(); }

qint32 intOf(const QJsonValue& v) { return v.isDouble() ? v.toInt() : 0; }

// Parses text as a JSON object, logging the reason when it is none.
bool parseObject(const QString& jsonText, QJsonObject* out)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(jsonText.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "JSON parse error:" << error.errorString();
        return false;
    }
    if (!doc.isObject()) {
        qWarning() << "JSON is not an object";
        return false;
    }
    *out = doc.object();
    return true;
}

} // namespace

QString logExcerpt(const QString& text, int limit)
{
    QString out;
    const int n = qMin(text.size(), qMax(0, limit));
    out.reserve(n + 24);
    for (int i = 0; i < n; i++) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (text.size() > n)
        out += QStringLiteral("...(%1 characters)").arg(text.size());
    return out;
}

DeviceEndpoint DeviceEndpoint::fromEnvironment()
{
    DeviceEndpoint e;
    if (qEnvironmentVariableIsSet("SPINDRA_DEVICE_HOST")) {
        const QString host = qEnvironmentVariable("SPINDRA_DEVICE_HOST").trimmed();
        if (host.isEmpty())
            qWarning() << "ignoring empty SPINDRA_DEVICE_HOST";
        else
            e.host = host;
    }
    e.httpPort = portFromEnvironment("SPINDRA_DEVICE_HTTP_PORT", e.httpPort);
    e.wsPort = portFromEnvironment("SPINDRA_DEVICE_WS_PORT", e.wsPort);
    return e;
}

QString DeviceEndpoint::httpUrl(const QString& path) const
{
    return QStringLiteral("http://%1:%2").arg(host, QString::number(httpPort)) + path;
}

QString DeviceEndpoint::wsUrl() const
{
    return QStringLiteral("ws://%1:%2").arg(host, QString::number(wsPort));
}

QString defaultDeviceModel()
{
    const fan_model* m = fan_model_at(0);
    return m ? QString::fromLatin1(m->name) : QString();
}

DeviceInfo::DeviceInfo(QObject* parent)
    : QObject(parent),
      model(defaultDeviceModel())
{
}

PlayInfo::PlayInfo(QObject* parent)
    : QObject(parent)
{
}

QString encodeGbkHex(const QString& text)
{
    if (text.isEmpty())
        return QString();
    QTextCodec* codec = QTextCodec::codecForName("GBK");
    if (!codec) {
        qWarning() << "GBK codec not found";
        return QString();
    }
    const QByteArray bytes = codec->fromUnicode(text);
    const QString out = QString::fromLatin1(bytes.toHex());
    qDebug() << "encode:" << text << "to" << out;
    return out;
}

QString decodeGbkHex(const QString& hex)
{
    if (hex.isEmpty())
        return hex;
    QByteArray bytes;
    bytes.reserve(hex.size() / 2 + 1);
    for (int i = 0; i < hex.size(); i += 2) {
        bool ok = false;
        const uint value = hex.midRef(i, 2).toUInt(&ok, 16);
        if (ok)
            bytes.append(char(value & 0xff));
    }
    QTextCodec* codec = QTextCodec::codecForName("GBK");
    if (!codec) {
        qWarning() << "GBK codec not found";
        return hex;
    }
    const QString out = codec->toUnicode(bytes);
    qDebug() << "decode:" << hex << "to" << out;
    return out;
}

DeviceInfo* parseDeviceInfo(const QString& jsonText, QObject* parent)
{
    QJsonObject o;
    if (!parseObject(jsonText, &o))
        return nullptr;
    auto* info = new DeviceInfo(parent);
    if (o.contains(QLatin1String("sw")))
        info->sw = textOf(o.value(QLatin1String("sw")));
    if (o.contains(QLatin1String("model")))
        info->model = textOf(o.value(QLatin1String("model")));
    if (o.contains(QLatin1String("desc")))
        info->desc = textOf(o.value(QLatin1String("desc")));
    if (o.contains(QLatin1String("code")))
        info->code = intOf(o.value(QLatin1String("code")));
    return info;
}

PlayInfo* parsePlayInfo(const QString& jsonText, int defaultCode, QObject* parent)
{
    QJsonObject o;
    if (!parseObject(jsonText, &o))
        return nullptr;
    auto* info = new PlayInfo(parent);
    if (o.contains(QLatin1String("cmd")))
        info->cmd = textOf(o.value(QLatin1String("cmd")));
    if (o.contains(QLatin1String("current")))
        info->current = decodeGbkHex(textOf(o.value(QLatin1String("current"))));
    if (o.contains(QLatin1String("progress")))
        info->progress = intOf(o.value(QLatin1String("progress")));
    if (o.contains(QLatin1String("total")))
        info->total = intOf(o.value(QLatin1String("total")));
    if (o.contains(QLatin1String("state")))
        info->state = textOf(o.value(QLatin1String("state")));
    info->code =
        o.contains(QLatin1String("code")) ? intOf(o.value(QLatin1String("code"))) : defaultCode;
    return info;
}

int answerCode(const QJsonObject& answer) { return intOf(answer.value(QLatin1String("code"))); }
