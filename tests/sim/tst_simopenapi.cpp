#include "tests/common/blockinghttp.h"
#include "tests/common/nanoleafsim.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <algorithm>

namespace
{

const QString kLight = QStringLiteral("127.0.0.2");
const QString kCanvas = QStringLiteral("127.0.0.3");
const QString kShapes = QStringLiteral("127.0.0.4");
const QString kElements = QStringLiteral("127.0.0.5");
const QString kLines = QStringLiteral("127.0.0.6");
const QString kSkylight = QStringLiteral("127.0.0.7");
const QString k4D = QStringLiteral("127.0.0.8");
const QString kLightToken = QStringLiteral("LightToken0123456789abcdefABCDEF");
const QString kCanvasToken = QStringLiteral("CanvasToken123456789abcdefABCDEF");

QUrl deviceUrl(const QString& ip, const QString& path)
{
    return QUrl(QStringLiteral("http://%1:16021%2").arg(ip, path));
}

QString tokenOf(const QString& ip)
{
    return ip == kLight ? kLightToken : kCanvasToken;
}

// A device of a later model with the Canvas token; without ids it gets its model's
// default layout.
QJsonObject laterModel(
    const QString& ip, const QString& model, const QString& name, const QVector<int>& ids = {})
{
    QJsonObject entry = NanoleafSim::canvas(ip, ids, name);
    entry.insert(QStringLiteral("model"), model);
    entry.insert(QStringLiteral("tokens"), QJsonArray { kCanvasToken });
    if (ids.isEmpty())
        entry.remove(QStringLiteral("panels"));
    return entry;
}

// The write command as the tool serialises it: QJsonDocument's indented default.
QByteArray extControlBody(const QString& version)
{
    const QJsonObject write { { QStringLiteral("command"), QStringLiteral("display") },
        { QStringLiteral("animType"), QStringLiteral("extControl") },
        { QStringLiteral("extControlVersion"), version } };
    return QJsonDocument(QJsonObject { { QStringLiteral("write"), write } }).toJson();
}

QByteArray staticBody(const QString& animData)
{
    const QJsonObject write { { QStringLiteral("command"), QStringLiteral("display") },
        { QStringLiteral("animType"), QStringLiteral("static") },
        { QStringLiteral("animData"), animData }, { QStringLiteral("loop"), false },
        { QStringLiteral("palette"), QJsonArray() },
        { QStringLiteral("version"), QStringLiteral("2.0") } };
    return QJsonDocument(QJsonObject { { QStringLiteral("write"), write } }).toJson();
}

QJsonObject panelState(const QJsonObject& device, int id)
{
    for (const QJsonValue& p : device.value(QLatin1String("panels")).toArray())
        if (p.toObject().value(QLatin1String("id")).toInt() == id)
            return p.toObject();
    return QJsonObject();
}

} // namespace

class tst_SimOpenApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void pairing_data();
    void pairing();
    void unknownTokenIsRefusedWithEmptyBody_data();
    void unknownTokenIsRefusedWithEmptyBody();
    void description_data();
    void description();
    void effects_data();
    void effects();
    void staticShowsAnimDataColours();
    void requestsAreRecorded();

private:
    NanoleafSim m_sim;
};

void tst_SimOpenApi::initTestCase()
{
    QJsonObject light = NanoleafSim::lightPanels();
    light.insert(QStringLiteral("tokens"), QJsonArray { kLightToken });
    QJsonObject canvas = NanoleafSim::canvas();
    canvas.insert(QStringLiteral("tokens"), QJsonArray { kCanvasToken });
    QJsonObject shapes = laterModel(
        kShapes, QStringLiteral("NL42"), QStringLiteral("Shapes 07E7"), { 2, 4660, 43981 });
    shapes.insert(QStringLiteral("global_orientation"), 60);
    m_sim.setDevices(QJsonArray { light, canvas, shapes,
        laterModel(kElements, QStringLiteral("NL52"), QStringLiteral("Elements 728C")),
        laterModel(kLines, QStringLiteral("NL59"), QStringLiteral("Lines 3A9D")),
        laterModel(kSkylight, QStringLiteral("NL64"), QStringLiteral("Skylight 5554")),
        laterModel(k4D, QStringLiteral("NL69"), QStringLiteral("Nanoleaf 4D 466C")) });
    QVERIFY2(m_sim.start(), qPrintable(m_sim.errorString()));
}

void tst_SimOpenApi::init()
{
    QVERIFY2(m_sim.reset(), qPrintable(m_sim.errorString()));
}

void tst_SimOpenApi::pairing_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<bool>("pairingMode");
    QTest::addColumn<int>("status");

    QTest::newRow("Light Panels, pairing mode on") << kLight << true << 200;
    QTest::newRow("Light Panels, pairing mode off") << kLight << false << 403;
    QTest::newRow("Canvas, pairing mode on") << kCanvas << true << 200;
    QTest::newRow("Canvas, pairing mode off") << kCanvas << false << 403;
}

void tst_SimOpenApi::pairing()
{
    QFETCH(QString, ip);
    QFETCH(bool, pairingMode);
    QFETCH(int, status);

    QVERIFY2(m_sim.setPairing(ip, pairingMode), qPrintable(m_sim.errorString()));
    // The tool's pairing request: empty body, JSON content type.
    const BlockingHttp::Result r = BlockingHttp::request(
        "POST", deviceUrl(ip, QStringLiteral("/api/v1/new")), QByteArray(), "application/json");
    QVERIFY(r.finished);
    QCOMPARE(r.status, status);

    const QJsonArray tokens = m_sim.device(ip).value(QLatin1String("tokens")).toArray();
    if (status != 200) {
        QVERIFY(r.body.isEmpty());
        QCOMPARE(tokens.size(), 1); // only the configured one
        return;
    }
    const QJsonObject answer = QJsonDocument::fromJson(r.body).object();
    QCOMPARE(answer.keys(), QStringList { QStringLiteral("auth_token") });
    const QString token = answer.value(QLatin1String("auth_token")).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9]{32}$")).match(token).hasMatch(),
        qPrintable(token));
    QVERIFY(tokens.contains(token));

    // The new token opens the device description; a second pairing gives another one.
    QCOMPARE(BlockingHttp::request("GET", deviceUrl(ip, QStringLiteral("/api/v1/%1/").arg(token)))
                 .status,
        200);
    const BlockingHttp::Result again = BlockingHttp::request(
        "POST", deviceUrl(ip, QStringLiteral("/api/v1/new")), QByteArray(), "application/json");
    QCOMPARE(again.status, 200);
    QVERIFY(
        QJsonDocument::fromJson(again.body).object().value(QLatin1String("auth_token")).toString()
        != token);
}

void tst_SimOpenApi::unknownTokenIsRefusedWithEmptyBody_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("description") << QByteArray("GET") << QStringLiteral("/api/v1/NotAToken/")
                                 << QByteArray();
    QTest::newRow("description without slash")
        << QByteArray("GET") << QStringLiteral("/api/v1/NotAToken") << QByteArray();
    QTest::newRow("state") << QByteArray("GET") << QStringLiteral("/api/v1/NotAToken/state")
                           << QByteArray();
    QTest::newRow("external control")
        << QByteArray("PUT") << QStringLiteral("/api/v1/NotAToken/effects")
        << extControlBody(QStringLiteral("v2"));
    QTest::newRow("token of the other device")
        << QByteArray("GET") << QStringLiteral("/api/v1/%1/").arg(kCanvasToken) << QByteArray();
}

void tst_SimOpenApi::unknownTokenIsRefusedWithEmptyBody()
{
    QFETCH(QByteArray, verb);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);

    const BlockingHttp::Result r
        = BlockingHttp::request(verb, deviceUrl(kLight, path), body, "application/json");
    QCOMPARE(r.status, 401);
    QVERIFY(r.body.isEmpty());
    QCOMPARE(
        m_sim.device(kLight).value(QLatin1String("mode")).toString(), QStringLiteral("effect"));
}

void tst_SimOpenApi::description_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QVector<int>>("panelIds");
    QTest::addColumn<int>("sideLength");
    QTest::addColumn<QVector<int>>("shapeTypes");
    QTest::addColumn<int>("orientation");

    // Without panel ids the device has its model's default layout: ids of two bytes.
    QTest::newRow("Light Panels") << kLight << QStringLiteral("Light Panels 52:33:A1")
                                  << QStringLiteral("NL22") << QVector<int> { 82, 15, 200 } << 150
                                  << QVector<int> { 0, 0, 0 } << 0;
    QTest::newRow("Canvas") << kCanvas << QStringLiteral("Canvas 1F:2B:3C")
                            << QStringLiteral("NL29") << QVector<int> { 1234, 7 } << 100
                            << QVector<int> { 2, 2 } << 0;
    QTest::newRow("Shapes, controller first")
        << kShapes << QStringLiteral("Shapes 07E7") << QStringLiteral("NL42")
        << QVector<int> { 2, 4660, 43981 } << 67 << QVector<int> { 12, 7, 7 } << 60;
    QTest::newRow("Elements") << kElements << QStringLiteral("Elements 728C")
                              << QStringLiteral("NL52") << QVector<int> {} << 134
                              << QVector<int> { 14, 14, 14, 14, 14, 14, 14 } << 0;
    QTest::newRow("Lines with connectors")
        << kLines << QStringLiteral("Lines 3A9D") << QStringLiteral("NL59") << QVector<int> {}
        << 154 << QVector<int> { 17, 16, 17, 16, 17, 16, 17, 16, 17, 16, 17 } << 0;
    QTest::newRow("Skylight, controller square lit")
        << kSkylight << QStringLiteral("Skylight 5554") << QStringLiteral("NL64") << QVector<int> {}
        << 180 << QVector<int> { 31, 30, 30, 30 } << 0;
    QTest::newRow("4D") << k4D << QStringLiteral("Nanoleaf 4D 466C") << QStringLiteral("NL69")
                        << QVector<int> {} << 50 << QVector<int>(20, 29) << 0;
}

void tst_SimOpenApi::description()
{
    QFETCH(QString, ip);
    QFETCH(QString, name);
    QFETCH(QString, model);
    QFETCH(QVector<int>, panelIds);
    QFETCH(int, sideLength);
    QFETCH(QVector<int>, shapeTypes);
    QFETCH(int, orientation);

    // The tool's layout request: GET with no header of its own.
    const BlockingHttp::Result r = BlockingHttp::request(
        "GET", deviceUrl(ip, QStringLiteral("/api/v1/%1/").arg(tokenOf(ip))));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
    QVERIFY(r.header("Content-Encoding").isEmpty());
    QJsonParseError error {};
    const QJsonObject d = QJsonDocument::fromJson(r.body, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);

    QCOMPARE(d.value(QLatin1String("name")).toString(), name);
    QCOMPARE(d.value(QLatin1String("model")).toString(), model);
    QCOMPARE(d.value(QLatin1String("manufacturer")).toString(), QStringLiteral("Nanoleaf"));
    QVERIFY(!d.value(QLatin1String("serialNo")).toString().isEmpty());
    QVERIFY(!d.value(QLatin1String("firmwareVersion")).toString().isEmpty());

    const QJsonObject state = d.value(QLatin1String("state")).toObject();
    QVERIFY(state.value(QLatin1String("on")).toObject().value(QLatin1String("value")).isBool());
    for (const char* member : { "brightness", "hue", "sat", "ct" }) {
        const QJsonObject range = state.value(QLatin1String(member)).toObject();
        QVERIFY2(range.value(QLatin1String("value")).isDouble()
                && range.value(QLatin1String("min")).isDouble()
                && range.value(QLatin1String("max")).isDouble(),
            member);
        QVERIFY(range.value(QLatin1String("min")).toInt()
            <= range.value(QLatin1String("value")).toInt());
        QVERIFY(range.value(QLatin1String("value")).toInt()
            <= range.value(QLatin1String("max")).toInt());
    }
    QVERIFY(state.value(QLatin1String("colorMode")).isString());

    const QJsonObject effects = d.value(QLatin1String("effects")).toObject();
    QVERIFY(effects.value(QLatin1String("effectsList"))
                .toArray()
                .contains(effects.value(QLatin1String("select"))));

    const QJsonObject panelLayout = d.value(QLatin1String("panelLayout")).toObject();
    const QJsonObject global = panelLayout.value(QLatin1String("globalOrientation")).toObject();
    QCOMPARE(global.value(QLatin1String("value")).toVariant(), QVariant(double(orientation)));
    const QJsonObject layout = panelLayout.value(QLatin1String("layout")).toObject();
    QCOMPARE(layout.value(QLatin1String("numPanels")).toInt(), shapeTypes.size());
    QCOMPARE(layout.value(QLatin1String("sideLength")).toInt(), sideLength);
    const QJsonArray positions = layout.value(QLatin1String("positionData")).toArray();
    QVector<int> ids;
    QVector<int> types;
    QSet<QPair<int, int>> places;
    for (const QJsonValue& v : positions) {
        const QJsonObject p = v.toObject();
        for (const char* member : { "panelId", "x", "y", "o", "shapeType" })
            QVERIFY2(p.value(QLatin1String(member)).isDouble(), member);
        types.append(p.value(QLatin1String("shapeType")).toInt());
        ids.append(p.value(QLatin1String("panelId")).toInt());
        places.insert(
            qMakePair(p.value(QLatin1String("x")).toInt(), p.value(QLatin1String("y")).toInt()));
    }
    QCOMPARE(types, shapeTypes);
    // No two pieces in one place.
    QCOMPARE(places.size(), positions.size());
    if (panelIds.isEmpty()) {
        QCOMPARE(QSet<int>(ids.begin(), ids.end()).size(), ids.size());
        QVERIFY(
            std::all_of(ids.begin(), ids.end(), [](int id) { return id > 255 && id <= 65535; }));
    } else {
        // The order of positionData is the order the colour entries are streamed in.
        QCOMPARE(ids, panelIds);
    }
}

void tst_SimOpenApi::effects_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("Light Panels, v2") << kLight << extControlBody(QStringLiteral("v2")) << 204
                                      << QStringLiteral("extControl-v2") << QByteArray();
    QTest::newRow("Light Panels, v1 names its stream")
        << kLight << extControlBody(QStringLiteral("v1")) << 200 << QStringLiteral("extControl-v1")
        << QByteArray(
               R"({"streamControlIpAddr":"127.0.0.2","streamControlPort":60221,"streamControlProtocol":"udp"})");
    QTest::newRow("Canvas, v2") << kCanvas << extControlBody(QStringLiteral("v2")) << 204
                                << QStringLiteral("extControl-v2") << QByteArray();
    QTest::newRow("Canvas refuses v1") << kCanvas << extControlBody(QStringLiteral("v1")) << 400
                                       << QStringLiteral("effect") << QByteArray();
    QTest::newRow("Shapes, v2") << kShapes << extControlBody(QStringLiteral("v2")) << 204
                                << QStringLiteral("extControl-v2") << QByteArray();
    QTest::newRow("Shapes refuses v1") << kShapes << extControlBody(QStringLiteral("v1")) << 400
                                       << QStringLiteral("effect") << QByteArray();
    QTest::newRow("Lines refuse v1") << kLines << extControlBody(QStringLiteral("v1")) << 400
                                     << QStringLiteral("effect") << QByteArray();
    QTest::newRow("unknown version") << kLight << extControlBody(QStringLiteral("v3")) << 400
                                     << QStringLiteral("effect") << QByteArray();
    QTest::newRow("Light Panels, static")
        << kLight
        << staticBody(
               QStringLiteral("3 82 1 255 201 29 0 12 15 1 255 201 29 0 12 200 1 255 201 29 0 12"))
        << 204 << QStringLiteral("static") << QByteArray();
    QTest::newRow("Canvas, static")
        << kCanvas << staticBody(QStringLiteral("2 1234 1 255 201 29 0 12 7 1 255 201 29 0 12"))
        << 204 << QStringLiteral("static") << QByteArray();
    QTest::newRow("static with animData cut short")
        << kCanvas << staticBody(QStringLiteral("2 1234 1 255 201")) << 422
        << QStringLiteral("effect") << QByteArray();
    QTest::newRow("malformed JSON, Light Panels")
        << kLight << QByteArray("{\"write\": {\"command\": ") << 400 << QStringLiteral("effect")
        << QByteArray();
    QTest::newRow("malformed JSON, Canvas")
        << kCanvas << QByteArray("not json") << 400 << QStringLiteral("effect") << QByteArray();
}

void tst_SimOpenApi::effects()
{
    QFETCH(QString, ip);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, mode);
    QFETCH(QByteArray, answer);

    const BlockingHttp::Result r = BlockingHttp::request("PUT",
        deviceUrl(ip, QStringLiteral("/api/v1/%1/effects").arg(tokenOf(ip))), body,
        "application/json");
    QCOMPARE(r.status, status);
    if (answer.isEmpty())
        QVERIFY(r.body.isEmpty());
    else
        QCOMPARE(QJsonDocument::fromJson(r.body), QJsonDocument::fromJson(answer));
    QCOMPARE(m_sim.device(ip).value(QLatin1String("mode")).toString(), mode);
}

void tst_SimOpenApi::staticShowsAnimDataColours()
{
    const QByteArray body
        = staticBody(QStringLiteral("2 1234 1 10 20 30 0 12 7 2 1 2 3 0 5 40 50 60 0 12"));
    const BlockingHttp::Result r = BlockingHttp::request("PUT",
        deviceUrl(kCanvas, QStringLiteral("/api/v1/%1/effects").arg(kCanvasToken)), body,
        "application/json");
    QCOMPARE(r.status, 204);

    const QJsonObject device = m_sim.device(kCanvas);
    const QJsonObject first = panelState(device, 1234);
    const QJsonObject second = panelState(device, 7);
    QCOMPARE(first.value(QLatin1String("r")).toInt(), 10);
    QCOMPARE(first.value(QLatin1String("g")).toInt(), 20);
    QCOMPARE(first.value(QLatin1String("b")).toInt(), 30);
    // With two frames the panel ends on the second.
    QCOMPARE(second.value(QLatin1String("r")).toInt(), 40);
    QCOMPARE(second.value(QLatin1String("g")).toInt(), 50);
    QCOMPARE(second.value(QLatin1String("b")).toInt(), 60);

    const BlockingHttp::Result select = BlockingHttp::request(
        "GET", deviceUrl(kCanvas, QStringLiteral("/api/v1/%1/effects/select").arg(kCanvasToken)));
    QCOMPARE(select.body, QByteArray(R"("*Static*")"));
}

void tst_SimOpenApi::requestsAreRecorded()
{
    const QByteArray body = extControlBody(QStringLiteral("v2"));
    const QString path = QStringLiteral("/api/v1/%1/effects").arg(kLightToken);
    QCOMPARE(BlockingHttp::request("PUT", deviceUrl(kLight, path), body, "application/json").status,
        204);

    const QJsonArray log = m_sim.requests(kLight);
    QCOMPARE(log.size(), 1);
    const QJsonObject entry = log.first().toObject();
    QCOMPARE(entry.value(QLatin1String("method")).toString(), QStringLiteral("PUT"));
    QCOMPARE(entry.value(QLatin1String("path")).toString(), path);
    QCOMPARE(entry.value(QLatin1String("body")).toString().toUtf8(), body);
    QCOMPARE(entry.value(QLatin1String("status")).toInt(), 204);
    const QJsonObject headers = entry.value(QLatin1String("headers")).toObject();
    QCOMPARE(headers.value(QLatin1String("Content-Type")).toString(),
        QStringLiteral("application/json"));
    QCOMPARE(
        headers.value(QLatin1String("Content-Length")).toString(), QString::number(body.size()));
    QVERIFY(NanoleafSim::timeNs(entry) > 0);
}

QTEST_GUILESS_MAIN(tst_SimOpenApi)
#include "tst_simopenapi.moc"
