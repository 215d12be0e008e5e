// cmake --install into a scratch DESTDIR: the programs, the window images beside the tool,
// the desktop entries, the systemd user unit and the man page; the installed tool, started
// through a link as the package's /usr/bin link starts it, loads the installed Image/ folder.

#include <QDirIterator>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class tst_Install : public QObject
{
    Q_OBJECT

    QTemporaryDir destDir;
    QString root; // the install prefix inside destDir

    // The lines of a text file ("missing: " and its path when it cannot be read).
    static QStringList lines(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n')
                                              : QStringList { "missing: " + path };
    }

    // unit: a systemd user unit that starts, with the session, the tool installed
    // under top (at the unit's path below it) hidden and resuming.
    static void checkUnit(const QStringList& unit, const QString& top)
    {
        QVERIFY2(unit.contains("WantedBy=graphical-session.target"), qPrintable(unit.join('\n')));
        const QStringList exec = unit.filter(QRegularExpression("^ExecStart="));
        QCOMPARE(exec.size(), 1);
        const QStringList command = exec.first().mid(int(strlen("ExecStart="))).split(' ');
        const QString installed
            = PRISMARA_PACKAGE_PREFIX "/" PRISMARA_INSTALL_BINDIR "/prismara-nanoleaf-tool";
        QCOMPARE(command, (QStringList { installed, "--hidden", "--resume" }));
        const QFileInfo tool(top + command.first());
        QVERIFY2(tool.isFile() && tool.isExecutable(), qPrintable(tool.filePath()));
    }

    QString binDir() const { return root + "/" PRISMARA_INSTALL_BINDIR; }
    QString dataDir() const { return root + "/" PRISMARA_INSTALL_DATADIR; }

private slots:
    void initTestCase()
    {
        QVERIFY(destDir.isValid());
        QProcess install;
        qputenv("DESTDIR", QFile::encodeName(destDir.path())); // inherited by every child
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(PRISMARA_CMAKE_COMMAND,
            { "--install", PRISMARA_BUILD_DIR, "--prefix", PRISMARA_PACKAGE_PREFIX });
        QVERIFY2(install.waitForFinished(90000) && install.exitCode() == 0,
            install.readAll().constData());
        root = destDir.path() + PRISMARA_PACKAGE_PREFIX;
        QDirIterator it(destDir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) // nothing lands outside the prefix (no root needed)
            QVERIFY2(it.next().startsWith(root + "/"), qPrintable(it.filePath()));
    }

    // The programs, and every image drawn into the build's bin/Image/, decoding as drawn.
    void files_data()
    {
        QTest::addColumn<QString>("path"); // $BIN, $DATA: the installed folders
        QTest::addColumn<QSize>("size"); // of an image; empty: a program
        for (const QString& name : QString(PRISMARA_INSTALLED_PROGRAMS).split(','))
            QTest::newRow(qPrintable(name)) << "$BIN/" + name << QSize();
        const QDir drawn(PRISMARA_BUILD_DIR "/bin/Image");
        QVERIFY(drawn.exists("background.png"));
        for (const QString& image : drawn.entryList(QDir::Files))
            QTest::newRow(qPrintable(image))
                << "$BIN/Image/" + image << QImageReader(drawn.filePath(image)).size();
        QTest::newRow("icon") << "$DATA/icons/hicolor/256x256/apps/prismara-nanoleaf-tool.png"
                              << QSize(256, 256);
    }

    void files()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QFileInfo file(path.replace("$BIN", binDir()).replace("$DATA", dataDir()));
        QVERIFY2(file.isFile() && !file.isSymLink(), qPrintable(path));
        if (size.isEmpty()) {
            QVERIFY(file.isExecutable());
            return;
        }
        QImageReader reader(path);
        QCOMPARE(reader.read().size(), size);
        QVERIFY(!path.endsWith(".gif")
            || (reader.supportsAnimation() && reader.imageCount() >= 8
                && reader.loopCount() == -1));
    }

    // The menu entry starts the tool; the session's autostart entry and the systemd user
    // unit start the installed one hidden, resuming; the man page is written from --help,
    // which lists every option and setting (tst_desktop).
    void textFiles()
    {
        const QStringList menu = lines(dataDir() + "/applications/prismara-nanoleaf-tool.desktop");
        for (const char* line :
            { "[Desktop Entry]", "Type=Application", "Name=Prismara Nanoleaf Tool",
                "Exec=prismara-nanoleaf-tool", "Icon=prismara-nanoleaf-tool" })
            QVERIFY2(menu.contains(line), qPrintable(menu.join('\n')));
        QCOMPARE(menu.filter(QRegularExpression("^Categories=(.*;)?Utility;")).size(), 1);
        const QStringList autostart
            = lines(dataDir() + "/prismara-nanoleaf-tool/autostart/prismara-nanoleaf-tool.desktop");
        for (const char* line :
            { "Type=Application", "Exec=prismara-nanoleaf-tool --hidden --resume" })
            QVERIFY2(autostart.contains(line), qPrintable(autostart.join('\n')));
        checkUnit(
            lines(dataDir() + "/systemd/user/prismara-nanoleaf-tool.service"), destDir.path());

        if (QString(PRISMARA_MAN_PAGE).isEmpty())
            QSKIP("built without help2man");
        QProcess unzip;
        unzip.start("gzip", { "-dc", dataDir() + "/man/man1/prismara-nanoleaf-tool.1.gz" });
        QVERIFY(unzip.waitForFinished(20000) && unzip.exitCode() == 0);
        const QByteArray page = unzip.readAllStandardOutput();
        QVERIFY2(page.contains(".SH OPTIONS") && page.contains(".SH FILES")
                && page.contains("\\-\\-listen\\-address"),
            page.constData());
    }

    // In the package the unit is a file of its own in /usr/lib/systemd/user (a link
    // there would make it a "linked" unit), naming the packaged tool.
    void packageHoldsTheUserUnit()
    {
        if (QStandardPaths::findExecutable("dpkg-deb").isEmpty()
            || QStandardPaths::findExecutable("dpkg-shlibdeps").isEmpty())
            QSKIP("no dpkg-deb and dpkg-shlibdeps to build the package with");
        QTemporaryDir out;
        QProcess cpack;
        cpack.setWorkingDirectory(PRISMARA_BUILD_DIR);
        cpack.setProcessChannelMode(QProcess::MergedChannels);
        cpack.start(PRISMARA_CPACK_COMMAND,
            { "--config", PRISMARA_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", out.path() });
        QVERIFY2(
            cpack.waitForFinished(100000) && cpack.exitCode() == 0, cpack.readAll().constData());
        const QStringList packages = QDir(out.path()).entryList({ "*.deb" });
        QCOMPARE(packages.size(), 1);
        QProcess unpack;
        unpack.start("dpkg-deb", { "-x", out.filePath(packages.first()), out.filePath("root") });
        QVERIFY(unpack.waitForFinished(30000) && unpack.exitCode() == 0);
        const QFileInfo unit(
            out.filePath("root/usr/lib/systemd/user/prismara-nanoleaf-tool.service"));
        QVERIFY2(unit.isFile() && !unit.isSymLink(), qPrintable(unit.filePath()));
        checkUnit(lines(unit.filePath()), out.filePath("root"));
    }

    // Through the /usr/bin link the tool must still take the installed bin/ as its folder.
    void toolStartedThroughLinkUsesInstalledImages()
    {
        QVERIFY(QDir().mkpath(destDir.path() + "/usr/bin"));
        const QString link = destDir.path() + "/usr/bin/prismara-nanoleaf-tool";
        QVERIFY(QFile::link(binDir() + "/prismara-nanoleaf-tool", link));
        QProcess tool;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("PRISMARA_HOST_SOCKET", QFile::encodeName(destDir.path() + "/host.socket"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(destDir.path() + "/config"));
        tool.start(link, QStringList { "--verbose" });
        QVERIFY2(tool.waitForStarted(10000), qPrintable(tool.errorString()));
        QByteArray log; // the window's first log line names its image folder
        QTRY_VERIFY_WITH_TIMEOUT((log += tool.readAllStandardError()).contains("applicationDirPath")
                || tool.state() != QProcess::Running,
            30000);
        const QRegularExpressionMatch match
            = QRegularExpression("applicationDirPath \"([^\"]*)\"").match(QString::fromUtf8(log));
        QVERIFY2(match.hasMatch(), log.constData());
        QCOMPARE(QFileInfo(match.captured(1)).canonicalFilePath(),
            QFileInfo(binDir()).canonicalFilePath());
        tool.terminate();
        QVERIFY(tool.waitForFinished(20000));
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
