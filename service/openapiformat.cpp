#include "service/openapiformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace OpenApiFormat
{

namespace
{

QByteArray writeCommand(const QJsonObject& command)
{
    return QJsonDocument(QJsonObject { { "write", command } }).toJson();
}

} // namespace

QString pairingToken(const QByteArray& answer)
{
    // toString() gives the empty text for a value that is not a string, so a
    // numeric token counts as a refusal instead of putting "/api/v1//" into the
    // next request.
    return QJsonDocument::fromJson(answer).object().value("auth_token").toString();
}

Layout parseLayout(const QByteArray& answer)
{
    Layout layout;
    // Not an object, or a name that is no string, all read as the empty name.
    const QJsonObject object = QJsonDocument::fromJson(answer).object();
    const QString name = object.value("name").toString();
    const QJsonValue positions
        = object.value("panelLayout").toObject().value("layout").toObject().value("positionData");
    // A nameless record would be listed first and shift every row below it.
    if (name.isEmpty() || !positions.isArray())
        return layout;

    layout.ok = true;
    layout.name = name;
    layout.model = StreamDatagram::modelForName(layout.name.toStdU16String());
    const QJsonArray array = positions.toArray();
    layout.count = array.count();
    if (layout.model == StreamDatagram::Model::None)
        return layout;
    for (const QJsonValue& position : array) {
        const int id = position.toObject().value("panelId").toInt();
        if (layout.model == StreamDatagram::Model::Canvas)
            layout.pidArrray.append(id / 256);
        layout.pidArrray.append(id % 256);
        layout.mPidArray.append(id);
    }
    return layout;
}

QByteArray externalControlBody()
{
    return writeCommand(QJsonObject {
        { "command", "display" }, { "animType", "extControl" }, { "extControlVersion", "v2" } });
}

QString staticAnimData(int panelNumbers, const QVector<int>& mPidArray)
{
    QString text = QString::number(panelNumbers);
    for (int id : mPidArray)
        text += " " + QString::number(id) + " 1 255 201 29 0 12";
    return text;
}

QByteArray staticEffectBody(const QString& animData)
{
    return writeCommand(
        QJsonObject { { "command", "display" }, { "animType", "static" }, { "loop", false },
            { "animData", animData }, { "version", "2.0" }, { "palette", QJsonArray() } });
}

} // namespace OpenApiFormat
