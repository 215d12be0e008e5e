#pragma once

#include <QObject>

// Connects a signal to a slot or signal by their signature texts (SIGNAL / SLOT)
// and ends the process with qFatal when Qt refuses, in every build type: a
// misspelt signature would otherwise leave a button or answer silently dead.
void checkedConnect(const QObject* sender, const char* signal, const QObject* receiver,
    const char* method, Qt::ConnectionType type = Qt::AutoConnection);
