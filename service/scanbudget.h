#pragma once

#include <QSet>
#include <QString>

namespace Zeroconf
{
struct Reply;
}

// The device name an answer announces: the label its second record points at
// (the first label of the service instance name in the answers devices give),
// decoded as UTF-8 up to its first zero byte. Empty when the answer has fewer
// than two records and so names no device.
QString announcedName(const Zeroconf::Reply& reply);

// What one scan keeps of the answers it gets. The query is a broadcast, so any
// host on the network sees its source port and may answer, many times and under
// any names. A scan therefore keeps the first answer under each name and merges
// later ones into it, keeps at most kMaxNames names and kMaxNames answers that
// name no device, and drops the rest, counting them. Names it is given at the
// start (devices the user set up) are always kept, whatever came before them.
class ScanBudget
{
public:
    static constexpr int kMaxNames = 64;

    explicit ScanBudget(QSet<QString> alwaysKept);

    // Whether the answer is kept; called for each answer in arrival order.
    bool keep(const Zeroconf::Reply& reply);
    // Answers dropped for the bounds, and answers merged into an earlier one of
    // the same name.
    int dropped() const { return droppedCount; }
    int merged() const { return mergedCount; }

private:
    const QSet<QString> always;
    QSet<QString> kept;
    int newNames = 0;
    int nameless = 0;
    int droppedCount = 0;
    int mergedCount = 0;
};
