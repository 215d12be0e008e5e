#include "assets/gifencoder.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QtTest>

#include <vector>

namespace
{

QString imagePath(const QString& name)
{
    return QStringLiteral(PRISMARA_BIN_DIR "/Image/") + name;
}

QImage load(const QString& name)
{
    return QImage(imagePath(name)).convertToFormat(QImage::Format_ARGB32);
}

// Mean brightness of what shows through, weighted by coverage.
double meanLuminance(const QImage& img)
{
    double sum = 0, weight = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb p = img.pixel(x, y);
            const double a = qAlpha(p) / 255.0;
            sum += a * (0.2126 * qRed(p) + 0.7152 * qGreen(p) + 0.0722 * qBlue(p));
            weight += a;
        }
    }
    return weight > 0 ? sum / weight : 0;
}

std::uint32_t paletteColour(int i)
{
    // Distinct for every i in 0..255 (the red byte alone tells them apart).
    return (static_cast<std::uint32_t>(i) << 16) | (static_cast<std::uint32_t>(255 - i) << 8)
        | static_cast<std::uint32_t>((i * 7) & 0xFF);
}

} // namespace

class tst_Images : public QObject
{
    Q_OBJECT

private slots:
    void everyImageAtItsSize_data();
    void everyImageAtItsSize();
    void hoverFaceIsBrighter_data();
    void hoverFaceIsBrighter();
    void sourceFacesCarryTheirOwnNames();
    void spinnerLoopsForeverInAboutASecond();
    void gifRoundTrip_data();
    void gifRoundTrip();
    void gifRejectsBadFrames();
};

void tst_Images::everyImageAtItsSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("background") << QStringLiteral("background.png") << QSize(400, 600);
    QTest::newRow("title") << QStringLiteral("title.png") << QSize(400, 30);
    QTest::newRow("logo") << QStringLiteral("LOGO.png") << QSize(130, 21);
    QTest::newRow("button") << QStringLiteral("Button.png") << QSize(80, 40);
    QTest::newRow("button hover") << QStringLiteral("Button_H.png") << QSize(80, 40);
    QTest::newRow("minimise") << QStringLiteral("btn_min.png") << QSize(22, 22);
    QTest::newRow("close") << QStringLiteral("btn_close.png") << QSize(22, 22);
    QTest::newRow("spinner") << QStringLiteral("Spin-1s-45px.gif") << QSize(45, 45);
    for (const char* source : { "Prismara BUTTON", "Zel Halvi", "Zel Norrin", "Stelvar" }) {
        QTest::addRow("%s", source)
            << QString::fromLatin1(source) + QStringLiteral(".png") << QSize(160, 55);
        QTest::addRow("%s-2", source)
            << QString::fromLatin1(source) + QStringLiteral("-2.png") << QSize(160, 55);
    }
    QTest::newRow("application icon")
        << QStringLiteral("prismara-nanoleaf-tool.png") << QSize(256, 256);
}

void tst_Images::everyImageAtItsSize()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QImageReader reader(imagePath(name));
    const QImage img = reader.read();
    QVERIFY2(
        !img.isNull(), qPrintable(imagePath(name) + QLatin1String(": ") + reader.errorString()));
    QCOMPARE(img.size(), size);
}

void tst_Images::hoverFaceIsBrighter_data()
{
    QTest::addColumn<QString>("lit");
    QTest::addColumn<QString>("idle");
    QTest::newRow("action button")
        << QStringLiteral("Button_H.png") << QStringLiteral("Button.png");
    for (const char* source : { "Prismara BUTTON", "Zel Halvi", "Zel Norrin", "Stelvar" })
        QTest::addRow("%s", source) << QString::fromLatin1(source) + QStringLiteral(".png")
                                    << QString::fromLatin1(source) + QStringLiteral("-2.png");
}

void tst_Images::hoverFaceIsBrighter()
{
    QFETCH(QString, lit);
    QFETCH(QString, idle);
    const double litLuminance = meanLuminance(load(lit));
    const double idleLuminance = meanLuminance(load(idle));
    QVERIFY2(litLuminance > idleLuminance * 1.25,
        qPrintable(QStringLiteral("lit %1, idle %2").arg(litLuminance).arg(idleLuminance)));
}

void tst_Images::sourceFacesCarryTheirOwnNames()
{
    // The source buttons have no text of their own: each face must be its own picture.
    const QStringList faces
        = { QStringLiteral("Prismara BUTTON-2.png"), QStringLiteral("Zel Halvi-2.png"),
              QStringLiteral("Zel Norrin-2.png"), QStringLiteral("Stelvar-2.png") };
    for (int a = 0; a < faces.size(); ++a) {
        for (int b = a + 1; b < faces.size(); ++b)
            QVERIFY2(load(faces[a]) != load(faces[b]),
                qPrintable(faces[a] + QLatin1String(" = ") + faces[b]));
    }
}

void tst_Images::spinnerLoopsForeverInAboutASecond()
{
    QImageReader reader(imagePath(QStringLiteral("Spin-1s-45px.gif")));
    QVERIFY(reader.supportsAnimation());
    QCOMPARE(reader.loopCount(), -1); // forever
    int frames = 0;
    int totalDelay = 0;
    bool transparent = false;
    QImage first;
    bool moves = false;
    for (int guard = 0; guard < 200 && reader.canRead(); ++guard) {
        const QImage frame = reader.read().convertToFormat(QImage::Format_ARGB32);
        if (frame.isNull())
            break;
        if (frames == 0)
            first = frame;
        else if (frame != first)
            moves = true;
        ++frames;
        totalDelay += reader.nextImageDelay();
        transparent = transparent || qAlpha(frame.pixel(0, 0)) == 0;
    }
    QVERIFY(frames >= 8);
    QVERIFY(moves);
    QVERIFY(transparent);
    QVERIFY2(totalDelay >= 800 && totalDelay <= 1200, qPrintable(QString::number(totalDelay)));
}

void tst_Images::gifRoundTrip_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("colours");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("transparent");
    QTest::addColumn<bool>("noise");

    QTest::newRow("1x1, 1 colour") << 1 << 1 << 1 << 1 << -1 << false;
    QTest::newRow("2 colours, odd size") << 17 << 5 << 2 << 2 << -1 << true;
    QTest::newRow("5 colours, padded table") << 23 << 11 << 5 << 1 << -1 << true;
    QTest::newRow("flat runs") << 120 << 90 << 16 << 3 << -1 << false;
    QTest::newRow("noise, full codes and table resets") << 200 << 200 << 256 << 2 << -1 << true;
    QTest::newRow("transparent index") << 45 << 45 << 64 << 4 << 0 << true;
}

void tst_Images::gifRoundTrip()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, colours);
    QFETCH(int, frames);
    QFETCH(int, transparent);
    QFETCH(bool, noise);

    std::vector<std::uint32_t> palette;
    for (int i = 0; i < colours; ++i)
        palette.push_back(paletteColour(i));
    GifEncoder gif(width, height);
    gif.setPalette(palette);
    gif.setTransparentIndex(transparent);
    gif.setLoopCount(0);

    std::uint32_t seed = 12345;
    std::vector<std::vector<std::uint8_t>> sent;
    for (int f = 0; f < frames; ++f) {
        std::vector<std::uint8_t> indices(static_cast<std::size_t>(width * height));
        for (std::size_t i = 0; i < indices.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const std::uint32_t pick
                = noise ? (seed >> 16) : static_cast<std::uint32_t>(i / 97 + f);
            indices[i] = static_cast<std::uint8_t>(pick % static_cast<std::uint32_t>(colours));
        }
        QVERIFY(gif.addFrame(indices, 5));
        sent.push_back(indices);
    }
    const std::vector<std::uint8_t> bytes = gif.encode();
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
    QBuffer buffer(&data);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QImageReader reader(&buffer, "gif");
    for (int f = 0; f < frames; ++f) {
        const QImage img = reader.read().convertToFormat(QImage::Format_ARGB32);
        QVERIFY2(!img.isNull(),
            qPrintable(QStringLiteral("frame %1: %2").arg(f).arg(reader.errorString())));
        QCOMPARE(img.size(), QSize(width, height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int index = sent[std::size_t(f)][std::size_t(y * width + x)];
                const QRgb got = img.pixel(x, y);
                if (index == transparent) {
                    QCOMPARE(qAlpha(got), 0);
                    continue;
                }
                if ((got & 0xFFFFFFu) != palette[std::size_t(index)] || qAlpha(got) != 255)
                    QFAIL(qPrintable(QStringLiteral("frame %1 pixel (%2, %3): %4, wanted %5")
                                         .arg(f)
                                         .arg(x)
                                         .arg(y)
                                         .arg(got, 8, 16)
                                         .arg(palette[std::size_t(index)], 6, 16)));
            }
        }
    }
    QImage extra;
    QVERIFY(!reader.read(&extra));
}

void tst_Images::gifRejectsBadFrames()
{
    GifEncoder gif(4, 4);
    gif.setPalette({ 0x000000, 0xFFFFFF });
    QVERIFY(!gif.addFrame(std::vector<std::uint8_t>(15, 0), 5)); // wrong size
    QVERIFY(!gif.addFrame(std::vector<std::uint8_t>(16, 2), 5)); // colour outside the palette
    QVERIFY(gif.addFrame(std::vector<std::uint8_t>(16, 1), 5));
    QCOMPARE(gif.frameCount(), 1);
}

QTEST_GUILESS_MAIN(tst_Images)
#include "tst_images.moc"
