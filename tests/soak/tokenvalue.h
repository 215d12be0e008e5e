#pragma once

#include <QCryptographicHash>
#include <QString>

// The token the soak tests store under a device name: 32 hex digits like a
// device's own, and derived from the name, so a reader can tell a token that
// belongs to another name or was cut short.
inline QString soakTokenFor(const QString& name)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Md5).toHex());
}
