#include "tests/common/blockinghttp.h"
#include "tests/common/nanoleafsim.h"

#include <QColor>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QUdpSocket>
#include <QtTest>

#include <time.h>

namespace
{

const QString kLight = QStringLiteral("127.0.0.2");
const QString kCanvas = QStringLiteral("127.0.0.3");
const QString kShapes = QStringLiteral("127.0.0.4");
const QString kToken = QStringLiteral("StreamToken23456789abcdefABCDEFG");

using Colours = QMap<int, QColor>;

qint64 monotonicNow()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// What the tool sends with count 12: the records, then zeros up to count x 10 ("v2")
// or count x 8 ("v1") bytes.
QByteArray canvasDatagram()
{
    return QByteArray::fromHex("000204D2FF000000000000070080FF000000") + QByteArray(102, '\0');
}

QByteArray lightDatagram()
{
    return QByteArray::fromHex("035201FF000000000F0100FF000000C8011020300000")
        + QByteArray(74, '\0');
}

// What each piece with LEDs shows.
Colours colours(const QJsonObject& device)
{
    Colours out;
    for (const QJsonValue& v : device.value(QLatin1String("panels")).toArray()) {
        const QJsonObject p = v.toObject();
        if (!p.value(QLatin1String("leds")).toBool())
            continue;
        out.insert(p.value(QLatin1String("id")).toInt(),
            QColor(p.value(QLatin1String("r")).toInt(), p.value(QLatin1String("g")).toInt(),
                p.value(QLatin1String("b")).toInt()));
    }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Colours)

class tst_SimStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void toolDatagramsLightThePanels_data();
    void toolDatagramsLightThePanels();
    void datagramsOutsideTheModeAreIgnored_data();
    void datagramsOutsideTheModeAreIgnored();
    void shortDatagramsAreMalformed_data();
    void shortDatagramsAreMalformed();
    void recordsForNoLitPanelAreNotApplied_data();
    void recordsForNoLitPanelAreNotApplied();

private:
    bool switchMode(const QString& ip, const QString& mode);
    void send(const QByteArray& datagram, const QString& ip, quint16 port);

    NanoleafSim m_sim;
    QUdpSocket m_socket;
};

void tst_SimStream::initTestCase()
{
    QJsonObject light = NanoleafSim::lightPanels();
    light.insert(QStringLiteral("tokens"), QJsonArray { kToken });
    QJsonObject canvas = NanoleafSim::canvas();
    canvas.insert(QStringLiteral("tokens"), QJsonArray { kToken });
    // Shapes: the controller (no LEDs) first, then two hexagons.
    QJsonObject shapes
        = NanoleafSim::canvas(kShapes, { 2, 4660, 43981 }, QStringLiteral("Shapes 07E7"));
    shapes.insert(QStringLiteral("model"), QStringLiteral("NL42"));
    shapes.insert(QStringLiteral("tokens"), QJsonArray { kToken });
    m_sim.setDevices(QJsonArray { light, canvas, shapes });
    QVERIFY2(m_sim.start(), qPrintable(m_sim.errorString()));
    QVERIFY(m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void tst_SimStream::init()
{
    QVERIFY2(m_sim.reset(), qPrintable(m_sim.errorString()));
}

// Puts a device into "v1", "v2", "static" through the OpenAPI, or leaves it as it
// starts ("effect").
bool tst_SimStream::switchMode(const QString& ip, const QString& mode)
{
    if (mode == QLatin1String("effect"))
        return true;
    QJsonObject write { { QStringLiteral("command"), QStringLiteral("display") } };
    if (mode == QLatin1String("static")) {
        write.insert(QStringLiteral("animType"), QStringLiteral("static"));
        write.insert(QStringLiteral("animData"), QStringLiteral("0"));
    } else {
        write.insert(QStringLiteral("animType"), QStringLiteral("extControl"));
        write.insert(QStringLiteral("extControlVersion"), mode);
    }
    const BlockingHttp::Result r = BlockingHttp::request("PUT",
        QUrl(QStringLiteral("http://%1:16021/api/v1/%2/effects").arg(ip, kToken)),
        QJsonDocument(QJsonObject { { QStringLiteral("write"), write } }).toJson(),
        "application/json");
    return r.status == 200 || r.status == 204;
}

void tst_SimStream::send(const QByteArray& datagram, const QString& ip, quint16 port)
{
    QCOMPARE(m_socket.writeDatagram(datagram, QHostAddress(ip), port), qint64(datagram.size()));
}

void tst_SimStream::toolDatagramsLightThePanels_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("trailing");
    QTest::addColumn<Colours>("expected");

    const Colours canvas { { 1234, QColor(255, 0, 0) }, { 7, QColor(0, 128, 255) } };
    const Colours light { { 82, QColor(255, 0, 0) }, { 15, QColor(0, 255, 0) },
        { 200, QColor(16, 32, 48) } };
    QTest::newRow("Canvas, v2 record layout on 60222")
        << kCanvas << "v2" << quint16(60222) << canvasDatagram() << 102 << canvas;
    QTest::newRow("Light Panels after v2, v1 records on 60221")
        << kLight << "v2" << quint16(60221) << lightDatagram() << 74 << light;
    QTest::newRow("Light Panels after v1, v1 records on 60221")
        << kLight << "v1" << quint16(60221) << lightDatagram() << 74 << light;
    QTest::newRow("Shapes, v2 records with two-byte ids")
        << kShapes << "v2" << quint16(60222)
        << QByteArray::fromHex("0002"
                               "1234FF0000000000"
                               "ABCD0080FF000000")
        << 0 << Colours { { 4660, QColor(255, 0, 0) }, { 43981, QColor(0, 128, 255) } };
    QTest::newRow("Light Panels after v2, v2 records on 60222")
        << kLight << "v2" << quint16(60222)
        << QByteArray::fromHex("00030052FF0000000000000F00FF0000000000C8102030000000") << 0
        << light;
}

void tst_SimStream::toolDatagramsLightThePanels()
{
    QFETCH(QString, ip);
    QFETCH(QString, mode);
    QFETCH(quint16, port);
    QFETCH(QByteArray, datagram);
    QFETCH(int, trailing);
    QFETCH(Colours, expected);

    QVERIFY(switchMode(ip, mode));
    const qint64 sentAfter = monotonicNow();
    send(datagram, ip, port);
    QTRY_COMPARE(m_sim.frames(ip).size(), 1);

    const QJsonObject frame = m_sim.frames(ip).first().toObject();
    QCOMPARE(frame.value(QLatin1String("status")).toString(), QStringLiteral("accepted"));
    QCOMPARE(frame.value(QLatin1String("port")).toInt(), int(port));
    QCOMPARE(frame.value(QLatin1String("size")).toInt(), datagram.size());
    QCOMPARE(
        QByteArray::fromHex(frame.value(QLatin1String("bytes")).toString().toLatin1()), datagram);
    QCOMPARE(frame.value(QLatin1String("count")).toInt(), expected.size());
    QCOMPARE(frame.value(QLatin1String("trailing")).toInt(), trailing);
    // Stamped on the same monotonic clock as this process's.
    QVERIFY(NanoleafSim::timeNs(frame) >= sentAfter);
    QVERIFY(NanoleafSim::timeNs(frame) <= monotonicNow());

    const QJsonArray records = frame.value(QLatin1String("records")).toArray();
    QCOMPARE(records.size(), expected.size());
    for (const QJsonValue& v : records) {
        const QJsonObject rec = v.toObject();
        const int id = rec.value(QLatin1String("panelId")).toInt();
        QVERIFY2(expected.contains(id), qPrintable(QString::number(id)));
        QCOMPARE(QColor(rec.value(QLatin1String("r")).toInt(),
                     rec.value(QLatin1String("g")).toInt(), rec.value(QLatin1String("b")).toInt()),
            expected.value(id));
        QCOMPARE(rec.value(QLatin1String("w")).toInt(), 0);
        QCOMPARE(rec.value(QLatin1String("t")).toInt(), 0);
        QVERIFY(rec.value(QLatin1String("applied")).toBool());
    }
    QCOMPARE(colours(m_sim.device(ip)), expected);
}

void tst_SimStream::datagramsOutsideTheModeAreIgnored_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("Canvas in v2 takes nothing on 60221")
        << kCanvas << "v2" << quint16(60221) << lightDatagram();
    QTest::newRow("Shapes in v2 take nothing on 60221")
        << kShapes << "v2" << quint16(60221) << lightDatagram();
    QTest::newRow("Light Panels in v1 take nothing on 60222")
        << kLight << "v1" << quint16(60222) << canvasDatagram();
    QTest::newRow("Canvas still showing its effect")
        << kCanvas << "effect" << quint16(60222) << canvasDatagram();
    QTest::newRow("Light Panels still showing their effect")
        << kLight << "effect" << quint16(60221) << lightDatagram();
    QTest::newRow("Canvas showing a static effect")
        << kCanvas << "static" << quint16(60222) << canvasDatagram();
}

void tst_SimStream::datagramsOutsideTheModeAreIgnored()
{
    QFETCH(QString, ip);
    QFETCH(QString, mode);
    QFETCH(quint16, port);
    QFETCH(QByteArray, datagram);

    QVERIFY(switchMode(ip, mode));
    const Colours before = colours(m_sim.device(ip));
    send(datagram, ip, port);
    QTRY_COMPARE(m_sim.frames(ip).size(), 1);
    QCOMPARE(m_sim.frames(ip).first().toObject().value(QLatin1String("status")).toString(),
        QStringLiteral("ignored"));
    QCOMPARE(colours(m_sim.device(ip)), before);
}

void tst_SimStream::shortDatagramsAreMalformed_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("v2: count 3, two entries")
        << kCanvas << quint16(60222) << QByteArray::fromHex("000304D2FF000000000000070080FF000000");
    QTest::newRow("v2: cut inside an entry")
        << kCanvas << quint16(60222) << QByteArray::fromHex("000204D2FF0000");
    QTest::newRow("v2 on Shapes: count 2, one entry")
        << kShapes << quint16(60222) << QByteArray::fromHex("00021234FF0000000000");
    QTest::newRow("v2: one byte") << kCanvas << quint16(60222) << QByteArray::fromHex("00");
    QTest::newRow("v2: empty") << kCanvas << quint16(60222) << QByteArray();
    QTest::newRow("v1: count 3, cut inside the third")
        << kLight << quint16(60221) << QByteArray::fromHex("035201FF000000000F0100FF000000C80110");
    QTest::newRow("v1: frame count larger than the rest")
        << kLight << quint16(60221) << QByteArray::fromHex("015202FF00000000");
    QTest::newRow("v1: empty") << kLight << quint16(60221) << QByteArray();
}

void tst_SimStream::shortDatagramsAreMalformed()
{
    QFETCH(QString, ip);
    QFETCH(quint16, port);
    QFETCH(QByteArray, datagram);

    QVERIFY(switchMode(ip, QStringLiteral("v2")));
    const Colours before = colours(m_sim.device(ip));
    send(datagram, ip, port);
    QTRY_COMPARE(m_sim.frames(ip).size(), 1);
    const QJsonObject frame = m_sim.frames(ip).first().toObject();
    QCOMPARE(frame.value(QLatin1String("status")).toString(), QStringLiteral("malformed"));
    QCOMPARE(frame.value(QLatin1String("size")).toInt(), datagram.size());
    QVERIFY(frame.value(QLatin1String("records")).toArray().isEmpty());
    // Nothing of a malformed datagram reaches the panels, not even its first entries.
    QCOMPARE(colours(m_sim.device(ip)), before);
}

void tst_SimStream::recordsForNoLitPanelAreNotApplied_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("litId");

    QTest::newRow("Canvas: panel 99 is not in the layout")
        << kCanvas
        << QByteArray::fromHex("0002"
                               "0063FFFFFF000000"
                               "000701020300000A")
        << 7;
    QTest::newRow("Shapes: the controller has no LEDs") << kShapes
                                                        << QByteArray::fromHex("0002"
                                                                               "0002FFFFFF000000"
                                                                               "ABCD01020300000A")
                                                        << 43981;
}

void tst_SimStream::recordsForNoLitPanelAreNotApplied()
{
    QFETCH(QString, ip);
    QFETCH(QByteArray, datagram);
    QFETCH(int, litId);

    QVERIFY(switchMode(ip, QStringLiteral("v2")));
    const Colours before = colours(m_sim.device(ip));
    send(datagram, ip, 60222);
    QTRY_COMPARE(m_sim.frames(ip).size(), 1);
    const QJsonObject frame = m_sim.frames(ip).first().toObject();
    QCOMPARE(frame.value(QLatin1String("status")).toString(), QStringLiteral("accepted"));
    const QJsonArray records = frame.value(QLatin1String("records")).toArray();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).toObject().value(QLatin1String("applied")).toBool(), false);
    QCOMPARE(records.at(1).toObject().value(QLatin1String("applied")).toBool(), true);
    QCOMPARE(records.at(1).toObject().value(QLatin1String("t")).toInt(), 10);

    Colours expected = before;
    expected[litId] = QColor(1, 2, 3);
    QCOMPARE(colours(m_sim.device(ip)), expected);
}

QTEST_GUILESS_MAIN(tst_SimStream)
#include "tst_simstream.moc"
