#include "tests/common/blockinghttp.h"
#include "service/checkedconnect.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

BlockingHttp::Result BlockingHttp::request(
    const QByteArray& verb, const QUrl& url, const QByteArray& body, const QByteArray& contentType)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(url);
    if (!contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    const std::unique_ptr<QNetworkReply> reply(
        verb == "GET" ? network.get(request) : network.sendCustomRequest(request, verb, body));
    QEventLoop loop;
    checkedConnect(reply.get(), SIGNAL(finished()), &loop, SLOT(quit()));
    QTimer::singleShot(10000, &loop, SLOT(quit()));
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished())
        reply->abort();
    return { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll() };
}
