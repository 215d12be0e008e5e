#include "tests/common/logwatch.h"

#include <QMutexLocker>
#include <QTest>

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
    if (watch != nullptr && (type == QtDebugMsg || type == QtWarningMsg)) {
        QMutexLocker lock(&watch->mutex);
        for (const QString& label : watch->watched)
            if (text.startsWith(label))
                ++watch->counts[label];
        if (type == QtDebugMsg) {
            watch->ring.append(text);
            if (watch->ring.size() > 200)
                watch->ring.removeFirst();
            return;
        }
    }
    if (const QtMessageHandler next = forward.load())
        next(type, context, text);
}

int LogWatch::count(const QString& label) const
{
    QMutexLocker lock(&mutex);
    return counts.value(label);
}

bool LogWatch::waitFor(const QString& label, int n, int timeoutMs)
{
    const bool seen = QTest::qWaitFor([&] { return count(label) >= n; }, timeoutMs);
    // What the logging thread posted to this one before the line is handled too.
    QCoreApplication::processEvents();
    return seen;
}

QStringList LogWatch::recent() const
{
    QMutexLocker lock(&mutex);
    return ring;
}
