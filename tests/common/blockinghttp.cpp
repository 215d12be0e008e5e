#include "tests/common/blockinghttp.h"
#include "sync/checkedconnect.h"

#include <QBuffer>
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
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QNetworkReply* reply = nullptr;
    if (verb == "GET")
        reply = network.get(request);
    else if (verb == "POST")
        reply = network.post(request, body);
    else if (verb == "PUT")
        reply = network.put(request, body);
    else
        reply = network.sendCustomRequest(request, verb, &buffer);

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    checkedConnect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    checkedConnect(&timer, SIGNAL(timeout()), &loop, SLOT(quit()));
    timer.start(timeoutMs);
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
