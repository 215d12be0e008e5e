// The debugger output channel: the byte cut applied before writing, and that a write reaches
// standard error verbatim only when switched on (Windows: OutputDebugString, tests/windows).

#include "platform/debugchannel.h"

#include <QTemporaryFile>
#include <QtTest>

#include <unistd.h>

class tst_DebugChannel : public QObject
{
    Q_OBJECT

private slots:
    void cut() // at 4095 bytes; a two-byte character across the limit loses its second byte
    {
        const QByteArray a(4094, 'a');
        const QByteArray rows[][2] = { { a + 'a', a + 'a' }, { a + "ab", a + 'a' },
            { a + "\xC3\xA9", a + "\xC3" }, { QByteArray("a\0b", 3), QByteArray("a\0b", 3) } };
        for (const auto& row : rows)
            QCOMPARE(
                QByteArray::fromStdString(Platform::debugChannelCut(row[0].toStdString())), row[1]);
    }

    void write()
    {
        // What a write puts on standard error with the channel variable set to `setting`.
        const auto written = [](const char* setting, const char* text) {
            setting ? qputenv("PRISMARA_DEBUG_CHANNEL", setting)
                    : qunsetenv("PRISMARA_DEBUG_CHANNEL");
            QTemporaryFile file;
            file.open();
            std::fflush(stderr);
            const int saved = ::dup(STDERR_FILENO);
            ::dup2(file.handle(), STDERR_FILENO);
            Platform::debugChannelWrite(text);
            std::fflush(stderr);
            ::dup2(saved, STDERR_FILENO);
            ::close(saved);
            qunsetenv("PRISMARA_DEBUG_CHANNEL");
            return file.seek(0) ? file.readAll() : QByteArray("no file");
        };
        QCOMPARE(written(nullptr, "quiet"), QByteArray()); // off by default
        QCOMPARE(written("yes", "quiet"), QByteArray());
        // Device names come from the network: a percent sign is no format directive.
        QCOMPARE(written("1", "100% %s%n%x\n"), QByteArray("100% %s%n%x\n\n"));
        QCOMPARE(written("1", nullptr), QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_DebugChannel)
#include "tst_debugchannel.moc"
