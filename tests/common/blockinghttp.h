#pragma once

#include <QByteArray>
#include <QUrl>

// One HTTP exchange done synchronously with QNetworkAccessManager, for tests that
// talk to a simulated device directly. Waits at most 10 s.
class BlockingHttp
{
public:
    struct Result {
        int status = 0; // 0 when no HTTP answer arrived in time
        QByteArray body;
    };

    // `contentType` empty: no Content-Type header; a body is sent with its
    // Content-Length.
    static Result request(const QByteArray& verb, const QUrl& url,
        const QByteArray& body = QByteArray(), const QByteArray& contentType = QByteArray());
};
