#include "tests/common/logwatch.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSignalSpy>

#include <atomic>

namespace
{

constexpr int kRingLines = 200;

std::atomic<LogWatch*> current { nullptr };
std::atomic<QtMessageHandler> forward { nullptr };

} // namespace

LogWatch::LogWatch(const QStringList& labels, QObject* parent)
    : QObject(parent)
    , watched(labels)
{
    LogWatch* expected = nullptr;
    const bool first = current.compare_exchange_strong(expected, this);
    Q_ASSERT_X(first, "LogWatch", "only one watch at a time");
    Q_UNUSED(first);
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
    if (watch && type == QtDebugMsg) {
        watch->take(text);
        return;
    }
    if (const QtMessageHandler next = forward.load())
        next(type, context, text);
}

void LogWatch::take(const QString& text)
{
    bool hit = false;
    {
        QMutexLocker lock(&mutex);
        for (const QString& label : watched) {
            if (text.startsWith(label)) {
                ++counts[label];
                hit = true;
            }
        }
        ring.append(text);
        if (ring.size() > kRingLines)
            ring.removeFirst();
    }
    if (hit)
        QMetaObject::invokeMethod(
            this, [this] { emit matched(); }, Qt::QueuedConnection);
}

int LogWatch::count(const QString& label) const
{
    QMutexLocker lock(&mutex);
    return counts.value(label);
}

bool LogWatch::waitFor(const QString& label, int n, int timeoutMs)
{
    Q_ASSERT(watched.contains(label));
    const QDeadlineTimer deadline(timeoutMs);
    while (count(label) < n) {
        if (deadline.hasExpired())
            return false;
        QSignalSpy spy(this, SIGNAL(matched()));
        if (count(label) >= n)
            break;
        spy.wait(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

QStringList LogWatch::recent() const
{
    QMutexLocker lock(&mutex);
    return ring;
}
