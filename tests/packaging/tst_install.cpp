// The install layout: this build installed with cmake --install into a scratch
// DESTDIR under the package prefix must give the programs, the window images
// beside the tool, the desktop entry and its icon; and the installed tool, started
// through a link the way the package's /usr/bin link starts it, must look for its
// images in the installed Image/ folder.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QString kPrefix = QStringLiteral(PRISMARA_PACKAGE_PREFIX);
const QString kToolName = QStringLiteral("prismara-nanoleaf-tool");

// Every image file the window and its two views load (relative to Image/).
const QStringList kWindowImages = { "background.png", "title.png", "LOGO.png", "Button.png",
    "Button_H.png", "btn_min.png", "btn_close.png", "Spin-1s-45px.gif", "Prismara BUTTON.png",
    "Prismara BUTTON-2.png", "Zel Halvi.png", "Zel Halvi-2.png", "Zel Norrin.png",
    "Zel Norrin-2.png", "Stelvar.png", "Stelvar-2.png" };

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The keys of the [Desktop Entry] group. Not QSettings: its INI reader takes ';'
// (the list separator of Categories) for the start of a comment.
QMap<QString, QString> desktopEntry(const QString& path)
{
    QMap<QString, QString> entry;
    const QStringList lines = QString::fromUtf8(contentsOf(path)).split('\n');
    bool inGroup = false;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const int equals = line.indexOf('=');
        if (inGroup && equals > 0)
            entry.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return entry;
}

} // namespace

class tst_Install : public QObject
{
    Q_OBJECT

    QTemporaryDir destDir;
    QString root; // the install prefix inside destDir

    QString binDir() const { return root + "/" PRISMARA_INSTALL_BINDIR; }
    QString dataDir() const { return root + "/" PRISMARA_INSTALL_DATADIR; }

private slots:
    void initTestCase()
    {
        QVERIFY(destDir.isValid());
        QProcess install;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", destDir.path());
        install.setProcessEnvironment(env);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(
            PRISMARA_CMAKE_COMMAND, { "--install", PRISMARA_BUILD_DIR, "--prefix", kPrefix });
        QVERIFY2(install.waitForFinished(90000), "cmake --install did not finish");
        const QByteArray output = install.readAll();
        QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
            output.constData());
        root = destDir.path() + kPrefix;
    }

    // Nothing lands outside the prefix: a plain install must not need root.
    void everythingStaysUnderThePrefix()
    {
        QDirIterator it(destDir.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
            QDirIterator::Subdirectories);
        QStringList outside;
        int files = 0;
        while (it.hasNext()) {
            const QString path = it.next();
            if (!it.fileInfo().isDir())
                ++files;
            if (!(path + "/").startsWith(root + "/") && !(root + "/").startsWith(path + "/"))
                outside << path;
        }
        QVERIFY2(outside.isEmpty(), qPrintable(outside.join(", ")));
        QVERIFY(files > kWindowImages.size());
    }

    void programs_data()
    {
        QTest::addColumn<QString>("name");
        const QStringList names
            = QString::fromLatin1(PRISMARA_INSTALLED_PROGRAMS).split(',', Qt::SkipEmptyParts);
        QVERIFY(names.contains(kToolName));
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << name;
    }

    void programs()
    {
        QFETCH(QString, name);
        const QFileInfo program(binDir() + "/" + name);
        QVERIFY2(program.isFile(), qPrintable(program.filePath()));
        QVERIFY(!program.isSymLink());
        QVERIFY(program.isExecutable());
    }

    // The images lie beside the tool, byte for byte the ones the build drew.
    void windowImages_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString& name : kWindowImages)
            QTest::newRow(qPrintable(name)) << name;
    }

    void windowImages()
    {
        QFETCH(QString, name);
        const QString installed = binDir() + "/Image/" + name;
        QVERIFY2(QFileInfo(installed).isFile(), qPrintable(installed));
        QVERIFY(!QImage(installed).isNull());
        QCOMPARE(contentsOf(installed), contentsOf(PRISMARA_BUILD_DIR "/bin/Image/" + name));
    }

    void desktopEntryStartsTheTool()
    {
        const QString path = dataDir() + "/applications/" + kToolName + ".desktop";
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
        const QMap<QString, QString> entry = desktopEntry(path);
        QCOMPARE(entry.value("Type"), QString("Application"));
        QCOMPARE(entry.value("Name"), QString("Prismara Nanoleaf Tool"));
        QCOMPARE(entry.value("Exec"), kToolName);
        QCOMPARE(entry.value("Icon"), kToolName);
        QVERIFY(entry.value("Categories").split(';', Qt::SkipEmptyParts).contains("Utility"));
        // What Exec and Icon name is installed under those names.
        QVERIFY(QFileInfo(binDir() + "/" + entry.value("Exec")).isExecutable());
        QVERIFY(QFileInfo(dataDir() + "/icons/hicolor/256x256/apps/" + entry.value("Icon") + ".png")
                    .isFile());
    }

    void iconIs256Square()
    {
        const QString path = dataDir() + "/icons/hicolor/256x256/apps/" + kToolName + ".png";
        const QImage icon(path);
        QVERIFY2(!icon.isNull(), qPrintable(path));
        QCOMPARE(icon.size(), QSize(256, 256));
    }

    // The package links /usr/bin/prismara-nanoleaf-tool to the installed binary:
    // through such a link the tool must still take the installed bin/ folder as
    // its own, or it would look for Image/ in /usr/bin.
    void toolStartedThroughLinkUsesInstalledImages()
    {
        const QString linkDir = destDir.path() + "/usr/bin";
        QVERIFY(QDir().mkpath(linkDir));
        const QString link = linkDir + "/" + kToolName;
        QVERIFY(QFile::link(binDir() + "/" + kToolName, link));

        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("PRISMARA_HOST_SOCKET", destDir.path() + "/host.socket");
        env.insert("XDG_CONFIG_HOME", destDir.path() + "/config");
        tool.setProcessEnvironment(env);
        tool.start(link, QStringList());
        QVERIFY2(tool.waitForStarted(10000), qPrintable(tool.errorString()));

        // The window's first log line names the folder it loads images from.
        const QRegularExpression logged("applicationDirPath \"([^\"]*)\"");
        QByteArray log;
        QRegularExpressionMatch match;
        for (int round = 0; round < 300 && !match.hasMatch(); ++round) {
            if (tool.state() == QProcess::NotRunning)
                break;
            tool.waitForReadyRead(100);
            log += tool.readAllStandardError();
            match = logged.match(QString::fromUtf8(log));
        }
        QVERIFY2(match.hasMatch(), log.constData());
        const QString imageFolder = match.captured(1) + "Image/";
        QCOMPARE(QFileInfo(match.captured(1)).canonicalFilePath(),
            QFileInfo(binDir()).canonicalFilePath());
        for (const QString& name : kWindowImages)
            QVERIFY2(QFileInfo(imageFolder + name).isFile(), qPrintable(imageFolder + name));

        // SIGTERM ends it cleanly.
        tool.terminate();
        QVERIFY(tool.waitForFinished(20000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
