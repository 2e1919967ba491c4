// The simulated fan.
#include "FanSim.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <cctype>
#include <climits>
#include <chrono>
#include <cstdio>

#include "DeviceProtocol.h"
#include "fan_models.h"

namespace {

std::mutex logMutex;

// Control characters and non-ASCII stay readable and one line long.
QString printable(const QByteArray& bytes, int limit = 300)
{
    QString out;
    const int n = qMin(bytes.size(), limit);
    for (int i = 0; i < n; i++) {
        const unsigned char c = (unsigned char)bytes[i];
        if (c == '\\')
            out += QLatin1String("\\\\");
        else if (c >= 0x20 && c < 0x7f)
            out += QLatin1Char(char(c));
        else
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    if (bytes.size() > limit)
        out += QStringLiteral("...(%1 bytes)").arg(bytes.size());
    return out;
}

// A name the store can hold: one plain file name, nothing that climbs out.
QString unsafeNameReason(const QString& name)
{
    if (name.isEmpty())
        return QStringLiteral("empty file name");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("file name is a directory reference");
    if (name.startsWith(QLatin1Char('.')))
        return QStringLiteral("hidden file names are not accepted");
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return QStringLiteral("file name contains a path separator");
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QChar(0xfffd))
            return QStringLiteral("file name contains a control or undecodable character");
    }
    if (name.toUtf8().size() > 200)
        return QStringLiteral("file name too long");
    return QString();
}

bool isHex(const std::string& s)
{
    if (s.empty() || s.size() % 2 != 0)
        return false;
    for (char c : s) {
        if (!std::isxdigit((unsigned char)c))
            return false;
    }
    return true;
}

} // namespace

void simLog(const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::lock_guard<std::mutex> lock(logMutex);
    std::fwrite(bytes.constData(), 1, (size_t)bytes.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

FanSim::FanSim(const SimOptions& options, QObject* parent)
    : QObject(parent),
      opt(options),
      initial(options)
{
    const fan_model* m = fan_model_find(opt.model.toUtf8().constData());
    if (m) {
        modelKnown = true;
        geometry.lights = m->lights;
        geometry.lines = m->lines;
        geometry.colorDeep = m->colorDeep;
    }
}

FanSim::~FanSim() { stop(); }

SimOptions FanSim::options()
{
    std::lock_guard<std::mutex> lock(optMutex);
    return opt;
}

bool FanSim::prepareStore()
{
    std::lock_guard<std::mutex> lock(optMutex);
    if (!QDir().mkpath(opt.store)) {
        std::fprintf(stderr, "fan-sim: cannot create the store folder %s\n", qPrintable(opt.store));
        return false;
    }
    opt.store = QDir(opt.store).canonicalPath();
    // An upload cut off by a power loss leaves its temporary file behind; a
    // device that starts again drops such parts, it never offers them.
    QDir store(opt.store);
    for (const QString& part :
         store.entryList({QStringLiteral(".upload-*.part")}, QDir::Files | QDir::Hidden))
        store.remove(part);
    return true;
}

bool FanSim::installRoutes(httplib::Server& server)
{
    if (!prepareStore())
        return false;
    setupRoutes(server);
    return true;
}

bool FanSim::start()
{
    if (!prepareStore())
        return false;

    http = std::make_unique<httplib::Server>();
    // Idle connections are closed soon, so that a shutdown does not wait long.
    http->set_keep_alive_timeout(1);
    setupRoutes(*http);
    if (opt.uploadRate > 0) {
        // A slow device also holds little in flight, as a fan does. Left
        // alone, the kernel grows the receive buffer to many megabytes on
        // loopback, so a whole upload would vanish into it at once, and what
        // it holds is still read (slowly) after the sender has given up.
        http->set_socket_options([](socket_t sock) {
            httplib::default_socket_options(sock);
            const int bytes = 16 * 1024;
            setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
        });
    }
    const std::string host = opt.host.toStdString();
    if (opt.httpPort == 0) {
        boundHttpPort = http->bind_to_any_port(host);
    } else if (http->bind_to_port(host, opt.httpPort)) {
        boundHttpPort = opt.httpPort;
    }
    if (boundHttpPort <= 0) {
        std::fprintf(stderr, "fan-sim: cannot listen for HTTP on %s:%d\n", host.c_str(),
                     opt.httpPort);
        return false;
    }

    ws = new QWebSocketServer(QStringLiteral("fan-sim"), QWebSocketServer::NonSecureMode, this);
    if (!ws->listen(QHostAddress(opt.host), quint16(opt.wsPort))) {
        std::fprintf(stderr, "fan-sim: cannot listen for WebSocket on %s:%d: %s\n", host.c_str(),
                     opt.wsPort, qPrintable(ws->errorString()));
        http->stop();
        return false;
    }
    boundWsPort = ws->serverPort();
    connect(ws, &QWebSocketServer::newConnection, this, &FanSim::onNewConnection);

    if (opt.dropWsSeconds > 0) {
        dropTimer = new QTimer(this);
        connect(dropTimer, &QTimer::timeout, this, &FanSim::dropSockets);
        dropTimer->start(qMax(1, int(opt.dropWsSeconds * 1000)));
    }

    httpThread = std::thread([this]() { http->listen_after_bind(); });
    return true;
}

void FanSim::stop()
{
    stopping = true;
    if (http)
        http->stop();
    if (httpThread.joinable())
        httpThread.join();
    if (ws) {
        for (QWebSocket* s : clients) {
            s->disconnect(this);
            s->abort();
            s->deleteLater();
        }
        clients.clear();
        ws->close();
    }
}

void FanSim::setupRoutes(httplib::Server& server)
{
    httplib::Server* http = &server;
    http->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        simLog(QStringLiteral("HTTP %1 %2 %3 ua=\"%4\" %5")
                   .arg(QString::fromStdString(req.method), QString::fromStdString(req.target))
                   .arg(res.status)
                   .arg(QString::fromStdString(req.get_header_value("User-Agent")),
                        printable(QByteArray::fromStdString(res.body), 200)));
    });

    http->Get("/ctrl/session", [this](const httplib::Request& req, httplib::Response& res) {
        if (stallIfAsked("session", req))
            return;
        const SimOptions opt = options();
        QJsonObject o;
        o.insert(QStringLiteral("code"), opt.sessionCode);
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            o.insert(QStringLiteral("session"), QStringLiteral("sim-%1").arg(++sessionSerial));
        }
        answer(opt, "session", res, o);
    });

    http->Get("/info", [this](const httplib::Request& req, httplib::Response& res) {
        if (stallIfAsked("info", req))
            return;
        const SimOptions opt = options();
        QJsonObject o;
        o.insert(QStringLiteral("code"), opt.infoCode);
        o.insert(QStringLiteral("sw"), opt.sw);
        o.insert(QStringLiteral("model"), opt.model);
        o.insert(QStringLiteral("desc"), opt.desc);
        answer(opt, "info", res, o);
    });

    http->Get("/ctrl/play", [this](const httplib::Request& req, httplib::Response& res) {
        if (stallIfAsked("status", req))
            return;
        const SimOptions opt = options();
        const std::string action = req.get_param_value("action");
        if (action != "status") {
            QJsonObject o;
            o.insert(QStringLiteral("code"), 2);
            o.insert(QStringLiteral("msg"), QStringLiteral("unknown action"));
            answer(opt, "", res, o);
            return;
        }
        answer(opt, "status", res, playState(QStringLiteral("status"), opt.statusCode));
    });

    if (initial.control) {
        http->Get("/sim/fault", [this](const httplib::Request& req, httplib::Response& res) {
            QList<QPair<QString, QString>> params;
            for (const auto& p : req.params)
                params.append({QString::fromStdString(p.first), QString::fromStdString(p.second)});
            const QString refused = changeFaults(params);
            QJsonObject o;
            o.insert(QStringLiteral("code"), refused.isEmpty() ? 0 : 4);
            if (!refused.isEmpty())
                o.insert(QStringLiteral("msg"), refused);
            o.insert(QStringLiteral("faults"), faultState());
            res.status = refused.isEmpty() ? 200 : 400;
            res.set_content(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString(),
                            "application/json");
        });
    }

    http->Post("/DCIM/upload",
               [this](const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader) { handleUpload(req, res, reader); });
}

bool FanSim::stallIfAsked(const std::string& key, const httplib::Request& req)
{
    const QString k = QString::fromStdString(key);
    if (!options().stall.contains(k))
        return false;
    simLog(QStringLiteral("HTTP %1 %2 stalled")
               .arg(QString::fromStdString(req.method), QString::fromStdString(req.target)));
    // Held until shutdown, for at most five minutes, or until /sim/fault
    // lifts the stall; then the request is served as usual.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    bool held = true;
    while (!stopping && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!options().stall.contains(k)) {
            held = false;
            break;
        }
    }
    if (held)
        return true; // the caller answers nothing; the server sends its default
    simLog(QStringLiteral("HTTP %1 %2 released")
               .arg(QString::fromStdString(req.method), QString::fromStdString(req.target)));
    return false;
}

void FanSim::answer(const SimOptions& opt, const std::string& key, httplib::Response& res,
                    const QJsonObject& body)
{
    const QString k = QString::fromStdString(key);
    QByteArray text;
    if (opt.answers.contains(k)) {
        text = opt.answers.value(k);
    } else if (opt.notJson.contains(k)) {
        text = "<html><body>fan is busy</body></html>";
    } else {
        QJsonObject o = body;
        if (opt.padAnswers > 0)
            o.insert(QStringLiteral("pad"), QString(int(opt.padAnswers), QLatin1Char('x')));
        text = QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
    res.status = opt.httpStatus;
    if (opt.trickle.contains(k)) {
        // One byte at a time, each after a pause: a transfer that never
        // falls silent for long, and never ends in reasonable time.
        simLog(QStringLiteral("TRICKLE %1").arg(k));
        auto data = std::make_shared<std::string>(text.toStdString());
        const int pauseMs = opt.trickleMs;
        res.set_chunked_content_provider(
            "application/json", [this, data, pauseMs](size_t offset, httplib::DataSink& sink) {
                const auto until =
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(pauseMs);
                while (!stopping && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (stopping)
                    return false;
                if (offset < data->size() && !sink.write(data->data() + offset, 1))
                    return false;
                if (offset + 1 >= data->size())
                    sink.done();
                return true;
            });
    } else if (opt.chunked) {
        auto data = std::make_shared<std::string>(text.toStdString());
        res.set_chunked_content_provider(
            "application/json", [data](size_t offset, httplib::DataSink& sink) {
                if (offset < data->size()) {
                    const size_t n = std::min<size_t>(16 * 1024, data->size() - offset);
                    if (!sink.write(data->data() + offset, n))
                        return false;
                }
                if (offset + 16 * 1024 >= data->size())
                    sink.done();
                return true;
            });
    } else {
        res.set_content(text.toStdString(), "application/json");
    }
}

QJsonObject FanSim::playState(const QString& cmd, int code)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    QJsonObject o;
    o.insert(QStringLiteral("code"), code);
    o.insert(QStringLiteral("cmd"), cmd);
    o.insert(QStringLiteral("current"), encodeGbkHex(current));
    o.insert(QStringLiteral("progress"), stored.isEmpty() ? 0 : stored.indexOf(current) + 1);
    o.insert(QStringLiteral("total"), stored.size());
    o.insert(QStringLiteral("state"),
             stored.isEmpty() ? QStringLiteral("idle") : QStringLiteral("play"));
    return o;
}

void FanSim::handleUpload(const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader)
{
    if (stallIfAsked("upload", req))
        return;
    const SimOptions opt = options();
    auto refuse = [&](int code, const QString& reason) {
        QJsonObject o;
        o.insert(QStringLiteral("code"), code);
        o.insert(QStringLiteral("msg"), reason);
        answer(opt, "upload", res, o);
    };
    if (!req.is_multipart_form_data()) {
        reader([&](const char*, size_t) { return true; });
        refuse(4, QStringLiteral("not multipart form data"));
        return;
    }

    // The file part goes straight to a temporary file in the store.
    const QString tmpPath = QDir(opt.store).filePath(QStringLiteral(".upload-%1-%2.part")
                                                         .arg(QCoreApplication::applicationPid())
                                                         .arg(++uploadSerial));
    QFile tmp(tmpPath);
    std::string field, nameValue, fileNameHex;
    bool haveFile = false, writeFailed = false, nameTooLong = false;
    const auto began = std::chrono::steady_clock::now();
    qint64 bodyBytes = 0;
    const bool read = reader(
        [&](const httplib::MultipartFormData& part) {
            field = part.name;
            if (part.name == "file" && !haveFile) {
                haveFile = true;
                fileNameHex = part.filename;
                if (!tmp.open(QIODevice::WriteOnly | QIODevice::Truncate))
                    writeFailed = true;
            }
            return true;
        },
        [&](const char* data, size_t len) {
            bodyBytes += qint64(len);
            if (opt.uploadRate > 0) {
                // A slow device: hold the reading back to the given rate.
                const auto due =
                    began + std::chrono::microseconds(bodyBytes * 1000000 / opt.uploadRate);
                while (!stopping && std::chrono::steady_clock::now() < due)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (stopping)
                    return false;
            }
            if (field == "name") {
                if (nameValue.size() + len > 4096) {
                    nameTooLong = true;
                    return false;
                }
                nameValue.append(data, len);
            } else if (field == "file" && tmp.isOpen() && !writeFailed) {
                if (tmp.write(data, qint64(len)) != qint64(len))
                    writeFailed = true;
            }
            return true;
        });
    const qint64 received = tmp.size();
    tmp.close();
    simLog(QStringLiteral("UPLOAD name=%1 filename=%2 bytes=%3 cache=\"%4|%5|%6\"")
               .arg(printable(QByteArray::fromStdString(nameValue)),
                    printable(QByteArray::fromStdString(fileNameHex)))
               .arg(received)
               .arg(QString::fromStdString(req.get_header_value("Cache-Control")),
                    QString::fromStdString(req.get_header_value("Pragma")),
                    QString::fromStdString(req.get_header_value("Expires"))));
    auto discard = [&]() { QFile::remove(tmpPath); };

    if (opt.uploadDelayMs > 0) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(opt.uploadDelayMs);
        while (!stopping && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    if (nameTooLong) {
        discard();
        refuse(2, QStringLiteral("name field too long"));
        return;
    }
    if (!read) {
        discard();
        refuse(4, QStringLiteral("incomplete upload body"));
        return;
    }
    if (!haveFile) {
        discard();
        refuse(4, QStringLiteral("no file part"));
        return;
    }
    if (writeFailed) {
        discard();
        refuse(5, QStringLiteral("cannot store the upload"));
        return;
    }
    const std::string hex = nameValue.empty() ? fileNameHex : nameValue;
    if (!isHex(hex)) {
        discard();
        refuse(2, QStringLiteral("file name is not hex GBK"));
        return;
    }
    const QString name = decodeGbkHex(QString::fromStdString(hex));
    const QString unsafe = unsafeNameReason(name);
    if (!unsafe.isEmpty()) {
        discard();
        refuse(2, unsafe);
        return;
    }
    if (opt.uploadCode != 0) {
        discard();
        refuse(opt.uploadCode, QStringLiteral("upload refused on request"));
        return;
    }
    if (!modelKnown) {
        discard();
        refuse(3, QStringLiteral("unknown model %1").arg(opt.model));
        return;
    }
    const FanCheckResult check = checkFanFile(tmpPath.toStdString(), geometry);
    if (!check.ok) {
        discard();
        refuse(3,
               QStringLiteral("not a fan file for %1: %2")
                   .arg(opt.model, QString::fromStdString(check.reason)));
        return;
    }

    // Stored under its own name, inside the store and nowhere else.
    const QString target = QDir(opt.store).filePath(name);
    if (QFileInfo(target).absolutePath() != opt.store) {
        discard();
        refuse(2, QStringLiteral("file name leaves the store"));
        return;
    }
    if (QFileInfo(target).isDir() || (QFile::exists(target) && !QFile::remove(target)) ||
        !QFile::rename(tmpPath, target)) {
        discard();
        refuse(5, QStringLiteral("cannot store the upload"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        stored.removeAll(name);
        stored.append(name);
        current = name;
    }
    simLog(
        QStringLiteral("STORED %1 frames=%2 size=%3").arg(name).arg(check.frames).arg(check.size));

    QJsonObject o;
    o.insert(QStringLiteral("code"), 0);
    o.insert(QStringLiteral("msg"), QStringLiteral("ok"));
    o.insert(QStringLiteral("name"), encodeGbkHex(name));
    o.insert(QStringLiteral("frames"), double(check.frames));
    o.insert(QStringLiteral("size"), double(check.size));
    answer(opt, "upload", res, o);
    QMetaObject::invokeMethod(this, "pushPlayUpdate", Qt::QueuedConnection);
}

void FanSim::pushPlayUpdate()
{
    const QByteArray text = QJsonDocument(playState(QStringLiteral("onPlayInfoUpdate"), 0))
                                .toJson(QJsonDocument::Compact);
    for (QWebSocket* s : clients) {
        s->sendTextMessage(QString::fromUtf8(text));
        simLog(QStringLiteral("WS > %1").arg(printable(text)));
    }
}

void FanSim::onNewConnection()
{
    const SimOptions o = options();
    while (QWebSocket* s = ws->nextPendingConnection()) {
        clients.append(s);
        simLog(QStringLiteral("WS open %1:%2").arg(s->peerAddress().toString()).arg(s->peerPort()));
        if (o.wsFrameBytes > 0)
            s->setOutgoingFrameSize(quint64(o.wsFrameBytes));
        if (o.wsJunkBytes > 0) {
            // A play update far larger than any real one, whose "current"
            // would name the file "junk".
            QJsonObject junk = playState(QStringLiteral("onPlayInfoUpdate"), 0);
            junk.insert(QStringLiteral("current"), encodeGbkHex(QStringLiteral("junk")));
            const qint64 base = QJsonDocument(junk).toJson(QJsonDocument::Compact).size();
            junk.insert(QStringLiteral("pad"),
                        QString(int(qMax<qint64>(0, o.wsJunkBytes - base - 9)), QLatin1Char('x')));
            const QByteArray text = QJsonDocument(junk).toJson(QJsonDocument::Compact);
            s->sendTextMessage(QString::fromUtf8(text));
            simLog(QStringLiteral("WS > %1").arg(printable(text)));
        }
        connect(s, &QWebSocket::textMessageReceived, this,
                [this, s](const QString& text) { onText(s, text); });
        connect(s, &QWebSocket::binaryMessageReceived, this, [](const QByteArray& data) {
            simLog(QStringLiteral("WS < binary %1 bytes ignored").arg(data.size()));
        });
        connect(s, &QWebSocket::disconnected, this, [this, s]() {
            simLog(QStringLiteral("WS closed code=%1").arg(int(s->closeCode())));
            clients.removeAll(s);
            s->deleteLater();
        });
    }
}

void FanSim::onText(QWebSocket* socket, const QString& text)
{
    simLog(QStringLiteral("WS < %1").arg(printable(text.toUtf8())));
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    if (!doc.isObject())
        return;
    if (doc.object().value(QStringLiteral("cmd")).toString() != QLatin1String("heartbeat"))
        return;
    const int answers = options().heartbeatAnswers;
    if (answers >= 0 && heartbeatsAnswered >= answers)
        return;
    heartbeatsAnswered++;
    const QByteArray reply = "{\"cmd\":\"heartbeat\",\"msgId\":\"1111\",\"code\":0}";
    socket->sendTextMessage(QString::fromLatin1(reply));
    simLog(QStringLiteral("WS > %1").arg(QString::fromLatin1(reply)));
}

void FanSim::dropSockets()
{
    if (clients.isEmpty())
        return;
    simLog(QStringLiteral("WS drop %1").arg(clients.size()));
    const QList<QWebSocket*> all = clients;
    for (QWebSocket* s : all)
        s->abort();
}

QString FanSim::changeFaults(const QList<QPair<QString, QString>>& params)
{
    static const QSet<QString> keys = {QStringLiteral("session"), QStringLiteral("info"),
                                       QStringLiteral("status"), QStringLiteral("upload")};
    auto keyList = [](const QString& value, QSet<QString>* out) {
        out->clear();
        for (const QString& item : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (!keys.contains(item.trimmed()))
                return false;
            out->insert(item.trimmed());
        }
        return true;
    };
    auto number = [](const QString& value, qint64 min, qint64 max, qint64* out) {
        bool ok = false;
        const qint64 v = value.toLongLong(&ok);
        if (!ok || v < min || v > max)
            return false;
        *out = v;
        return true;
    };

    std::unique_lock<std::mutex> lock(optMutex);
    SimOptions next = opt;
    // A reset comes first, whatever the order of the parameters.
    for (const auto& p : params) {
        if (p.first == QLatin1String("reset")) {
            if (p.second != QLatin1String("1"))
                return QStringLiteral("bad value for reset: %1").arg(p.second);
            const QString store = next.store;
            next = initial;
            next.store = store;
        }
    }
    bool drop = false;
    for (const auto& p : params) {
        const QString& name = p.first;
        const QString& value = p.second;
        qint64 n = 0;
        bool ok = true;
        if (name == QLatin1String("reset")) {
            continue;
        } else if (name == QLatin1String("session-code")) {
            ok = number(value, INT_MIN, INT_MAX, &n) && ((next.sessionCode = int(n)), true);
        } else if (name == QLatin1String("info-code")) {
            ok = number(value, INT_MIN, INT_MAX, &n) && ((next.infoCode = int(n)), true);
        } else if (name == QLatin1String("status-code")) {
            ok = number(value, INT_MIN, INT_MAX, &n) && ((next.statusCode = int(n)), true);
        } else if (name == QLatin1String("upload-code")) {
            ok = number(value, INT_MIN, INT_MAX, &n) && ((next.uploadCode = int(n)), true);
        } else if (name == QLatin1String("http-status")) {
            ok = number(value, 100, 599, &n) && ((next.httpStatus = int(n)), true);
        } else if (name == QLatin1String("upload-delay")) {
            ok = number(value, 0, INT_MAX, &n) && ((next.uploadDelayMs = int(n)), true);
        } else if (name == QLatin1String("upload-rate")) {
            ok = number(value, 0, LLONG_MAX, &n) && ((next.uploadRate = n), true);
        } else if (name == QLatin1String("not-json")) {
            ok = keyList(value, &next.notJson);
        } else if (name == QLatin1String("stall")) {
            ok = keyList(value, &next.stall);
        } else if (name == QLatin1String("drop-ws")) {
            ok = value == QLatin1String("now");
            drop = true;
        } else {
            return QStringLiteral("unknown fault %1").arg(name);
        }
        if (!ok)
            return QStringLiteral("bad value for %1: %2").arg(name, value);
    }
    opt = next;
    lock.unlock();
    simLog(QStringLiteral("FAULT %1")
               .arg(QString::fromUtf8(QJsonDocument(faultState()).toJson(QJsonDocument::Compact))));
    if (drop)
        QMetaObject::invokeMethod(this, "dropSockets", Qt::QueuedConnection);
    return QString();
}

QJsonObject FanSim::faultState()
{
    const SimOptions o = options();
    auto list = [](const QSet<QString>& set) {
        QStringList l = set.values();
        l.sort();
        return l.join(QLatin1Char(','));
    };
    QJsonObject f;
    f.insert(QStringLiteral("session-code"), o.sessionCode);
    f.insert(QStringLiteral("info-code"), o.infoCode);
    f.insert(QStringLiteral("status-code"), o.statusCode);
    f.insert(QStringLiteral("upload-code"), o.uploadCode);
    f.insert(QStringLiteral("http-status"), o.httpStatus);
    f.insert(QStringLiteral("upload-delay"), o.uploadDelayMs);
    f.insert(QStringLiteral("upload-rate"), double(o.uploadRate));
    f.insert(QStringLiteral("not-json"), list(o.notJson));
    f.insert(QStringLiteral("stall"), list(o.stall));
    return f;
}
