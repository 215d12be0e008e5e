#include "soak/procstatus.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>

namespace ProcStatus
{

namespace
{

// The number after "field:" in /proc/self/status, or -1.
qint64 statusField(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (!line.startsWith(field + ':'))
            continue;
        const QList<QByteArray> parts = line.mid(field.size() + 1).simplified().split(' ');
        bool ok = false;
        const qint64 value = parts.isEmpty() ? -1 : parts.first().toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

} // namespace

int openDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (!fds.exists())
        return -1;
    // Listing the folder opens one descriptor of its own.
    return static_cast<int>(
               fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size())
        - 1;
}

QStringList descriptorTargets()
{
    QStringList out;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList names = fds.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    for (const QString& name : names) {
        const QString target = QFile::symLinkTarget(fds.filePath(name));
        if (!target.isEmpty())
            out << name + QStringLiteral(" -> ") + target;
    }
    return out;
}

int threads()
{
    return static_cast<int>(statusField("Threads"));
}

} // namespace ProcStatus
