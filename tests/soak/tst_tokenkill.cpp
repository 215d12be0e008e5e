// The token profile survives a writer killed at any moment: a helper process
// stores tokens in a loop and is killed with SIGKILL at a random point, again and
// again. After every kill the profile must still read cleanly and hold the tokens
// stored before the first run and every token any writer reported as stored, each
// with its own value. And what a killed writer leaves behind must not hold up the
// next write.

#include "service/tokenprofile.h"
#include "soak/tokenvalue.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSysInfo>
#include <QtTest>

#include <memory>

namespace
{

constexpr int kKills = 100;
constexpr int kPreexisting = 20;

QString lockFileName()
{
    return TokenProfile::fileName() + QStringLiteral(".lock");
}

QString preexistingName(int i)
{
    return QStringLiteral("Light Panels 00:00:%1").arg(i, 2, 10, QLatin1Char('0'));
}

} // namespace

class tst_TokenKill : public QObject
{
    Q_OBJECT

    QTemporaryDir home;

    // soak-tokenwriter PREFIX COUNT with this test's profile folder.
    std::unique_ptr<QProcess> startWriter(const QStringList& arguments)
    {
        auto writer = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.path());
        writer->setProcessEnvironment(env);
        writer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        writer->start(PRISMARA_TOKENWRITER, arguments);
        return writer;
    }

    // Reads the writer's lines until there are atLeast; false when it stalls for
    // 20 s (a lock left behind by a killed one, say) or ends first.
    static bool readLines(QProcess& writer, QStringList& lines, int atLeast)
    {
        const QDeadlineTimer deadline(20000);
        while (lines.size() < atLeast) {
            if (deadline.hasExpired() || writer.state() == QProcess::NotRunning)
                return false;
            writer.waitForReadyRead(100);
            while (writer.canReadLine())
                lines << QString::fromUtf8(writer.readLine()).trimmed();
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        // The writers find the profile through XDG_CONFIG_HOME, this process
        // through the same folder set explicitly.
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
        for (int i = 0; i < kPreexisting; ++i)
            QVERIFY(TokenProfile::write(preexistingName(i), soakTokenFor(preexistingName(i))));
    }

    void killedWritersLoseNothing()
    {
        QRandomGenerator random(20240611);
        QStringList stored; // every name a writer reported as stored
        for (int run = 0; run < kKills; ++run) {
            const QString prefix = QStringLiteral("Canvas run %1").arg(run);
            const auto writer = startWriter({ prefix, "100000" });
            // Killed after 0 to 6 completed writes, inside the next one.
            QStringList lines;
            QVERIFY2(readLines(*writer, lines, 1 + int(random.bounded(7))),
                qPrintable(
                    QString("run %1: writer stalled after %2").arg(run).arg(lines.join(" | "))));
            QCOMPARE(lines.first(), "FILE " + TokenProfile::fileName());
            writer->kill();
            QVERIFY(writer->waitForFinished(10000));
            QCOMPARE(writer->exitStatus(), QProcess::CrashExit);

            // Everything it reported before it died counts as stored.
            for (const QByteArray& line : writer->readAllStandardOutput().split('\n'))
                if (!line.isEmpty())
                    lines << QString::fromUtf8(line);
            for (const QString& line : lines.mid(1)) {
                QVERIFY2(line.startsWith("W "), qPrintable(line));
                stored << prefix + "-" + line.mid(2);
            }
            const QSettings profile(TokenProfile::fileName(), QSettings::IniFormat);
            QCOMPARE(profile.status(), QSettings::NoError);
            for (int i = 0; i < kPreexisting; ++i)
                QCOMPARE(TokenProfile::read(preexistingName(i)), soakTokenFor(preexistingName(i)));
            for (const QString& name : stored)
                QVERIFY2(profile.value(name).toString() == soakTokenFor(name),
                    qPrintable(QString("run %1: %2 lost").arg(run).arg(name)));
        }
        QVERIFY(TokenProfile::write("Light Panels after", "after"));
        QCOMPARE(TokenProfile::read("Light Panels after"), QString("after"));
    }

    // What a killed writer can leave beside the profile, and what the next
    // token write must go past without waiting: QSettings takes a lock file
    // holding its owner's process id, host and program; to take over a lock whose
    // owner is gone it first takes a second, removal lock. A writer killed after
    // creating either file and before writing its id into it leaves that file
    // empty; nothing tells whose it is, and on its own QSettings waits until it is
    // 30 s old (longer than readLines waits).
    void writeNotHeldUpByAbandonedLock_data()
    {
        QTest::addColumn<bool>("deadOwner"); // the lock names a process that is gone, or is empty
        QTest::addColumn<bool>("emptyRemoval"); // an empty removal lock beside it
        QTest::newRow("lock of a writer that is gone") << true << false;
        QTest::newRow("empty lock") << false << false;
        QTest::newRow("lock of a writer that is gone, empty removal lock") << true << true;
    }

    void writeNotHeldUpByAbandonedLock()
    {
        QFETCH(bool, deadOwner);
        QFETCH(bool, emptyRemoval);
        QByteArray lockText;
        if (deadOwner) {
            // A process id that was just in use and is free now.
            const auto gone = startWriter({});
            QVERIFY(gone->waitForStarted(10000));
            const qint64 pid = gone->processId();
            QVERIFY(gone->waitForFinished(10000));
            lockText = QByteArray::number(pid) + "\n" PRISMARA_TOKENWRITER "\n"
                + QSysInfo::machineHostName().toLocal8Bit() + "\n";
        }
        QFile lock(lockFileName());
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(lock.write(lockText), qint64(lockText.size()));
        lock.close();
        QFile removal(lockFileName() + ".rmlock");
        QVERIFY(!emptyRemoval || removal.open(QIODevice::WriteOnly | QIODevice::Truncate));
        removal.close();

        const auto writer = startWriter({ "Light Panels after an abandoned lock", "1" });
        QStringList lines;
        const bool wrote = readLines(*writer, lines, 2);
        if (!wrote)
            writer->kill();
        QFile::remove(lockFileName());
        QFile::remove(lockFileName() + ".rmlock");
        QVERIFY2(wrote, "the token write waits for an abandoned lock file to age");
        QCOMPARE(lines.at(1), QString("W 0"));
        QVERIFY(writer->waitForFinished(10000));
        QCOMPARE(writer->exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_TokenKill)
#include "tst_tokenkill.moc"
