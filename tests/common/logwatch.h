#pragma once

#include <QHash>
#include <QMutex>
#include <QStringList>

// Takes over Qt's message handler while it lives: debug lines and warnings are
// counted by the labels they start with; debug lines are kept in a short ring
// (for a failing test to show) instead of flooding the test output, while info
// lines, warnings and worse go on to the previous handler. The tool's log labels are the only
// outside sign of some steps (an effect answer arriving, a scan ending), so tests wait on them.
// Lines may come from any thread; one watch at a time.
class LogWatch
{
public:
    explicit LogWatch(const QStringList& labels);
    ~LogWatch();

    // Debug lines and warnings seen so far that start with label (one of the
    // labels given).
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
