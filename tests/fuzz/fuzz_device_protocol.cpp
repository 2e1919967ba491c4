// The readers of device answers and the hex GBK helpers: parseDeviceInfo,
// parsePlayInfo, answerCode, decodeGbkHex and encodeGbkHex on any text. No
// network object is created.
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <memory>

#include "DeviceProtocol.h"
#include "fuzz_support.h"

static void dropMessages(QtMsgType, const QMessageLogContext&, const QString&) { }

static bool isLowerHex(const QString& s)
{
    if (s.size() % 2 != 0)
        return false;
    for (const QChar c : s) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Every helper logs its input and output at debug level.
    qInstallMessageHandler(dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QString text = QString::fromUtf8(bytes);

    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    const bool isObject = doc.isObject();

    std::unique_ptr<DeviceInfo> info(parseDeviceInfo(text));
    FUZZ_CHECK(bool(info) == isObject, "parseDeviceInfo and the JSON reader disagree");
    std::unique_ptr<PlayInfo> play(parsePlayInfo(text, 7));
    FUZZ_CHECK(bool(play) == isObject, "parsePlayInfo and the JSON reader disagree");
    if (isObject) {
        const QJsonObject o = doc.object();
        FUZZ_CHECK(info->code == answerCode(o), "DeviceInfo code %d, answerCode %d", info->code,
                   answerCode(o));
        if (!o.contains(QLatin1String("model")))
            FUZZ_CHECK(info->model == defaultDeviceModel(), "default model lost");
        if (!o.contains(QLatin1String("code")))
            FUZZ_CHECK(play->code == 7, "default code not taken");
    }

    const QString decoded = decodeGbkHex(text);
    (void)decoded;
    const QString encoded = encodeGbkHex(text);
    FUZZ_CHECK(isLowerHex(encoded), "encodeGbkHex gave something other than hex digits");
    // ASCII is the same in GBK, so ASCII text survives the round trip.
    bool ascii = true;
    for (const QChar c : text)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        FUZZ_CHECK(decodeGbkHex(encoded) == text, "ASCII text changed on the way through hex GBK");
    return 0;
}
