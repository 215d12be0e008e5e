// The debugger output channel: the byte cut applied before writing, and (on Linux)
// that a write reaches standard error verbatim only when the channel is switched on.

#include "platform/debugchannel.h"

#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <unistd.h>
#endif

class tst_DebugChannel : public QObject
{
    Q_OBJECT

private slots:
    void cut_data();
    void cut();
    void write_data();
    void write();

private:
    QByteArray captureStandardError(const char* text);
};

void tst_DebugChannel::cut_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("short") << QByteArray("Peer: 127.0.0.2") << QByteArray("Peer: 127.0.0.2");
    QTest::newRow("exactly at the limit") << QByteArray(4095, 'a') << QByteArray(4095, 'a');
    QTest::newRow("one over") << (QByteArray(4095, 'a') + 'b') << QByteArray(4095, 'a');
    QTest::newRow("far over") << QByteArray(20000, 'c') << QByteArray(4095, 'c');
    // A byte cut: the two-byte character across the limit loses its second byte.
    QTest::newRow("splits a character")
        << (QByteArray(4094, 'a') + "\xC3\xA9") << (QByteArray(4094, 'a') + "\xC3");
    QTest::newRow("embedded zero kept") << QByteArray("a\0b", 3) << QByteArray("a\0b", 3);
}

void tst_DebugChannel::cut()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    const std::string result = Platform::debugChannelCut(text.toStdString());
    QCOMPARE(QByteArray::fromStdString(result), expected);
}

void tst_DebugChannel::write_data()
{
    QTest::addColumn<QByteArray>("setting"); // "<unset>" leaves the variable out
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("off by default") << QByteArray("<unset>") << QByteArray("quiet") << QByteArray();
    QTest::newRow("switched off") << QByteArray("0") << QByteArray("quiet") << QByteArray();
    QTest::newRow("other value") << QByteArray("yes") << QByteArray("quiet") << QByteArray();
    QTest::newRow("switched on") << QByteArray("1") << QByteArray("find nanoleaf Device ip is \n")
                                 << QByteArray("find nanoleaf Device ip is \n\n");
    // Device names come from the network: a percent sign must reach the channel as
    // it is, never be read as a format directive.
    QTest::newRow("percent signs verbatim")
        << QByteArray("1") << QByteArray("100% %s%n%x") << QByteArray("100% %s%n%x\n");
    QTest::newRow("empty text") << QByteArray("1") << QByteArray("") << QByteArray("\n");
    QTest::newRow("null text") << QByteArray("1") << QByteArray() << QByteArray();
}

void tst_DebugChannel::write()
{
#ifdef _WIN32
    QSKIP("The channel is OutputDebugStringW on Windows; nothing to capture here.");
#else
    QFETCH(QByteArray, setting);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);

    if (setting == "<unset>")
        qunsetenv("PRISMARA_DEBUG_CHANNEL");
    else
        qputenv("PRISMARA_DEBUG_CHANNEL", setting);
    const QByteArray written = captureStandardError(text.isNull() ? nullptr : text.constData());
    qunsetenv("PRISMARA_DEBUG_CHANNEL");
    QCOMPARE(written, expected);
#endif
}

QByteArray tst_DebugChannel::captureStandardError(const char* text)
{
#ifdef _WIN32
    Q_UNUSED(text);
    return QByteArray();
#else
    QTemporaryFile file;
    if (!file.open())
        return QByteArray("<no temporary file>");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file.handle(), STDERR_FILENO);
    Platform::debugChannelWrite(text);
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    file.seek(0);
    return file.readAll();
#endif
}

QTEST_GUILESS_MAIN(tst_DebugChannel)
#include "tst_debugchannel.moc"
