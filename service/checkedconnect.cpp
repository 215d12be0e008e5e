#include "service/checkedconnect.h"

namespace
{

// SIGNAL() and SLOT() put a code digit in front of the signature; the message
// shows the signature as written.
const char* signature(const char* text)
{
    if (text == nullptr)
        return "(null)";
    return *text == '1' || *text == '2' ? text + 1 : text;
}

} // namespace

void checkedConnect(const QObject* sender, const char* signal, const QObject* receiver,
    const char* method, Qt::ConnectionType type)
{
    if (!QObject::connect(sender, signal, receiver, method, type))
        qFatal("could not connect %s to %s", signature(signal), signature(method));
}
