// Runs the fan simulator as a child process on loopback for a test or the
// soak run: start it with fault options, change its faults while it runs,
// kill it without warning, start it again on the same ports, and read its log
// lines.
#pragma once

#include "ChildProcess.h"

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "DeviceProtocol.h"

class QNetworkAccessManager;

class FanSimProcess {
public:
    FanSimProcess();
    ~FanSimProcess();

    // The program start() runs; by default fan-sim of this build
    // (SPINDRA_BINARY_DIR/tools/fan-sim/fan-sim).
    void setProgram(const QString& path) { program = path; }
    // With false, the log after the first line is read and dropped as it
    // comes: a long run that never looks at it neither fills the pipe (the
    // simulator would stop at its next line) nor holds every line in memory.
    // lines() then holds the first line only. Takes effect at start().
    void setKeepLog(bool keep) { keepLog = keep; }

    // Starts fan-sim with the extra arguments and --store <temp dir> on the
    // given ports (0: free ones, chosen by the simulator) and waits for its
    // first line. A running simulator is stopped first. False on any failure.
    bool start(const QStringList& args = {}, int httpPort = 0, int wsPort = 0);
    // SIGTERM and wait; SIGKILL when it does not end.
    void stop();
    // Ends it at once with SIGKILL, as a device that loses power.
    void kill();
    bool running() const { return proc.state() != QProcess::NotRunning; }

    int httpPort() const { return http; }
    int wsPort() const { return ws; }
    QString storeDir() const { return store.path(); }
    DeviceEndpoint endpoint() const;

    // GET /sim/fault?query on the simulator (started with --control), which
    // changes its faults while it runs: the answer's JSON ("code" 0 when
    // taken), or an empty object when none came. httpStatus, when given,
    // receives the answer's HTTP status.
    QJsonObject fault(const QString& query, int* httpStatus = nullptr);

    // Every log line of the current run so far (reads what is pending).
    QStringList lines();
    // Lines that contain text.
    int count(const QString& text);
    // How much slower than usual the tests run (SPINDRA_TEST_SCALE, at least
    // 1; scripts/test sets it for the ThreadSanitizer build). Every wait
    // below allows that many times its time-out.
    static double testScale();
    // ms stretched by testScale().
    static int scaled(int ms);
    // Runs the event loop until pred() holds or timeoutMs pass.
    static bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
    // Runs the event loop for ms, failing (returning false) as soon as
    // invariant() does not hold.
    static bool holdFor(int ms, const std::function<bool()>& invariant);
    bool waitForCount(const QString& text, int atLeast, int timeoutMs = 5000);

    QString errorText;

private:
    ChildProcess proc;
    QString program;
    bool keepLog = true;
    // Made at the first fault() and kept, as an application keeps its one.
    std::unique_ptr<QNetworkAccessManager> control;
    QTemporaryDir store;
    QByteArray pending;
    QStringList all;
    int http = 0;
    int ws = 0;
};
