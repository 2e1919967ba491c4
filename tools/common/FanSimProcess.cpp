#include "FanSimProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QThread>

FanSimProcess::FanSimProcess()
    : program(qEnvironmentVariable("SPINDRA_BINARY_DIR", QStringLiteral(SPINDRA_BINARY_DIR)) +
              QStringLiteral("/tools/fan-sim/fan-sim"))
{
}

FanSimProcess::~FanSimProcess() { stop(); }

bool FanSimProcess::start(const QStringList& args, int httpPort, int wsPort)
{
    stop();
    pending.clear();
    all.clear();
    QObject::disconnect(&proc, &QProcess::readyReadStandardOutput, nullptr, nullptr);
    QStringList full = {QStringLiteral("--http-port"), QString::number(httpPort),
                        QStringLiteral("--ws-port"),   QString::number(wsPort),
                        QStringLiteral("--store"),     store.path()};
    full += args;
    proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc.start(program, full);
    if (!proc.waitForStarted(5000)) {
        errorText = QStringLiteral("cannot start %1: %2").arg(program, proc.errorString());
        return false;
    }
    // A port of the previous run may still be held for a moment.
    if (!waitUntil([this]() { return !lines().isEmpty() || !running(); }, 10000) || all.isEmpty()) {
        errorText = QStringLiteral("fan-sim printed no first line");
        return false;
    }
    const QRegularExpression re(QStringLiteral("^fan-sim http=(\\d+) ws=(\\d+) "));
    const QRegularExpressionMatch m = re.match(all.first());
    if (!m.hasMatch()) {
        errorText = QStringLiteral("unexpected first line: %1").arg(all.first());
        return false;
    }
    http = m.captured(1).toInt();
    ws = m.captured(2).toInt();
    if (!keepLog) {
        all = QStringList {all.first()};
        pending.clear();
        QObject::connect(&proc, &QProcess::readyReadStandardOutput, &proc,
                         [this]() { proc.readAllStandardOutput(); });
    }
    return true;
}

void FanSimProcess::stop()
{
    if (!running())
        return;
    proc.terminate();
    if (!proc.waitForFinished(5000)) {
        proc.kill();
        proc.waitForFinished(5000);
    }
}

void FanSimProcess::kill()
{
    if (!running())
        return;
    proc.kill();
    proc.waitForFinished(5000);
}

DeviceEndpoint FanSimProcess::endpoint() const
{
    DeviceEndpoint e;
    e.host = QStringLiteral("127.0.0.1");
    e.httpPort = http;
    e.wsPort = ws;
    return e;
}

QJsonObject FanSimProcess::fault(const QString& query, int* httpStatus)
{
    if (!control) {
        control = std::make_unique<QNetworkAccessManager>();
        control->setProxy(QNetworkProxy::NoProxy);
    }
    std::unique_ptr<QNetworkReply> reply(control->get(
        QNetworkRequest(QUrl(endpoint().httpUrl(QStringLiteral("/sim/fault?") + query)))));
    if (!waitUntil([&]() { return reply->isFinished(); }, 10000))
        return {};
    if (httpStatus)
        *httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return QJsonDocument::fromJson(reply->readAll()).object();
}

QStringList FanSimProcess::lines()
{
    if (!keepLog && !all.isEmpty())
        return all;
    pending += proc.readAllStandardOutput();
    int nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
        all.append(QString::fromUtf8(pending.left(nl)));
        pending.remove(0, nl + 1);
    }
    return all;
}

int FanSimProcess::count(const QString& text)
{
    int n = 0;
    for (const QString& l : lines()) {
        if (l.contains(text))
            n++;
    }
    return n;
}

double FanSimProcess::testScale()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("SPINDRA_TEST_SCALE").toDouble(&ok);
    return ok && scale > 1.0 ? scale : 1.0;
}

int FanSimProcess::scaled(int ms) { return int(ms * testScale()); }

bool FanSimProcess::waitUntil(const std::function<bool()>& pred, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    const qint64 limit = qint64(timeoutMs * testScale());
    while (!pred()) {
        if (t.elapsed() > limit)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

bool FanSimProcess::holdFor(int ms, const std::function<bool()>& invariant)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!invariant())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return invariant();
}

bool FanSimProcess::waitForCount(const QString& text, int atLeast, int timeoutMs)
{
    return waitUntil([&]() { return count(text) >= atLeast; }, timeoutMs);
}
