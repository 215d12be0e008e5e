#include "service/nanoleafapisync.h"

#include <QDebug>

// Placeholder until the discovery module lands.
void nanoleafAPIsync::searchDeive_noBonjour()
{
    qDebug() << "searchDeive_noBonjour";
}

void nanoleafAPIsync::reportReplies(const std::vector<Zeroconf::Reply>&)
{
}

void nanoleafAPIsync::debugPrint(const char*)
{
}
