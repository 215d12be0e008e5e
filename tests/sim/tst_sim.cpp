// The device simulator checked against the public Nanoleaf OpenAPI and external-control
// datagram layouts (not the tool's code): its answers, and which datagrams light which panels.

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
        // Shapes in pairing mode: the controller (no LEDs) and a hexagon.
        QJsonObject shapes = NanoleafSim::canvas("127.0.0.4", { 2, 4660 }, "Shapes 07E7");
        shapes.insert("model", "NL42");
        shapes.insert("pairing_mode", true);
        sim.setDevices(
            NanoleafSim::with({ NanoleafSim::lightPanels(), NanoleafSim::canvas(), shapes },
                "tokens", QJsonArray { kToken }));
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    }

    void init() { QVERIFY2(sim.reset(), qPrintable(sim.errorString())); }

    void openApi_data()
    {
        QTest::addColumn<QString>("request"); // verb ip path; $T: the device's token
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer"); // the status, then a part of the body
        const auto row
            = [](const char* name, const char* request, const QByteArray& body,
                  const char* answer) { QTest::newRow(name) << request << body << answer; };
        row("pairing, mode off", "POST 127.0.0.2 /api/v1/new", "", "403");
        row("pairing, mode on", "POST 127.0.0.4 /api/v1/new", "", "200 {\"auth_token\":\"");
        row("unknown token", "GET 127.0.0.2 /api/v1/NotAToken/", "", "401");
        row("Light Panels description", "GET 127.0.0.2 /api/v1/$T/", "", "200 \"numPanels\":3");
        row("Light Panels, v1", "PUT 127.0.0.2 /api/v1/$T/effects", extControl("v1"),
            "200 \"streamControlPort\":60221");
        row("Canvas, v1 refused", "PUT 127.0.0.3 /api/v1/$T/effects", extControl("v1"), "400");
        row("Shapes, v2", "PUT 127.0.0.4 /api/v1/$T/effects", extControl("v2"), "204");
        row("Light Panels, v2: where to stream", "PUT 127.0.0.2 /api/v1/$T/effects",
            extControl("v2"), "200 \"streamControlPort\":60222");
        row("select an effect", "PUT 127.0.0.2 /api/v1/$T/effects", "{\"select\": \"Nemo\"}",
            "204");
        row("the selected effect", "GET 127.0.0.2 /api/v1/$T/effects/select", "", "200 \"Flames\"");
    }

    void openApi()
    {
        QFETCH(QString, request);
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);
        const QStringList part = request.replace("$T", kToken).split(' ');
        const BlockingHttp::Result r = BlockingHttp::request(part[0].toLatin1(),
            QUrl("http://" + part[1] + ":16021" + part[2]), body,
            body.isEmpty() ? QByteArray() : QByteArray("application/json"));
        QCOMPARE(r.status, answer.left(3).toInt());
        QVERIFY2(r.body.contains(answer.mid(4).toUtf8()), r.body.constData());
    }

    void stream_data()
    {
        QTest::addColumn<QString>("target"); // ip, port, the external control version or "-"
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QString>("lit"); // "id r g b; ..." in record order, or the status
        const QByteArray light = QByteArray::fromHex("035201FF000000000F0100FF000000C8011020300000")
            + QByteArray(74, '\0');
        const QByteArray canvas
            = QByteArray::fromHex("000204D2FF000000000000070080FF000000") + QByteArray(102, '\0');
        const auto row = [](const char* name, const char* target, const QByteArray& datagram,
                             const char* lit) { QTest::newRow(name) << target << datagram << lit; };
        row("Light Panels, v1 on 60221", "127.0.0.2 60221 v1", light,
            "82 255 0 0; 15 0 255 0; 200 16 32 48");
        row("Canvas, v2 on 60222", "127.0.0.3 60222 v2", canvas, "1234 255 0 0; 7 0 128 255");
        row("not in external control", "127.0.0.3 60222 -", canvas, "ignored");
        row("short datagram", "127.0.0.3 60222 v2", QByteArray::fromHex("000204D2FF"), "malformed");
    }

    void stream()
    {
        QFETCH(QString, target);
        QFETCH(QByteArray, datagram);
        QFETCH(QString, lit);
        const QStringList t = target.split(' ');
        const QUrl effects("http://" + t[0] + ":16021/api/v1/" + kToken + "/effects");
        const QByteArray on = extControl(t[2].toLatin1());
        QVERIFY(t[2] == "-"
            || BlockingHttp::request("PUT", effects, on, "application/json").status < 300);
        QUdpSocket socket;
        QCOMPARE(socket.writeDatagram(datagram, QHostAddress(t[0]), t[1].toUShort()),
            qint64(datagram.size()));
        QTRY_COMPARE(sim.frames(t[0]).size(), 1);
        const QJsonObject frame = sim.frames(t[0]).first().toObject();
        QStringList records;
        for (const QJsonValue& v : frame.value("records").toArray())
            records << QString::asprintf("%d %d %d %d", v["panelId"].toInt(), v["r"].toInt(),
                v["g"].toInt(), v["b"].toInt());
        QCOMPARE(
            frame["status"] == "accepted" ? records.join("; ") : frame["status"].toString(), lit);
    }
};

QTEST_GUILESS_MAIN(tst_Sim)
#include "tst_sim.moc"
