#include "tests/common/nanoleafsim.h"
#include "sync/checkedconnect.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

namespace
{

constexpr int kCallTimeoutMs = 10000;

QJsonArray idArray(const QVector<int>& ids)
{
    QJsonArray out;
    for (int id : ids)
        out.append(id);
    return out;
}

} // namespace

NanoleafSim::NanoleafSim()
    : NanoleafSim(defaultDevices())
{
}

NanoleafSim::NanoleafSim(const QJsonArray& devices)
    : m_devices(devices)
{
}

NanoleafSim::~NanoleafSim()
{
    stop();
}

QJsonObject NanoleafSim::lightPanels(
    const QString& ip, const QVector<int>& panels, const QString& name)
{
    return QJsonObject { { QStringLiteral("name"), name }, { QStringLiteral("ip"), ip },
        { QStringLiteral("model"), QStringLiteral("NL22") },
        { QStringLiteral("panels"), idArray(panels) }, { QStringLiteral("pairing_mode"), false },
        { QStringLiteral("tokens"), QJsonArray() } };
}

QJsonObject NanoleafSim::canvas(const QString& ip, const QVector<int>& panels, const QString& name)
{
    return QJsonObject { { QStringLiteral("name"), name }, { QStringLiteral("ip"), ip },
        { QStringLiteral("model"), QStringLiteral("NL29") },
        { QStringLiteral("panels"), idArray(panels) }, { QStringLiteral("pairing_mode"), false },
        { QStringLiteral("tokens"), QJsonArray() } };
}

QJsonArray NanoleafSim::defaultDevices()
{
    return QJsonArray { lightPanels(), canvas() };
}

qint64 NanoleafSim::timeNs(const QJsonObject& record)
{
    return record.value(QLatin1String("time_ns")).toString().toLongLong();
}

void NanoleafSim::setDevices(const QJsonArray& devices)
{
    m_devices = devices;
}

bool NanoleafSim::start(int timeoutMs)
{
    stop();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return false;
    }
    const QString configPath = m_dir.filePath(QStringLiteral("devices.json"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || config.write(
               QJsonDocument(QJsonObject { { QStringLiteral("devices"), m_devices } }).toJson())
            < 0) {
        m_error = QStringLiteral("cannot write %1").arg(configPath);
        return false;
    }
    config.close();

    m_process = std::make_unique<QProcess>();
    m_process->setProgram(QStringLiteral(PRISMARA_BIN_DIR "/nanoleaf-sim"));
    m_process->setArguments({ QStringLiteral("--config"), configPath, QStringLiteral("--control"),
        QStringLiteral("127.0.0.1:0"), QStringLiteral("--headless"),
        QStringLiteral("--die-with-parent") });
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process->setProcessEnvironment(env);
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start %1: %2")
                      .arg(m_process->program(), m_process->errorString());
        return false;
    }

    // The simulator prints "READY control=HOST:PORT" once every socket is bound.
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    while (clock.elapsed() < timeoutMs) {
        m_process->waitForReadyRead(100);
        out += m_process->readAllStandardOutput();
        const int at = out.indexOf("READY control=");
        const int end = at < 0 ? -1 : out.indexOf('\n', at);
        if (end > at) {
            m_control = QString::fromUtf8(out.mid(at + 14, end - at - 14)).trimmed();
            m_network = std::make_unique<QNetworkAccessManager>();
            m_network->setProxy(QNetworkProxy::NoProxy);
            m_error.clear();
            return true;
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    m_error = QStringLiteral("nanoleaf-sim did not become ready: %1")
                  .arg(QString::fromUtf8(standardError()));
    stop();
    return false;
}

void NanoleafSim::stop()
{
    m_network.reset();
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_stderr += m_process->readAllStandardError();
    m_process.reset();
    m_control.clear();
}

bool NanoleafSim::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QByteArray NanoleafSim::standardError() const
{
    if (m_process)
        m_stderr += m_process->readAllStandardError();
    return m_stderr;
}

bool NanoleafSim::call(
    const QByteArray& verb, const QString& path, const QJsonObject& body, QJsonObject* answer)
{
    if (!m_network || m_control.isEmpty()) {
        m_error = QStringLiteral("nanoleaf-sim is not running");
        return false;
    }
    QNetworkRequest request(QUrl(QStringLiteral("http://%1%2").arg(m_control, path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray payload
        = verb == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply* reply
        = verb == "GET" ? m_network->get(request) : m_network->post(request, payload);

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    checkedConnect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    checkedConnect(&timer, SIGNAL(timeout()), &loop, SLOT(quit()));
    timer.start(kCallTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    bool ok = false;
    if (!reply->isFinished()) {
        reply->abort();
        m_error = QStringLiteral("%1 %2: no answer").arg(QString::fromLatin1(verb), path);
    } else {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray text = reply->readAll();
        if (status != 200) {
            m_error = QStringLiteral("%1 %2: HTTP %3 %4 (%5)")
                          .arg(QString::fromLatin1(verb), path)
                          .arg(status)
                          .arg(QString::fromUtf8(text), reply->errorString());
        } else {
            if (answer)
                *answer = QJsonDocument::fromJson(text).object();
            ok = true;
        }
    }
    reply->deleteLater();
    return ok;
}

QJsonArray NanoleafSim::listAt(const QString& path, const QString& member)
{
    QJsonObject answer;
    if (!call("GET", path, QJsonObject(), &answer))
        return QJsonArray();
    return answer.value(member).toArray();
}

QJsonArray NanoleafSim::devices()
{
    return listAt(QStringLiteral("/devices"), QStringLiteral("devices"));
}

QJsonObject NanoleafSim::device(const QString& ip)
{
    QJsonObject answer;
    call("GET", QStringLiteral("/devices/%1").arg(ip), QJsonObject(), &answer);
    return answer;
}

bool NanoleafSim::setPairing(const QString& ip, bool on)
{
    return call("POST", QStringLiteral("/devices/%1/pairing").arg(ip),
        QJsonObject { { QStringLiteral("on"), on } }, nullptr);
}

QJsonArray NanoleafSim::requests(const QString& ip)
{
    return listAt(QStringLiteral("/devices/%1/requests").arg(ip), QStringLiteral("requests"));
}

QJsonArray NanoleafSim::frames(const QString& ip)
{
    return listAt(QStringLiteral("/devices/%1/frames").arg(ip), QStringLiteral("frames"));
}

QJsonArray NanoleafSim::mdnsQueries()
{
    return listAt(QStringLiteral("/mdns/queries"), QStringLiteral("queries"));
}

bool NanoleafSim::setFault(const QString& ip, const QJsonObject& fault)
{
    return call("POST", QStringLiteral("/devices/%1/fault").arg(ip), fault, nullptr);
}

bool NanoleafSim::reset()
{
    return call("POST", QStringLiteral("/reset"), QJsonObject(), nullptr);
}
