#include "service/intakesettings.h"

#include "platform/socketlayer.h"

#include <QStringList>

#include <cmath>

bool NetworkIntakeSettings::readListen(const QString& text, QString& problem)
{
    bool ddp = false;
    bool e131 = false;
    bool artNet = false;
    const QString all = text.trimmed().toLower();
    if (all == QLatin1String("all")) {
        ddp = e131 = artNet = true;
    } else if (!all.isEmpty() && all != QLatin1String("none")) {
        for (const QString& part : all.split(QLatin1Char(','))) {
            const QString name = part.trimmed();
            if (name == QLatin1String("ddp"))
                ddp = true;
            else if (name == QLatin1String("e131"))
                e131 = true;
            else if (name == QLatin1String("artnet"))
                artNet = true;
            else {
                problem = QStringLiteral("'%1' is none of ddp, e131, artnet, all").arg(name);
                return false;
            }
        }
    }
    receiver.ddp = ddp;
    receiver.e131 = e131;
    receiver.artNet = artNet;
    return true;
}

bool NetworkIntakeSettings::readAddress(const QString& text, QString& problem)
{
    const QByteArray ascii = text.trimmed().toLatin1();
    std::array<std::uint8_t, 4> address {};
    if (!Platform::Net::parseIpv4(
            ascii.constData(), static_cast<std::size_t>(ascii.size()), address)) {
        problem = QStringLiteral("'%1' is no IPv4 address such as 192.168.1.20").arg(text);
        return false;
    }
    receiver.address = address;
    return true;
}

bool NetworkIntakeSettings::readUniverse(const QString& text, QString& problem)
{
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok);
    if (!ok || value < 1 || value > PixelMap::kLastUniverse) {
        problem = QStringLiteral("'%1' is no universe from 1 to %2")
                      .arg(text)
                      .arg(PixelMap::kLastUniverse);
        return false;
    }
    universe = static_cast<std::uint16_t>(value);
    return true;
}

bool NetworkIntakeSettings::readTimeout(const QString& text, QString& problem)
{
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0.1 || seconds > 3600) {
        problem = QStringLiteral("'%1' is no number of seconds from 0.1 to 3600").arg(text);
        return false;
    }
    receiver.lossNs = static_cast<std::int64_t>(std::llround(seconds * 1e9));
    return true;
}

QString NetworkIntakeSettings::protocols() const
{
    QStringList names;
    if (receiver.ddp)
        names << QStringLiteral("DDP");
    if (receiver.e131)
        names << QStringLiteral("E1.31");
    if (receiver.artNet)
        names << QStringLiteral("Art-Net");
    return names.join(QStringLiteral(", "));
}
