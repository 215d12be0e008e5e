// What the device service reads from OpenAPI answers and writes into its
// requests, as bytes: pairing answers, layout answers, effect bodies.

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

    void parseLayout_data()
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
        // The stream sender treats such a name as "Canvas": two id bytes per panel.
        QTest::newRow("both words")
            << layoutAnswer("\"Light Canvas 9\"", twoPanels) << true << "Light Canvas 9" << 2
            << QVector<int> { 4, 210, 0, 7 } << QVector<int> { 1234, 7 };
        QTest::newRow("neither word") << layoutAnswer("\"Shapes 12:34\"", twoPanels) << true
                                      << "Shapes 12:34" << 2 << QVector<int> {} << QVector<int> {};
        QTest::newRow("no panels") << layoutAnswer("\"Canvas 0\"", "[]") << true << "Canvas 0" << 0
                                   << QVector<int> {} << QVector<int> {};
        QTest::newRow("panelId missing or not whole")
            << layoutAnswer("\"Light 4\"", "[{\"x\":1},{\"panelId\":\"9\"},{\"panelId\":2.5},7]")
            << true << "Light 4" << 4 << QVector<int> { 0, 0, 0, 0 } << QVector<int> { 0, 0, 0, 0 };

        const auto failed = [](const char* row, const QByteArray& answer) {
            QTest::newRow(row) << answer << false << "" << 0 << QVector<int> {} << QVector<int> {};
        };
        failed("empty", "");
        failed("not JSON", "<html><body>Service busy</body></html>");
        failed("JSON array", "[" + layoutAnswer("\"Light 1\"", "[]") + "]");
        failed("no name", "{\"panelLayout\":{\"layout\":{\"positionData\":[{\"panelId\":1}]}}}");
        failed("name a number", layoutAnswer("5", twoPanels));
        failed("name empty", layoutAnswer("\"\"", twoPanels));
        failed("no panelLayout", "{\"name\":\"Light 1\"}");
        failed("layout a text", "{\"name\":\"Light 1\",\"panelLayout\":{\"layout\":\"wide\"}}");
        failed("positionData missing", "{\"name\":\"Light 1\",\"panelLayout\":{\"layout\":{}}}");
        failed("positionData an object", layoutAnswer("\"Light 1\"", "{\"panelId\":1}"));
    }

    void parseLayout()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(QString, name);
        QFETCH(int, count);
        QFETCH(QVector<int>, pidArrray);
        QFETCH(QVector<int>, mPidArray);
        const OpenApiFormat::Layout layout = OpenApiFormat::parseLayout(answer);
        QCOMPARE(layout.ok, ok);
        QCOMPARE(layout.name, name);
        QCOMPARE(layout.count, count);
        QCOMPARE(layout.pidArrray, pidArrray);
        QCOMPARE(layout.mPidArray, mPidArray);
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
        QCOMPARE(OpenApiFormat::staticAnimData(0, {}), QString("0"));
        QCOMPARE(OpenApiFormat::staticAnimData(3, {}), QString("3"));
        QCOMPARE(OpenApiFormat::staticAnimData(0, { 0 }), QString("0 0 1 255 201 29 0 12"));
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
