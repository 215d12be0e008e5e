// cmake --install into a scratch DESTDIR gives the programs, the window images beside the
// tool (each decoding at its size), the desktop entry and its icon, the autostart entry, the
// systemd user unit naming the installed tool, and the man page of every option; the installed
// tool, started through a link as the package's /usr/bin link starts it, loads the installed
// Image/ folder. The Debian package holds the unit where the user manager looks for it.

#include "app/tooloptions.h"

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

    // unit: a systemd user unit that starts, with the session, the tool installed
    // under top (at the unit's path below it) hidden and resuming.
    static void checkUnit(const QString& unit, const QString& top)
    {
        const QStringList lines = unit.split('\n');
        QVERIFY(lines.contains("WantedBy=graphical-session.target"));
        const QStringList exec = lines.filter(QRegularExpression("^ExecStart="));
        QCOMPARE(exec.size(), 1);
        const QStringList command = exec.first().mid(int(strlen("ExecStart="))).split(' ');
        QCOMPARE(command.mid(1), (QStringList { "--hidden", "--resume" }));
        QCOMPARE(command.first(),
            PRISMARA_PACKAGE_PREFIX "/" PRISMARA_INSTALL_BINDIR "/prismara-nanoleaf-tool");
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

    void files_data()
    {
        QTest::addColumn<QString>("path"); // $BIN, $DATA: the installed folders
        QTest::addColumn<QSize>("size"); // of an image; empty: a program
        for (const QString& name : QString(PRISMARA_INSTALLED_PROGRAMS).split(','))
            QTest::newRow(qPrintable(name)) << "$BIN/" + name << QSize();
        for (const QString& image : QString(
                 "background.png 400x600, title.png 400x30, LOGO.png "
                 "130x21, Button.png 80x40, Button_H.png 80x40, btn_min.png 22x22, btn_close.png "
                 "22x22, Spin-1s-45px.gif 45x45, Prismara BUTTON.png 160x55, Prismara BUTTON-2.png "
                 "160x55, Zel Halvi.png 160x55, Zel Halvi-2.png 160x55, Zel Norrin.png 160x55, Zel "
                 "Norrin-2.png 160x55, Stelvar.png 160x55, Stelvar-2.png 160x55")
                                        .split(", ")) {
            const QStringList size = image.section(' ', -1).split('x');
            QTest::newRow(qPrintable(image)) << "$BIN/Image/" + image.section(' ', 0, -2)
                                             << QSize(size[0].toInt(), size[1].toInt());
        }
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

    void desktopEntryStartsTheTool()
    {
        QFile file(dataDir() + "/applications/prismara-nanoleaf-tool.desktop");
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        const QString entry = QString::fromUtf8(file.readAll());
        for (const char* line :
            { "[Desktop Entry]", "Type=Application", "Name=Prismara Nanoleaf Tool",
                "Exec=prismara-nanoleaf-tool", "Icon=prismara-nanoleaf-tool" })
            QVERIFY2(entry.split('\n').contains(line), qPrintable(line));
        QVERIFY(entry.contains(QRegularExpression("\nCategories=([^\n]*;)?Utility;")));
    }

    void autostartEntryStartsHidden()
    {
        QFile file(dataDir() + "/prismara-nanoleaf-tool/autostart/prismara-nanoleaf-tool.desktop");
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        const QStringList entry = QString::fromUtf8(file.readAll()).split('\n');
        QVERIFY(entry.contains("Exec=prismara-nanoleaf-tool --hidden --resume"));
        QVERIFY(entry.contains("Type=Application"));
    }

    // The unit runs the tool this install put in place, hidden and resuming.
    void userUnitNamesTheInstalledTool()
    {
        QFile file(dataDir() + "/systemd/user/prismara-nanoleaf-tool.service");
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        checkUnit(QString::fromUtf8(file.readAll()), destDir.path());
    }

    void manPageHasEveryOption()
    {
        if (QString(PRISMARA_MAN_PAGE).isEmpty())
            QSKIP("built without help2man");
        QProcess unzip;
        unzip.start("gzip", { "-dc", dataDir() + "/man/man1/prismara-nanoleaf-tool.1.gz" });
        QVERIFY(unzip.waitForFinished(20000) && unzip.exitCode() == 0);
        const QByteArray page = unzip.readAllStandardOutput();
        QVERIFY2(page.contains(".SH OPTIONS") && page.contains(".SH FILES"), page.constData());
        for (const ToolOption& option : toolOptions())
            QVERIFY2(page.contains("\\-\\-" + QByteArray(option.name).replace("-", "\\-")),
                option.name); // man escapes every dash
        for (const ToolSetting& setting : toolSettings())
            QVERIFY2(page.contains(QByteArray(setting.key) + '=' + setting.valueName), setting.key);
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
        QFile file(unit.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        checkUnit(QString::fromUtf8(file.readAll()), out.filePath("root"));
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
        tool.terminate(); // SIGTERM ends it cleanly
        QVERIFY(tool.waitForFinished(20000));
        QCOMPARE(tool.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
