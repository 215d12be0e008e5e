#include "tests/common/nanoleafsim.h"
#include "tests/common/blockinghttp.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>

QJsonObject NanoleafSim::deviceEntry(
    const QString& name, const QString& ip, const char* model, const QVector<int>& panels)
{
    QJsonArray ids;
    for (int id : panels)
        ids.append(id);
    return QJsonObject { { "name", name }, { "ip", ip }, { "model", model }, { "panels", ids },
        { "pairing_mode", false }, { "tokens", QJsonArray() } };
}

QJsonArray NanoleafSim::with(QJsonArray devices, const QString& key, const QJsonValue& value)
{
    for (int i = 0; i < devices.size(); ++i) {
        QJsonObject device = devices.at(i).toObject();
        device.insert(key, value);
        devices.replace(i, device);
    }
    return devices;
}

bool NanoleafSim::start(int timeoutMs)
{
    stop();
    const QString configPath = m_dir.filePath("devices.json");
    QFile config(configPath);
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || config.write(QJsonDocument(QJsonObject { { "devices", m_devices } }).toJson()) < 0) {
        m_error = "cannot write " + configPath;
        return false;
    }
    config.close();

    m_process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    m_process->setProcessEnvironment(env);
    m_process->start(QStringLiteral(PRISMARA_BIN_DIR "/nanoleaf-sim"),
        { "--config", configPath, "--control", "127.0.0.1:0", "--headless", "--die-with-parent" });

    // The simulator prints "READY control=HOST:PORT" once every socket is bound.
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    while (m_process->waitForStarted(5000) && clock.elapsed() < timeoutMs
        && m_process->state() == QProcess::Running) {
        m_process->waitForReadyRead(100);
        out += m_process->readAllStandardOutput();
        const int at = out.indexOf("READY control=");
        const int end = at < 0 ? -1 : out.indexOf('\n', at);
        if (end > at) {
            m_control = QString::fromUtf8(out.mid(at + 14, end - at - 14)).trimmed();
            m_error.clear();
            return true;
        }
    }
    m_error = "nanoleaf-sim did not become ready: " + m_process->errorString() + " "
        + QString::fromUtf8(m_process->readAllStandardError());
    stop();
    return false;
}

void NanoleafSim::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_process.reset();
    m_control.clear();
}

bool NanoleafSim::call(
    const QByteArray& verb, const QString& path, const QJsonObject& body, QJsonObject* answer)
{
    if (m_control.isEmpty()) {
        m_error = "nanoleaf-sim is not running";
        return false;
    }
    const BlockingHttp::Result r = BlockingHttp::request(verb, QUrl("http://" + m_control + path),
        verb == "GET" ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact),
        "application/json");
    if (r.status != 200) {
        m_error = QString("%1 %2: HTTP %3 %4")
                      .arg(QString(verb), path)
                      .arg(r.status)
                      .arg(QString(r.body));
        return false;
    }
    if (answer)
        *answer = QJsonDocument::fromJson(r.body).object();
    return true;
}

QJsonObject NanoleafSim::get(const QString& path)
{
    QJsonObject answer;
    call("GET", path, QJsonObject(), &answer);
    return answer;
}

QStringList NanoleafSim::requestLines(const QString& ip, bool hideTokens)
{
    QStringList out;
    const QRegularExpression token(hideTokens ? "/api/v1/[0-9A-Za-z]{32}/" : "^$");
    for (const QJsonValue& r : requests(ip))
        out << QString(r["method"].toString() + " " + r["path"].toString())
                   .replace(token, "/api/v1/<token>/");
    return out;
}

int NanoleafSim::ownerPut(
    const QString& ip, const QString& resource, const QByteArray& body, const QString& token)
{
    return BlockingHttp::request("PUT",
        QUrl("http://" + ip + ":16021/api/v1/" + token + "/" + resource), body, "application/json")
        .status;
}

QString NanoleafSim::shows(const QString& ip)
{
    const QJsonObject d = device(ip);
    return QStringList { d["mode"].toString(), d["select"].toString(),
        d["on"].toBool() ? "on" : "off", QString::number(d["brightness"].toInt()),
        d["color_mode"].toString() }
        .join(' ');
}

QStringList NanoleafSim::requestBodies(const QString& ip, int from)
{
    QStringList out;
    const QJsonArray all = requests(ip);
    for (int i = from; i < all.size(); ++i) {
        const QJsonObject r = all[i].toObject();
        const QString path = r["path"].toString();
        const QString resource = path.section('/', 4);
        const QJsonDocument body = QJsonDocument::fromJson(r["body"].toString().toUtf8());
        out << QString(r["method"].toString() + " " + (resource.isEmpty() ? path : resource)
            + (body.isNull() ? QString()
                             : " " + QString::fromUtf8(body.toJson(QJsonDocument::Compact))));
    }
    return out;
}
