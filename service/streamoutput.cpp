#include "service/streamoutput.h"
#include "platform/hotpath.h"

#include <QDebug>
#include <QLoggingCategory>

#include <algorithm>
#include <chrono>

namespace
{

bool sameDevices(const std::vector<PixelMap::Device>& a, const std::vector<PixelMap::Device>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
        [](const PixelMap::Device& x, const PixelMap::Device& y) {
            return x.pixels == y.pixels && x.name == y.name;
        });
}

} // namespace

StreamOutput::StreamOutput() = default;

StreamOutput::~StreamOutput()
{
    stopPacer();
}

PRISMARA_HOT void StreamOutput::refresh(int hostCount)
{
    const std::uint64_t generation = deviceMap.targetsGeneration();
    if (generation == m_laidOut && hostCount == m_host.count())
        return;
    if (generation != m_laidOut) {
        std::uint64_t renewed = 0;
        m_targets = deviceMap.streamTargets(renewed);
        m_laidOut = renewed;
        m_strip.layOutStrip(*m_targets);
        std::vector<PixelMap::Device> devices;
        for (const StreamDevice& d : *m_targets)
            if (d.streamed())
                devices.push_back({ d.name, d.pixels() });
        if (!sameDevices(devices, m_stripDevices)) {
            m_stripDevices = std::move(devices);
            ++m_stripTag;
        }
    }
    m_host.layOut(hostCount, *m_targets);
    m_hostCount = hostCount;
    // Both layouts give every device the same destination.
    m_sender.setDestinations(m_host.destinations());
}

PRISMARA_HOT bool StreamOutput::sendHost(
    int count, const int* red, const int* green, const int* blue)
{
    if (m_network.load())
        return false;
    const std::lock_guard<std::mutex> frame(m_frameLock);
    if (m_network.load())
        return false;
    refresh(count);
    std::size_t datagrams = 0;
    const DeviceDatagram* batch = m_host.pack(red, green, blue, datagrams);
    // In registry order, each through its device's own socket and never waiting:
    // a device that cannot take its datagram loses that one, no other its own.
    m_sender.send(batch, datagrams, Platform::Net::monotonicTicks());
    if (m_paced)
        schedulePacer();
    reportFlow();
    return true;
}

std::vector<PixelMap::Device> StreamOutput::stripDevices(std::uint64_t& tag)
{
    const std::lock_guard<std::mutex> frame(m_frameLock);
    refresh(m_hostCount);
    tag = m_stripTag;
    return m_stripDevices;
}

PRISMARA_HOT bool StreamOutput::sendStrip(
    const std::uint8_t* strip, std::size_t size, std::uint64_t mapTag)
{
    const std::lock_guard<std::mutex> frame(m_frameLock);
    refresh(m_hostCount);
    if (!m_network.load() || mapTag != m_stripTag || size != m_strip.stripBytes())
        return false;
    std::size_t datagrams = 0;
    const DeviceDatagram* batch = m_strip.packStrip(strip, datagrams);
    m_sender.send(batch, datagrams, Platform::Net::monotonicTicks());
    if (m_paced)
        schedulePacer();
    reportFlow();
    return true;
}

void StreamOutput::showNetwork(bool shown)
{
    const std::lock_guard<std::mutex> frame(m_frameLock);
    m_network = shown;
}

void StreamOutput::setMaxFps(int maxFps)
{
    stopPacer();
    const bool paced = maxFps > 0;
    {
        const std::lock_guard<std::mutex> frame(m_frameLock);
        // Rounded up: a device never gets more than maxFps frames in a second.
        constexpr std::int64_t kTicksPerSecond = 10000000;
        m_sender.setInterval(paced ? (kTicksPerSecond + maxFps - 1) / maxFps : 0);
        m_paced = paced;
        m_pacerDue = StreamSender::kNothingDue;
    }
    if (!paced)
        return;
    {
        // A sender may call the pacer meanwhile.
        const std::lock_guard<std::mutex> lock(m_pacerLock);
        m_pacerStop = false;
        m_pacerCalled = true; // frames kept under an earlier cap are looked at once
    }
    m_pacer = std::thread(&StreamOutput::pace, this);
}

void StreamOutput::stopPacer()
{
    if (!m_pacer.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(m_pacerLock);
        m_pacerStop = true;
    }
    m_pacerWake.notify_one();
    m_pacer.join();
}

void StreamOutput::schedulePacer()
{
    const std::int64_t due = m_sender.nextDue();
    // The pacer looks by then anyway: most frames kept end here, without a wake-up.
    if (due >= m_pacerDue)
        return;
    m_pacerDue = due;
    {
        const std::lock_guard<std::mutex> lock(m_pacerLock);
        m_pacerCalled = true;
    }
    m_pacerWake.notify_one();
}

void StreamOutput::pace()
{
    std::int64_t due = StreamSender::kNothingDue;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_pacerLock);
            const auto called = [this] { return m_pacerCalled || m_pacerStop; };
            if (due == StreamSender::kNothingDue) {
                m_pacerWake.wait(lock, called);
            } else {
                // monotonicTicks counts the steady clock in 100 ns.
                const std::int64_t ticks = due - Platform::Net::monotonicTicks();
                m_pacerWake.wait_for(
                    lock, std::chrono::nanoseconds(100 * std::max<std::int64_t>(0, ticks)), called);
            }
            if (m_pacerStop)
                return;
            m_pacerCalled = false;
        }
        // A sender that keeps a datagram due earlier than m_pacerDue calls the pacer;
        // one kept after this look is seen because m_pacerDue is set under the lock.
        const std::lock_guard<std::mutex> frame(m_frameLock);
        m_sender.sendDue(Platform::Net::monotonicTicks());
        reportFlow();
        due = m_sender.nextDue();
        m_pacerDue = due;
    }
}

PRISMARA_HOT void StreamOutput::reportFlow()
{
    // The user learns once that a device drops and once that it is back, not per
    // frame; the sender only reports those changes.
    for (const StreamSender::FlowChange& change : m_sender.changes()) {
        const QString name = change.device < m_targets->size()
            ? QString::fromStdString((*m_targets)[change.device].name)
            : QString();
        const QString to = QStringLiteral("%1.%2.%3.%4:%5")
                               .arg(change.to.address[0])
                               .arg(change.to.address[1])
                               .arg(change.to.address[2])
                               .arg(change.to.address[3])
                               .arg(change.to.port);
        if (change.dropping)
            qWarning().noquote() << QStringLiteral("Stream to \"%1\" (%2): datagrams dropped, the "
                                                   "system takes none for this device (switched "
                                                   "off or at another address?)")
                                        .arg(name, to);
        else
            qWarning().noquote() << QStringLiteral(
                "Stream to \"%1\" (%2): datagrams taken again, %3 dropped meanwhile")
                                        .arg(name, to)
                                        .arg(change.dropped);
    }
}

void StreamOutput::logHostFrame(
    int count, const int* red, const int* green, const int* blue, const QString& base)
{
    const std::lock_guard<std::mutex> frame(m_frameLock);
    if (!m_targets)
        return;
    qDebug() << "sendUdpDAta";
    for (std::size_t n = 0; n < m_targets->size(); ++n) {
        const StreamDevice& target = (*m_targets)[n];
        qDebug() << "k deviceName" << QString::fromStdString(target.name) << "ispaired"
                 << target.isPaired;
        if (!target.streamed())
            continue;
        std::size_t size = 0;
        const std::uint8_t* bytes = m_host.datagram(n, size);
        const QByteArray datagram
            = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), static_cast<int>(size));
        if (target.v2) {
            qDebug() << "sendUdpDAta ba" << datagram;
            qDebug() << "send nanoIp v2" << PanelModel::name(target.panelModel) << base;
            qDebug() << "panel number" << target.panelNumbers << "length" << count;
            continue;
        }
        const bool light = target.model == StreamDatagram::Model::Light;
        if (light) {
            const int written = std::min<int>(
                std::min(count, target.panelNumbers), static_cast<int>(target.pidArrray.size()));
            for (int i = 0; i < written; ++i)
                qDebug() << "panelId is " << target.pidArrray[static_cast<std::size_t>(i)] << "R"
                         << red[i] << "G" << green[i] << "B" << blue[i];
        }
        qDebug() << "sendUdpDAta ba" << datagram;
        qDebug() << (light ? "send nanoIp Light" : "send nanoIp Canvas") << base;
        if (light)
            qDebug() << "panel number" << target.panelNumbers << "length" << count;
    }
}
