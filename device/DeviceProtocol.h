// The conversation with the fan: where it lives, the records read from its
// answers, and the hex GBK text encoding it uses for file names.
#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QObject>
#include <QString>

// Where the fan is reached. The default is the fan's own access point;
// SPINDRA_DEVICE_HOST, SPINDRA_DEVICE_HTTP_PORT and SPINDRA_DEVICE_WS_PORT
// override it (fromEnvironment), so that tests and demos talk to a simulated
// fan on loopback instead.
struct DeviceEndpoint {
    QString host = QStringLiteral("192.168.4.1");
    int httpPort = 80;
    int wsPort = 9000;

    // The default address with the three environment overrides applied. An
    // empty or invalid port value is ignored with a warning.
    static DeviceEndpoint fromEnvironment();

    // "http://host:port" + path, and "ws://host:wsPort".
    QString httpUrl(const QString& path) const;
    QString wsUrl() const;
};

// The heartbeat the client sends over the WebSocket, byte for byte.
extern const char kHeartbeatText[];

// Largest WebSocket message, and largest single frame, accepted from the
// device. A heartbeat or play update is well under 4 KiB; anything beyond
// this is dropped (the socket is closed and opened again).
constexpr quint64 kDeviceMessageCap = 64 * 1024;

// At most limit characters of text for one log line, with control
// characters shown as escapes and, when cut, the whole length appended, so
// that a device's text can never fill the log or break its lines.
QString logExcerpt(const QString& text, int limit = 300);

// The model name used while no device has told its own: the first model of the
// model table.
QString defaultDeviceModel();

// What the device says about itself ("/info").
class DeviceInfo : public QObject {
    Q_OBJECT
public:
    explicit DeviceInfo(QObject* parent = nullptr);

    QString sw;
    QString model; // defaults to defaultDeviceModel()
    QString desc;
    qint32 code = 0;
};

// The device's playback state ("/ctrl/play?action=status" answers and
// "onPlayInfoUpdate" pushes).
class PlayInfo : public QObject {
    Q_OBJECT
public:
    explicit PlayInfo(QObject* parent = nullptr);

    QString cmd;
    QString current; // already decoded from hex GBK
    qint32 progress = 0;
    qint32 total = 0;
    QString state;
    qint32 code = 0;
};

Q_DECLARE_METATYPE(PlayInfo*)

// Text -> GBK bytes -> lower-case hex digits, two per byte ("abc" -> "616263").
// Empty when the text is empty or no GBK codec is available.
QString encodeGbkHex(const QString& text);

// Hex digits -> bytes -> GBK-decoded text. Pairs that are not hexadecimal are
// skipped; an odd trailing digit is read alone. Without a GBK codec the input
// is returned unchanged.
QString decodeGbkHex(const QString& hex);

// New record read from a JSON answer, or nullptr when the text is not a JSON
// object. Members that are absent keep the record's defaults; for PlayInfo an
// absent "code" takes defaultCode. The caller owns the record.
DeviceInfo* parseDeviceInfo(const QString& jsonText, QObject* parent = nullptr);
PlayInfo* parsePlayInfo(const QString& jsonText, int defaultCode, QObject* parent = nullptr);

// The "code" member of a device answer: a JSON number as a 32-bit integer;
// absent or of another type reads as 0.
int answerCode(const QJsonObject& answer);
