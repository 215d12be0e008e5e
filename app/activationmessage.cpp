#include "app/activationmessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Activation
{

namespace
{

QByteArray lineOf(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool objectOf(const QByteArray& line, QJsonObject& object)
{
    if (line.size() > kActivationMaxLine)
        return false;
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    object = document.object();
    return true;
}

} // namespace

QByteArray encodeRequest(const QStringList& arguments)
{
    const QByteArray line
        = lineOf(QJsonObject { { "arguments", QJsonArray::fromStringList(arguments) } });
    return line.size() <= kActivationMaxLine ? line : QByteArray();
}

bool decodeRequest(const QByteArray& line, QStringList& arguments)
{
    QJsonObject object;
    if (!objectOf(line, object) || !object.value("arguments").isArray())
        return false;
    QStringList texts;
    for (const QJsonValue& value : object.value("arguments").toArray()) {
        if (!value.isString())
            return false;
        texts.append(value.toString());
    }
    arguments = texts;
    return true;
}

QByteArray encodeAnswer(int exitCode, const QString& error)
{
    QJsonObject object { { "exit", exitCode } };
    if (!error.isEmpty())
        object.insert("error", error);
    return lineOf(object);
}

bool decodeAnswer(const QByteArray& line, int& exitCode, QString& error)
{
    QJsonObject object;
    if (!objectOf(line, object))
        return false;
    const QJsonValue code = object.value("exit");
    const double number = code.toDouble(-1);
    if (!code.isDouble() || number < 0 || number > 255 || number != int(number))
        return false;
    const QJsonValue text = object.value("error");
    if (!text.isUndefined() && !text.isString())
        return false;
    exitCode = int(number);
    error = text.toString();
    return true;
}

} // namespace Activation
