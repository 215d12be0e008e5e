// What the device service reads from OpenAPI answers and writes into its requests.

#include "service/openapiformat.h"

#include <QtTest>

namespace
{

QByteArray layoutAnswer(const QByteArray& name, const QByteArray& positionData)
{
    return "{\"name\":" + name
        + ",\"serialNo\":\"S19\",\"panelLayout\":{\"layout\":"
          "{\"numPanels\":2,\"positionData\":"
        + positionData + "}}}";
}

// An info answer's state and effects: "on", brightness, colorMode, then the
// members given (e.g. "\"hue\":{\"value\":120}"), and the selected effect.
QByteArray sceneAnswer(const char* on, const char* brightness, const char* mode,
    const QByteArray& more, const char* select)
{
    return QByteArray("{\"name\":\"Shapes 1\",\"state\":{\"on\":{\"value\":") + on
        + "},\"brightness\":{\"value\":" + brightness + ",\"max\":100},\"colorMode\":\"" + mode
        + "\"" + (more.isEmpty() ? "" : "," + more) + "},\"effects\":{\"select\":" + select
        + ",\"effectsList\":[\"Forest\"]}}";
}

QString requestsOf(const OpenApiFormat::Scene& scene)
{
    QStringList lines;
    for (const OpenApiFormat::Request& request : OpenApiFormat::restoreRequests(scene))
        lines << request.resource + " " + request.body;
    return lines.join(" | ");
}

} // namespace

class tst_OpenApiFormat : public QObject
{
    Q_OBJECT

private slots:
    // A token that is missing, not a string or empty is a refused pairing.
    void pairingToken()
    {
        QCOMPARE(OpenApiFormat::pairingToken("{\"auth_token\":\"0123456789abcdef\"}"),
            QString("0123456789abcdef"));
        for (const char* refused : { "", "{\"error\":\"forbidden\"}", "{\"auth_token\":12345678}",
                 "{\"auth_token\":\"\"}", "<html>auth_token</html>", "[{\"auth_token\":\"abc\"}]" })
            QVERIFY2(OpenApiFormat::pairingToken(refused).isEmpty(), refused);
    }

    void info_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("count");
        QTest::addColumn<QVector<int>>("pidArrray");
        QTest::addColumn<QVector<int>>("mPidArray");

        const QByteArray twoPanels = "[{\"panelId\":1234,\"x\":0},{\"panelId\":7,\"x\":100}]";
        QTest::newRow("Light") << layoutAnswer(
            "\"Light Panels 52:33:A1\"", "[{\"panelId\":82},{\"panelId\":15},{\"panelId\":200}]")
                               << true << "Light Panels 52:33:A1" << 3
                               << QVector<int> { 82, 15, 200 } << QVector<int> { 82, 15, 200 };
        QTest::newRow("Light id 300")
            << layoutAnswer("\"Light 3\"", "[{\"panelId\":300}]") << true << "Light 3" << 1
            << QVector<int> { 44 } << QVector<int> { 300 };
        QTest::newRow("Canvas") << layoutAnswer("\"Canvas 1F:2B:3C\"", twoPanels) << true
                                << "Canvas 1F:2B:3C" << 2 << QVector<int> { 4, 210, 0, 7 }
                                << QVector<int> { 1234, 7 };
        QTest::newRow("neither word") << layoutAnswer("\"Shapes 12:34\"", twoPanels) << true
                                      << "Shapes 12:34" << 2 << QVector<int> {} << QVector<int> {};
        QTest::newRow("panelId missing or not whole")
            << layoutAnswer("\"Light 4\"", "[{\"x\":1},{\"panelId\":\"9\"},{\"panelId\":2.5},7]")
            << true << "Light 4" << 4 << QVector<int> { 0, 0, 0, 0 } << QVector<int> { 0, 0, 0, 0 };

        const auto failed = [](const char* row, const QByteArray& answer) {
            QTest::newRow(row) << answer << false << "" << 0 << QVector<int> {} << QVector<int> {};
        };
        failed("not JSON", "<html><body>Service busy</body></html>");
        failed("no name", "{\"panelLayout\":{\"layout\":{\"positionData\":[{\"panelId\":1}]}}}");
        failed("positionData an object", layoutAnswer("\"Light 1\"", "{\"panelId\":1}"));
    }

    // The layout pairing records; an answer it refuses gives nothing else either.
    void info()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(QString, name);
        QFETCH(int, count);
        QFETCH(QVector<int>, pidArrray);
        QFETCH(QVector<int>, mPidArray);
        const OpenApiFormat::Info info = OpenApiFormat::parseInfo(answer);
        QCOMPARE(info.ok, ok);
        QCOMPARE(info.name, name);
        QCOMPARE(info.count, count);
        QCOMPARE(info.pidArrray, pidArrray);
        QCOMPARE(info.mPidArray, mPidArray);
        if (!ok)
            QVERIFY(!info.v2.ok && info.v2.panels.empty() && !info.scene.ok);
    }

    // Model %1, globalOrientation member %2, second position %3 (o: its rotation as read,
    // which refuses nothing); the layout and the scene are read whatever v2 makes of it.
    void infoV2_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("turn");
        QTest::addColumn<QString>("position");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("o");
        const QString m = "\"NL42\"";
        const QString t = R"("globalOrientation":{"value":30},)";
        const QString p = R"({"panelId":65535,"x":-5,"y":12,"o":60,"shapeType":2})";
        QTest::newRow("read") << m << t << p << true << 60;
        QTest::newRow("no orientation: 0") << m << "" << p << true << 60;
        QTest::newRow("model not a string") << "42" << t << p << false << 0;
        QTest::newRow("orientation text")
            << m << QString(t).replace("30", "\"30\"") << p << false << 0;
        QTest::newRow("panelId > 65535")
            << m << t << QString(p).replace("65535", "65536") << false << 0;
        QTest::newRow("x missing") << m << t << QString(p).replace("\"x\"", "\"X\"") << false << 0;
        QTest::newRow("o fractional") << m << t << QString(p).replace("60", "59.6") << true << 60;
        QTest::newRow("o out of bounds")
            << m << t << QString(p).replace("60", "1e300") << true << 0;
    }

    void infoV2()
    {
        QFETCH(QString, model);
        QFETCH(QString, turn);
        QFETCH(QString, position);
        QFETCH(bool, ok);
        QFETCH(int, o);
        const QString text = QString(R"({"name":"Shapes 1","model":%1,"panelLayout":{%2)"
                                     R"("layout":{"positionData":[)"
                                     R"({"panelId":1,"x":0,"y":0,"o":0,"shapeType":7},%3]}},)"
                                     R"("state":{"on":{"value":true},"brightness":{"value":40}},)"
                                     R"("effects":{"select":"Forest"}})")
                                 .arg(model, turn, position);
        const OpenApiFormat::Info info = OpenApiFormat::parseInfo(text.toUtf8());
        QVERIFY(info.ok);
        QCOMPARE(info.count, 2);
        QCOMPARE(info.scene.effect, QString("Forest"));
        QCOMPARE(info.v2.ok, ok);
        QCOMPARE(info.v2.panels.size(), std::size_t(ok ? 2 : 0));
        if (!ok)
            return;
        QCOMPARE(info.v2.model, QString("NL42"));
        QCOMPARE(info.v2.globalOrientation, turn.isEmpty() ? 0.0 : 30.0);
        const PanelModel::Panel& read = info.v2.panels[1];
        QCOMPARE(QVector<int>({ read.id, read.x, read.y, read.o, read.shapeType }),
            QVector<int>({ 65535, -5, 12, o, 2 }));
    }

    void externalControlBody()
    {
        QCOMPARE(OpenApiFormat::externalControlBody(),
            QByteArray("{\n    \"write\": {\n        \"animType\": \"extControl\",\n"
                       "        \"command\": \"display\",\n"
                       "        \"extControlVersion\": \"v2\"\n    }\n}\n"));
    }

    void staticAnimData()
    {
        QCOMPARE(OpenApiFormat::staticAnimData(2, { 1234, 7 }),
            QString("2 1234 1 255 201 29 0 12 7 1 255 201 29 0 12"));
        QCOMPARE(OpenApiFormat::staticAnimData(3, {}), QString("3"));
    }

    // A scene comes back as the effect when it can be selected again, then brightness (and a
    // solid colour) with "on", or "on" false last; a scene written out reads back the same.
    void scenes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("requests");
        const QByteArray hs = "\"hue\":{\"value\":120},\"sat\":{\"value\":50}";
        const QByteArray ct = "\"ct\":{\"value\":2700}";
        const QString state40 = "state {\"brightness\":{\"value\":40},\"on\":{\"value\":true}}";
        const auto row = [](const char* name, const QByteArray& answer, const QString& requests) {
            QTest::newRow(name) << answer << requests;
        };
        row("named effect", sceneAnswer("true", "40", "effect", {}, "\"Forest\""),
            "effects {\"select\":\"Forest\"} | " + state40);
        row("solid colour", sceneAnswer("true", "60", "hs", hs, "\"*Solid*\""),
            "state {\"brightness\":{\"value\":60},\"hue\":{\"value\":120},\"on\":{\"value\":"
            "true},\"sat\":{\"value\":50}}");
        row("colour temperature", sceneAnswer("true", "40", "ct", ct, "\"*Solid*\""),
            "state {\"brightness\":{\"value\":40},\"ct\":{\"value\":2700},\"on\":{\"value\":"
            "true}}");
        row("temporary effect", sceneAnswer("true", "40", "effect", {}, "\"*Dynamic*\""), state40);
        row("no effect named", sceneAnswer("true", "40", "effect", {}, "\"\""), state40);
        row("unknown colour mode", sceneAnswer("true", "40", "xy", hs, "\"Forest\""),
            "effects {\"select\":\"Forest\"} | " + state40);
        row("off", sceneAnswer("false", "0", "effect", {}, "\"Nemo\""),
            "effects {\"select\":\"Nemo\"} | state {\"brightness\":{\"value\":0}} | state "
            "{\"on\":{\"value\":false}}");
        row("not JSON", "<html>busy</html>", "");
        row("on not a boolean", sceneAnswer("\"on\"", "40", "effect", {}, "\"Forest\""), "");
        row("brightness above 100", sceneAnswer("true", "101", "effect", {}, "\"Forest\""), "");
        row("select missing", sceneAnswer("true", "40", "effect", {}, "null"), "");
        row("solid colour without sat",
            sceneAnswer("true", "40", "hs", "\"hue\":{\"value\":1}", "\"*Solid*\""), "");
    }

    void scenes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, requests);
        const OpenApiFormat::Scene scene = OpenApiFormat::parseScene(answer);
        QCOMPARE(scene.ok, !requests.isEmpty());
        QCOMPARE(requestsOf(scene), requests);
        QCOMPARE(requestsOf(OpenApiFormat::parseScene(OpenApiFormat::sceneText(scene))), requests);
        QVERIFY(!scene.externalControl());
    }

    // The watch's answer is one JSON string; the external-control answer may name
    // where the stream goes.
    void smallAnswers()
    {
        QVERIFY(
            OpenApiFormat::parseScene(sceneAnswer("true", "40", "effect", {}, "\"*ExtControl*\""))
                .externalControl());
        const std::pair<QByteArray, QString> selected[]
            = { { " \"*ExtControl*\"\n", "*ExtControl*" }, { "\"\"", "" }, { "5", "-" },
                  { "\"a\"],[\"b\"", "-" } };
        for (const auto& [answer, effect] : selected) {
            QString read = "-";
            QCOMPARE(OpenApiFormat::parseSelected(answer, read), effect != "-");
            QCOMPARE(read, effect);
        }
        const std::tuple<QByteArray, QString, int> streams[]
            = { { "{\"streamControlIpAddr\":\"192.168.1.5\",\"streamControlPort\":60221,"
                  "\"streamControlProtocol\":\"udp\"}",
                    "192.168.1.5", 60221 },
                  { "{\"streamControlIpAddr\":5,\"streamControlPort\":\"60222\"}", "", 0 },
                  { "{\"streamControlPort\":65536}", "", 0 } };
        for (const auto& [answer, address, port] : streams) {
            const OpenApiFormat::StreamAddress stream = OpenApiFormat::parseStreamAddress(answer);
            QCOMPARE(stream.address, address);
            QCOMPARE(stream.port, port);
        }
    }

    // "loop" is the literal false, "version" a string, "palette" an empty array.
    void staticEffectBody()
    {
        QCOMPARE(OpenApiFormat::staticEffectBody("1 82 1 255 201 29 0 12"),
            QByteArray("{\n    \"write\": {\n"
                       "        \"animData\": \"1 82 1 255 201 29 0 12\",\n"
                       "        \"animType\": \"static\",\n"
                       "        \"command\": \"display\",\n"
                       "        \"loop\": false,\n"
                       "        \"palette\": [\n        ],\n"
                       "        \"version\": \"2.0\"\n    }\n}\n"));
    }
};

QTEST_GUILESS_MAIN(tst_OpenApiFormat)
#include "tst_openapiformat.moc"
