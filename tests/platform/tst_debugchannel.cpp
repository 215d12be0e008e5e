// The debugger output channel: the byte cut applied before writing, and that a
// write reaches standard error verbatim only when the channel is switched on (on
// Windows it is OutputDebugString, checked under Wine by tests/windows).

#include "platform/debugchannel.h"

#include <QTemporaryFile>
#include <QtTest>

#include <unistd.h>

class tst_DebugChannel : public QObject
{
    Q_OBJECT

private slots:
    void cut_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short") << QByteArray("Peer: 127.0.0.2") << QByteArray("Peer: 127.0.0.2");
        QTest::newRow("exactly at the limit") << QByteArray(4095, 'a') << QByteArray(4095, 'a');
        QTest::newRow("one over") << (QByteArray(4095, 'a') + 'b') << QByteArray(4095, 'a');
        // A byte cut: the two-byte character across the limit loses its second byte.
        QTest::newRow("splits a character")
            << (QByteArray(4094, 'a') + "\xC3\xA9") << (QByteArray(4094, 'a') + "\xC3");
        QTest::newRow("embedded zero kept") << QByteArray("a\0b", 3) << QByteArray("a\0b", 3);
    }

    void cut()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        QCOMPARE(
            QByteArray::fromStdString(Platform::debugChannelCut(text.toStdString())), expected);
    }

    void write_data()
    {
        QTest::addColumn<QByteArray>("setting"); // empty: the variable left out
        QTest::addColumn<QByteArray>("text"); // null: a null pointer
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("off by default") << QByteArray() << QByteArray("quiet") << QByteArray();
        QTest::newRow("other value") << QByteArray("yes") << QByteArray("quiet") << QByteArray();
        // Device names come from the network: a percent sign is no format directive.
        QTest::newRow("switched on, verbatim")
            << QByteArray("1") << QByteArray("100% %s%n%x\n") << QByteArray("100% %s%n%x\n\n");
        QTest::newRow("null text") << QByteArray("1") << QByteArray() << QByteArray();
    }

    void write()
    {
        QFETCH(QByteArray, setting);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, expected);
        if (setting.isEmpty())
            qunsetenv("PRISMARA_DEBUG_CHANNEL");
        else
            qputenv("PRISMARA_DEBUG_CHANNEL", setting);
        QTemporaryFile file;
        QVERIFY(file.open());
        std::fflush(stderr);
        const int saved = ::dup(STDERR_FILENO);
        ::dup2(file.handle(), STDERR_FILENO);
        Platform::debugChannelWrite(text.isNull() ? nullptr : text.constData());
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        qunsetenv("PRISMARA_DEBUG_CHANNEL");
        file.seek(0);
        QCOMPARE(file.readAll(), expected);
    }
};

QTEST_GUILESS_MAIN(tst_DebugChannel)
#include "tst_debugchannel.moc"
