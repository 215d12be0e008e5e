#include "tests/common/logwatch.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QSignalSpy>

#include <atomic>

namespace
{
std::atomic<LogWatch*> current { nullptr };
std::atomic<QtMessageHandler> forward { nullptr };
} // namespace

LogWatch::LogWatch(const QStringList& labels)
    : watched(labels)
{
    current.store(this);
    previous = qInstallMessageHandler(&LogWatch::handle);
    forward.store(previous);
}

LogWatch::~LogWatch()
{
    qInstallMessageHandler(previous);
    current.store(nullptr);
}

void LogWatch::handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    LogWatch* watch = current.load();
    if (watch == nullptr || type != QtDebugMsg) {
        if (const QtMessageHandler next = forward.load())
            next(type, context, text);
        return;
    }
    bool hit = false;
    {
        QMutexLocker lock(&watch->mutex);
        for (const QString& label : watch->watched)
            if (text.startsWith(label)) {
                ++watch->counts[label];
                hit = true;
            }
        watch->ring.append(text);
        if (watch->ring.size() > 200)
            watch->ring.removeFirst();
    }
    if (hit)
        QMetaObject::invokeMethod(
            watch, [watch] { emit watch->matched(); }, Qt::QueuedConnection);
}

int LogWatch::count(const QString& label) const
{
    QMutexLocker lock(&mutex);
    return counts.value(label);
}

bool LogWatch::waitFor(const QString& label, int n, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (count(label) < n) {
        QSignalSpy spy(this, SIGNAL(matched()));
        if (deadline.hasExpired())
            return false;
        if (count(label) < n)
            spy.wait(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

QStringList LogWatch::recent() const
{
    QMutexLocker lock(&mutex);
    return ring;
}
