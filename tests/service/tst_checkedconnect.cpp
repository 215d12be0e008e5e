// checkedConnect: what Qt refuses ends the process (checked in a child run of this program),
// whatever the build type. That it connects what Qt accepts, every test using it shows.

#include "service/checkedconnect.h"

#include <QProcess>
#include <QtTest>

class tst_CheckedConnect : public QObject
{
    Q_OBJECT

signals:
    void fired(int value);
    void relayed(int value);

private slots:
    // Qt refuses every bad pair the same way; an argument mismatch stands for them all.
    void refusedConnectionEndsTheProcess()
    {
        const QByteArray signal = SIGNAL(fired(int));
        const QByteArray method = SIGNAL(relayed(QString));
        if (qEnvironmentVariableIsSet("PRISMARA_CHECKEDCONNECT_CHILD")) {
            checkedConnect(this, signal.constData(), this, method.constData());
            return; // reached only when the refusal went unnoticed: the parent sees a clean exit
        }
        QProcess child;
        qputenv("PRISMARA_CHECKEDCONNECT_CHILD", "1");
        child.setProcessChannelMode(QProcess::MergedChannels); // Qt Test logs the qFatal on stdout
        child.start(QCoreApplication::applicationFilePath(), { "refusedConnectionEndsTheProcess" });
        qunsetenv("PRISMARA_CHECKEDCONNECT_CHILD");
        QVERIFY(child.waitForFinished(30000) && child.exitStatus() == QProcess::CrashExit);
        const QByteArray output = child.readAll();
        QVERIFY2(output.contains("could not connect " + signal.mid(1) + " to " + method.mid(1)),
            output.constData());
    }
};

QTEST_GUILESS_MAIN(tst_CheckedConnect)
#include "tst_checkedconnect.moc"
