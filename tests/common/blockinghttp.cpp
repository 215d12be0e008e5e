#include "tests/common/blockinghttp.h"
#include "service/checkedconnect.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QTimer>

QByteArray BlockingHttp::Result::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

BlockingHttp::Result BlockingHttp::request(const QByteArray& verb, const QUrl& url,
    const QByteArray& body, const QByteArray& contentType, int timeoutMs)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(url);
    if (!contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QNetworkReply* reply
        = verb == "GET" ? network.get(request) : network.sendCustomRequest(request, verb, body);
    QEventLoop loop;
    checkedConnect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    QTimer::singleShot(timeoutMs, &loop, SLOT(quit()));
    if (!reply->isFinished())
        loop.exec();

    Result result;
    result.finished = reply->isFinished();
    if (!result.finished)
        reply->abort();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.error = reply->error();
    result.headers = reply->rawHeaderPairs();
    delete reply;
    return result;
}
