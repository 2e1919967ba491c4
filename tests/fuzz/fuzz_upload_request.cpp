// fan-sim's HTTP side on any request bytes: the whole request goes through
// the simulator's server (cpp-httplib's request and multipart parsers, then
// the simulator's own upload handling) in memory, with the simulator acting
// as a BELLATRIX fan. Checks on every run:
//   - whatever arrives, the answer, if any, is an HTTP answer;
//   - no temporary upload file stays behind, and nothing is ever written
//     outside the store;
//   - a file is stored only when the answer says so (code 0), under the name
//     the answer gives, and it is a well-formed fan file for the model;
//   - a refused upload stores nothing.
#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cstring>
#include <memory>

#include "DeviceProtocol.h"
#include "FanCheck.h"
#include "FanSim.h"
#include "fuzz_support.h"

namespace {

// One request in, the answer out.
class MemoryStream : public httplib::Stream {
public:
    MemoryStream(const uint8_t* data, size_t size)
        : data(reinterpret_cast<const char*>(data)),
          size(size)
    {
    }
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t n) override
    {
        n = std::min(n, size - pos);
        if (n)
            std::memcpy(ptr, data + pos, n);
        pos += n;
        return ssize_t(n);
    }
    ssize_t write(const char* ptr, size_t n) override
    {
        out.append(ptr, n);
        return ssize_t(n);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        ip = "127.0.0.1";
        port = 8080;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

    std::string out;

private:
    const char* data;
    size_t size;
    size_t pos = 0;
};

// The server's request handling without a socket.
class MemoryServer : public httplib::Server {
public:
    bool serve(MemoryStream& stream)
    {
        bool closed = false;
        return process_request(stream, true, closed, [](httplib::Request&) {});
    }
};

QCoreApplication* app = nullptr;
FanSim* sim = nullptr;
MemoryServer* server = nullptr;
QString scratch;
QString store;

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                               QDir::System);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::quietStdout();
    // The name codec's debug lines, thousands a second, are only noise.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    static int qtArgc = 1;
    static char name[] = "fuzz_upload_request";
    static char* qtArgv[] = {name, nullptr};
    (void)argc;
    (void)argv;
    app = new QCoreApplication(qtArgc, qtArgv);
    scratch = QString::fromStdString(fuzz::scratchDir());
    store = scratch + QStringLiteral("/store");
    SimOptions o;
    o.model = QStringLiteral("BELLATRIX");
    o.store = store;
    sim = new FanSim(o);
    server = new MemoryServer;
    if (!sim->installRoutes(*server))
        std::abort();
    store = QDir(store).canonicalPath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemoryStream stream(data, size);
    server->serve(stream);
    QCoreApplication::processEvents();

    const std::string& out = stream.out;
    FUZZ_CHECK(out.empty() || out.compare(0, 9, "HTTP/1.1 ") == 0, "answer starts with %.20s",
               out.c_str());
    FUZZ_CHECK(entries(scratch) == QStringList {QStringLiteral("store")}, "scratch holds %s",
               qPrintable(entries(scratch).join(QLatin1Char(' '))));

    const QStringList kept = entries(store);
    for (const QString& name : kept)
        FUZZ_CHECK(!name.endsWith(QLatin1String(".part")), "temporary file %s left behind",
                   qPrintable(name));

    // The answer of an upload is a JSON object after the headers.
    QJsonObject answer;
    const size_t body = out.find("\r\n\r\n");
    if (body != std::string::npos) {
        const QJsonDocument doc =
            QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(body + 4)));
        if (doc.isObject())
            answer = doc.object();
    }
    const bool stored = answer.contains(QStringLiteral("frames")) &&
        answer.value(QStringLiteral("code")).toInt(-1) == 0;
    if (stored) {
        const QString name = decodeGbkHex(answer.value(QStringLiteral("name")).toString());
        FUZZ_CHECK(kept == QStringList {name}, "answer names %s, store holds %s", qPrintable(name),
                   qPrintable(kept.join(QLatin1Char(' '))));
        FanGeometry g;
        g.lights = 48;
        g.lines = 300;
        g.colorDeep = 5;
        const FanCheckResult check = checkFanFile(QDir(store).filePath(name).toStdString(), g);
        FUZZ_CHECK(check.ok, "stored file is not a fan file: %s", check.reason.c_str());
        FUZZ_CHECK(answer.value(QStringLiteral("frames")).toDouble() == double(check.frames),
                   "answer counts %g frames, file holds %lld",
                   answer.value(QStringLiteral("frames")).toDouble(), check.frames);
    } else {
        FUZZ_CHECK(kept.isEmpty(), "nothing accepted, yet the store holds %s",
                   qPrintable(kept.join(QLatin1Char(' '))));
    }
    for (const QString& name : kept)
        QFile::remove(QDir(store).filePath(name));
    return 0;
}
