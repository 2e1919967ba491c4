// The one HTTP access manager for all traffic with the fan: stamps every
// request with the client's User-Agent, logs every request and every finished
// reply, caps how much of one answer the client accepts, and gives every
// request an overall deadline.
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>

class QNetworkReply;

class NetworkManagerEx : public QNetworkAccessManager {
    Q_OBJECT
public:
    // Largest answer body accepted from the device by default (1 MiB).
    static constexpr qint64 kDefaultAnswerCap = 1024 * 1024;
    // The User-Agent of every request to the device.
    static constexpr const char* kUserAgent = "QtApp/1.0";

    explicit NetworkManagerEx(QObject* parent = nullptr);

    // A reply whose body grows beyond the cap (or announces a larger length)
    // is aborted and marked, so that a faulty device cannot exhaust memory.
    void setAnswerCap(qint64 bytes);
    qint64 answerCap() const;

    // Longest time one request may take from being sent to its last byte
    // (0: none). Unlike the transfer time-out of a request, which starts
    // again with every byte, this one runs out even while a device trickles
    // its answer. Applies to the requests made after the call.
    void setDeadline(int ms);
    int deadline() const;

    // True when the reply was aborted because its answer exceeded the cap.
    static bool answerTooLarge(const QNetworkReply* reply);
    // True when the reply was aborted because its deadline ran out.
    static bool deadlinePassed(const QNetworkReply* reply);
    // The whole body of a finished reply; empty when the answer exceeded the
    // cap (so that it reads as a failed answer).
    static QByteArray readAnswer(QNetworkReply* reply);

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private:
    void logReply(QNetworkReply* reply);
    void watchSize(QNetworkReply* reply, qint64 received, qint64 total);

    qint64 cap = kDefaultAnswerCap;
    int deadlineMs = 0;
};
