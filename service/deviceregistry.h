#pragma once

#include <QMap>
#include <QMutex>
#include <QString>
#include <QVector>

// One known Nanoleaf device. pidArrray holds the panel ids as they go into the
// external-control datagram (one byte per panel for "Light", two for "Canvas"),
// mPidArray the full ids in layout order.
struct DeviceRecord
{
    QVector<int> pidArrray;
    QVector<int> mPidArray;
    int panelNumbers = 0;
    QString deviceName;
    QString ip;
    bool isPaired = false;

    // What a lookup of a missing name inserts: one-element panel lists holding 0.
    static DeviceRecord defaultRecord();
    // What discovery puts in: empty panel lists, the reported name and address.
    static DeviceRecord discoveryRecord(const QString& name, const QString& ip);
};

bool operator==(const DeviceRecord& a, const DeviceRecord& b);

// The program's one table of known devices, keyed by device name and iterated in
// key order (QString's less-than: UTF-16 code units, case-sensitive).
//
// It is reached from the GUI thread and from the service thread (the layout
// answer), so every operation takes the registry's lock, lookups included since
// they may insert. There is deliberately no operator[] handing out a reference:
// a reference would outlive the lock. Read a copy with value(), change a record
// in place with update(), or replace it whole with insert().
class DeviceRegistry
{
public:
    // Copy of the record under name; a missing name gets a default record first.
    DeviceRecord value(const QString& name);

    // Runs change(record) under the lock on the record under name (inserting a
    // default record first when the name is missing) and returns the changed copy.
    template <typename Change>
    DeviceRecord update(const QString& name, Change&& change)
    {
        QMutexLocker lock(&mutex);
        DeviceRecord& record = lookup(name);
        change(record);
        return record;
    }

    // Inserts record under name, replacing any record already there.
    void insert(const QString& name, const DeviceRecord& record);

    int count() const;
    bool contains(const QString& name) const;
    // Copy of the whole map, for walking it in key order without holding the lock.
    QMap<QString, DeviceRecord> snapshot() const;
    void clear();

private:
    DeviceRecord& lookup(const QString& name);

    mutable QMutex mutex;
    QMap<QString, DeviceRecord> map;
};

// The registry shared by the whole program.
extern DeviceRegistry deviceMap;
