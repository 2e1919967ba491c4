// Upload of fan files to the device: a multipart POST to "/DCIM/upload" with
// the name in hex GBK, progress in whole percents, a time-out, and an abort
// for a user who changes their mind. Independent of the connection state: the
// caller decides whether the device is there.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

#include "DeviceProtocol.h"

class NetworkManagerEx;

class Uploader : public QObject {
    Q_OBJECT
public:
    // (ok, device answer object or error text)
    using ResultCallback = std::function<void(bool ok, QVariant data)>;
    using ProgressCallback = std::function<void(int percent)>;

    explicit Uploader(const DeviceEndpoint& endpoint, QObject* parent = nullptr);
    ~Uploader() override;

    DeviceEndpoint endpoint() const { return device; }
    // Longest wait for the reachability probe that precedes every upload
    // (0: none). 10000 ms unless set.
    void setProbeTimeout(int ms) { probeTimeoutMs = ms; }

    // Posts the file at path to the device as name and returns at once with
    // the upload's id (> 0), or 0 when the file cannot be opened: that is
    // reported through onResult before the return and nothing is posted.
    // Later reports arrive on this thread: onProgress with whole percents,
    // onResult with every outcome the transfer produces - possibly more than
    // once (a transport error is reported by the error and the completion
    // handler; a time-out of timeoutMs, 0 or less for none, adds "网络超时").
    // onEnd runs once after the last onResult report of a posted upload, with
    // that last report. Empty callbacks are skipped.
    int uploadFile(const QString& path, const QString& name, ResultCallback onResult,
                   ProgressCallback onProgress, int timeoutMs, ResultCallback onEnd = {});

    // Stops a posted upload that is still under way: its reply is aborted and
    // none of its callbacks runs any more. False when it had already ended.
    bool abort(int id);
    // The upload has been posted and has not ended or been aborted.
    bool isRunning(int id) const;

private:
    struct Transfer;

    NetworkManagerEx* network = nullptr;
    DeviceEndpoint device;
    int probeTimeoutMs = 10000;
    int lastId = 0;
    QHash<int, std::shared_ptr<Transfer>> transfers;
};
