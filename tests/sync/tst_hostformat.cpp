// The host wire formats as byte tables, both directions: the framed request and its reader
// (whole, in pieces, malformed), the answer, and the intake's decision on each host message.

#include "common/hostrequest.h"
#include "sync/hostframe.h"
#include "sync/hostintake.h"

#include <QtTest>

using HostTest::Bytes;

namespace
{

Bytes hex(const QString& text)
{
    const QByteArray b = QByteArray::fromHex(QString(text).remove(' ').toLatin1());
    return Bytes(b.begin(), b.end());
}

QString toHex(const unsigned char* data, std::size_t size)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(data), int(size)).toHex());
}

// `stream` fed to a reader in `chunk`-byte pieces: "message wParam dwData payload" per request,
// then "error E after N bytes" if it fails.
QString readAll(const Bytes& stream, std::size_t chunk)
{
    HostFrameReader reader;
    QStringList out;
    std::size_t at = 0;
    for (int guard = 0; at < stream.size() && !reader.failed() && guard < 1000000; ++guard) {
        at += reader.feed(stream.data() + at, std::min(chunk, stream.size() - at));
        if (reader.buffered() > 4 + 65536)
            return QStringLiteral("reader holds %1 bytes").arg(reader.buffered());
        if (reader.hasRequest()) {
            const HostIntake::Message m = reader.request();
            out << QString::asprintf(
                       "%u %llx %llu ", m.message, qulonglong(m.wParam), qulonglong(m.dwData))
                    + (m.payload ? toHex(m.payload, m.cbData) : "-");
            reader.next();
        }
    }
    if (reader.failed())
        out << QStringLiteral("error %1 after %2 bytes").arg(int(reader.error())).arg(at);
    return out.join("; ");
}

} // namespace

class tst_HostFormat : public QObject
{
    Q_OBJECT

private slots:
    void encode()
    {
        const Bytes largest(65512, 1);
        QVERIFY(encodeHostRequest({ 74, 0, 10001, 65512, largest.data() })
            == HostTest::request(74, 0, 10001, largest));
        QVERIFY(encodeHostRequest({ 74, 0, 10001, 65513, largest.data() }).empty());
        QVERIFY(encodeHostRequest({ 74, 0, 10001, 56, nullptr }).empty());
    }

    void read_data()
    {
        QTest::addColumn<QString>("stream");
        QTest::addColumn<QString>("requests");
        // error numbers: 1 size below 24, 2 size over 64 KiB, 3 cbData beyond the
        // size, 4 cbData short of it; each known as soon as its field is complete.
        const auto row = [](const char* name, const char* stream, const char* requests) {
            QTest::newRow(name) << stream << requests;
        };
        row("wide fields", "1b000000 4a000000 0807060504030201 ffffffffffffff7f 03000000 aabbcc",
            "74 102030405060708 9223372036854775807 aabbcc");
        row("no payload, then one",
            "18000000 00810000 03000000ffffffff 0000000000000000 00000000"
            "19000000 4a000000 0100000000000000 1127000000000000 01000000 00",
            "33024 ffffffff00000003 0 -; 74 1 10001 00");
        row("size 23", "17000000 4a000000", "error 1 after 4 bytes");
        row("size 65537", "01000100 4a000000", "error 2 after 4 bytes");
        row("size 0xffffffff", "ffffffff 4a000000", "error 2 after 4 bytes");
        row("cbData beyond the size",
            "18000000 4a000000 0000000000000000 1127000000000000 01000000 00",
            "error 3 after 28 bytes");
        row("cbData wraps past the size",
            "50000000 4a000000 0000000000000000 1127000000000000 f0ffffff",
            "error 3 after 28 bytes");
        row("cbData short of the size",
            "1e000000 4a000000 0000000000000000 1127000000000000 02000000 000000000000",
            "error 4 after 28 bytes");
        row("a good request, then a bad one",
            "18000000 4a000000 0200000000000000 1127000000000000 00000000 03000000",
            "74 2 10001 -; error 1 after 32 bytes");
    }

    void read()
    {
        QFETCH(QString, stream);
        QFETCH(QString, requests);
        for (std::size_t chunk : { 1, 7, 1 << 20 })
            QCOMPARE(readAll(hex(stream), chunk), requests);
    }

    // The answer: a handled byte (0 or 1), then the result; read and written back the same.
    // Any other length or handled byte is refused and leaves the output alone.
    void answers()
    {
        const auto read = [](const char* wire) {
            const Bytes bytes = hex(wire); // exactly these bytes on the heap
            HostIntake::HostAnswer out { true, 42 };
            if (!decodeHostAnswer(bytes.data(), bytes.size(), out))
                return QString(out.handled && out.result == 42 ? "refused" : "refused, changed");
            const auto again = encodeHostAnswer(out.handled, out.result);
            return QString::asprintf("%d %lld, again ", out.handled, qlonglong(out.result))
                + toHex(again.data(), again.size());
        };
        QCOMPARE(read("01 0807060504030201"), "1 72623859790382856, again 010807060504030201");
        QCOMPARE(read("00 0000000000000080"), "0 -9223372036854775808, again 000000000000000080");
        QCOMPARE(read("01 01000000000000"), "refused");
        QCOMPARE(read("02 0100000000000000"), "refused");
    }

    void evaluate_data()
    {
        QTest::addColumn<QString>("message"); // message wParam dwData
        QTest::addColumn<QString>("payload");
        QTest::addColumn<int>("current"); // the sync device type in force
        // action, handled, result, type after; if forwarded, the colours of entries 0 and 11
        QTest::addColumn<QString>("decision");
        const auto record = [](int type, unsigned char red = 200, unsigned char green = 100,
                                unsigned char blue = 50) {
            const Bytes r = HostTest::colourRecord(type, red, green, blue, 3);
            return toHex(r.data(), r.size());
        };
        const QString r1 = record(1);
        const auto row = [](const char* name, const char* message, const QString& payload,
                             int current, const char* decision) {
            QTest::newRow(name) << message << payload << current << decision;
        };
        row("frame of the mirrored source", "74 0 10001", r1, 1,
            "Forward 1 1 type 1: 200,100,50 233,133,83");
        row("bytes above 127 stay positive", "74 0 10001", record(1, 255, 128, 129), 1,
            "Forward 1 1 type 1: 255,128,129 32,161,162");
        row("57 bytes", "74 0 10001", r1 + "7f", 1, "Forward 1 1 type 1: 200,100,50 233,133,83");
        row("negative types compare as signed", "74 0 10001", record(-1), -1,
            "Forward 1 1 type -1: 200,100,50 233,133,83");
        row("frame of another source", "74 0 10001", record(2), 1, "Drop 1 1 type 1");
        row("55 bytes", "74 0 10001", r1.left(110), 1, "ShortFrame 1 0 type 1");
        row("no payload", "74 0 10001", "", 1, "ShortFrame 1 0 type 1");
        row("for another window", "74 0 10000", r1, 1, "Decline 0 0 type 1");
        row("dwData differs in the high half", "74 0 0x100002711", r1, 1, "Decline 0 0 type 1");
        row("short, for another window", "74 0 10000", "c864", 1, "Decline 0 0 type 1");
        row("sync switch 3", "33024 3 0", "", 1, "SyncSwitch 0 0 type 3");
        row("sync switch to all ones", "33024 0xFFFFFFFF 0", "", 1, "SyncSwitch 0 0 type -1");
        row("sync switch, high half ignored", "33024 0x100000003 0", r1, 2,
            "SyncSwitch 0 0 type 3");
        row("other message", "15 3 10001", r1, 1, "Ignore 0 0 type 1");
    }

    void evaluate()
    {
        QFETCH(QString, message);
        QFETCH(QString, payload);
        QFETCH(int, current);
        QFETCH(QString, decision);
        const QStringList m = message.split(' ');
        const Bytes bytes = hex(payload); // exactly cbData bytes on the heap
        const HostIntake::Decision d = HostIntake::evaluate(
            { m[0].toUInt(), m[1].toULongLong(nullptr, 0), m[2].toULongLong(nullptr, 0),
                std::uint32_t(bytes.size()), bytes.empty() ? nullptr : bytes.data() },
            current);
        const char* const actions[]
            = { "Ignore", "Decline", "Forward", "Drop", "ShortFrame", "SyncSwitch" };
        QString seen = QString::asprintf("%s %d %lld type %d", actions[int(d.action)], d.handled,
            qlonglong(d.result), d.syncDeviceType);
        if (d.action == HostIntake::Action::Forward) // the colours of entries 0 and 11
            seen += QString::asprintf(": %d,%d,%d %d,%d,%d", d.red[0], d.green[0], d.blue[0],
                d.red[11], d.green[11], d.blue[11]);
        QCOMPARE(seen, decision);
    }
};

QTEST_APPLESS_MAIN(tst_HostFormat)
#include "tst_hostformat.moc"
