#include "tests/common/blockinghttp.h"
#include "tests/common/nanoleafsim.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtTest>

namespace
{

const QString kLight = QStringLiteral("127.0.0.2");
const QString kToken = QStringLiteral("FaultToken123456789abcdefABCDEFG");

QUrl lightUrl(const QString& path)
{
    return QUrl(QStringLiteral("http://%1:16021%2").arg(kLight, path));
}

QString descriptionPath()
{
    return QStringLiteral("/api/v1/%1/").arg(kToken);
}

QByteArray extControlV2()
{
    return QByteArrayLiteral(
        R"({"write":{"animType":"extControl","command":"display","extControlVersion":"v2"}})");
}

} // namespace

class tst_SimFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void hangHoldsTheConnectionUnanswered_data();
    void hangHoldsTheConnectionUnanswered();
    void answers_data();
    void answers();
    void invalidFaultsAreRefused_data();
    void invalidFaultsAreRefused();
    void resetClearsFaults();

private:
    NanoleafSim m_sim;
};

void tst_SimFaults::initTestCase()
{
    QJsonObject light = NanoleafSim::lightPanels();
    light.insert(QStringLiteral("tokens"), QJsonArray { kToken });
    m_sim.setDevices(QJsonArray { light, NanoleafSim::canvas() });
    QVERIFY2(m_sim.start(), qPrintable(m_sim.errorString()));
}

void tst_SimFaults::init()
{
    QVERIFY2(m_sim.reset(), qPrintable(m_sim.errorString()));
}

void tst_SimFaults::hangHoldsTheConnectionUnanswered_data()
{
    QTest::addColumn<bool>("releaseByReset");

    QTest::newRow("released by clearing the fault") << false;
    QTest::newRow("released by a reset") << true;
}

void tst_SimFaults::hangHoldsTheConnectionUnanswered()
{
    QFETCH(bool, releaseByReset);

    QVERIFY(
        m_sim.setFault(kLight, QJsonObject { { QStringLiteral("http"), QStringLiteral("hang") } }));
    // A plain socket, not QNetworkAccessManager: that one quietly sends a request
    // again when its connection closes before any answer, which would hide the drop.
    QTcpSocket socket;
    socket.connectToHost(kLight, 16021);
    QVERIFY(socket.waitForConnected(5000));
    const QByteArray request = "GET " + descriptionPath().toLatin1()
        + " HTTP/1.1\r\nHost: " + kLight.toLatin1() + ":16021\r\n\r\n";
    QCOMPARE(socket.write(request), qint64(request.size()));

    // The device has the request and sits on it.
    QTRY_COMPARE(m_sim.requests(kLight).size(), 1);
    QCOMPARE(m_sim.requests(kLight).first().toObject().value(QLatin1String("status")).toInt(), 0);
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(socket.bytesAvailable(), qint64(0));

    if (releaseByReset)
        QVERIFY(m_sim.reset());
    else
        QVERIFY(m_sim.setFault(
            kLight, QJsonObject { { QStringLiteral("http"), QStringLiteral("none") } }));
    // Released, the connection closes without a single byte of answer.
    QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(socket.readAll().isEmpty());
    if (!releaseByReset) {
        const QJsonObject entry = m_sim.requests(kLight).first().toObject();
        QCOMPARE(entry.value(QLatin1String("status")).toInt(), -1);
    }
}

void tst_SimFaults::answers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("pairingMode");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expect");

    const QString pairing = QStringLiteral("/api/v1/new");
    const QString effects = QStringLiteral("/api/v1/%1/effects").arg(kToken);
    QTest::newRow("slow: the normal description, later")
        << "slow" << QByteArray("GET") << descriptionPath() << QByteArray() << false << 200
        << "description";
    QTest::newRow("nonjson: description") << "nonjson" << QByteArray("GET") << descriptionPath()
                                          << QByteArray() << false << 200 << "not json";
    QTest::newRow("nonjson: pairing, even with pairing mode off")
        << "nonjson" << QByteArray("POST") << pairing << QByteArray() << false << 200 << "not json";
    QTest::newRow("huge: description") << "huge" << QByteArray("GET") << descriptionPath()
                                       << QByteArray() << false << 200 << "huge description";
    QTest::newRow("huge: pairing")
        << "huge" << QByteArray("POST") << pairing << QByteArray() << true << 200 << "huge token";
    QTest::newRow("wrongtypes: description")
        << "wrongtypes" << QByteArray("GET") << descriptionPath() << QByteArray() << false << 200
        << "mistyped description";
    QTest::newRow("wrongtypes: pairing") << "wrongtypes" << QByteArray("POST") << pairing
                                         << QByteArray() << true << 200 << "numeric token";
    QTest::newRow("wrongtypes: pairing mode off still refuses")
        << "wrongtypes" << QByteArray("POST") << pairing << QByteArray() << false << 403 << "empty";
    QTest::newRow("wrongtypes: an answer without a body stays empty")
        << "wrongtypes" << QByteArray("PUT") << effects << extControlV2() << false << 204
        << "empty";
}

void tst_SimFaults::answers()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, verb);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(bool, pairingMode);
    QFETCH(int, status);
    QFETCH(QString, expect);

    QVERIFY(m_sim.setPairing(kLight, pairingMode));
    QJsonObject setting { { QStringLiteral("http"), fault } };
    if (fault == QLatin1String("slow"))
        setting.insert(QStringLiteral("delay_ms"), 300);
    QVERIFY2(m_sim.setFault(kLight, setting), qPrintable(m_sim.errorString()));

    const BlockingHttp::Result r
        = BlockingHttp::request(verb, lightUrl(path), body, "application/json", 20000);
    QVERIFY(r.finished);
    QCOMPARE(r.status, status);
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(r.body, &error);
    const QJsonObject object = doc.object();

    if (expect == QLatin1String("description")) {
        QCOMPARE(object.value(QLatin1String("name")).toString(),
            QStringLiteral("Light Panels 52:33:A1"));
    } else if (expect == QLatin1String("not json")) {
        QVERIFY(!r.body.isEmpty());
        QVERIFY(error.error != QJsonParseError::NoError);
    } else if (expect == QLatin1String("huge description")) {
        QCOMPARE(r.body.size(), 10 * 1024 * 1024);
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(object.value(QLatin1String("name")).toString(),
            QStringLiteral("Light Panels 52:33:A1"));
        QCOMPARE(object.value(QLatin1String("panelLayout"))
                     .toObject()
                     .value(QLatin1String("layout"))
                     .toObject()
                     .value(QLatin1String("positionData"))
                     .toArray()
                     .size(),
            3);
    } else if (expect == QLatin1String("huge token")) {
        QCOMPARE(r.body.size(), 10 * 1024 * 1024);
        QCOMPARE(object.value(QLatin1String("auth_token")).toString().size(), 32);
    } else if (expect == QLatin1String("mistyped description")) {
        QCOMPARE(error.error, QJsonParseError::NoError);
        QVERIFY(object.value(QLatin1String("name")).isDouble());
        const QJsonArray positions = object.value(QLatin1String("panelLayout"))
                                         .toObject()
                                         .value(QLatin1String("layout"))
                                         .toObject()
                                         .value(QLatin1String("positionData"))
                                         .toArray();
        QCOMPARE(positions.size(), 3);
        for (const QJsonValue& p : positions)
            QVERIFY(p.toObject().value(QLatin1String("panelId")).isString());
    } else if (expect == QLatin1String("numeric token")) {
        QVERIFY(object.value(QLatin1String("auth_token")).isDouble());
    } else if (expect == QLatin1String("empty")) {
        QVERIFY(r.body.isEmpty());
    } else {
        QFAIL(qPrintable(expect));
    }
    QVERIFY(
        m_sim.requests(kLight).last().toObject().value(QLatin1String("outcome")).toString().size()
        > 0);
}

void tst_SimFaults::invalidFaultsAreRefused_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QJsonObject>("fault");

    QTest::newRow("unknown http fault")
        << kLight << QJsonObject { { QStringLiteral("http"), QStringLiteral("explode") } };
    QTest::newRow("unknown mdns fault")
        << kLight << QJsonObject { { QStringLiteral("mdns"), QStringLiteral("loud") } };
    QTest::newRow("negative delay") << kLight << QJsonObject { { QStringLiteral("delay_ms"), -1 } };
    QTest::newRow("delay as text")
        << kLight << QJsonObject { { QStringLiteral("delay_ms"), QStringLiteral("5") } };
    QTest::newRow("no device there") << QStringLiteral(
        "127.0.0.9") << QJsonObject { { QStringLiteral("http"), QStringLiteral("none") } };
}

void tst_SimFaults::invalidFaultsAreRefused()
{
    QFETCH(QString, ip);
    QFETCH(QJsonObject, fault);

    QVERIFY(!m_sim.setFault(ip, fault));
    const QJsonObject faults = m_sim.device(kLight).value(QLatin1String("faults")).toObject();
    QCOMPARE(faults.value(QLatin1String("http")).toString(), QStringLiteral("none"));
    QCOMPARE(faults.value(QLatin1String("mdns")).toString(), QStringLiteral("none"));
}

void tst_SimFaults::resetClearsFaults()
{
    QVERIFY(m_sim.setFault(kLight,
        QJsonObject { { QStringLiteral("http"), QStringLiteral("nonjson") },
            { QStringLiteral("mdns"), QStringLiteral("silent") } }));
    QVERIFY(m_sim.reset());
    const QJsonObject faults = m_sim.device(kLight).value(QLatin1String("faults")).toObject();
    QCOMPARE(faults.value(QLatin1String("http")).toString(), QStringLiteral("none"));
    QCOMPARE(faults.value(QLatin1String("mdns")).toString(), QStringLiteral("none"));
    const BlockingHttp::Result r = BlockingHttp::request("GET", lightUrl(descriptionPath()));
    QCOMPARE(r.status, 200);
    QCOMPARE(QJsonDocument::fromJson(r.body).object().value(QLatin1String("model")).toString(),
        QStringLiteral("NL22"));
}

QTEST_GUILESS_MAIN(tst_SimFaults)
#include "tst_simfaults.moc"
