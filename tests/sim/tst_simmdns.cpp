#include "tests/common/nanoleafsim.h"
#include "tests/common/privatenetwork.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

namespace
{

const QString kLight = QStringLiteral("127.0.0.2");
const QString kCanvas = QStringLiteral("127.0.0.3");
const QString kShapes = QStringLiteral("127.0.0.4");

// The tool's query: ID 0, one PTR question for "_nanoleafapi._tcp.local", class IN.
const QByteArray kToolQuery = QByteArray::fromHex("000000000001000000000000")
    + "\x0c_nanoleafapi\x04_tcp\x05local" + QByteArray::fromHex("00000c0001");

QByteArray queryFor(quint16 id, const QByteArray& encodedName, quint16 type, quint16 flags = 0)
{
    QByteArray q(12, '\0');
    qToBigEndian<quint16>(id, q.data());
    qToBigEndian<quint16>(flags, q.data() + 2);
    qToBigEndian<quint16>(1, q.data() + 4);
    q += encodedName;
    QByteArray tail(4, '\0');
    qToBigEndian<quint16>(type, tail.data());
    qToBigEndian<quint16>(1, tail.data() + 2);
    return q + tail;
}

// A small DNS reader of its own (RFC 1035 §4.1), independent of the tool's parser.
struct Record {
    int offset = 0;
    QStringList owner;
    bool ownerIsPointer = false;
    quint16 type = 0;
    quint16 rclass = 0;
    quint32 ttl = 0;
    int rdataOffset = 0;
    QByteArray rdata;
};

struct Message {
    quint16 id = 0;
    quint16 flags = 0;
    quint16 counts[4] = {};
    QStringList question;
    quint16 qtype = 0;
    quint16 qclass = 0;
    int questionEnd = 0;
    QVector<Record> records;
};

// Reads the name at pos and moves pos past it. Pointers must point backwards (so a
// pointer to itself is caught); `pointers` tells whether the name used any.
bool readName(const QByteArray& m, int& pos, QStringList& labels, bool* pointers, QString& error)
{
    labels.clear();
    if (pointers)
        *pointers = false;
    int at = pos;
    bool jumped = false;
    for (int hops = 0; hops < 64;) {
        if (at >= m.size()) {
            error = QStringLiteral("name runs past the end at %1").arg(at);
            return false;
        }
        const quint8 len = quint8(m[at]);
        if ((len & 0xC0) == 0xC0) {
            if (at + 1 >= m.size()) {
                error = QStringLiteral("pointer cut off at %1").arg(at);
                return false;
            }
            const int target = ((len & 0x3F) << 8) | quint8(m[at + 1]);
            if (target >= at) {
                error = QStringLiteral("pointer at %1 to %2 does not point backwards")
                            .arg(at)
                            .arg(target);
                return false;
            }
            if (!jumped)
                pos = at + 2;
            jumped = true;
            if (pointers)
                *pointers = true;
            at = target;
            ++hops;
            continue;
        }
        if (len == 0) {
            if (!jumped)
                pos = at + 1;
            return true;
        }
        if (len > 63 || at + 1 + len > m.size()) {
            error = QStringLiteral("bad label at %1").arg(at);
            return false;
        }
        labels << QString::fromUtf8(m.mid(at + 1, len));
        at += 1 + len;
    }
    error = QStringLiteral("too many pointers");
    return false;
}

bool decode(const QByteArray& m, Message& out, QString& error)
{
    if (m.size() < 12) {
        error = QStringLiteral("shorter than a header");
        return false;
    }
    const auto u16 = [&](int at) { return qFromBigEndian<quint16>(m.constData() + at); };
    out.id = u16(0);
    out.flags = u16(2);
    for (int i = 0; i < 4; ++i)
        out.counts[i] = u16(4 + 2 * i);
    int pos = 12;
    if (out.counts[0] != 1) {
        error = QStringLiteral("expected one question");
        return false;
    }
    if (!readName(m, pos, out.question, nullptr, error))
        return false;
    if (pos + 4 > m.size()) {
        error = QStringLiteral("question cut off");
        return false;
    }
    out.qtype = u16(pos);
    out.qclass = u16(pos + 2);
    pos += 4;
    out.questionEnd = pos;
    const int records = out.counts[1] + out.counts[2] + out.counts[3];
    for (int i = 0; i < records; ++i) {
        Record r;
        r.offset = pos;
        if (!readName(m, pos, r.owner, &r.ownerIsPointer, error))
            return false;
        if (pos + 10 > m.size()) {
            error = QStringLiteral("record %1 ends in its fixed fields").arg(i);
            return false;
        }
        r.type = u16(pos);
        r.rclass = u16(pos + 2);
        r.ttl = qFromBigEndian<quint32>(m.constData() + pos + 4);
        const int rdlength = u16(pos + 8);
        pos += 10;
        if (pos + rdlength > m.size()) {
            error = QStringLiteral("record %1 data runs past the end").arg(i);
            return false;
        }
        r.rdataOffset = pos;
        r.rdata = m.mid(pos, rdlength);
        pos += rdlength;
        out.records.append(r);
    }
    if (pos != m.size()) {
        error = QStringLiteral("%1 bytes after the last record").arg(m.size() - pos);
        return false;
    }
    return true;
}

QStringList txtStrings(const QByteArray& rdata)
{
    QStringList out;
    for (int at = 0; at < rdata.size();) {
        const int len = quint8(rdata[at]);
        out << QString::fromUtf8(rdata.mid(at + 1, len));
        at += 1 + len;
    }
    return out;
}

// DNS names compare without regard to ASCII case (RFC 1035 §2.3.3).
QStringList lowered(QStringList labels)
{
    for (QString& l : labels)
        l = l.toLower();
    return labels;
}

struct Reply {
    QString from;
    QByteArray bytes;
};

} // namespace

class tst_SimMdns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void answersLegacyQuery_data();
    void answersLegacyQuery();
    void ignoresOtherQuestions_data();
    void ignoresOtherQuestions();
    void faults_data();
    void faults();

private:
    int repliesSoFar();
    void checkAnswer(const Reply& reply, const QByteArray& query);

    NanoleafSim m_sim;
    QUdpSocket m_socket;
    QVector<Reply> m_replies;
};

void tst_SimMdns::initTestCase()
{
    QJsonObject canvas = NanoleafSim::canvas();
    canvas.insert(QStringLiteral("instance"), QStringLiteral("Studio Canvas"));
    canvas.insert(QStringLiteral("host"), QStringLiteral("studio-canvas"));
    QJsonObject shapes = NanoleafSim::canvas(kShapes, { 2, 4660 }, QStringLiteral("Shapes 07E7"));
    shapes.insert(QStringLiteral("model"), QStringLiteral("NL42"));
    m_sim.setDevices(QJsonArray { NanoleafSim::lightPanels(), canvas, shapes });
    QVERIFY2(m_sim.start(), qPrintable(m_sim.errorString()));
    QVERIFY(m_socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
    m_socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
}

void tst_SimMdns::init()
{
    QVERIFY2(m_sim.reset(), qPrintable(m_sim.errorString()));
    repliesSoFar();
    m_replies.clear();
}

int tst_SimMdns::repliesSoFar()
{
    for (int i = 0; i < 64 && m_socket.hasPendingDatagrams(); ++i) {
        const QNetworkDatagram d = m_socket.receiveDatagram(65536);
        m_replies.append(Reply { d.senderAddress().toString(), d.data() });
    }
    return m_replies.size();
}

// Checks one legacy unicast answer field by field against RFC 6762 §6.7, §10.2, §18
// and RFC 6763 §12.1.
void tst_SimMdns::checkAnswer(const Reply& reply, const QByteArray& query)
{
    const QJsonObject device = m_sim.device(reply.from);
    QVERIFY2(!device.isEmpty(), qPrintable(reply.from));
    const QString instance = device.value(QLatin1String("instance")).toString();
    const QStringList host = device.value(QLatin1String("host")).toString().split(QLatin1Char('.'));
    const QStringList service { QStringLiteral("_nanoleafapi"), QStringLiteral("_tcp"),
        QStringLiteral("local") };

    Message m;
    QString error;
    QVERIFY2(decode(reply.bytes, m, error), qPrintable(error));
    QVERIFY(reply.bytes.size() <= 512);
    QCOMPARE(m.id, qFromBigEndian<quint16>(query.constData()));
    QCOMPARE(m.flags, quint16(0x8400));
    QCOMPARE(m.counts[0], quint16(1));
    QCOMPARE(m.counts[1], quint16(1));
    QCOMPARE(m.counts[2], quint16(0));
    QCOMPARE(m.counts[3], quint16(3));
    // The question comes back exactly as it was asked.
    QCOMPARE(reply.bytes.mid(12, m.questionEnd - 12), query.mid(12));

    QCOMPARE(m.records.size(), 4);
    for (const Record& r : qAsConst(m.records)) {
        QVERIFY2(r.ownerIsPointer, "owner names are compressed");
        QCOMPARE(r.rclass, quint16(1)); // IN, cache-flush bit clear
        QVERIFY(r.ttl > 0 && r.ttl <= 10);
    }

    const Record& ptr = m.records[0];
    QCOMPARE(ptr.type, quint16(12));
    QCOMPARE(lowered(ptr.owner), service);
    QCOMPARE(reply.bytes.mid(ptr.offset, 2), QByteArray::fromHex("c00c"));
    int pos = ptr.rdataOffset;
    QStringList target;
    QVERIFY2(readName(reply.bytes, pos, target, nullptr, error), qPrintable(error));
    QCOMPARE(pos, ptr.rdataOffset + ptr.rdata.size());
    QCOMPARE(target.value(0), instance);
    QCOMPARE(lowered(target.mid(1)), service);

    const Record& srv = m.records[1];
    QCOMPARE(srv.type, quint16(33));
    QCOMPARE(srv.owner, target);
    QCOMPARE(
        srv.rdata.left(6), QByteArray::fromHex("000000003e95")); // priority 0, weight 0, port 16021
    pos = srv.rdataOffset + 6;
    bool pointers = true;
    QStringList srvTarget;
    QVERIFY2(readName(reply.bytes, pos, srvTarget, &pointers, error), qPrintable(error));
    QCOMPARE(srvTarget, host);
    QVERIFY2(!pointers, "a legacy answer writes the SRV target out (RFC 6762 §18.14)");
    QCOMPARE(pos, srv.rdataOffset + srv.rdata.size());

    const Record& txt = m.records[2];
    QCOMPARE(txt.type, quint16(16));
    QCOMPARE(txt.owner, target);
    const QStringList strings = txtStrings(txt.rdata);
    const QString model = reply.from == kLight ? QStringLiteral("md=NL22")
        : reply.from == kCanvas                ? QStringLiteral("md=NL29")
                                               : QStringLiteral("md=NL42");
    QVERIFY2(strings.contains(model), qPrintable(strings.join(QLatin1Char(','))));
    QVERIFY(strings.contains(
        QStringLiteral("srcvers=") + device.value(QLatin1String("firmware")).toString()));
    QVERIFY(std::any_of(strings.begin(), strings.end(),
        [](const QString& s) { return s.startsWith(QLatin1String("id=")) && s.size() > 3; }));

    const Record& a = m.records[3];
    QCOMPARE(a.type, quint16(1));
    QCOMPARE(a.owner, host);
    QCOMPARE(a.rdata.size(), 4);
    QCOMPARE(QHostAddress(qFromBigEndian<quint32>(a.rdata.constData())), QHostAddress(reply.from));
}

void tst_SimMdns::answersLegacyQuery_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("the tool's query, unicast") << QStringLiteral("127.0.0.1") << kToolQuery;
    QByteArray withId = kToolQuery;
    withId[0] = char(0x4A);
    withId[1] = char(0x5B);
    QTest::newRow("a query ID is repeated") << QStringLiteral("127.0.0.1") << withId;
    QByteArray unicastBit = kToolQuery;
    unicastBit[unicastBit.size() - 2] = char(0x80);
    QTest::newRow("unicast-response bit set") << QStringLiteral("127.0.0.1") << unicastBit;
    QByteArray upper = kToolQuery;
    upper.replace("_nanoleafapi", "_NanoleafAPI");
    QTest::newRow("name in another case") << QStringLiteral("127.0.0.1") << upper;
    QTest::newRow("the tool's query, broadcast") << QStringLiteral("255.255.255.255") << kToolQuery;
}

void tst_SimMdns::answersLegacyQuery()
{
    QFETCH(QString, destination);
    QFETCH(QByteArray, query);

    if (destination == QLatin1String("255.255.255.255") && !TestNetwork::inPrivateNetwork())
        QSKIP("broadcasts only inside a private network namespace");
    QCOMPARE(m_socket.writeDatagram(query, QHostAddress(destination), 5353), qint64(query.size()));
    QTRY_COMPARE(repliesSoFar(), 3);

    // One datagram per device, each from the device's own address, in device order.
    QCOMPARE(m_replies[0].from, kLight);
    QCOMPARE(m_replies[1].from, kCanvas);
    QCOMPARE(m_replies[2].from, kShapes);
    for (const Reply& reply : qAsConst(m_replies)) {
        checkAnswer(reply, query);
        if (QTest::currentTestFailed())
            return;
    }
}

void tst_SimMdns::ignoresOtherQuestions_data()
{
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("another service")
        << queryFor(1, QByteArray("\x04_hue\x04_tcp\x05local", 16), 12);
    QTest::newRow("an A question for the service name")
        << queryFor(1, QByteArray("\x0c_nanoleafapi\x04_tcp\x05local", 25), 1);
    QTest::newRow("a response, not a query")
        << queryFor(1, QByteArray("\x0c_nanoleafapi\x04_tcp\x05local", 25), 12, 0x8400);
    QTest::newRow("a name that runs past the end")
        << QByteArray::fromHex("000100000001000000000000") + "\x0c_nanoleafapi\x04_tc";
    QTest::newRow("a pointer to itself")
        << QByteArray::fromHex("000100000001000000000000c00c000c0001");
    QTest::newRow("header only") << QByteArray::fromHex("000100000001000000000000");
}

void tst_SimMdns::ignoresOtherQuestions()
{
    QFETCH(QByteArray, query);

    // Answers go out in the order queries arrive, so if the first query were answered
    // its reply would come before the second query's.
    QCOMPARE(m_socket.writeDatagram(query, QHostAddress(QStringLiteral("127.0.0.1")), 5353),
        qint64(query.size()));
    QByteArray second = kToolQuery;
    second[1] = char(2);
    QCOMPARE(m_socket.writeDatagram(second, QHostAddress(QStringLiteral("127.0.0.1")), 5353),
        qint64(second.size()));
    QTRY_COMPARE(repliesSoFar(), 3);
    for (const Reply& reply : qAsConst(m_replies))
        QCOMPARE(qFromBigEndian<quint16>(reply.bytes.constData()), quint16(2));

    const QJsonArray log = m_sim.mdnsQueries();
    QCOMPARE(log.size(), 2);
    QVERIFY(log[0]
                .toObject()
                .value(QLatin1String("outcome"))
                .toString()
                .startsWith(QLatin1String("ignored")));
    QCOMPARE(log[0].toObject().value(QLatin1String("answered")).toInt(), 0);
    QCOMPARE(log[1].toObject().value(QLatin1String("answered")).toInt(), 3);
}

void tst_SimMdns::faults_data()
{
    QTest::addColumn<QString>("fault");

    QTest::newRow("oversized") << QStringLiteral("oversized");
    QTest::newRow("truncated") << QStringLiteral("truncated");
    QTest::newRow("badflags") << QStringLiteral("badflags");
    QTest::newRow("loop") << QStringLiteral("loop");
    QTest::newRow("silent") << QStringLiteral("silent");
}

void tst_SimMdns::faults()
{
    QFETCH(QString, fault);

    QVERIFY2(m_sim.setFault(kLight, QJsonObject { { QStringLiteral("mdns"), fault } }),
        qPrintable(m_sim.errorString()));
    QCOMPARE(m_socket.writeDatagram(kToolQuery, QHostAddress(QStringLiteral("127.0.0.1")), 5353),
        qint64(kToolQuery.size()));

    if (fault == QLatin1String("silent")) {
        // The Light Panels would answer first; the others' answers alone show they did not.
        QTRY_COMPARE(repliesSoFar(), 2);
        QCOMPARE(m_replies[0].from, kCanvas);
        checkAnswer(m_replies[0], kToolQuery);
        return;
    }
    QTRY_COMPARE(repliesSoFar(), 3);
    QCOMPARE(m_replies[0].from, kLight);
    checkAnswer(m_replies[1], kToolQuery); // the others are unaffected
    if (QTest::currentTestFailed())
        return;

    const QByteArray bytes = m_replies[0].bytes;
    Message m;
    QString error;
    const bool decoded = decode(bytes, m, error);
    if (fault == QLatin1String("oversized")) {
        QVERIFY2(decoded, qPrintable(error));
        QVERIFY(bytes.size() > 512);
        QCOMPARE(m.flags, quint16(0x8400));
    } else if (fault == QLatin1String("truncated")) {
        QVERIFY(!decoded);
        QVERIFY2(error.contains(QLatin1String("runs past the end"))
                || error.contains(QLatin1String("ends in")),
            qPrintable(error));
        // Cut inside the second record, which is the SRV record.
        QCOMPARE(m.records.size(), 1);
        QCOMPARE(m.records[0].type, quint16(12));
    } else if (fault == QLatin1String("badflags")) {
        QVERIFY2(decoded, qPrintable(error));
        QCOMPARE(m.flags, quint16(0x8000));
    } else if (fault == QLatin1String("loop")) {
        QVERIFY(!decoded);
        // The SRV owner name is a pointer to its own offset.
        const int at
            = m.records.isEmpty() ? -1 : m.records[0].rdataOffset + m.records[0].rdata.size();
        QVERIFY(at > 0 && at + 1 < bytes.size());
        QCOMPARE((quint8(bytes[at]) << 8 | quint8(bytes[at + 1])), 0xC000 | at);
        QVERIFY2(error.contains(QLatin1String("does not point backwards")), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(tst_SimMdns)
#include "tst_simmdns.moc"
