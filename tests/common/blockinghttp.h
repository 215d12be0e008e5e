#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QUrl>

// One HTTP exchange done synchronously with QNetworkAccessManager, for tests that
// talk to a simulated device directly. Waits at most timeoutMs.
class BlockingHttp
{
public:
    struct Result {
        bool finished = false; // false: no answer within the time-out (aborted)
        int status = 0; // 0 when no HTTP answer arrived
        QByteArray body;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray header(const QByteArray& name) const;
    };

    // `contentType` empty: no Content-Type header; a body is sent with its
    // Content-Length.
    static Result request(const QByteArray& verb, const QUrl& url,
        const QByteArray& body = QByteArray(), const QByteArray& contentType = QByteArray(),
        int timeoutMs = 10000);
};
