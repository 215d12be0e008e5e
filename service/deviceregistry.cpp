#include "service/deviceregistry.h"

DeviceRegistry deviceMap;

DeviceRecord DeviceRecord::defaultRecord()
{
    DeviceRecord record;
    record.pidArrray = {0};
    record.mPidArray = {0};
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
        && a.isPaired == b.isPaired;
}

DeviceRecord& DeviceRegistry::lookup(const QString& name)
{
    auto it = map.find(name);
    if (it == map.end())
        it = map.insert(name, DeviceRecord::defaultRecord());
    return it.value();
}

DeviceRecord DeviceRegistry::value(const QString& name)
{
    QMutexLocker lock(&mutex);
    return lookup(name);
}

void DeviceRegistry::insert(const QString& name, const DeviceRecord& record)
{
    QMutexLocker lock(&mutex);
    map.insert(name, record);
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

void DeviceRegistry::clear()
{
    QMutexLocker lock(&mutex);
    map.clear();
}
