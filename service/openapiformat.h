#pragma once

#include "stream/streamdatagram.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What the device service sends to a device's OpenAPI and reads from its answers.
// Pure functions over bytes and texts: no QObject, no network.
namespace OpenApiFormat
{

// The token of a pairing answer, or the empty text when the answer is a refusal:
// not a JSON object, no "auth_token" member, a member that is not a string, or
// an empty string. A refused pairing must store nothing and send nothing.
QString pairingToken(const QByteArray& answer);

// A device's layout answer, read. ok is false for an answer that is not a JSON
// object, or whose "name" is not a non-empty string, or whose
// "panelLayout" / "layout" / "positionData" is not an array (a missing or
// mistyped level included); then every other field is empty.
//
// Otherwise: count is the number of positions; for each position in order, with
// id its "panelId" as an integer (0 when missing or not a whole number),
// mPidArray gets id, and pidArrray gets id % 256 for a "Light" name, or
// id / 256 then id % 256 for a "Canvas" name. A name of neither model gets no
// ids at all. The model is StreamDatagram::modelForName's, the one the stream
// sender picks its datagram layout by, so a name holding both words is a
// "Canvas" here too and the ids a device is sent are those of its layout.
struct Layout {
    bool ok = false;
    QString name;
    StreamDatagram::Model model = StreamDatagram::Model::None;
    int count = 0;
    QVector<int> pidArrray;
    QVector<int> mPidArray;
};
Layout parseLayout(const QByteArray& answer);

// Body of the request that switches a device into external control ("v2"), in
// the indented JSON form, members in alphabetical order.
QByteArray externalControlBody();

// Animation text of the static warm colour: panelNumbers, then per panel id of
// mPidArray " <id> 1 255 201 29 0 12". The count leads even when it differs from
// the number of ids.
QString staticAnimData(int panelNumbers, const QVector<int>& mPidArray);

// Body of the request that shows animData as a static effect, in the indented
// JSON form, members in alphabetical order.
QByteArray staticEffectBody(const QString& animData);

} // namespace OpenApiFormat
