#include "service/streamdatagram.h"

#include <QtTest>

#include <vector>

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace
{

struct Frame {
    int red[12] = {};
    int green[12] = {};
    int blue[12] = {};
    void set(int i, int r, int g, int b)
    {
        red[i] = r;
        green[i] = g;
        blue[i] = b;
    }
};

Bytes bytes(std::initializer_list<int> values, std::size_t total)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    out.resize(total, 0);
    return out;
}

} // namespace

class tst_StreamDatagram : public QObject
{
    Q_OBJECT

private slots:
    void lightWorkedExample()
    {
        Frame f;
        f.set(0, 255, 0, 0);
        f.set(1, 0, 255, 0);
        f.set(2, 16, 32, 48);
        const Bytes expected
            = bytes({ 0x03, 0x52, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x01, 0x00, 0xFF, 0x00,
                        0x00, 0x00, 0xC8, 0x01, 0x10, 0x20, 0x30, 0x00, 0x00 },
                96);
        QCOMPARE(
            StreamDatagram::buildLight(12, f.red, f.green, f.blue, 3, { 82, 15, 200 }), expected);
    }

    void canvasWorkedExample()
    {
        Frame f;
        f.set(0, 255, 0, 0);
        f.set(1, 0, 128, 255);
        const Bytes expected = bytes({ 0x00, 0x02, 0x04, 0xD2, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x07, 0x00, 0x80, 0xFF, 0x00, 0x00, 0x00 },
            120);
        QCOMPARE(
            StreamDatagram::buildCanvas(12, f.red, f.green, f.blue, 2, { 4, 210, 0, 7 }), expected);
    }

    void canvasWithMorePanelsThanEntries()
    {
        Frame f;
        for (int i = 0; i < 12; ++i)
            f.set(i, 1, 2, 3);
        std::vector<int> ids;
        for (int p = 0; p < 15; ++p) {
            ids.push_back(0);
            ids.push_back(p + 1);
        }
        const Bytes datagram = StreamDatagram::buildCanvas(12, f.red, f.green, f.blue, 15, ids);
        QCOMPARE(datagram.size(), std::size_t(120));
        QCOMPARE(int(datagram[1]), 15);
        QCOMPARE(int(datagram[2 + 8 * 11 + 1]), 12); // last written record: panel 12
        for (std::size_t i = 98; i < 120; ++i)
            QCOMPARE(int(datagram[i]), 0);
    }

    void noRecordGivesEmptyDatagram_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("panels");
        QTest::newRow("no panels") << 12 << 0;
        QTest::newRow("no entries") << 0 << 3;
        QTest::newRow("negative count") << -1 << 3;
    }

    void noRecordGivesEmptyDatagram()
    {
        QFETCH(int, count);
        QFETCH(int, panels);
        Frame f;
        QVERIFY(
            StreamDatagram::buildLight(count, f.red, f.green, f.blue, panels, { 1, 2, 3 }).empty());
        QVERIFY(
            StreamDatagram::buildCanvas(count, f.red, f.green, f.blue, panels, { 0, 1, 0, 2, 0, 3 })
                .empty());
    }

    void onlyLowEightBitsGoOut()
    {
        Frame f;
        f.set(0, 300, -1, 256);
        const Bytes datagram = StreamDatagram::buildLight(12, f.red, f.green, f.blue, 1, { 300 });
        QCOMPARE(int(datagram[1]), 44);
        QCOMPARE(int(datagram[3]), 44);
        QCOMPARE(int(datagram[4]), 255);
        QCOMPARE(int(datagram[5]), 0);
    }

    // A record with fewer id bytes than two per panel: only records whose two id
    // bytes exist are written.
    void canvasNeverReadsPastIds()
    {
        Frame f;
        for (int i = 0; i < 12; ++i)
            f.set(i, 9, 9, 9);
        const Bytes datagram
            = StreamDatagram::buildCanvas(12, f.red, f.green, f.blue, 3, { 82, 15, 200 });
        QCOMPARE(datagram.size(), std::size_t(120));
        QCOMPARE(int(datagram[2]), 82);
        QCOMPARE(int(datagram[3]), 15);
        for (std::size_t i = 10; i < 120; ++i)
            QCOMPARE(int(datagram[i]), 0);
    }

    void modelWords_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("model");
        QTest::newRow("light") << "Light Panels 52:33:A1" << int(StreamDatagram::Model::Light);
        QTest::newRow("canvas") << "Canvas 1F:2B" << int(StreamDatagram::Model::Canvas);
        QTest::newRow("both: canvas wins") << "Light Canvas" << int(StreamDatagram::Model::Canvas);
        QTest::newRow("lower case") << "light panels" << int(StreamDatagram::Model::None);
        QTest::newRow("neither") << "Shapes 12" << int(StreamDatagram::Model::None);
    }

    void modelWords()
    {
        QFETCH(QString, name);
        QFETCH(int, model);
        QCOMPARE(int(StreamDatagram::modelForName(name.toStdU16String())), model);
    }
};

QTEST_GUILESS_MAIN(tst_StreamDatagram)
#include "tst_streamdatagram.moc"
