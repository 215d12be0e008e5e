#pragma once

#include "platform/socketlayer.h"
#include "stream/panelmodel.h"
#include "stream/streamdatagram.h"
#include "stream/streamdevice.h"

#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// One known Nanoleaf device. pidArrray holds the panel ids as they go into the
// external-control datagram (one byte per panel for "Light", two for "Canvas"),
// mPidArray the full ids in layout order. For a device streamed by its model
// number (panelModel one of PanelModel::streamsV2's) both hold the ids of the
// lit panels in PanelModel::orderLitPanels order, and panelNumbers their count.
struct DeviceRecord {
    QVector<int> pidArrray;
    QVector<int> mPidArray;
    int panelNumbers = 0;
    QString deviceName;
    QString ip;
    bool isPaired = false;
    // The model its info answer reported. Read only for names of neither
    // "Light" nor "Canvas" (those keep the datagrams their name picks), so
    // Unknown for them, before the layout is read, and for unknown numbers.
    PanelModel::Model panelModel = PanelModel::Model::Unknown;
    // Light Panels streamed like the later models (light_stream=v2): the v2
    // datagram of mPidArray, whatever the name says.
    bool lightV2 = false;
    // The stream port the device's answer to the external-control request named;
    // 0: the model's own.
    std::uint16_t streamPort = 0;
    // Why a device given by address is not there ("No answer", "Unknown host"),
    // shown instead of its status while it is not paired; empty for the others.
    QString note;

    // What a lookup of a missing name inserts: one-element panel lists holding 0.
    static DeviceRecord defaultRecord();
    // What discovery puts in: empty panel lists, the reported name and address.
    static DeviceRecord discoveryRecord(const QString& name, const QString& ip);
};

bool operator==(const DeviceRecord& a, const DeviceRecord& b);

// The stream's view of a record (see StreamDevice), made whenever the record
// changes.
StreamDevice streamDeviceOf(const DeviceRecord& record);

// The program's one table of known devices, keyed by device name and iterated in
// key order (QString's less-than: UTF-16 code units, case-sensitive).
//
// It is reached from the GUI thread and from the service thread (the layout
// answer), so every operation takes the registry's lock, lookups included since
// they may insert. There is deliberately no operator[] handing out a reference:
// a reference would outlive the lock. Read a copy with value(), change a record
// in place with update(), or replace it whole with insert().
//
// Beside the records it keeps one StreamDevice per record, in key order (the
// stream targets), renewed under the same lock by every operation that changes a
// record, so the targets never lag behind the records.
class DeviceRegistry
{
public:
    // The stream targets as one renewal left them; never changed once made, so any
    // thread may read them without the lock for as long as it holds them.
    using StreamTargets = std::shared_ptr<const std::vector<StreamDevice>>;

    // Copy of the record under name; a missing name gets a default record first.
    DeviceRecord value(const QString& name);

    // Runs change(record) under the lock on the record under name (inserting a
    // default record first when the name is missing) and returns the changed copy.
    template <typename Change> DeviceRecord update(const QString& name, Change&& change)
    {
        QMutexLocker lock(&mutex);
        bool inserted = false;
        DeviceRecord& record = lookup(name, inserted);
        change(record);
        const DeviceRecord changed = record;
        refreshTargets();
        return changed;
    }

    // Inserts record under name, replacing any record already there.
    void insert(const QString& name, const DeviceRecord& record);

    // What a discovery report changed.
    enum class Found { Added, Moved, Known };
    // A device reported by name and address. A new name gets a discovery record;
    // a known one keeps its record (pairing, layout) and only takes the address
    // when it changed (and the name, when a layout answer made it nameless). The
    // targets are renewed only when something changed.
    // record, when given, receives the record as it is now.
    Found discovered(const QString& name, const QString& ip, DeviceRecord* record = nullptr);
    // Removes the records under names that are not paired (checked under the
    // lock); returns how many went.
    int forget(const QStringList& names);
    // Sets the note of the record under name, adding a discovery record at ip
    // when the name is missing; an existing record keeps its address.
    void setNote(const QString& name, const QString& ip, const QString& note);
    // The record under from goes under to, with its address; a record already
    // under to takes that address (and the name to, when it has none) and from's
    // goes. Nothing without a record under from.
    void rename(const QString& from, const QString& to);

    int count() const;
    bool contains(const QString& name) const;
    // Copy of the whole map, for walking it in key order without holding the lock.
    QMap<QString, DeviceRecord> snapshot() const;
    // The stream targets, one per record in key order (never null). Shared, not
    // copied: taking them costs no more than the lock.
    StreamTargets streamTargets() const;
    // The same, with the number of times the targets were renewed so far: equal
    // numbers mean equal targets.
    StreamTargets streamTargets(std::uint64_t& generation) const;
    // That number alone, for a frame path that only looks whether anything changed.
    std::uint64_t targetsGeneration() const;
    void clear();

    // Runs renewed() each time the targets are renewed, on the thread that changed
    // them and under the registry's lock: it must not call the registry, only hand
    // the news on (post an event). An empty function ends it.
    void onTargetsRenewed(std::function<void()> renewed);

private:
    // The record under name; a missing name gets a default record first, and
    // inserted tells so. The caller holds the lock.
    DeviceRecord& lookup(const QString& name, bool& inserted);
    // Renews targets from map. The caller holds the lock.
    void refreshTargets();

    mutable QMutex mutex;
    QMap<QString, DeviceRecord> map;
    StreamTargets targets = std::make_shared<const std::vector<StreamDevice>>();
    // Changed under the lock; read without it by the frame path, which takes the
    // lock only when it changed.
    std::atomic<std::uint64_t> generation { 0 };
    std::function<void()> renewedCallback;
};

// The registry shared by the whole program.
extern DeviceRegistry deviceMap;
