// fan-sim: a stand-in for the fan, for tests, demos and users without
// hardware. Serves the device's HTTP API and WebSocket on loopback.
#include <QCommandLineParser>
#include <QDir>
#include <QLoggingCategory>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <climits>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "FanSim.h"
#include "ToolOptions.h"
#include "fan_models.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    ssize_t ignored = ::write(signalPipe[1], &c, 1);
    (void)ignored;
}

QSet<QString> endpointList(const QStringList& values, bool* ok)
{
    static const QSet<QString> known = {QStringLiteral("session"), QStringLiteral("info"),
                                        QStringLiteral("status"), QStringLiteral("upload")};
    QSet<QString> out;
    for (const QString& v : values) {
        for (const QString& item : v.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString key = item.trimmed();
            if (!known.contains(key))
                *ok = false;
            out.insert(key);
        }
    }
    return out;
}

} // namespace

using tooloptions::option;
using tooloptions::readInt;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fan-sim"));

    QString models;
    for (int i = 0; i < fan_model_count(); i++)
        models +=
            (i ? QStringLiteral(", ") : QString()) + QString::fromLatin1(fan_model_at(i)->name);

    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Simulated fan device: answers /ctrl/session, /info, /ctrl/play?action=status and\n"
        "/DCIM/upload over HTTP and heartbeats over a WebSocket, stores accepted uploads\n"
        "and pushes onPlayInfoUpdate after each one. The first output line is\n"
        "  fan-sim http=PORT ws=PORT model=NAME store=DIR\n"
        "then one line per request and WebSocket event. SIGINT/SIGTERM end it cleanly.\n"
        "Endpoint keys for the fault options: session, info, status, upload.\n"
        "Point the app at it with SPINDRA_DEVICE_HOST=127.0.0.1,\n"
        "SPINDRA_DEVICE_HTTP_PORT and SPINDRA_DEVICE_WS_PORT."));
    p.addHelpOption();
    const QCommandLineOption host =
        option("host", "Address to listen on (default 127.0.0.1).", "ADDR", "127.0.0.1");
    const QCommandLineOption httpPort =
        option("http-port", "HTTP port; 0 picks a free one (default 0).", "PORT", "0");
    const QCommandLineOption wsPort =
        option("ws-port", "WebSocket port; 0 picks a free one (default 0).", "PORT", "0");
    const QCommandLineOption model =
        option("model",
               QString("Model reported by /info and used to check uploads "
                       "(default VEGA). Known: %1. Any other text is "
                       "reported as is, and uploads are then refused.")
                   .arg(models),
               "NAME", "VEGA");
    const QCommandLineOption sw =
        option("sw", "Firmware version reported by /info.", "TEXT", "1.0.0");
    const QCommandLineOption desc =
        option("desc", "Description reported by /info.", "TEXT", "Spindra fan simulator");
    const QCommandLineOption store = option(
        "store", "Folder for accepted uploads (default ./fan-sim-store).", "DIR", "fan-sim-store");
    const QCommandLineOption sessionCode = option(
        "session-code", "\"code\" of /ctrl/session answers; non-zero refuses sessions.", "N", "0");
    const QCommandLineOption infoCode =
        option("info-code", "\"code\" of /info answers (1: start over).", "N", "0");
    const QCommandLineOption statusCode =
        option("status-code", "\"code\" of play-status answers (1: start over).", "N", "0");
    const QCommandLineOption uploadCode =
        option("upload-code", "Refuse every upload with this non-zero \"code\".", "N", "0");
    const QCommandLineOption notJson = option(
        "not-json", "Answer these endpoints (comma list) with text that is not JSON.", "KEYS");
    const QCommandLineOption stall = option(
        "stall", "Never answer these endpoints (comma list); the request is held until shutdown.",
        "KEYS");
    const QCommandLineOption answer =
        option("answer",
               "Answer endpoint KEY with exactly TEXT (repeatable), e.g. "
               "--answer 'info={\"model\":\"RIGEL\"}'.",
               "KEY=TEXT");
    const QCommandLineOption pad =
        option("pad-answers",
               "Add a \"pad\" member of BYTES bytes to every JSON answer "
               "(for answers larger than a client accepts).",
               "BYTES", "0");
    const QCommandLineOption chunked =
        option("chunked", "Send answers with chunked transfer encoding (no length).");
    const QCommandLineOption httpStatus =
        option("http-status", "HTTP status of every answer (default 200).", "N", "200");
    const QCommandLineOption noHeartbeat = option("no-heartbeat", "Never answer heartbeats.");
    const QCommandLineOption heartbeats =
        option("heartbeats", "Answer only the first N heartbeats, then fall silent.", "N", "-1");
    const QCommandLineOption dropWs =
        option("drop-ws", "Drop every WebSocket connection every SECONDS (fractions allowed).",
               "SECONDS", "0");
    const QCommandLineOption uploadDelay =
        option("upload-delay", "Wait MS milliseconds before answering an upload (slow device).",
               "MS", "0");
    const QCommandLineOption verbose =
        option("verbose", "Also print the device library's debug messages on stderr.");
    const QCommandLineOption uploadRate = option(
        "upload-rate", "Read upload bodies at most BYTES per second (slow device).", "BYTES", "0");
    const QCommandLineOption trickle =
        option("trickle",
               "Send the answers of these endpoints (comma list) one byte at a time, each\n"
               "after a pause of --trickle-ms (chunked).",
               "KEYS");
    const QCommandLineOption trickleMs =
        option("trickle-ms", "Pause before each byte of a trickled answer (default 3000).", "MS",
               "3000");
    const QCommandLineOption wsJunk = option(
        "ws-junk",
        "Greet every WebSocket client with an onPlayInfoUpdate message of BYTES bytes\n"
        "(far beyond any real one) naming the file \"junk\".",
        "BYTES", "0");
    const QCommandLineOption wsFrame =
        option("ws-frame",
               "Split outgoing WebSocket messages into frames of at most BYTES bytes\n"
               "(a message in many fragments).",
               "BYTES", "0");
    const QCommandLineOption control =
        option("control",
               "Serve GET /sim/fault?NAME=VALUE&... on the HTTP port to change the fault\n"
               "modes while running: session-code, info-code, status-code, upload-code,\n"
               "http-status, not-json, stall (KEYS, empty for none), upload-delay,\n"
               "upload-rate, drop-ws=now (drop every WebSocket once), reset=1 (back\n"
               "to the options given at start). A lifted stall releases the held\n"
               "requests. The answer lists the faults in force.");
    p.addOptions({control,    uploadRate, verbose,     host,       httpPort,    wsPort,
                  model,      sw,         desc,        store,      sessionCode, infoCode,
                  statusCode, uploadCode, notJson,     stall,      answer,      pad,
                  chunked,    httpStatus, noHeartbeat, heartbeats, dropWs,      uploadDelay,
                  trickle,    trickleMs,  wsJunk,      wsFrame});
    p.process(app);
    if (!p.isSet(verbose))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    auto fail = [](const QString& message) {
        std::fprintf(stderr, "fan-sim: %s (see --help)\n", qPrintable(message));
        return 2;
    };

    SimOptions o;
    o.host = p.value(host);
    o.model = p.value(model);
    o.sw = p.value(sw);
    o.desc = p.value(desc);
    o.store = p.value(store);
    if (!readInt(p.value(httpPort), 0, 65535, &o.httpPort))
        return fail(QStringLiteral("bad --http-port"));
    if (!readInt(p.value(wsPort), 0, 65535, &o.wsPort))
        return fail(QStringLiteral("bad --ws-port"));
    if (!readInt(p.value(sessionCode), INT_MIN, INT_MAX, &o.sessionCode) ||
        !readInt(p.value(infoCode), INT_MIN, INT_MAX, &o.infoCode) ||
        !readInt(p.value(statusCode), INT_MIN, INT_MAX, &o.statusCode) ||
        !readInt(p.value(uploadCode), INT_MIN, INT_MAX, &o.uploadCode))
        return fail(QStringLiteral("bad code value"));
    if (!readInt(p.value(httpStatus), 100, 599, &o.httpStatus))
        return fail(QStringLiteral("bad --http-status"));
    if (!readInt(p.value(heartbeats), -1, INT_MAX, &o.heartbeatAnswers))
        return fail(QStringLiteral("bad --heartbeats"));
    if (p.isSet(noHeartbeat))
        o.heartbeatAnswers = 0;
    if (!readInt(p.value(uploadDelay), 0, INT_MAX, &o.uploadDelayMs))
        return fail(QStringLiteral("bad --upload-delay"));
    bool ok = false;
    o.uploadRate = p.value(uploadRate).toLongLong(&ok);
    if (!ok || o.uploadRate < 0)
        return fail(QStringLiteral("bad --upload-rate"));
    o.dropWsSeconds = p.value(dropWs).toDouble(&ok);
    if (!ok || o.dropWsSeconds < 0)
        return fail(QStringLiteral("bad --drop-ws"));
    o.padAnswers = p.value(pad).toLongLong(&ok);
    if (!ok || o.padAnswers < 0 || o.padAnswers > 512LL * 1024 * 1024)
        return fail(QStringLiteral("bad --pad-answers"));
    if (!readInt(p.value(trickleMs), 0, INT_MAX, &o.trickleMs))
        return fail(QStringLiteral("bad --trickle-ms"));
    o.wsJunkBytes = p.value(wsJunk).toLongLong(&ok);
    if (!ok || o.wsJunkBytes < 0 || o.wsJunkBytes > 512LL * 1024 * 1024)
        return fail(QStringLiteral("bad --ws-junk"));
    o.wsFrameBytes = p.value(wsFrame).toLongLong(&ok);
    if (!ok || o.wsFrameBytes < 0)
        return fail(QStringLiteral("bad --ws-frame"));
    o.chunked = p.isSet(chunked);
    o.control = p.isSet(control);
    bool keysOk = true;
    o.notJson = endpointList(p.values(notJson), &keysOk);
    o.stall = endpointList(p.values(stall), &keysOk);
    o.trickle = endpointList(p.values(trickle), &keysOk);
    for (const QString& a : p.values(answer)) {
        const int eq = a.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(QStringLiteral("bad --answer %1").arg(a));
        endpointList({a.left(eq)}, &keysOk);
        o.answers.insert(a.left(eq), a.mid(eq + 1).toUtf8());
    }
    if (!keysOk)
        return fail(QStringLiteral("unknown endpoint key"));

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&]() {
        char c;
        ssize_t ignored = ::read(signalPipe[0], &c, 1);
        (void)ignored;
        app.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    FanSim sim(o);
    if (!sim.start())
        return 1;
    simLog(QStringLiteral("fan-sim http=%1 ws=%2 model=%3 store=%4")
               .arg(sim.httpPort())
               .arg(sim.wsPort())
               .arg(o.model, QDir(o.store).absolutePath()));
    const int rc = app.exec();
    sim.stop();
    simLog(QStringLiteral("fan-sim stopped"));
    return rc;
}
