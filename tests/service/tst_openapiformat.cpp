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

// "name|count|pidArrray|mPidArray" read from a layout answer, after "refused" when it is not
// read (which leaves everything else unread too).
QString layoutOf(const QByteArray& answer)
{
    const OpenApiFormat::Info info = OpenApiFormat::parseInfo(answer);
    const auto list = [](const QVector<int>& ids) {
        QStringList out;
        for (int id : ids)
            out << QString::number(id);
        return out.join(',');
    };
    const QString read = QString("%1|%2|%3|%4")
                             .arg(info.name)
                             .arg(info.count)
                             .arg(list(info.pidArrray), list(info.mPidArray));
    if (info.ok)
        return read;
    return (info.v2.ok || !info.v2.panels.empty() || info.scene.ok ? "refused, yet read "
                                                                   : "refused ")
        + read;
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

    // The layout pairing records.
    void info_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("layout");
        const auto row = [](const char* name, const QByteArray& answer, const char* layout) {
            QTest::newRow(name) << answer << layout;
        };
        const QByteArray twoPanels = "[{\"panelId\":1234,\"x\":0},{\"panelId\":7,\"x\":100}]";
        row("Light",
            layoutAnswer("\"Light Panels 52:33:A1\"",
                "[{\"panelId\":82},{\"panelId\":15},{\"panelId\":200}]"),
            "Light Panels 52:33:A1|3|82,15,200|82,15,200");
        row("Light id 300", layoutAnswer("\"Light 3\"", "[{\"panelId\":300}]"), "Light 3|1|44|300");
        row("Canvas", layoutAnswer("\"Canvas 1F:2B:3C\"", twoPanels),
            "Canvas 1F:2B:3C|2|4,210,0,7|1234,7");
        row("neither word", layoutAnswer("\"Shapes 12:34\"", twoPanels), "Shapes 12:34|2||");
        row("panelId missing or not whole",
            layoutAnswer("\"Light 4\"", "[{\"x\":1},{\"panelId\":\"9\"},{\"panelId\":2.5},7]"),
            "Light 4|4|0,0,0,0|0,0,0,0");
        row("not JSON", "<html><body>Service busy</body></html>", "refused |0||");
        row("no name", "{\"panelLayout\":{\"layout\":{\"positionData\":[{\"panelId\":1}]}}}",
            "refused |0||");
        row("positionData an object", layoutAnswer("\"Light 1\"", "{\"panelId\":1}"),
            "refused |0||");
    }

    void info()
    {
        QFETCH(QByteArray, answer);
        QTEST(layoutOf(answer), "layout");
    }

    // Model %1, globalOrientation member %2, second position %3; what v2 reads of them (o: the
    // rotation as read, which refuses nothing); the layout and the scene are read regardless.
    void infoV2_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("turn");
        QTest::addColumn<QString>("position");
        QTest::addColumn<QString>("v2"); // then model, orientation: id x y o shapeType
        const QString m = "\"NL42\"";
        const QString t = R"("globalOrientation":{"value":30},)";
        const QString p = R"({"panelId":65535,"x":-5,"y":12,"o":60,"shapeType":2})";
        const QString read = "read, 2 panels, NL42 30: 65535 -5 12 ";
        const QString refused = "refused, 0 panels";
        QTest::newRow("read") << m << t << p << read + "60 2";
        QTest::newRow("no orientation: 0")
            << m << "" << p << "read, 2 panels, NL42 0: 65535 -5 12 60 2";
        QTest::newRow("model not a string") << "42" << t << p << refused;
        QTest::newRow("orientation text")
            << m << QString(t).replace("30", "\"30\"") << p << refused;
        QTest::newRow("panelId > 65535")
            << m << t << QString(p).replace("65535", "65536") << refused;
        QTest::newRow("x missing") << m << t << QString(p).replace("\"x\"", "\"X\"") << refused;
        QTest::newRow("o fractional")
            << m << t << QString(p).replace("60", "59.6") << read + "60 2";
        QTest::newRow("o out of bounds")
            << m << t << QString(p).replace("60", "1e300") << read + "0 2";
    }

    void infoV2()
    {
        QFETCH(QString, model);
        QFETCH(QString, turn);
        QFETCH(QString, position);
        const QString text = QString(R"({"name":"Shapes 1","model":%1,"panelLayout":{%2)"
                                     R"("layout":{"positionData":[)"
                                     R"({"panelId":1,"x":0,"y":0,"o":0,"shapeType":7},%3]}},)"
                                     R"("state":{"on":{"value":true},"brightness":{"value":40}},)"
                                     R"("effects":{"select":"Forest"}})")
                                 .arg(model, turn, position);
        const OpenApiFormat::Info info = OpenApiFormat::parseInfo(text.toUtf8());
        QVERIFY(info.ok && info.count == 2 && info.scene.effect == "Forest");
        const OpenApiFormat::Info::V2& v2 = info.v2;
        QString read
            = QString("%1, %2 panels").arg(v2.ok ? "read" : "refused").arg(v2.panels.size());
        if (v2.ok && v2.panels.size() == 2) {
            const PanelModel::Panel& p = v2.panels[1];
            read += QString::asprintf(", %s %g: %d %d %d %d %d", qPrintable(v2.model),
                v2.globalOrientation, p.id, p.x, p.y, p.o, p.shapeType);
        }
        QTEST(read, "v2");
    }

    // The bodies of PUT effects: external control, a static effect ("loop" the literal false,
    // "version" a string, "palette" an empty array) and its animData.
    void effectBodies()
    {
        QCOMPARE(OpenApiFormat::externalControlBody(),
            QByteArray("{\n    \"write\": {\n        \"animType\": \"extControl\",\n"
                       "        \"command\": \"display\",\n"
                       "        \"extControlVersion\": \"v2\"\n    }\n}\n"));
        QCOMPARE(OpenApiFormat::staticAnimData(2, { 1234, 7 }),
            QString("2 1234 1 255 201 29 0 12 7 1 255 201 29 0 12"));
        QCOMPARE(OpenApiFormat::staticAnimData(3, {}), QString("3"));
        QCOMPARE(OpenApiFormat::staticEffectBody("1 82 1 255 201 29 0 12"),
            QByteArray("{\n    \"write\": {\n"
                       "        \"animData\": \"1 82 1 255 201 29 0 12\",\n"
                       "        \"animType\": \"static\",\n"
                       "        \"command\": \"display\",\n"
                       "        \"loop\": false,\n"
                       "        \"palette\": [\n        ],\n"
                       "        \"version\": \"2.0\"\n    }\n}\n"));
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
};

QTEST_GUILESS_MAIN(tst_OpenApiFormat)
#include "tst_openapiformat.moc"
