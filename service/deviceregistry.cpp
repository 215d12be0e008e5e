#include "service/deviceregistry.h"
#include "platform/hotpath.h"

#include <string>
#include <utility>

DeviceRegistry deviceMap;

DeviceRecord DeviceRecord::defaultRecord()
{
    DeviceRecord record;
    record.pidArrray = { 0 };
    record.mPidArray = { 0 };
    return record;
}

DeviceRecord DeviceRecord::discoveryRecord(const QString& name, const QString& ip)
{
    DeviceRecord record;
    record.deviceName = name;
    record.ip = ip;
    return record;
}

bool operator==(const DeviceRecord& a, const DeviceRecord& b)
{
    return a.pidArrray == b.pidArrray && a.mPidArray == b.mPidArray
        && a.panelNumbers == b.panelNumbers && a.deviceName == b.deviceName && a.ip == b.ip
        && a.isPaired == b.isPaired && a.panelModel == b.panelModel && a.lightV2 == b.lightV2
        && a.streamPort == b.streamPort && a.note == b.note;
}

StreamDevice streamDeviceOf(const DeviceRecord& record)
{
    StreamDevice target;
    target.name = record.deviceName.toStdString();
    target.isPaired = record.isPaired;
    target.model = StreamDatagram::modelForName(record.deviceName.toStdU16String());
    target.panelModel = record.panelModel;
    target.v2 = record.lightV2
        || (target.model == StreamDatagram::Model::None
            && PanelModel::streamsV2(record.panelModel));
    target.to.port = target.model == StreamDatagram::Model::Canvas || target.v2
        ? StreamDatagram::kCanvasPort
        : StreamDatagram::kLightPort;
    if (record.streamPort != 0)
        target.to.port = record.streamPort;
    const std::string ip = record.ip.toStdString();
    target.addressOk = Platform::Net::parseIpv4(ip.data(), ip.size(), target.to.address);
    target.panelNumbers = record.panelNumbers;
    target.pidArrray.assign(record.pidArrray.cbegin(), record.pidArrray.cend());
    if (target.v2) {
        for (int id : record.mPidArray)
            target.v2Ids.push_back(static_cast<std::uint16_t>(id));
    }
    return target;
}

DeviceRecord& DeviceRegistry::lookup(const QString& name, bool& inserted)
{
    auto it = map.find(name);
    inserted = it == map.end();
    if (inserted)
        it = map.insert(name, DeviceRecord::defaultRecord());
    return it.value();
}

void DeviceRegistry::refreshTargets()
{
    // Records change at pairing and discovery time only, and there are few, so
    // all targets are worked out afresh: nothing can be left behind.
    auto fresh = std::make_shared<std::vector<StreamDevice>>();
    fresh->reserve(static_cast<std::size_t>(map.size()));
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        fresh->push_back(streamDeviceOf(it.value()));
    targets = std::move(fresh);
    generation.fetch_add(1, std::memory_order_release);
    if (renewedCallback)
        renewedCallback();
}

DeviceRecord DeviceRegistry::value(const QString& name)
{
    QMutexLocker lock(&mutex);
    bool inserted = false;
    const DeviceRecord record = lookup(name, inserted);
    if (inserted)
        refreshTargets();
    return record;
}

void DeviceRegistry::insert(const QString& name, const DeviceRecord& record)
{
    QMutexLocker lock(&mutex);
    map.insert(name, record);
    refreshTargets();
}

DeviceRegistry::Found DeviceRegistry::discovered(
    const QString& name, const QString& ip, DeviceRecord* record)
{
    QMutexLocker lock(&mutex);
    auto it = map.find(name);
    Found found = Found::Known;
    if (it == map.end()) {
        it = map.insert(name, DeviceRecord::discoveryRecord(name, ip));
        found = Found::Added;
    } else if (it->ip != ip) {
        it->ip = ip;
        found = Found::Moved;
    }
    // A record a layout answer made under a name never reported before.
    const bool named = it->deviceName.isEmpty();
    if (named)
        it->deviceName = name;
    if (found != Found::Known || named)
        refreshTargets();
    if (record != nullptr)
        *record = it.value();
    return found;
}

int DeviceRegistry::forget(const QStringList& names)
{
    QMutexLocker lock(&mutex);
    int removed = 0;
    for (const QString& name : names) {
        const auto it = map.find(name);
        if (it != map.end() && !it->isPaired) {
            map.erase(it);
            ++removed;
        }
    }
    if (removed > 0)
        refreshTargets();
    return removed;
}

void DeviceRegistry::setNote(const QString& name, const QString& ip, const QString& note)
{
    QMutexLocker lock(&mutex);
    auto it = map.find(name);
    if (it == map.end()) {
        map.insert(name, DeviceRecord::discoveryRecord(name, ip)).value().note = note;
        refreshTargets();
    } else {
        it->note = note;
    }
}

void DeviceRegistry::rename(const QString& from, const QString& to)
{
    QMutexLocker lock(&mutex);
    const auto it = map.find(from);
    if (it == map.end() || from == to)
        return;
    DeviceRecord moved = it.value();
    map.erase(it);
    const auto there = map.find(to);
    if (there != map.end()) {
        there->ip = moved.ip;
        // A lookup may have put a default record there before.
        if (there->deviceName.isEmpty())
            there->deviceName = to;
    } else {
        moved.deviceName = to;
        moved.note.clear();
        map.insert(to, moved);
    }
    refreshTargets();
}

int DeviceRegistry::count() const
{
    QMutexLocker lock(&mutex);
    return map.count();
}

bool DeviceRegistry::contains(const QString& name) const
{
    QMutexLocker lock(&mutex);
    return map.contains(name);
}

QMap<QString, DeviceRecord> DeviceRegistry::snapshot() const
{
    QMutexLocker lock(&mutex);
    return map;
}

DeviceRegistry::StreamTargets DeviceRegistry::streamTargets() const
{
    QMutexLocker lock(&mutex);
    return targets;
}

DeviceRegistry::StreamTargets DeviceRegistry::streamTargets(std::uint64_t& renewed) const
{
    QMutexLocker lock(&mutex);
    renewed = generation.load(std::memory_order_relaxed);
    return targets;
}

PRISMARA_HOT std::uint64_t DeviceRegistry::targetsGeneration() const
{
    return generation.load(std::memory_order_acquire);
}

void DeviceRegistry::clear()
{
    QMutexLocker lock(&mutex);
    map.clear();
    refreshTargets();
}

void DeviceRegistry::onTargetsRenewed(std::function<void()> renewed)
{
    QMutexLocker lock(&mutex);
    renewedCallback = std::move(renewed);
}
