// Runs the fan simulator as a child process on loopback for a test and reads
// its log lines.
#ifndef SPINDRA_TEST_FAN_SIM_PROCESS_H
#define SPINDRA_TEST_FAN_SIM_PROCESS_H

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

#include "DeviceProtocol.h"

class FanSimProcess {
public:
    FanSimProcess();
    ~FanSimProcess();

    // Starts fan-sim with --http-port 0 --ws-port 0 --store <temp dir> and the
    // extra arguments; waits for its first line. False on any failure.
    bool start(const QStringList& args = {});
    void stop();
    // Ends it at once with SIGKILL, as a device that loses power.
    void kill();

    int httpPort() const { return http; }
    int wsPort() const { return ws; }
    QString storeDir() const { return store.path(); }
    DeviceEndpoint endpoint() const;

    // Every log line so far (reads what is pending).
    QStringList lines();
    // Lines that contain text.
    int count(const QString& text);
    // Runs the event loop until pred() holds or timeoutMs pass.
    static bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
    bool waitForCount(const QString& text, int atLeast, int timeoutMs = 5000);

    QString errorText;

private:
    QProcess proc;
    QTemporaryDir store;
    QByteArray pending;
    QStringList all;
    int http = 0;
    int ws = 0;
};

#endif
