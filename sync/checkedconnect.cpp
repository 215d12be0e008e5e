#include "sync/checkedconnect.h"

void checkedConnect(const QObject* sender, const char* signal, const QObject* receiver, const char* method,
                    Qt::ConnectionType type)
{
    if (!QObject::connect(sender, signal, receiver, method, type))
        qFatal("could not connect %s to %s", signal, method);
}
