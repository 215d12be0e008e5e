// The session lock: one holder at a time, free again once released, never taken
// through a link or where its file cannot be made, and its file private.

#include "platform/userfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Platform::LockState;

Q_DECLARE_METATYPE(Platform::LockState)

class tst_FileLock : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    LockState lock(const QString& path, int& descriptor, std::string& why)
    {
        return Platform::lockFile(QFile::encodeName(path).toStdString(), descriptor, why);
    }

private slots:
    void oneHolderAtATime()
    {
        const QString path = dir.filePath("tool.lock");
        int first = -1;
        int second = -1;
        std::string why;
        QCOMPARE(lock(path, first, why), LockState::Held);
        QVERIFY(first >= 0);
        QCOMPARE(lock(path, second, why), LockState::Busy);
        QCOMPARE(second, -1);
        struct stat st = {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        Platform::unlockFile(first);
        QCOMPARE(lock(path, second, why), LockState::Held);
        Platform::unlockFile(second);
    }

    void notTakenWhereItCannotBeMade_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("link");
        QTest::newRow("missing folder") << "missing/tool.lock" << false;
        QTest::newRow("link to a file") << "link.lock" << true;
    }

    void notTakenWhereItCannotBeMade()
    {
        QFETCH(QString, path);
        QFETCH(bool, link);
        if (link)
            QVERIFY(QFile::link(dir.filePath("target"), dir.filePath(path)));
        int descriptor = -1;
        std::string why;
        QCOMPARE(lock(dir.filePath(path), descriptor, why), LockState::Failed);
        QCOMPARE(descriptor, -1);
        QVERIFY2(QString::fromStdString(why).contains(dir.filePath(path)), why.c_str());
        QVERIFY(!QFile::exists(dir.filePath("target"))); // nothing made through the link
    }
};

QTEST_GUILESS_MAIN(tst_FileLock)
#include "tst_filelock.moc"
