// The token profile survives a writer killed at any moment: a helper process
// stores tokens in a loop and is killed with SIGKILL at a random point, 200
// times. After every kill the profile must still read cleanly and hold the 20
// tokens stored before the first run and every token any writer reported as
// stored, each with its own value. And what a killed writer leaves behind must
// not hold up the next write.

#include "service/tokenprofile.h"
#include "soak/tokenvalue.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSysInfo>
#include <QtTest>

namespace
{

constexpr int kKills = 200;
constexpr int kPreexisting = 20;
// Tokens a writer is asked for: more than it gets to before it is killed.
constexpr int kWriterCount = 100000;
// A writer that reports nothing for this long is stuck (a lock left behind by
// a killed one, say). A hang detector only.
constexpr int kStallMs = 20000;
// Kills land after 0 to this many completed writes, inside the next one.
constexpr int kMaxWritesBeforeKill = 6;

QString lockFileName()
{
    return TokenProfile::fileName() + QStringLiteral(".lock");
}

// A lock file that is there but empty: its writer was killed after creating it
// and before writing its process id into it.
bool emptyLockLeft()
{
    const QFileInfo lock(lockFileName());
    return lock.exists() && lock.size() == 0;
}

QString preexistingName(int i)
{
    return QStringLiteral("Light Panels 00:00:%1").arg(i, 2, 10, QLatin1Char('0'));
}

// Reads the writer's complete lines into lines; false once it stalled.
bool readLines(QProcess& writer, QByteArray& pending, QStringList& lines, int atLeast,
    const QDeadlineTimer& deadline)
{
    while (lines.size() < atLeast) {
        if (deadline.hasExpired() || writer.state() == QProcess::NotRunning)
            return false;
        writer.waitForReadyRead(static_cast<int>(qBound<qint64>(1, deadline.remainingTime(), 100)));
        pending += writer.readAllStandardOutput();
        int newline = -1;
        while ((newline = pending.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(pending.left(newline));
            pending.remove(0, newline + 1);
        }
    }
    return true;
}

} // namespace

class tst_TokenKill : public QObject
{
    Q_OBJECT

    QTemporaryDir home;

private slots:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        // The writers find the profile through XDG_CONFIG_HOME, this process
        // through the same folder set explicitly.
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
        QVERIFY(TokenProfile::fileName().startsWith(home.path()));
        for (int i = 0; i < kPreexisting; ++i)
            QVERIFY(TokenProfile::write(preexistingName(i), soakTokenFor(preexistingName(i))));
    }

    void killedWritersLoseNothing()
    {
        const quint32 seed = 20240611;
        QRandomGenerator random(seed);
        qInfo() << "seed" << seed;

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.path());

        QStringList stored; // every name a writer reported as stored
        int emptyLocks = 0;
        for (int run = 0; run < kKills; ++run) {
            QProcess writer;
            writer.setProcessEnvironment(env);
            writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            const QString prefix = QStringLiteral("Canvas run %1").arg(run);
            writer.start(PRISMARA_TOKENWRITER, { prefix, QString::number(kWriterCount) });
            QVERIFY2(writer.waitForStarted(10000), qPrintable(writer.errorString()));

            const int writesBeforeKill = static_cast<int>(random.bounded(kMaxWritesBeforeKill + 1));
            QByteArray pending;
            QStringList lines;
            const QDeadlineTimer deadline(kStallMs);
            QVERIFY2(readLines(writer, pending, lines, 1 + writesBeforeKill, deadline),
                qPrintable(QStringLiteral("run %1: writer stalled after %2")
                               .arg(run)
                               .arg(lines.join(" | "))));
            QCOMPARE(lines.first(), "FILE " + TokenProfile::fileName());

            writer.kill();
            QVERIFY(writer.waitForFinished(10000));
            // Killed, not finished: it was still writing.
            QCOMPARE(writer.exitStatus(), QProcess::CrashExit);

            // Everything it reported before it died counts as stored.
            pending += writer.readAllStandardOutput();
            for (const QByteArray& line : pending.split('\n'))
                if (!line.isEmpty())
                    lines << QString::fromUtf8(line);
            for (int i = 1; i < lines.size(); ++i) {
                QVERIFY2(lines[i].startsWith("W "), qPrintable(lines[i]));
                stored << prefix + "-" + lines[i].mid(2);
            }

            const QSettings profile(TokenProfile::fileName(), QSettings::IniFormat);
            QCOMPARE(profile.status(), QSettings::NoError);
            for (int i = 0; i < kPreexisting; ++i)
                QCOMPARE(TokenProfile::read(preexistingName(i)), soakTokenFor(preexistingName(i)));
            for (const QString& name : stored)
                QVERIFY2(profile.value(name).toString() == soakTokenFor(name),
                    qPrintable(QStringLiteral("run %1: %2 lost").arg(run).arg(name)));

            // Left for the next writer, which must not wait for it to age (the
            // stall detector above; writeNotHeldUpByAbandonedLock checks it alone).
            if (emptyLockLeft())
                ++emptyLocks;
        }

        // And the profile still takes writes.
        QVERIFY(TokenProfile::write("Light Panels after", "after"));
        QCOMPARE(TokenProfile::read("Light Panels after"), QString("after"));
        const QStringList leftovers = QDir(TokenProfile::directory())
                                          .entryList(QDir::Files | QDir::Hidden)
                                          .filter(QRegularExpression("^nanoleafInfo\\.ini."));
        qInfo() << stored.size() << "tokens stored by killed writers;" << emptyLocks
                << "empty lock files and" << leftovers.size()
                << "other files left beside the profile";
    }

    // What a killed writer can leave beside the profile, and what the next
    // token write (on the tool's service thread) must go past without waiting:
    // QSettings takes a lock file holding its owner's process id, host and
    // program; to take over a lock whose owner is gone it first takes a second,
    // removal lock. A writer killed after creating either file and before
    // writing its id into it leaves that file empty; nothing tells whose it is,
    // and on its own QSettings waits until it is 30 s old.
    void writeNotHeldUpByAbandonedLock_data()
    {
        QTest::addColumn<bool>("deadOwner"); // the lock names a process that is gone
        QTest::addColumn<bool>("emptyLock"); // the lock file is empty
        QTest::addColumn<bool>("emptyRemoval"); // an empty removal lock beside it

        QTest::newRow("lock of a writer that is gone") << true << false << false;
        QTest::newRow("empty lock") << false << true << false;
        QTest::newRow("lock of a writer that is gone, empty removal lock") << true << false << true;
    }

    void writeNotHeldUpByAbandonedLock()
    {
        QFETCH(bool, deadOwner);
        QFETCH(bool, emptyLock);
        QFETCH(bool, emptyRemoval);

        QByteArray lockText;
        if (deadOwner) {
            // A process id that was just in use and is free now.
            QProcess gone;
            gone.start(PRISMARA_TOKENWRITER, QStringList());
            QVERIFY(gone.waitForStarted(10000));
            const qint64 pid = gone.processId();
            QVERIFY(gone.waitForFinished(10000));
            lockText = QByteArray::number(pid) + "\n" PRISMARA_TOKENWRITER "\n"
                + QSysInfo::machineHostName().toLocal8Bit() + "\n";
        }
        QVERIFY(deadOwner != emptyLock);
        QFile lock(lockFileName());
        QVERIFY(lock.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(lock.write(lockText), qint64(lockText.size()));
        lock.close();
        QFile removal(lockFileName() + ".rmlock");
        if (emptyRemoval) {
            QVERIFY(removal.open(QIODevice::WriteOnly | QIODevice::Truncate));
            removal.close();
        }

        QProcess writer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.path());
        writer.setProcessEnvironment(env);
        writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        writer.start(
            PRISMARA_TOKENWRITER, { QStringLiteral("Light Panels after an abandoned lock"), "1" });
        QVERIFY2(writer.waitForStarted(10000), qPrintable(writer.errorString()));
        QByteArray pending;
        QStringList lines;
        // The hang detector is shorter than the locks' 30 s ageing on purpose.
        const bool wrote = readLines(writer, pending, lines, 2, QDeadlineTimer(kStallMs));
        if (!wrote) {
            writer.kill();
            writer.waitForFinished(10000);
        }
        QFile::remove(lockFileName());
        QFile::remove(lockFileName() + ".rmlock");
        QVERIFY2(wrote, "the token write waits for an abandoned lock file to age");
        QCOMPARE(lines.at(1), QString("W 0"));
        QVERIFY(writer.waitForFinished(10000));
        QCOMPARE(writer.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_TokenKill)
#include "tst_tokenkill.moc"
