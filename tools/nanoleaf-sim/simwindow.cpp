#include "tools/nanoleaf-sim/simwindow.h"

#include "service/checkedconnect.h"
#include "tools/nanoleaf-sim/monotonicclock.h"
#include "tools/nanoleaf-sim/simdevice.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTimer>

#include <cmath>

namespace
{

const QColor kBackgroundTop(11, 14, 20);
const QColor kBackgroundBottom(20, 25, 38);
const QColor kCard(24, 30, 43, 230);
const QColor kCardBorder(40, 48, 64);
const QColor kTitle(232, 236, 243);
const QColor kSubtle(139, 149, 167);
const QColor kDim(90, 100, 118);

QColor modeColour(SimMode mode)
{
    switch (mode) {
    case SimMode::Effect:
        return QColor(110, 130, 170);
    case SimMode::ExtControlV1:
        return QColor(64, 200, 170);
    case SimMode::ExtControlV2:
        return QColor(64, 210, 140);
    case SimMode::Static:
        return QColor(245, 180, 70);
    case SimMode::Solid:
        return QColor(200, 160, 230);
    }
    return QColor(110, 130, 170);
}

// How large a piece looks, in layout units: the edge of a tile, the thickness of a
// line or strip zone, the width of a piece without LEDs. Gaps and glow follow it.
double pieceSize(const SimPanel& panel)
{
    switch (panel.shapeType) {
    case 17:
    case 18:
        return 22.0;
    case 29:
        return 30.0;
    default:
        return panel.hasLeds() && SimPanel::sideOf(panel.shapeType) > 0
            ? SimPanel::sideOf(panel.shapeType)
            : 22.0;
    }
}

// `corners` points on a circle of `radius` about `centre`, the first at `startDeg`
// (counter-clockwise, as the layout measures "o"); y grows upwards in the layout, so
// it is flipped.
QPolygonF regular(const QPointF& centre, int corners, double radius, double startDeg)
{
    QPolygonF poly;
    for (int k = 0; k < corners; ++k) {
        const double t = (startDeg + k * 360.0 / corners) * M_PI / 180.0;
        poly << centre + QPointF(std::cos(t), -std::sin(t)) * radius;
    }
    return poly;
}

// A `length` x `thickness` bar along the direction "o".
QPolygonF bar(const QPointF& centre, double length, double thickness, double oDeg)
{
    const double t = oDeg * M_PI / 180.0;
    const QPointF along(std::cos(t) * length / 2.0, -std::sin(t) * length / 2.0);
    const QPointF across(std::sin(t) * thickness / 2.0, std::cos(t) * thickness / 2.0);
    QPolygonF poly;
    poly << centre - along - across << centre + along - across << centre + along + across
         << centre - along + across;
    return poly;
}

// The piece's outline in layout units, shrunk by `inset`: triangles (Light Panels,
// Shapes, Elements corners) about their centroid, squares (Canvas, Skylight),
// hexagons (Shapes, Elements), lines and strip zones as bars along "o", and a small
// octagon for pieces without LEDs (controllers, connectors).
QPolygonF panelOutline(const SimPanel& panel, double inset)
{
    const QPointF centre(panel.x, -panel.y);
    const double side = SimPanel::sideOf(panel.shapeType);
    switch (panel.shapeType) {
    case 0:
    case 8:
    case 9:
    case 15:
        return regular(
            centre, 3, std::max(1.0, side / std::sqrt(3.0) - inset * 2.0), 90.0 + panel.o);
    case 2:
    case 3:
    case 4:
    case 30:
    case 31:
    case 32:
        return regular(
            centre, 4, std::max(1.0, side / 2.0 - inset) * std::sqrt(2.0), 45.0 + panel.o);
    case 7:
    case 14:
        return regular(centre, 6, std::max(1.0, side - inset * 1.2), 90.0 + panel.o);
    case 17:
    case 18:
        return bar(centre, std::max(1.0, side - inset * 2.0),
            std::max(1.0, pieceSize(panel) - inset), panel.o);
    case 29:
        return bar(centre, std::max(1.0, side - inset * 2.0),
            std::max(1.0, pieceSize(panel) - inset * 2.0), panel.o);
    default:
        return regular(
            centre, 8, std::max(1.0, pieceSize(panel) / 2.0 - inset / 2.0), 22.5 + panel.o);
    }
}

QColor shown(const SimColour& c, const SimSnapshot& s)
{
    if (!s.on)
        return QColor(0, 0, 0);
    const double k = s.brightness / 100.0;
    // White adds to all three channels; the tile has no separate white LED to draw.
    const auto channel = [&](int v) { return std::min(255, int(std::lround((v + c.w) * k))); };
    return QColor(channel(c.r), channel(c.g), channel(c.b));
}

void pill(QPainter& p, const QPointF& topRight, const QString& text, const QColor& colour)
{
    QFont f = p.font();
    f.setPointSizeF(8.5);
    f.setBold(true);
    p.setFont(f);
    const QFontMetricsF fm(f);
    const QRectF box(topRight.x() - fm.horizontalAdvance(text) - 20, topRight.y(),
        fm.horizontalAdvance(text) + 20, fm.height() + 8);
    QColor fill = colour;
    fill.setAlpha(48);
    p.setPen(QPen(colour, 1.2));
    p.setBrush(fill);
    p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    p.setPen(colour.lighter(125));
    p.drawText(box, Qt::AlignCenter, text);
}

} // namespace

SimWindow::SimWindow(std::vector<SimDevice*> devices, QWidget* parent)
    : QWidget(parent)
    , m_devices(std::move(devices))
    , m_timer(new QTimer(this))
{
    setWindowTitle(QStringLiteral("Nanoleaf simulator"));
    setMinimumSize(420, 320);
    checkedConnect(m_timer, SIGNAL(timeout()), this, SLOT(refresh()));
    m_timer->start(33);
}

QSize SimWindow::sizeHint() const
{
    const int n = std::max<int>(1, int(m_devices.size()));
    const int columns = n <= 2 ? n : int(std::ceil(std::sqrt(double(n))));
    const int rows = (n + columns - 1) / columns;
    return QSize(40 + columns * 440, 40 + rows * 380);
}

void SimWindow::refresh()
{
    std::uint64_t version = 0;
    bool pulsing = false;
    for (SimDevice* device : m_devices) {
        version += device->version();
        pulsing = pulsing || device->pairingMode();
    }
    // Once a second anyway, so the "last ... ago" footer stays true.
    const std::int64_t now = monotonicNs();
    if (version != m_shownVersion || pulsing || now - m_paintedNs > 1000000000LL) {
        m_shownVersion = version;
        m_paintedNs = now;
        update();
    }
}

void SimWindow::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, height());
    bg.setColorAt(0, kBackgroundTop);
    bg.setColorAt(1, kBackgroundBottom);
    p.fillRect(rect(), bg);

    const int n = std::max<int>(1, int(m_devices.size()));
    const int columns = n <= 2 ? n : int(std::ceil(std::sqrt(double(n))));
    const int rows = (n + columns - 1) / columns;
    const double margin = 20.0;
    const double w = (width() - margin * (columns + 1)) / columns;
    const double h = (height() - margin * (rows + 1)) / rows;
    for (int i = 0; i < int(m_devices.size()); ++i) {
        const QRectF card(
            margin + (i % columns) * (w + margin), margin + (i / columns) * (h + margin), w, h);
        paintCard(p, card, *m_devices[std::size_t(i)]);
    }
}

void SimWindow::paintCard(QPainter& p, const QRectF& card, SimDevice& device)
{
    const SimSnapshot snap = device.snapshot();

    p.setPen(QPen(kCardBorder, 1));
    p.setBrush(kCard);
    p.drawRoundedRect(card, 18, 18);

    paintHeading(p, card.adjusted(18, 14, -18, 0), device, snap);
    // Panels, scaled into the card's free area.
    paintPanels(p, card.adjusted(28, 70, -28, -40), device.settings(), snap);

    QFont small = font();
    small.setPointSizeF(9);
    p.setFont(small);
    p.setPen(kDim);
    QString footer = QStringLiteral("%1 datagrams shown").arg(snap.accepted);
    if (snap.lastFrameNs > 0) {
        const double ago = (monotonicNs() - snap.lastFrameNs) / 1e9;
        footer += ago < 1.0 ? QStringLiteral("  ·  streaming")
                            : QStringLiteral("  ·  last %1 s ago").arg(ago, 0, 'f', 0);
    }
    if (!snap.on)
        footer += QStringLiteral("  ·  switched off");
    p.drawText(card.adjusted(18, 0, -18, -12), Qt::AlignLeft | Qt::AlignBottom, footer);
}

// Name, address, model and what the device shows on the left; mode, pairing and faults as
// pills on the right.
void SimWindow::paintHeading(
    QPainter& p, const QRectF& head, const SimDevice& device, const SimSnapshot& snap)
{
    const SimDeviceSettings& s = device.settings();
    QFont title = font();
    title.setPointSizeF(12.5);
    title.setBold(true);
    p.setFont(title);
    p.setPen(kTitle);
    p.drawText(QRectF(head.left(), head.top(), head.width() * 0.62, 24),
        Qt::AlignLeft | Qt::AlignVCenter,
        QFontMetricsF(title).elidedText(s.name, Qt::ElideRight, head.width() * 0.62));

    QFont small = font();
    small.setPointSizeF(9);
    p.setFont(small);
    p.setPen(kSubtle);
    const QString kind = s.kind();
    p.drawText(QRectF(head.left(), head.top() + 24, head.width(), 18),
        Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("%1  ·  %2 %3  ·  %4 panels")
            .arg(device.ip(), s.model, kind)
            .arg(s.panels.size()));
    // What it shows, as its owner's app would say it.
    p.drawText(QRectF(head.left(), head.top() + 42, head.width() * 0.62, 18),
        Qt::AlignLeft | Qt::AlignVCenter,
        snap.down ? QStringLiteral("restarting")
                  : QStringLiteral("%1  ·  %2")
                        .arg(snap.select,
                            snap.on ? QStringLiteral("on, %1 %").arg(snap.brightness)
                                    : QStringLiteral("off")));

    pill(p, QPointF(head.right(), head.top() + 1), QLatin1String(SimDevice::modeName(snap.mode)),
        modeColour(snap.mode));
    double badgeY = head.top() + 28;
    if (snap.pairingMode) {
        const double phase = (monotonicNs() % 1400000000LL) / 1400000000.0;
        QColor amber(255, 209, 102);
        amber.setAlphaF(0.75 + 0.25 * std::sin(phase * 2 * M_PI));
        pill(p, QPointF(head.right(), badgeY), QStringLiteral("pairing"), amber);
        badgeY += 26;
    }
    const QColor faultColour(240, 96, 96);
    if (snap.httpFault != HttpFault::None) {
        pill(p, QPointF(head.right(), badgeY),
            QStringLiteral("http: %1").arg(QLatin1String(SimDevice::httpFaultName(snap.httpFault))),
            faultColour);
        badgeY += 26;
    }
    if (snap.mdnsFault != MdnsFault::None) {
        pill(p, QPointF(head.right(), badgeY),
            QStringLiteral("mdns: %1").arg(QLatin1String(SimDevice::mdnsFaultName(snap.mdnsFault))),
            faultColour);
    }
}

// The panels as lit tiles in the colours they show, scaled into `area`.
void SimWindow::paintPanels(
    QPainter& p, const QRectF& area, const SimDeviceSettings& s, const SimSnapshot& snap)
{
    QRectF bounds;
    std::vector<QPolygonF> outlines;
    for (const SimPanel& panel : s.panels) {
        outlines.push_back(panelOutline(panel, 0));
        bounds = bounds.isNull() ? outlines.back().boundingRect()
                                 : bounds.united(outlines.back().boundingRect());
    }
    if (!outlines.empty() && bounds.width() > 0 && bounds.height() > 0) {
        const double scale
            = std::min({ area.width() / bounds.width(), area.height() / bounds.height(), 1.6 });
        const QPointF offset = area.center() - bounds.center() * scale;
        const auto map = [&](const QPointF& pt) { return pt * scale + offset; };

        // Glow first, added over the card so neighbouring tiles blend their light.
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_Plus);
        p.setPen(Qt::NoPen);
        for (int i = 0; i < s.panels.size(); ++i) {
            const QColor c = shown(snap.colours[std::size_t(i)], snap);
            if (!s.panels[i].hasLeds() || c.red() + c.green() + c.blue() < 12)
                continue;
            const QPointF centre = map(QPointF(s.panels[i].x, -s.panels[i].y));
            const double radius = std::max<double>(pieceSize(s.panels[i]),
                                      SimPanel::sideOf(s.panels[i].shapeType) / 2.0)
                * scale * 0.95;
            QRadialGradient glow(centre, radius);
            QColor inner = c;
            inner.setAlpha(110);
            QColor outer = c;
            outer.setAlpha(0);
            glow.setColorAt(0, inner);
            glow.setColorAt(1, outer);
            p.setBrush(glow);
            p.drawEllipse(centre, radius, radius);
        }
        p.restore();

        for (int i = 0; i < s.panels.size(); ++i) {
            const double size = pieceSize(s.panels[i]);
            const double gap = std::max(1.5, size * 0.05);
            const double corner = std::max(1.5, size * scale * 0.06);
            const QColor c = shown(snap.colours[std::size_t(i)], snap);
            const bool leds = s.panels[i].hasLeds();
            const bool dark = !leds || c.red() + c.green() + c.blue() < 12;
            QPolygonF poly = panelOutline(s.panels[i], gap + corner / scale);
            for (QPointF& pt : poly)
                pt = map(pt);
            const QRectF box = poly.boundingRect();
            QLinearGradient fill(box.topLeft(), box.bottomLeft());
            // Pieces without LEDs in plain grey plastic, unlit tiles in a dark one.
            fill.setColorAt(0,
                !leds      ? QColor(74, 80, 92)
                    : dark ? QColor(36, 42, 56)
                           : c.lighter(125));
            fill.setColorAt(1, !leds ? QColor(58, 63, 74) : dark ? QColor(28, 33, 45) : c);
            // A thick round-joined pen of the same fill rounds the corners.
            p.setPen(QPen(QBrush(fill), corner * 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.setBrush(fill);
            p.drawPolygon(poly);

            QFont idFont = font();
            idFont.setPointSizeF(std::max(6.5, std::min(9.0, size * scale / 9.0)));
            p.setFont(idFont);
            // Ids only where they fit (not on connectors or narrow strip zones).
            if (QFontMetricsF(idFont).horizontalAdvance(QString::number(s.panels[i].id))
                > box.width())
                continue;
            const int luma = (c.red() * 299 + c.green() * 587 + c.blue() * 114) / 1000;
            p.setPen(
                dark ? kDim : (luma > 150 ? QColor(0, 0, 0, 150) : QColor(255, 255, 255, 170)));
            const QPointF centre = map(QPointF(s.panels[i].x, -s.panels[i].y));
            p.drawText(QRectF(centre.x() - 30, centre.y() - 10, 60, 20), Qt::AlignCenter,
                QString::number(s.panels[i].id));
        }
    } else {
        QFont small = font();
        small.setPointSizeF(9);
        p.setPen(kDim);
        p.setFont(small);
        p.drawText(area, Qt::AlignCenter, QStringLiteral("no panels"));
    }
}
