// Upload of fan files to the device: a multipart POST to "/DCIM/upload" with
// the name in hex GBK, on a connection of its own whose progress counts the
// bytes the device has taken (not those merely handed to the system), with a
// time-out, and an abort that stops the transfer at once and says what became
// of the file on the device. Independent of the connection state: the caller
// decides whether the device is there.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>

#include "DeviceProtocol.h"

class NetworkManagerEx;
class UploadTransfer;

class Uploader : public QObject {
    Q_OBJECT
public:
    // (ok, device answer object or error text)
    using ResultCallback = std::function<void(bool ok, QVariant data)>;
    using ProgressCallback = std::function<void(int percent)>;

    // What became of the file on the device when an upload was stopped.
    enum class Fate {
        Ended,       // nothing was stopped: the upload had already ended
        NotStored,   // the file had not gone out whole: the device cannot store it
        MayBeStored, // every byte had gone out, no answer yet: the device may store it
        Stored,      // the device had already answered that it stored the file
    };

    explicit Uploader(const DeviceEndpoint& endpoint, QObject* parent = nullptr);
    ~Uploader() override;

    DeviceEndpoint endpoint() const { return device; }
    // Longest wait for the reachability probe that precedes every upload
    // (0: none). 10000 ms unless set.
    void setProbeTimeout(int ms);
    // The system's send buffer of each upload's connection, in bytes (0: the
    // system's own choice, which grows to megabytes). What sits there has
    // left the file but not reached the device. 32 KiB unless set.
    void setSendBuffer(int bytes) { sendBufferBytes = bytes; }
    // How often the progress looks at what the device has taken while the
    // connection is quiet. 100 ms unless set.
    void setProgressInterval(int ms) { progressIntervalMs = ms; }

    // Posts the file at path to the device as name and returns its id (> 0)
    // at once. Every upload ends in exactly one onResult (unless it is
    // aborted, or the uploader destroyed, first), never before this returns:
    // ok with the device's answer object when it answered with a
    // 2xx status and "code" 0; otherwise false with the answer object (another
    // "code") or a text: "无法打开文件" (the file cannot be opened, and nothing
    // is posted), "网络超时" (timeoutMs passed, 0 or less for none),
    // "解析响应失败" (the answer is not a JSON object), the status of a
    // non-2xx answer, or the connection's error. onProgress gets whole
    // percents of the file that the device has taken, rising, at most 99
    // while any of it is still on the way; 100 once it has taken all of it
    // and the answer is awaited. Empty callbacks are skipped. A callback may
    // abort uploads, but must not delete the uploader (deleteLater does).
    int uploadFile(const QString& path, const QString& name, ResultCallback onResult,
                   ProgressCallback onProgress, int timeoutMs);

    // Stops an upload that is still under way: its connection is reset at
    // once, so that the device stops receiving and drops what it has not
    // read, and none of its callbacks runs any more. An answer that had
    // already arrived unread counts. Fate::Ended when it had already ended.
    Fate abort(int id);
    // The upload has been posted and has not ended or been aborted.
    bool isRunning(int id) const;

private:
    friend class UploadTransfer;
    void forget(int id);

    NetworkManagerEx* network = nullptr;
    DeviceEndpoint device;
    int sendBufferBytes = 32 * 1024;
    int progressIntervalMs = 100;
    int lastId = 0;
    QHash<int, QPointer<UploadTransfer>> transfers;
};
