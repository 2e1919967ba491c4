// A stand-in for the fan: the device's HTTP API (on its own thread, served by
// cpp-httplib) and its WebSocket (QWebSocketServer on the Qt thread), with
// fault modes that make it misbehave on purpose.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "FanCheck.h"

class QTimer;
class QWebSocket;
class QWebSocketServer;
namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

struct SimOptions {
    QString host = QStringLiteral("127.0.0.1");
    int httpPort = 0; // 0: any free port
    int wsPort = 0;
    QString model = QStringLiteral("VEGA");
    QString sw = QStringLiteral("1.0.0");
    QString desc = QStringLiteral("Spindra fan simulator");
    QString store = QStringLiteral("fan-sim-store");

    // Fault modes. Endpoint keys: session, info, status, upload.
    int sessionCode = 0;
    int infoCode = 0;
    int statusCode = 0;
    int uploadCode = 0;                // non-zero: refuse every upload with this code
    QSet<QString> notJson;             // answer these with text that is not JSON
    QSet<QString> stall;               // never answer these (until shutdown)
    QMap<QString, QByteArray> answers; // answer these with this exact body
    qint64 padAnswers = 0;             // add a member of this many bytes to every JSON answer
    bool chunked = false;              // send answers without a length (chunked)
    int httpStatus = 200;              // HTTP status of every answer
    int heartbeatAnswers = -1;         // answer only this many heartbeats (-1: all)
    double dropWsSeconds = 0;          // drop every WebSocket this often (0: never)
    int uploadDelayMs = 0;             // wait this long before answering an upload
    qint64 uploadRate = 0; // read upload bodies at most this many bytes per second (0: no limit)
    QSet<QString> trickle;             // send these answers one byte at a time...
    int trickleMs = 3000;              // ...with this pause before each byte
    qint64 wsJunkBytes = 0;            // greet every WebSocket with a message this large (0: none)
    qint64 wsFrameBytes = 0;           // split outgoing WebSocket messages into frames this large

    // Serve GET /sim/fault, which changes the fault modes above while running
    // (for soak runs that inject a fault every few jobs).
    bool control = false;
};

class FanSim : public QObject {
    Q_OBJECT
public:
    explicit FanSim(const SimOptions& options, QObject* parent = nullptr);
    ~FanSim() override;

    // Binds both servers and starts serving; false (with a message on stderr)
    // when a port cannot be bound or the store cannot be created.
    bool start();
    // Stops serving; waits for the HTTP thread. Safe to call twice.
    void stop();

    int httpPort() const { return boundHttpPort; }
    int wsPort() const { return boundWsPort; }

    // Creates the store and installs the device's routes on a server that the
    // caller drives itself (the fuzzers feed requests to it in memory).
    bool installRoutes(httplib::Server& server);

    // Changes the fault modes while running; the parameters have the names of
    // the command-line options (session-code, info-code, status-code,
    // upload-code, http-status, not-json, stall, upload-delay, upload-rate),
    // plus reset=1 (back to the options given at start) and drop-ws=now (drop
    // every WebSocket once). Applied all or nothing; returns an empty text or
    // why the request was refused.
    QString changeFaults(const QList<QPair<QString, QString>>& params);
    // The fault modes in force, as a JSON object.
    QJsonObject faultState();

private:
    bool prepareStore();
    void setupRoutes(httplib::Server& server);
    // A consistent copy of the options: /sim/fault may change them from
    // another HTTP worker at any time.
    SimOptions options();
    void answer(const SimOptions& o, const std::string& key, httplib::Response& res,
                const QJsonObject& body);
    bool stallIfAsked(const std::string& key, const httplib::Request& req);
    void handleUpload(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader);
    QJsonObject playState(const QString& cmd, int code);
    // Both run on the Qt thread; the HTTP workers queue them by name, so that
    // the only data crossing threads is what stateMutex and optMutex guard.
    Q_INVOKABLE void pushPlayUpdate();
    Q_INVOKABLE void dropSockets();

    void onNewConnection();
    void onText(QWebSocket* socket, const QString& text);

    std::mutex optMutex; // guards opt (HTTP workers, /sim/fault and the Qt thread)
    SimOptions opt;
    const SimOptions initial;
    FanGeometry geometry;
    bool modelKnown = false;
    std::unique_ptr<httplib::Server> http;
    std::thread httpThread;
    QWebSocketServer* ws = nullptr;
    QList<QWebSocket*> clients;
    QTimer* dropTimer = nullptr;
    int boundHttpPort = 0;
    int boundWsPort = 0;
    int heartbeatsAnswered = 0;
    std::atomic<bool> stopping {false};
    std::atomic<int> uploadSerial {0};

    std::mutex stateMutex; // guards the play state below (HTTP thread and Qt thread)
    QStringList stored;
    QString current;
    int sessionSerial = 0;
};

// One line on standard output, flushed; safe from any thread.
void simLog(const QString& line);
