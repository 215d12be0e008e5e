#pragma once

#include <QJsonValue>

#include <string>

namespace JsonText
{

// Compact JSON text of any value, a bare string, number or literal included (Qt 5's
// QJsonDocument only writes objects and arrays).
std::string compact(const QJsonValue& value);

} // namespace JsonText
