#include "service/scanbudget.h"

#include "zeroconf/zeroconf.h"

#include <utility>

QString announcedName(const Zeroconf::Reply& reply)
{
    if (reply.records.size() < 2)
        return QString();
    const std::string& label = reply.records[1].name;
    const std::size_t zero = label.find('\0');
    const std::size_t length = zero == std::string::npos ? label.size() : zero;
    return QString::fromUtf8(label.data(), static_cast<int>(length));
}

ScanBudget::ScanBudget(QSet<QString> alwaysKept)
    : always(std::move(alwaysKept))
{
}

bool ScanBudget::keep(const Zeroconf::Reply& reply)
{
    if (reply.records.size() < 2) {
        if (nameless >= kMaxNames) {
            ++droppedCount;
            return false;
        }
        ++nameless;
        return true;
    }
    const QString name = announcedName(reply);
    if (kept.contains(name)) {
        ++mergedCount;
        return false;
    }
    if (!always.contains(name)) {
        if (newNames >= kMaxNames) {
            ++droppedCount;
            return false;
        }
        ++newNames;
    }
    kept.insert(name);
    return true;
}
