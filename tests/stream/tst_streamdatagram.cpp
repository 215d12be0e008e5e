// The stream datagrams byte for byte: "Light" and "Canvas" by the device name,
// v2 for the later models (lit panels from the info answer, in hanging order).

#include "service/openapiformat.h"
#include "stream/framepacker.h"
#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"
#include "stream/v2datagram.h"

#include <QtTest>

#include <array>

using Panels = std::vector<PanelModel::Panel>;
using Ids = std::vector<std::uint16_t>;
Q_DECLARE_METATYPE(Panels)
Q_DECLARE_METATYPE(Ids)
Q_DECLARE_METATYPE(std::vector<int>)

namespace
{

QByteArray hex(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

// The port each device's datagrams go to; 0 when it is sent none.
QVector<int> ports(const FramePacker& packer)
{
    QVector<int> out;
    for (const DeviceDestination& d : packer.destinations())
        out << (d.sent ? d.to.port : 0);
    return out;
}

// "datagram-in-hex to port", one per datagram of the batch.
QList<QByteArray> batchLines(const FramePacker& packer, const DeviceDatagram* batch, std::size_t n)
{
    QList<QByteArray> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(hex(std::vector<std::uint8_t>(batch[i].data, batch[i].data + batch[i].size))
            + " to " + QByteArray::number(ports(packer).at(int(batch[i].device))));
    return out;
}

// Light, Canvas, v2, not paired, no usable address, Light of no panel; device i's
// port is 60000 + i.
std::vector<StreamDevice> packerDevices()
{
    using M = StreamDatagram::Model;
    const M models[] = { M::Light, M::Canvas, M::None, M::Light, M::Canvas, M::Light };
    const int panels[] = { 3, 2, 2, 3, 2, 0 };
    std::vector<StreamDevice> devices(6);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        StreamDevice& d = devices[i];
        d.isPaired = i != 3;
        d.model = models[i];
        d.v2 = i == 2;
        d.panelNumbers = panels[i];
        d.pidArrray = models[i] == M::Canvas ? std::vector<int> { 1, 2, 3, 4 }
                                             : std::vector<int> { 11, 12, 13 };
        d.v2Ids = { 0x9C43, 0x9C42 };
        d.addressOk = i != 4;
        d.to.port = std::uint16_t(60000 + i);
    }
    return devices;
}

} // namespace

class tst_StreamDatagram : public QObject
{
    Q_OBJECT

private slots:
    // Host entries 0-3 are (255,0,0) (0,255,0) (16,32,48) (300,-1,256), the rest
    // (1,2,3). The expected bytes are followed by zeros up to `size`.
    void lightAndCanvas_data()
    {
        QTest::addColumn<bool>("canvas");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("panels");
        QTest::addColumn<std::vector<int>>("ids");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("size");
        const auto row = [](const char* name, bool canvas, int count, int panels,
                             const std::vector<int>& ids, const char* expected, int size) {
            QTest::newRow(name) << canvas << count << panels << ids << QByteArray(expected) << size;
        };
        row("Light", false, 12, 3, { 82, 15, 200 },
            "03 5201ff00000000 0f0100ff000000 c8011020300000", 96);
        row("Light: low 8 bits only", false, 12, 260, { 1, 2, 3, 300 },
            "04 0101ff00000000 020100ff000000 03011020300000 2c012cff000000", 96);
        row("Canvas", true, 12, 2, { 4, 210, 0, 7 }, "0002 04d2ff0000000000 000700ff00000000", 120);
        row("Light: fewer entries than panels", false, 2, 3, { 82, 15, 200 },
            "03 5201ff00000000 0f0100ff000000", 16);
        row("Canvas: half an id is no record", true, 12, 3, { 82, 15, 200 },
            "0003 520fff0000000000", 120);
        row("Light: no panels", false, 12, 0, { 1, 2 }, "", 0);
        row("Canvas: negative count", true, -1, 1, { 1, 2 }, "", 0);
    }

    void lightAndCanvas()
    {
        QFETCH(bool, canvas);
        QFETCH(int, count);
        QFETCH(int, panels);
        QFETCH(std::vector<int>, ids);
        QFETCH(QByteArray, expected);
        QFETCH(int, size);
        int red[12] = { 255, 0, 16, 300, 1, 1, 1, 1, 1, 1, 1, 1 };
        int green[12] = { 0, 255, 32, -1, 2, 2, 2, 2, 2, 2, 2, 2 };
        int blue[12] = { 0, 0, 48, 256, 3, 3, 3, 3, 3, 3, 3, 3 };
        const QByteArray want
            = QByteArray::fromHex(expected.replace(' ', "")).leftJustified(size, '\0').toHex();
        // Into a new buffer, and into a reused one that held a longer datagram: the
        // same bytes.
        std::vector<std::uint8_t> fresh, reused(300, 0xEE);
        for (std::vector<std::uint8_t>* out : { &fresh, &reused }) {
            if (canvas)
                StreamDatagram::buildCanvas(count, red, green, blue, panels, ids, *out);
            else
                StreamDatagram::buildLight(count, red, green, blue, panels, ids, *out);
            QCOMPARE(hex(*out), want);
        }
    }

    // Model numbers by name, "v2" where streamed so (unlit pieces: hangingOrder, v2).
    void modelNumbers()
    {
        QStringList got;
        for (const char* number :
            { "NL42", "NL52", "NL59", "NL64", "NL69", "NL22", "NL29", "NL45", "nl42" }) {
            const PanelModel::Model model = PanelModel::fromModelNumber(number);
            got << QString(number) + " " + PanelModel::name(model)
                    + (PanelModel::streamsV2(model) ? " v2" : "");
        }
        QCOMPARE(got,
            (QStringList { "NL42 Shapes v2", "NL52 Elements v2", "NL59 Lines v2",
                "NL64 Skylight v2", "NL69 4D v2", "NL22 Light Panels", "NL29 Canvas",
                "NL45 unknown model", "nl42 unknown model" }));
    }

    void hangingOrder_data()
    {
        QTest::addColumn<Panels>("panels");
        QTest::addColumn<double>("turn");
        QTest::addColumn<Ids>("ids");
        // Lit 1 (0,0), 2 (100,0), 3 (0,100); a controller on top of them.
        const Panels l { { 4, 0, 200, 0, 12 }, { 2, 100, 0, 0, 7 }, { 1, 0, 0, 0, 7 },
            { 3, 0, 100, 0, 7 } };
        QTest::newRow("upright") << l << 0.0 << Ids { 3, 1, 2 };
        QTest::newRow("90 clockwise") << l << 90.0 << Ids { 1, 3, 2 };
        QTest::newRow("same place")
            << Panels { { 9, 5, 5, 0, 2 }, { 5, 5, 5, 0, 2 } } << 0.0 << Ids { 5, 9 };
    }

    void hangingOrder()
    {
        QFETCH(Panels, panels);
        QFETCH(double, turn);
        QTEST(PanelModel::orderLitPanels(panels, turn), "ids");
    }

    // From the info answer to the bytes on the wire: Elements turned 180, cap dark.
    // Host entry k is A0+k, B0+k, C0+k; panel j of n shows entry 12 j / n.
    void v2()
    {
        const OpenApiFormat::Info info = OpenApiFormat::parseInfo(
            R"({"name":"Elements 1","model":"NL52","panelLayout":{"globalOrientation":{"value":180},"layout":{)"
            R"("positionData":[{"panelId":1,"x":-60,"y":0,"o":0,"shapeType":19},)"
            R"({"panelId":40001,"x":0,"y":0,"o":0,"shapeType":14},)"
            R"({"panelId":40002,"x":100,"y":0,"o":0,"shapeType":14},)"
            R"({"panelId":40003,"x":200,"y":0,"o":0,"shapeType":15},)"
            R"({"panelId":40004,"x":50,"y":90,"o":0,"shapeType":14},)"
            R"({"panelId":40005,"x":150,"y":90,"o":0,"shapeType":14}]}}})");
        const QByteArray expected = QByteArray::fromHex(
            "0005 9C43A0B0C0000000 "
            "9C42A2B2C2000000 9C41A4B4C4000000 9C45A7B7C7000000 9C44A9B9C9000000");
        const Ids ids = PanelModel::orderLitPanels(info.v2.panels, info.v2.globalOrientation);
        int r[12], g[12], b[12];
        for (int k = 0; k < 12; ++k)
            r[k] = 0xA0 + k, g[k] = 0xB0 + k, b[k] = 0xC0 + k;
        std::array<std::uint8_t, 256> out;
        out.fill(0xEE);
        const auto size = static_cast<std::size_t>(expected.size());
        QCOMPARE(StreamDatagram::buildV2(out.data(), size - 1, ids, r, g, b), std::size_t(0));
        QCOMPARE(StreamDatagram::buildV2(out.data(), size, ids, r, g, b), size);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(out.data()), expected.size() + 1),
            expected + '\xEE');
    }

    // A packed frame is, device by device, what the builders make of it, frame after frame
    // and after a new layout; every streamed device with an address has a destination.
    // Then strip frames: each device shows its own pixels, one per panel it can address
    // (three Light records, not twelve), from where the devices before it end; a device
    // without an address still takes its place on the strip.
    void framePacker()
    {
        const std::vector<StreamDevice> devices = packerDevices();
        FramePacker packer;
        for (int count : { 12, 5 }) {
            packer.layOut(count, devices);
            for (int frame = 0; frame < 3; ++frame) {
                int r[12], g[12], b[12];
                for (int k = 0; k < 12; ++k)
                    r[k] = 37 * frame + k, g[k] = 300 - 11 * k * frame, b[k] = frame - k;
                std::size_t n = 0;
                const DeviceDatagram* batch = packer.pack(r, g, b, n);
                QList<QByteArray> want;
                for (std::size_t i = 0; i < devices.size(); ++i) {
                    const StreamDevice& d = devices[i];
                    std::vector<std::uint8_t> bytes(64);
                    if (d.v2)
                        bytes.resize(count < 12
                                ? 0
                                : StreamDatagram::buildV2(bytes.data(), 64, d.v2Ids, r, g, b));
                    else if (d.model == StreamDatagram::Model::Canvas)
                        StreamDatagram::buildCanvas(
                            count, r, g, b, d.panelNumbers, d.pidArrray, bytes);
                    else
                        StreamDatagram::buildLight(
                            count, r, g, b, d.panelNumbers, d.pidArrray, bytes);
                    if (d.isPaired && d.addressOk && (!d.v2 || !bytes.empty()))
                        want.push_back(hex(bytes) + " to " + QByteArray::number(60000 + int(i)));
                }
                QCOMPARE(batchLines(packer, batch, n), want);
            }
            QCOMPARE(ports(packer), (QVector<int> { 60000, 60001, 60002, 0, 0, 60005 }));
        }
        packer.layOutStrip(devices);
        QCOMPARE(packer.count(), -1);
        QCOMPARE(packer.stripBytes(), std::size_t(27)); // 3 + 2 + 2 + (2 unsent) pixels
        std::vector<std::uint8_t> strip(27);
        for (std::size_t i = 0; i < strip.size(); ++i)
            strip[i] = std::uint8_t(i + 1);
        std::size_t n = 0;
        const DeviceDatagram* batch = packer.packStrip(strip.data(), n);
        // Records: id, (Light: frame count 1), R G B, W 0, transition 0.
        QList<QByteArray> expected {
            "03 0b01 010203 00 00 0c01 040506 00 00 0d01 070809 00 00 0000",
            "0002 0102 0a0b0c 00 0000 0304 0d0e0f 00 0000 0000",
            "0002 9c43 101112 00 0000 9c42 131415 00 0000"
        };
        for (int i = 0; i < expected.size(); ++i)
            expected[i] = expected[i].replace(" ", "") + " to " + QByteArray::number(60000 + i);
        QCOMPARE(batchLines(packer, batch, n), expected);
        QCOMPARE(ports(packer), (QVector<int> { 60000, 60001, 60002, 0, 0, 60005 }));
    }
};

QTEST_GUILESS_MAIN(tst_StreamDatagram)
#include "tst_streamdatagram.moc"
