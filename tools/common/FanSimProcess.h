// Runs the fan simulator as a child process on loopback for a test: start it
// with fault options, kill it without warning, start it again on the same
// ports, and read its log lines.
#pragma once

#include "ChildProcess.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

#include "DeviceProtocol.h"

class FanSimProcess {
public:
    FanSimProcess();
    ~FanSimProcess();

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
    QTemporaryDir store;
    QByteArray pending;
    QStringList all;
    int http = 0;
    int ws = 0;
};
