// Draws every image the window loads from its Image/ folder.
//
//   prismara-imagegen OUTDIR              write the images into OUTDIR
//   prismara-imagegen OUTDIR --mockup F   also compose a window mock-up into F
//
// The images are part of the build, not of the source tree: the look lives here,
// in one place, as code.

#include "assets/gifencoder.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>
#include <QtMath>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <vector>

namespace
{

// One accent family: violet through indigo to cyan, on deep navy.
const QColor kViolet(0x9b, 0x6b, 0xff);
const QColor kIndigo(0x6d, 0x6f, 0xf5);
const QColor kBlue(0x4f, 0x9d, 0xf7);
const QColor kCyan(0x2c, 0xd8, 0xee);
const QColor kNavyTop(0x15, 0x1c, 0x31);
const QColor kNavyBottom(0x09, 0x0d, 0x19);
const QColor kTextMuted(0x8c, 0x95, 0xb2);

const char* const kUiFamily = "DejaVu Sans";

struct SourceFace {
    const char* file; // lit face (hovered or checked)
    const char* idleFile; // idle face
    const char* label;
    QColor hue;
};

const SourceFace kSources[] = {
    { "Prismara BUTTON.png", "Prismara BUTTON-2.png", "Prismara", kViolet },
    { "Zel Halvi.png", "Zel Halvi-2.png", "Zel Halvi", kIndigo },
    { "Zel Norrin.png", "Zel Norrin-2.png", "Zel Norrin", kBlue },
    { "Stelvar.png", "Stelvar-2.png", "Stelvar", kCyan },
};

QColor withAlpha(QColor c, int alpha)
{
    c.setAlpha(alpha);
    return c;
}

QColor mix(const QColor& a, const QColor& b, qreal t)
{
    t = qBound<qreal>(0, t, 1);
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t,
        a.greenF() + (b.greenF() - a.greenF()) * t, a.blueF() + (b.blueF() - a.blueF()) * t,
        a.alphaF() + (b.alphaF() - a.alphaF()) * t);
}

QLinearGradient accent(QPointF from, QPointF to, int alpha = 255)
{
    QLinearGradient g(from, to);
    g.setColorAt(0.0, withAlpha(kViolet, alpha));
    g.setColorAt(0.5, withAlpha(kIndigo, alpha));
    g.setColorAt(1.0, withAlpha(kCyan, alpha));
    return g;
}

QFont uiFont(qreal pixelSize, int weight, qreal spacing = 0)
{
    QFont f(QString::fromLatin1(kUiFamily));
    f.setPixelSize(qRound(pixelSize));
    f.setWeight(weight);
    f.setHintingPreference(QFont::PreferFullHinting);
    if (spacing != 0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void antialias(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// A Nanoleaf-like triangle panel, pointing up, centred on c.
QPainterPath triangle(QPointF c, qreal side, bool pointUp = true)
{
    const qreal h = side * std::sqrt(3.0) / 2.0;
    const qreal dir = pointUp ? 1.0 : -1.0;
    QPainterPath path;
    path.moveTo(c.x(), c.y() - dir * h * 2.0 / 3.0);
    path.lineTo(c.x() + side / 2.0, c.y() + dir * h / 3.0);
    path.lineTo(c.x() - side / 2.0, c.y() + dir * h / 3.0);
    path.closeSubpath();
    return path;
}

QImage background()
{
    const int w = 400, h = 600;
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);

    QLinearGradient base(0, 0, 0, h);
    base.setColorAt(0.0, kNavyTop);
    base.setColorAt(1.0, kNavyBottom);
    p.fillRect(img.rect(), base);

    QRadialGradient glowTop(QPointF(380, 10), 300);
    glowTop.setColorAt(0.0, withAlpha(kViolet, 46));
    glowTop.setColorAt(1.0, withAlpha(kViolet, 0));
    p.fillRect(img.rect(), glowTop);

    QRadialGradient glowBottom(QPointF(10, 610), 330);
    glowBottom.setColorAt(0.0, withAlpha(kCyan, 30));
    glowBottom.setColorAt(1.0, withAlpha(kCyan, 0));
    p.fillRect(img.rect(), glowBottom);

    // Faint triangle lattice in the footer, fading upwards: the panels the tool drives.
    {
        QImage lattice = canvas(w, h);
        QPainter lp(&lattice);
        antialias(lp);
        const qreal side = 34;
        const qreal th = side * std::sqrt(3.0) / 2.0;
        lp.setPen(QPen(withAlpha(QColor(0xb8, 0xc4, 0xff), 22), 1.0));
        for (int row = 0; row * th < h; ++row) {
            const qreal y = h - row * th;
            lp.drawLine(QPointF(0, y), QPointF(w, y));
        }
        for (int i = -20; i < 30; ++i) {
            const qreal x = i * side;
            lp.drawLine(QPointF(x, h), QPointF(x + h / std::sqrt(3.0), 0));
            lp.drawLine(QPointF(x, h), QPointF(x - h / std::sqrt(3.0), 0));
        }
        lp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        QLinearGradient fade(0, 500, 0, h);
        fade.setColorAt(0.0, QColor(0, 0, 0, 0));
        fade.setColorAt(0.6, QColor(0, 0, 0, 150));
        fade.setColorAt(1.0, QColor(0, 0, 0, 255));
        lp.fillRect(lattice.rect(), fade);
        lp.end();
        p.drawImage(0, 0, lattice);
    }

    // Card behind the device table.
    const QRectF card(13.5, 88.5, 373, 263);
    QPainterPath cardPath;
    cardPath.addRoundedRect(card, 10, 10);
    QLinearGradient cardFill(card.topLeft(), card.bottomLeft());
    cardFill.setColorAt(0.0, QColor(255, 255, 255, 14));
    cardFill.setColorAt(1.0, QColor(255, 255, 255, 6));
    p.fillPath(cardPath, cardFill);
    p.setPen(QPen(QColor(255, 255, 255, 26), 1.0));
    p.drawPath(cardPath);
    // Accent hairline along the card's top edge.
    p.setPen(QPen(
        QBrush(accent(QPointF(card.left() + 10, 0), QPointF(card.right() - 10, 0), 120)), 1.0));
    p.drawLine(QPointF(card.left() + 12, card.top()), QPointF(card.right() - 12, card.top()));

    // Section caption above the source buttons.
    p.setFont(uiFont(10, QFont::DemiBold, 2.0));
    p.setPen(kTextMuted);
    const QRectF caption(20, 357, 200, 14);
    p.drawText(caption, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("SYNC SOURCE"));
    const qreal captionEnd
        = 20 + QFontMetricsF(p.font()).horizontalAdvance(QStringLiteral("SYNC SOURCE")) + 10;
    QLinearGradient rule(captionEnd, 0, 380, 0);
    rule.setColorAt(0.0, QColor(255, 255, 255, 40));
    rule.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.setPen(QPen(QBrush(rule), 1.0));
    p.drawLine(QPointF(captionEnd, 364.5), QPointF(380, 364.5));

    // Footer rule above the logo.
    QLinearGradient footer(60, 0, 340, 0);
    footer.setColorAt(0.0, withAlpha(kViolet, 0));
    footer.setColorAt(0.3, withAlpha(kViolet, 90));
    footer.setColorAt(0.7, withAlpha(kCyan, 90));
    footer.setColorAt(1.0, withAlpha(kCyan, 0));
    p.setPen(QPen(QBrush(footer), 1.0));
    p.drawLine(QPointF(60, 522.5), QPointF(340, 522.5));
    return img;
}

QImage titleStrip()
{
    const int w = 400, h = 30;
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);
    QLinearGradient fill(0, 0, 0, h);
    fill.setColorAt(0.0, QColor(0x0c, 0x11, 0x20, 245));
    fill.setColorAt(1.0, QColor(0x0f, 0x15, 0x27, 235));
    p.fillRect(img.rect(), fill);
    QLinearGradient line(0, 0, w, 0);
    line.setColorAt(0.0, withAlpha(kViolet, 200));
    line.setColorAt(0.55, withAlpha(kIndigo, 150));
    line.setColorAt(1.0, withAlpha(kCyan, 40));
    p.fillRect(QRectF(0, h - 1, w, 1), line);
    return img;
}

QImage logo()
{
    const int w = 130, h = 21;
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);

    // Prism mark: a triangle split into a lit and a shaded half.
    const QPainterPath mark = triangle(QPointF(9, 11.8), 17);
    p.fillPath(mark, QBrush(accent(QPointF(1, 3), QPointF(17, 18))));
    QPainterPath shade;
    shade.moveTo(9, 2.0);
    shade.lineTo(17.5, 16.7);
    shade.lineTo(9, 16.7);
    shade.closeSubpath();
    p.fillPath(shade, QColor(255, 255, 255, 55));

    QFont f = uiFont(15, QFont::Bold, 2.6);
    QPainterPath text;
    text.addText(0, 0, f, QStringLiteral("PRISMARA"));
    const QRectF box = text.boundingRect();
    const qreal room = w - 24;
    const qreal scale = std::min<qreal>(1.0, room / box.width());
    QTransform t;
    t.translate(24 + (room - box.width() * scale) / 2.0 - box.left() * scale,
        (h - box.height() * scale) / 2.0 - box.top() * scale);
    t.scale(scale, scale);
    const QPainterPath placed = t.map(text);
    p.fillPath(placed, QBrush(accent(QPointF(24, 0), QPointF(w, 0))));
    return img;
}

QImage actionButton(bool hover)
{
    const int w = 80, h = 40;
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);
    const QRectF r(0.5, 0.5, w - 1, h - 1);
    QPainterPath shape;
    shape.addRoundedRect(r, 8, 8);

    QLinearGradient fill(0, 0, w, h);
    if (hover) {
        fill.setColorAt(0.0, QColor(0x5a, 0x3f, 0xc8));
        fill.setColorAt(1.0, QColor(0x1f, 0x82, 0xa8));
    } else {
        fill.setStart(0, 0);
        fill.setFinalStop(0, h);
        fill.setColorAt(0.0, QColor(0x24, 0x2c, 0x48));
        fill.setColorAt(1.0, QColor(0x19, 0x1f, 0x35));
    }
    p.fillPath(shape, fill);

    // Top sheen.
    QLinearGradient sheen(0, 0, 0, h / 2.0);
    sheen.setColorAt(0.0, QColor(255, 255, 255, hover ? 48 : 18));
    sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(shape, sheen);

    p.setPen(
        QPen(QBrush(accent(QPointF(0, 0), QPointF(w, h), hover ? 255 : 120)), hover ? 1.4 : 1.0));
    p.drawPath(shape);
    return img;
}

QImage windowButton(bool close)
{
    const int s = 22;
    QImage img = canvas(s, s);
    QPainter p(&img);
    antialias(p);
    const QRectF ring(1.5, 1.5, s - 3, s - 3);
    p.setBrush(QColor(255, 255, 255, 16));
    if (close)
        p.setPen(QPen(QBrush(accent(QPointF(0, 0), QPointF(s, s), 170)), 1.1));
    else
        p.setPen(QPen(QColor(255, 255, 255, 46), 1.0));
    p.drawEllipse(ring);

    p.setPen(QPen(QColor(0xd6, 0xda, 0xe8), 1.6, Qt::SolidLine, Qt::RoundCap));
    if (close) {
        p.drawLine(QPointF(7.6, 7.6), QPointF(14.4, 14.4));
        p.drawLine(QPointF(14.4, 7.6), QPointF(7.6, 14.4));
    } else {
        p.drawLine(QPointF(7.0, 11.0), QPointF(15.0, 11.0));
    }
    return img;
}

QImage sourceButton(const SourceFace& face, bool lit)
{
    const int w = 160, h = 55;
    QImage img = canvas(w, h);
    QPainter p(&img);
    antialias(p);
    const QRectF r(1, 1, w - 2, h - 2);
    QPainterPath shape;
    shape.addRoundedRect(r, 11, 11);

    if (lit) {
        QLinearGradient fill(0, 0, w, h);
        fill.setColorAt(0.0, mix(QColor(0x1c, 0x1d, 0x42), face.hue, 0.38));
        fill.setColorAt(1.0, QColor(0x12, 0x2a, 0x44));
        p.fillPath(shape, fill);
        // Inner glow hugging the border.
        for (int i = 0; i < 5; ++i) {
            QPainterPath inner;
            inner.addRoundedRect(r.adjusted(i + 1, i + 1, -i - 1, -i - 1), 10 - i, 10 - i);
            p.setPen(QPen(withAlpha(face.hue, 34 - i * 6), 1.0));
            p.setBrush(Qt::NoBrush);
            p.drawPath(inner);
        }
        QLinearGradient sheen(0, 0, 0, h * 0.55);
        sheen.setColorAt(0.0, QColor(255, 255, 255, 34));
        sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
        p.fillPath(shape, sheen);
        p.setPen(QPen(QBrush(accent(QPointF(0, 0), QPointF(w, h))), 1.8));
        p.drawPath(shape);
    } else {
        QLinearGradient fill(0, 0, 0, h);
        fill.setColorAt(0.0, QColor(0x1d, 0x24, 0x3d));
        fill.setColorAt(1.0, QColor(0x15, 0x1a, 0x2e));
        p.fillPath(shape, fill);
        QLinearGradient sheen(0, 0, 0, h * 0.5);
        sheen.setColorAt(0.0, QColor(255, 255, 255, 12));
        sheen.setColorAt(1.0, QColor(255, 255, 255, 0));
        p.fillPath(shape, sheen);
        p.setPen(QPen(QColor(255, 255, 255, 34), 1.0));
        p.drawPath(shape);
    }

    // Panel mark: hollow while idle, lit and glowing when chosen.
    const QPointF centre(27, 29);
    if (lit) {
        QRadialGradient halo(centre, 17);
        halo.setColorAt(0.0, withAlpha(face.hue, 120));
        halo.setColorAt(1.0, withAlpha(face.hue, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(centre, 17, 17);
        QLinearGradient mf(centre + QPointF(-8, -8), centre + QPointF(8, 8));
        mf.setColorAt(0.0, mix(face.hue, Qt::white, 0.45));
        mf.setColorAt(1.0, face.hue);
        p.fillPath(triangle(centre, 18), mf);
    } else {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(withAlpha(face.hue, 170), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(triangle(centre, 16));
    }

    p.setFont(uiFont(15, lit ? QFont::Bold : QFont::DemiBold));
    p.setPen(lit ? QColor(Qt::white) : QColor(0xc9, 0xce, 0xdf));
    p.drawText(
        QRectF(48, 0, w - 56, h), Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(face.label));
    return img;
}

QImage appIcon()
{
    const int s = 256;
    QImage img = canvas(s, s);
    QPainter p(&img);
    antialias(p);
    const QRectF r(8, 8, s - 16, s - 16);
    QPainterPath shape;
    shape.addRoundedRect(r, 54, 54);
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0.0, QColor(0x1c, 0x24, 0x40));
    fill.setColorAt(1.0, QColor(0x0a, 0x0e, 0x1c));
    p.fillPath(shape, fill);
    QRadialGradient glow(QPointF(s / 2.0, s * 0.58), s * 0.46);
    glow.setColorAt(0.0, withAlpha(kIndigo, 90));
    glow.setColorAt(1.0, withAlpha(kIndigo, 0));
    p.fillPath(shape, glow);
    p.setPen(QPen(QBrush(accent(QPointF(0, 0), QPointF(s, s), 150)), 3.0));
    p.drawPath(shape);

    // Four panels forming one large triangle, each lit in one accent colour.
    const qreal side = 74;
    const qreal th = side * std::sqrt(3.0) / 2.0;
    const QPointF apex(s / 2.0, (s - 2.0 * th) / 2.0);
    const QPointF top(apex.x(), apex.y() + th * 2.0 / 3.0);
    const QPointF left(apex.x() - side / 2.0, apex.y() + th + th * 2.0 / 3.0);
    const QPointF right(apex.x() + side / 2.0, apex.y() + th + th * 2.0 / 3.0);
    const QPointF middle(apex.x(), apex.y() + th + th / 3.0);
    struct Panel {
        QPointF c;
        bool up;
        QColor colour;
    };
    const Panel panels[] = { { top, true, kViolet }, { left, true, kBlue }, { right, true, kCyan },
        { middle, false, kIndigo } };
    for (const Panel& panel : panels) {
        const QPainterPath tri = triangle(panel.c, side - 9, panel.up);
        QRadialGradient halo(panel.c, side * 0.7);
        halo.setColorAt(0.0, withAlpha(panel.colour, 70));
        halo.setColorAt(1.0, withAlpha(panel.colour, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(halo);
        p.drawEllipse(panel.c, side * 0.7, side * 0.7);
        QLinearGradient pf(
            panel.c + QPointF(-side / 3, -side / 3), panel.c + QPointF(side / 3, side / 3));
        pf.setColorAt(0.0, mix(panel.colour, Qt::white, 0.35));
        pf.setColorAt(1.0, panel.colour);
        p.fillPath(tri, pf);
        p.setPen(QPen(QColor(255, 255, 255, 70), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tri);
    }
    return img;
}

// Spinner -------------------------------------------------------------------

// A comet arc whose tail fades into `backdrop`. GIF transparency is all or
// nothing, so soft edges are blended onto the colour the spinner will sit on.
std::vector<QImage> spinnerFrames(const QColor& backdrop, int frames)
{
    const int s = 45;
    std::vector<QImage> out;
    for (int f = 0; f < frames; ++f) {
        QImage img = canvas(s, s);
        QPainter p(&img);
        antialias(p);
        p.translate(s / 2.0, s / 2.0);
        p.rotate(360.0 * f / frames);
        const qreal radius = 16.5;
        const int steps = 90;
        const qreal sweep = 290.0;
        for (int i = 0; i < steps; ++i) {
            const qreal t = static_cast<qreal>(i) / (steps - 1);
            QColor c;
            if (t < 0.5)
                c = mix(kViolet, kIndigo, t * 2);
            else
                c = mix(kIndigo, kCyan, (t - 0.5) * 2);
            c = mix(backdrop, c, std::pow(t, 1.4));
            const qreal a0 = qDegreesToRadians(-sweep + sweep * t - 90);
            const qreal a1
                = qDegreesToRadians(-sweep + sweep * std::min<qreal>(1.0, t + 1.5 / steps) - 90);
            const qreal width = 2.0 + 2.6 * t;
            p.setPen(QPen(c, width, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(radius * std::cos(a0), radius * std::sin(a0)),
                QPointF(radius * std::cos(a1), radius * std::sin(a1)));
        }
        // Bright head.
        const qreal head = qDegreesToRadians(-90.0);
        QRadialGradient glow(QPointF(radius * std::cos(head), radius * std::sin(head)), 4.2);
        glow.setColorAt(0.0, mix(kCyan, Qt::white, 0.6));
        glow.setColorAt(1.0, kCyan);
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawEllipse(QPointF(radius * std::cos(head), radius * std::sin(head)), 2.9, 2.9);
        p.end();
        out.push_back(img);
    }
    return out;
}

QByteArray spinnerGif(const QColor& backdrop)
{
    const int frames = 20; // 20 x 50 ms: one turn a second
    const int delayCs = 5;
    const std::vector<QImage> images = spinnerFrames(backdrop, frames);
    const int s = 45;

    // Popularity palette over 15-bit buckets; index 0 is the transparent colour.
    QHash<quint32, quint32> counts;
    QHash<quint32, std::array<quint64, 3>> sums;
    auto bucket
        = [](QRgb c) { return ((qRed(c) >> 3) << 10) | ((qGreen(c) >> 3) << 5) | (qBlue(c) >> 3); };
    std::vector<std::vector<QRgb>> opaque(images.size());
    for (std::size_t f = 0; f < images.size(); ++f) {
        const QImage img = images[f].convertToFormat(QImage::Format_ARGB32);
        opaque[f].assign(static_cast<std::size_t>(s * s), 0);
        for (int y = 0; y < s; ++y) {
            for (int x = 0; x < s; ++x) {
                const QRgb px = img.pixel(x, y);
                const int a = qAlpha(px);
                if (a < 96)
                    continue;
                // Blend the soft rim onto the backdrop.
                const qreal k = a / 255.0;
                const QRgb c = qRgb(qRound(qRed(px) * k + backdrop.red() * (1 - k)),
                    qRound(qGreen(px) * k + backdrop.green() * (1 - k)),
                    qRound(qBlue(px) * k + backdrop.blue() * (1 - k)));
                opaque[f][static_cast<std::size_t>(y * s + x)] = c | 0xFF000000u;
                const quint32 b = bucket(c);
                counts[b] += 1;
                auto& sum = sums[b];
                sum[0] += static_cast<quint64>(qRed(c));
                sum[1] += static_cast<quint64>(qGreen(c));
                sum[2] += static_cast<quint64>(qBlue(c));
            }
        }
    }
    const QList<quint32> keys = counts.keys();
    std::vector<quint32> buckets(keys.begin(), keys.end());
    std::sort(buckets.begin(), buckets.end(), [&](quint32 a, quint32 b) {
        return counts.value(a) != counts.value(b) ? counts.value(a) > counts.value(b) : a < b;
    });
    if (buckets.size() > 255)
        buckets.resize(255);
    std::vector<std::uint32_t> palette { static_cast<std::uint32_t>(backdrop.rgb() & 0xFFFFFFu) };
    for (quint32 b : buckets) {
        const auto& sum = sums.value(b);
        const quint64 n = counts.value(b);
        palette.push_back(
            static_cast<std::uint32_t>(((sum[0] / n) << 16) | ((sum[1] / n) << 8) | (sum[2] / n)));
    }

    GifEncoder gif(s, s);
    gif.setPalette(palette);
    gif.setTransparentIndex(0);
    gif.setLoopCount(0);
    QHash<QRgb, std::uint8_t> nearest;
    for (const auto& frame : opaque) {
        std::vector<std::uint8_t> indices(frame.size(), 0);
        for (std::size_t i = 0; i < frame.size(); ++i) {
            const QRgb c = frame[i];
            if (c == 0)
                continue;
            auto hit = nearest.constFind(c);
            if (hit != nearest.constEnd()) {
                indices[i] = *hit;
                continue;
            }
            int best = 1;
            long bestDistance = -1;
            for (std::size_t k = 1; k < palette.size(); ++k) {
                const long dr = qRed(c) - static_cast<long>((palette[k] >> 16) & 0xFF);
                const long dg = qGreen(c) - static_cast<long>((palette[k] >> 8) & 0xFF);
                const long db = qBlue(c) - static_cast<long>(palette[k] & 0xFF);
                const long d = dr * dr + dg * dg + db * db;
                if (bestDistance < 0 || d < bestDistance) {
                    bestDistance = d;
                    best = static_cast<int>(k);
                }
            }
            nearest.insert(c, static_cast<std::uint8_t>(best));
            indices[i] = static_cast<std::uint8_t>(best);
        }
        gif.addFrame(indices, delayCs);
    }
    const std::vector<std::uint8_t> bytes = gif.encode();
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

// Output --------------------------------------------------------------------

bool savePng(const QImage& img, const QDir& dir, const char* name)
{
    const QString path = dir.filePath(QString::fromUtf8(name));
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "prismara-imagegen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool saveBytes(const QByteArray& bytes, const QDir& dir, const char* name)
{
    const QString path = dir.filePath(QString::fromUtf8(name));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "prismara-imagegen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage load(const QDir& dir, const char* name)
{
    QImage img(dir.filePath(QString::fromUtf8(name)));
    return img.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The window as it will look: every image at its place, with the texts the
// widgets draw themselves. For looking at, not shipped.
QImage mockup(const QDir& dir)
{
    QImage img = canvas(400, 600);
    QPainter p(&img);
    antialias(p);
    p.drawImage(QRect(0, 0, 400, 600), load(dir, "background.png"));

    QFont header(QStringLiteral("Arial"));
    header.setPointSizeF(14);
    p.setFont(header);
    p.setPen(Qt::white);
    const int headerHeight = QFontMetrics(header).height() + 8;
    const char* headers[] = { "Devices", "IP", "Status" };
    for (int c = 0; c < 3; ++c)
        p.drawText(QRect(20 + c * 120, 95, 120, headerHeight), Qt::AlignCenter,
            QString::fromLatin1(headers[c]));
    QFont cell = QFont();
    cell.setPixelSize(13);
    p.setFont(cell);
    const char* rows[][3] = { { "Canvas 4F2A", "192.168.1.41", "Paired" },
        { "Light Panels 8C11", "192.168.1.57", "Unpaired" } };
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 3; ++c)
            p.drawText(QRect(20 + c * 120, 95 + headerHeight + r * 30, 120, 30), Qt::AlignCenter,
                QString::fromLatin1(rows[r][c]));
    }
    p.drawImage(QRect(178, 278, 45, 45), QImage(dir.filePath(QStringLiteral("Spin-1s-45px.gif"))));

    const char* labels[] = { "SEARCH", "PAIR", "UNPAIR" };
    for (int b = 0; b < 3; ++b) {
        const QRect r(20 + b * 90, 37, 80, 40);
        p.drawImage(r, load(dir, b == 0 ? "Button_H.png" : "Button.png"));
        p.setFont(cell);
        p.setPen(Qt::white);
        p.drawText(r, Qt::AlignCenter, QString::fromLatin1(labels[b]));
    }
    const QPoint sourceAt[] = { { 20, 380 }, { 20, 450 }, { 220, 380 }, { 220, 450 } };
    for (int s = 0; s < 4; ++s)
        p.drawImage(QRect(sourceAt[s], QSize(160, 55)),
            load(dir, s == 2 ? kSources[s].file : kSources[s].idleFile));

    p.drawImage(QRect(135, 535, 130, 21), load(dir, "LOGO.png"));
    p.drawImage(QRect(0, 0, 400, 30), load(dir, "title.png"));
    QFont title(QStringLiteral("Arial"));
    title.setPointSize(12);
    p.setFont(title);
    p.setPen(QColor(Qt::lightGray));
    p.drawText(QRect(15, 5, 400, 22), Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("Prismara Nanoleaf Tool"));
    p.drawImage(QRect(336, 5, 22, 22), load(dir, "btn_min.png"));
    p.drawImage(QRect(368, 5, 22, 22), load(dir, "btn_close.png"));
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() != 2 && !(args.size() == 4 && args.at(2) == QLatin1String("--mockup"))) {
        std::fprintf(stderr, "usage: prismara-imagegen OUTDIR [--mockup FILE.png]\n");
        return 2;
    }
    if (!QFontDatabase().families().contains(QString::fromLatin1(kUiFamily)))
        std::fprintf(stderr,
            "prismara-imagegen: font \"%s\" not found, texts fall back to another face\n",
            kUiFamily);

    QDir dir(args.at(1));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "prismara-imagegen: cannot create %s\n", qPrintable(args.at(1)));
        return 1;
    }

    bool ok = true;
    const QImage bg = background();
    ok &= savePng(bg, dir, "background.png");
    ok &= savePng(titleStrip(), dir, "title.png");
    ok &= savePng(logo(), dir, "LOGO.png");
    ok &= savePng(actionButton(false), dir, "Button.png");
    ok &= savePng(actionButton(true), dir, "Button_H.png");
    ok &= savePng(windowButton(false), dir, "btn_min.png");
    ok &= savePng(windowButton(true), dir, "btn_close.png");
    for (const SourceFace& face : kSources) {
        ok &= savePng(sourceButton(face, true), dir, face.file);
        ok &= savePng(sourceButton(face, false), dir, face.idleFile);
    }
    ok &= savePng(appIcon(), dir, "prismara-nanoleaf-tool.png");
    // The spinner turns over the middle of the device table.
    ok &= saveBytes(spinnerGif(QColor(bg.pixel(200, 220))), dir, "Spin-1s-45px.gif");

    if (args.size() == 4)
        ok &= mockup(dir).save(args.at(3), "PNG");
    return ok ? 0 : 1;
}
