#include "sync/hostintake.h"

#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

using namespace HostIntake;

#include "common/hostintakeprint.h"

namespace
{

std::vector<unsigned char> record(
    int syncDeviceType, const unsigned char entry[4] = nullptr, std::int32_t reserved = 0)
{
    std::vector<unsigned char> r(kRecordSize, 0);
    for (int k = 0; k < kColourEntries; ++k) {
        for (int b = 0; b < 4; ++b)
            r[static_cast<std::size_t>(4 * k + b)]
                = entry ? entry[b] : static_cast<unsigned char>(k * 16 + b);
    }
    const auto put = [&r](std::size_t at, std::int32_t v) {
        const auto u = static_cast<std::uint32_t>(v);
        for (int i = 0; i < 4; ++i)
            r[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(u >> (8 * i));
    };
    put(48, reserved);
    put(52, syncDeviceType);
    return r;
}

// Exactly cbData bytes on the heap, so a sanitizer build catches any read past them.
struct Payload {
    explicit Payload(const std::vector<unsigned char>& bytes, std::size_t keep)
        : size(keep)
        , data(keep ? new unsigned char[keep] : nullptr)
    {
        if (keep)
            std::memcpy(data.get(), bytes.data(), keep);
    }
    std::size_t size;
    std::unique_ptr<unsigned char[]> data;
};

QByteArray bytesOf(const std::vector<unsigned char>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<int>(v.size()));
}

std::vector<unsigned char> vectorOf(const QByteArray& b)
{
    return std::vector<unsigned char>(b.begin(), b.end());
}

} // namespace

class tst_HostIntake : public QObject
{
    Q_OBJECT

private slots:
    void evaluate_data();
    void evaluate();
    void colourBytes_data();
    void colourBytes();
    void decodeFields();
    void decodeRejectsShortOrMissing_data();
    void decodeRejectsShortOrMissing();
};

void tst_HostIntake::evaluate_data()
{
    QTest::addColumn<uint>("message");
    QTest::addColumn<quint64>("wParam");
    QTest::addColumn<quint64>("dwData");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("currentType");
    QTest::addColumn<HostIntake::Action>("action");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<qint64>("result");
    QTest::addColumn<int>("typeAfter");

    const QByteArray type1 = bytesOf(record(1));
    const QByteArray type2 = bytesOf(record(2));
    const QByteArray typeMinus1 = bytesOf(record(-1));

    QTest::newRow("copydata for another owner") << 74u << quint64(0) << quint64(10000) << type1 << 1
                                                << Action::Decline << false << qint64(0) << 1;
    QTest::newRow("identifier differs only in the high half")
        << 74u << quint64(0) << (quint64(1) << 32 | 10001) << type1 << 1 << Action::Decline << false
        << qint64(0) << 1;
    QTest::newRow("frame of the mirrored source") << 74u << quint64(0) << quint64(10001) << type1
                                                  << 1 << Action::Forward << true << qint64(1) << 1;
    QTest::newRow("frame of another source") << 74u << quint64(0) << quint64(10001) << type2 << 1
                                             << Action::Drop << true << qint64(1) << 1;
    QTest::newRow("negative types compare as signed")
        << 74u << quint64(0) << quint64(10001) << typeMinus1 << -1 << Action::Forward << true
        << qint64(1) << -1;
    QTest::newRow("empty payload") << 74u << quint64(0) << quint64(10001) << QByteArray() << 1
                                   << Action::ShortFrame << true << qint64(0) << 1;
    QTest::newRow("one byte") << 74u << quint64(0) << quint64(10001) << type1.left(1) << 1
                              << Action::ShortFrame << true << qint64(0) << 1;
    QTest::newRow("55 bytes") << 74u << quint64(0) << quint64(10001) << type1.left(55) << 1
                              << Action::ShortFrame << true << qint64(0) << 1;
    QTest::newRow("57 bytes") << 74u << quint64(0) << quint64(10001)
                              << (type1 + QByteArray(1, '\x7f')) << 1 << Action::Forward << true
                              << qint64(1) << 1;
    QTest::newRow("short frame for another owner is declined")
        << 74u << quint64(0) << quint64(10000) << type1.left(3) << 1 << Action::Decline << false
        << qint64(0) << 1;
    QTest::newRow("sync switch 3") << 33024u << quint64(3) << quint64(0) << QByteArray() << 1
                                   << Action::SyncSwitch << false << qint64(0) << 3;
    QTest::newRow("sync switch all ones is -1")
        << 33024u << quint64(0xFFFFFFFFu) << quint64(0) << QByteArray() << 1 << Action::SyncSwitch
        << false << qint64(0) << -1;
    QTest::newRow("sync switch ignores the high half")
        << 33024u << quint64(0x100000003ull) << quint64(0) << QByteArray() << 1
        << Action::SyncSwitch << false << qint64(0) << 3;
    QTest::newRow("sync switch ignores a payload")
        << 33024u << quint64(4) << quint64(10001) << type1 << 2 << Action::SyncSwitch << false
        << qint64(0) << 4;
    QTest::newRow("other message") << 15u << quint64(3) << quint64(10001) << type1 << 1
                                   << Action::Ignore << false << qint64(0) << 1;
    QTest::newRow("neighbour of the switch message")
        << 33025u << quint64(3) << quint64(0) << QByteArray() << 1 << Action::Ignore << false
        << qint64(0) << 1;
}

void tst_HostIntake::evaluate()
{
    QFETCH(uint, message);
    QFETCH(quint64, wParam);
    QFETCH(quint64, dwData);
    QFETCH(QByteArray, payload);
    QFETCH(int, currentType);

    const std::vector<unsigned char> bytes = vectorOf(payload);
    const Payload exact(bytes, bytes.size());
    const Message m { message, wParam, dwData, static_cast<std::uint32_t>(exact.size),
        exact.data.get() };
    const Decision d = HostIntake::evaluate(m, currentType);

    QTEST(d.action, "action");
    QTEST(d.handled, "handled");
    QTEST(static_cast<qint64>(d.result), "result");
    QTEST(d.syncDeviceType, "typeAfter");
    if (d.action == Action::Forward) {
        for (int k = 0; k < kColourEntries; ++k) {
            QCOMPARE(d.red[k], int(bytes[static_cast<std::size_t>(4 * k)]));
            QCOMPARE(d.green[k], int(bytes[static_cast<std::size_t>(4 * k + 1)]));
            QCOMPARE(d.blue[k], int(bytes[static_cast<std::size_t>(4 * k + 2)]));
        }
    }
}

void tst_HostIntake::colourBytes_data()
{
    QTest::addColumn<int>("b0");
    QTest::addColumn<int>("b1");
    QTest::addColumn<int>("b2");
    QTest::addColumn<int>("b3");

    QTest::newRow("200 100 50 7") << 200 << 100 << 50 << 7;
    QTest::newRow("bytes above 127 stay positive") << 255 << 128 << 129 << 255;
    QTest::newRow("zero") << 0 << 0 << 0 << 255;
}

void tst_HostIntake::colourBytes()
{
    QFETCH(int, b0);
    QFETCH(int, b1);
    QFETCH(int, b2);
    QFETCH(int, b3);
    const unsigned char entry[4] = { static_cast<unsigned char>(b0), static_cast<unsigned char>(b1),
        static_cast<unsigned char>(b2), static_cast<unsigned char>(b3) };
    const std::vector<unsigned char> bytes = record(1, entry);
    const Payload exact(bytes, bytes.size());
    const Decision d
        = HostIntake::evaluate(Message { 74, 0, 10001, kRecordSize, exact.data.get() }, 1);
    QCOMPARE(d.action, Action::Forward);
    for (int k = 0; k < kColourEntries; ++k) {
        QCOMPARE(d.red[k], b0);
        QCOMPARE(d.green[k], b1);
        QCOMPARE(d.blue[k], b2);
    }
}

void tst_HostIntake::decodeFields()
{
    std::vector<unsigned char> bytes = record(0, nullptr, 0);
    const unsigned char reserved[4] = { 0x78, 0x56, 0x34, 0x12 };
    const unsigned char type[4] = { 0xFE, 0xFF, 0xFF, 0xFF };
    std::memcpy(&bytes[48], reserved, 4);
    std::memcpy(&bytes[52], type, 4);
    const Payload exact(bytes, bytes.size());
    nanoleafData out {};
    QVERIFY(decodeNanoleafData(exact.data.get(), exact.size, out));
    QCOMPARE(out.reserved, std::int32_t(0x12345678));
    QCOMPARE(out.syncDeviceType, std::int32_t(-2));
    for (int k = 0; k < kColourEntries; ++k) {
        for (int b = 0; b < 4; ++b)
            QCOMPARE(int(out.colour[k][b]), k * 16 + b);
    }
}

void tst_HostIntake::decodeRejectsShortOrMissing_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("nullBytes");
    QTest::newRow("0 bytes") << 0 << false;
    QTest::newRow("1 byte") << 1 << false;
    QTest::newRow("52 bytes, type missing") << 52 << false;
    QTest::newRow("55 bytes") << 55 << false;
    QTest::newRow("null with a full size") << 56 << true;
}

void tst_HostIntake::decodeRejectsShortOrMissing()
{
    QFETCH(int, size);
    QFETCH(bool, nullBytes);
    const std::vector<unsigned char> bytes = record(3);
    const Payload exact(bytes, static_cast<std::size_t>(size));
    nanoleafData out {};
    out.syncDeviceType = 77;
    out.colour[0][0] = 9;
    QVERIFY(!decodeNanoleafData(
        nullBytes ? nullptr : exact.data.get(), static_cast<std::size_t>(size), out));
    QCOMPARE(out.syncDeviceType, 77);
    QCOMPARE(int(out.colour[0][0]), 9);
}

QTEST_APPLESS_MAIN(tst_HostIntake)
#include "tst_hostintake.moc"
