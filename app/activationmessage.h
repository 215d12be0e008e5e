#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The messages of the activation channel, through which a second start of the tool
// hands its command line to the running tool. Each is one line: compact JSON and a
// newline, at most kActivationMaxLine bytes with the newline.
//
//   request  {"arguments":["--resume"]}           the options, program name left out
//   answer   {"exit":0}  or  {"exit":1,"error":"..."}
//
// Members a reader does not know are ignored, so later versions may add some.
namespace Activation
{

constexpr int kActivationMaxLine = 64 * 1024;

// The request line for arguments; empty when it would exceed kActivationMaxLine.
QByteArray encodeRequest(const QStringList& arguments);
// Reads one request line (the newline may be missing). False for anything but an
// object whose "arguments" is an array of texts.
bool decodeRequest(const QByteArray& line, QStringList& arguments);

// The answer line: the exit code the second start ends with (0 to 255), and a
// text it prints on standard error when not empty.
QByteArray encodeAnswer(int exitCode, const QString& error = QString());
// False for anything but an object whose "exit" is a whole number from 0 to 255
// and whose "error", when present, is a text.
bool decodeAnswer(const QByteArray& line, int& exitCode, QString& error);

} // namespace Activation
