// The fan simulator as a child process for the hostile-device tests: start it
// with fault options, kill it without warning, start it again on the same
// ports, and count its log lines.
#ifndef SPINDRA_TEST_SIM_PROCESS_H
#define SPINDRA_TEST_SIM_PROCESS_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

#include "DeviceProtocol.h"

class SimProcess {
public:
    ~SimProcess();

    // Starts fan-sim with the extra arguments on the given ports (0: free
    // ones, chosen by the simulator) and waits for its first line.
    bool start(const QStringList& args, int httpPort = 0, int wsPort = 0);
    // SIGTERM and wait; SIGKILL when it does not end.
    void stop();
    // SIGKILL, as a crashing device or a power cut would end it.
    void kill();
    bool running() const { return proc.state() != QProcess::NotRunning; }

    int httpPort() const { return http; }
    int wsPort() const { return ws; }
    QString storeDir() const { return store.path(); }
    DeviceEndpoint endpoint() const;

    // Lines of the current run that contain text.
    int count(const QString& text);
    QStringList lines();
    QString errorText;

    // Runs the event loop until pred() holds or timeoutMs pass.
    static bool waitUntil(const std::function<bool()>& pred, int timeoutMs);
    // Runs the event loop for ms, failing (returning false) as soon as
    // invariant() does not hold.
    static bool holdFor(int ms, const std::function<bool()>& invariant);

private:
    QProcess proc;
    QTemporaryDir store;
    QByteArray pending;
    QStringList all;
    int http = 0;
    int ws = 0;
};

#endif
