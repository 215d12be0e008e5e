// The device simulator as the tool and the demo use it, checked against the
// public Nanoleaf OpenAPI and the external-control datagram layouts, not
// against the tool's own code: the OpenAPI answers, and which datagrams light
// which panels.

#include "tests/common/blockinghttp.h"
#include "tests/common/nanoleafsim.h"

#include <QUdpSocket>
#include <QtTest>

namespace
{

const QString kToken = QStringLiteral("Token0123456789abcdefABCDEF01234");

QByteArray extControl(const QByteArray& version)
{
    return "{\"write\": {\"command\": \"display\", \"animType\": \"extControl\", "
           "\"extControlVersion\": \""
        + version + "\"}}";
}

} // namespace

class tst_Sim : public QObject
{
    Q_OBJECT

    NanoleafSim sim;

private slots:
    void initTestCase()
    {
        QJsonArray devices;
        QJsonObject shapes = NanoleafSim::canvas(QStringLiteral("127.0.0.4"), { 2, 4660, 43981 },
            QStringLiteral("Shapes 07E7")); // the controller (no LEDs), two hexagons
        shapes.insert(QStringLiteral("model"), QStringLiteral("NL42"));
        shapes.insert(QStringLiteral("pairing_mode"), true);
        for (QJsonObject d : { NanoleafSim::lightPanels(), NanoleafSim::canvas(), shapes }) {
            d.insert(QStringLiteral("tokens"), QJsonArray { kToken });
            devices.append(d);
        }
        sim.setDevices(devices);
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    }

    void init() { QVERIFY2(sim.reset(), qPrintable(sim.errorString())); }

    void openApi_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QString>("path"); // $T: the device's token
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer"); // a part of the body
        const auto row = [](const char* name, const char* ip, const char* verb, const char* path,
                             const QByteArray& body, int status, const char* answer = "") {
            QTest::newRow(name) << ip << QByteArray(verb) << path << body << status
                                << QByteArray(answer);
        };
        row("pairing, mode off", "127.0.0.2", "POST", "/api/v1/new", "", 403);
        row("pairing, mode on", "127.0.0.4", "POST", "/api/v1/new", "", 200, "{\"auth_token\":\"");
        row("unknown token", "127.0.0.2", "GET", "/api/v1/NotAToken/", "", 401);
        row("Light Panels description", "127.0.0.2", "GET", "/api/v1/$T/", "", 200,
            "\"numPanels\":3");
        row("Light Panels, v1", "127.0.0.2", "PUT", "/api/v1/$T/effects", extControl("v1"), 200,
            "\"streamControlPort\":60221");
        row("Canvas, v1 refused", "127.0.0.3", "PUT", "/api/v1/$T/effects", extControl("v1"), 400);
        row("Shapes, v2", "127.0.0.4", "PUT", "/api/v1/$T/effects", extControl("v2"), 204);
        row("no token deletion", "127.0.0.3", "DELETE", "/api/v1/$T", "", 405);
    }

    void openApi()
    {
        QFETCH(QString, ip);
        QFETCH(QByteArray, verb);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        const BlockingHttp::Result r = BlockingHttp::request(verb,
            QUrl(QStringLiteral("http://%1:16021%2").arg(ip, path.replace("$T", kToken))), body,
            body.isEmpty() ? QByteArray() : QByteArray("application/json"));
        QCOMPARE(r.status, status);
        QVERIFY2(r.body.contains(answer), r.body.constData());
    }

    void stream_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<quint16>("port");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("lit"); // "id r g b; ..." in record order, or the status
        const QByteArray light = QByteArray::fromHex("035201FF000000000F0100FF000000C8011020300000")
            + QByteArray(74, '\0');
        const QByteArray canvas
            = QByteArray::fromHex("000204D2FF000000000000070080FF000000") + QByteArray(102, '\0');
        const auto row = [](const char* name, const char* ip, const char* mode, int port,
                             const QByteArray& datagram, const char* lit) {
            QTest::newRow(name) << ip << mode << quint16(port) << datagram << lit;
        };
        row("Light Panels, v1 on 60221", "127.0.0.2", "v1", 60221, light,
            "82 255 0 0; 15 0 255 0; 200 16 32 48");
        row("Canvas, v2 on 60222", "127.0.0.3", "v2", 60222, canvas, "1234 255 0 0; 7 0 128 255");
        row("Shapes, two-byte ids", "127.0.0.4", "v2", 60222,
            QByteArray::fromHex("00021234FF0000000000ABCD0080FF000000"),
            "4660 255 0 0; 43981 0 128 255");
        row("not in external control", "127.0.0.3", "", 60222, canvas, "ignored");
        row("short datagram", "127.0.0.3", "v2", 60222, QByteArray::fromHex("000204D2FF"),
            "malformed");
    }

    void stream()
    {
        QFETCH(QString, ip);
        QFETCH(QString, mode);
        QFETCH(quint16, port);
        QFETCH(QByteArray, datagram);
        QFETCH(QString, lit);
        const QUrl effects("http://" + ip + ":16021/api/v1/" + kToken + "/effects");
        QVERIFY(mode.isEmpty()
            || BlockingHttp::request(
                   "PUT", effects, extControl(mode.toLatin1()), "application/json")
                    .status
                < 300);
        QUdpSocket socket;
        QCOMPARE(socket.writeDatagram(datagram, QHostAddress(ip), port), qint64(datagram.size()));
        QTRY_COMPARE(sim.frames(ip).size(), 1);
        const QJsonObject frame = sim.frames(ip).first().toObject();
        QStringList records;
        for (const QJsonValue& v : frame.value("records").toArray())
            records << QStringLiteral("%1 %2 %3 %4")
                           .arg(v["panelId"].toInt())
                           .arg(v["r"].toInt())
                           .arg(v["g"].toInt())
                           .arg(v["b"].toInt());
        const QString status = frame.value("status").toString();
        QCOMPARE(status == "accepted" ? records.join("; ") : status, lit);
    }
};

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"
