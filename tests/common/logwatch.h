#pragma once

#include <QHash>
#include <QMutex>
#include <QStringList>

// Takes over Qt's message handler while it lives: counts debug lines and warnings by the
// labels they start with (the tool's log labels are the only outside sign of some steps, so
// tests wait on them) and keeps the debug lines in a short ring instead of the test output;
// info lines, warnings and worse go on to the previous handler. Any thread; one at a time.
class LogWatch
{
public:
    explicit LogWatch(const QStringList& labels);
    ~LogWatch();

    // Debug lines and warnings seen so far that start with label (one of those given).
    int count(const QString& label) const;
    // Runs the event loop until count(label) >= n, then handles the events posted
    // before; false when timeoutMs passed first.
    bool waitFor(const QString& label, int n, int timeoutMs);
    // The latest debug lines, oldest first.
    QStringList recent() const;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

    const QStringList watched;
    mutable QMutex mutex;
    QHash<QString, int> counts;
    QStringList ring;
    QtMessageHandler previous = nullptr;
};
