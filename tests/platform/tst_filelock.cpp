// The session lock: one holder at a time, free again once released, its file
// private, and never taken where its file cannot be made.

#include "platform/userfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using Platform::LockState;

class tst_FileLock : public QObject
{
    Q_OBJECT

private slots:
    void oneHolderAtATime()
    {
        QTemporaryDir dir;
        const std::string path = QFile::encodeName(dir.filePath("tool.lock")).toStdString();
        int first = -1;
        int second = -1;
        std::string why;
        QCOMPARE(Platform::lockFile(path, first, why), LockState::Held);
        QCOMPARE(Platform::lockFile(path, second, why), LockState::Busy);
        struct stat st = {};
        QVERIFY(::stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
        Platform::unlockFile(first);
        QCOMPARE(Platform::lockFile(path, second, why), LockState::Held);
        Platform::unlockFile(second);

        const std::string nowhere = QFile::encodeName(dir.filePath("gone/tool.lock")).toStdString();
        QCOMPARE(Platform::lockFile(nowhere, second, why), LockState::Failed);
        QVERIFY2(why.find(nowhere) != std::string::npos, why.c_str());
    }
};

QTEST_GUILESS_MAIN(tst_FileLock)
#include "tst_filelock.moc"
