// The tool as a desktop citizen, in process: the activation channel's messages, the
// option table behind parsing and --help, max_fps, a later start's arguments, and the
// tray. The real binary's side (quiet log, one tool, --quit, --hidden) is in tst_toolprocess.

#include "app/activationmessage.h"
#include "app/instancechannel.h"
#include "app/processsetup.h"
#include "app/zelnanoleaftool.h"
#include "service/deviceregistry.h"
#include "service/tokenprofile.h"
#include "views/trayicon.h"

#include <QAction>
#include <QLocalSocket>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

QString flagsOf(const StartOptions& o)
{
    QStringList set;
    for (const ToolOption& option : toolOptions())
        if (option.flag != nullptr && o.*option.flag)
            set << option.name;
    return set.join(' ');
}

DeviceRecord paired(const QString& name, bool isPaired = true)
{
    DeviceRecord record = DeviceRecord::discoveryRecord(name, "127.0.0.2");
    record.isPaired = isPaired;
    return record;
}

} // namespace

class tst_Desktop : public QObject
{
    Q_OBJECT

private slots:
    // A later start's request as a line of JSON, both ways; a line that is none
    // leaves what was read before ("kept").
    void request_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("none") << QStringList() << QByteArray("{\"arguments\":[]}\n");
        QTest::newRow("two") << QStringList { "--hidden", "--resume" }
                             << QByteArray("{\"arguments\":[\"--hidden\",\"--resume\"]}\n");
        QTest::newRow("quote, newline, UTF-8")
            << QStringList { "a\"b\nc", QString::fromUtf8("\xC3\xA9") }
            << QByteArray("{\"arguments\":[\"a\\\"b\\nc\",\"\xC3\xA9\"]}\n");
        const QStringList kept { "kept" };
        QTest::newRow("not JSON") << kept << QByteArray("--resume\n");
        QTest::newRow("array") << kept << QByteArray("[\"--resume\"]\n");
        QTest::newRow("arguments a text") << kept << QByteArray("{\"arguments\":\"--resume\"}\n");
        QTest::newRow("a number among them")
            << kept << QByteArray("{\"arguments\":[\"--resume\",1]}\n");
        QTest::newRow("past the limit")
            << kept
            << "{\"arguments\":[\"" + QByteArray(Activation::kActivationMaxLine, 'a') + "\"]}\n";
    }

    void request()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, line);
        const bool readable = arguments != QStringList { "kept" };
        if (readable)
            QCOMPARE(Activation::encodeRequest(arguments), line);
        QStringList read { "kept" };
        QCOMPARE(Activation::decodeRequest(line, read), readable);
        QCOMPARE(read, arguments);
    }

    void requestTooLongIsNotWritten()
    {
        QCOMPARE(Activation::encodeRequest({ QString(Activation::kActivationMaxLine, 'a') }),
            QByteArray());
        // Members a later version adds are passed over.
        QStringList read;
        QVERIFY(Activation::decodeRequest("{\"arguments\":[\"-h\"],\"startup\":\"x\"}", read));
        QCOMPARE(read, QStringList { "-h" });
    }

    // The running tool's answer, both ways; exit code -1: none, what was read is kept.
    void answer_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        QTest::newRow("done") << QByteArray("{\"exit\":0}\n") << 0 << QString();
        QTest::newRow("with a reason")
            << QByteArray("{\"error\":\"Unknown option 'x'.\",\"exit\":2}\n") << 2
            << "Unknown option 'x'.";
        QTest::newRow("highest") << QByteArray("{\"exit\":255}\n") << 255 << QString();
        QTest::newRow("past 255") << QByteArray("{\"exit\":256}") << -1 << QString();
        QTest::newRow("negative") << QByteArray("{\"exit\":-1}") << -1 << QString();
        QTest::newRow("fraction") << QByteArray("{\"exit\":0.5}") << -1 << QString();
        QTest::newRow("code as text") << QByteArray("{\"exit\":\"0\"}") << -1 << QString();
        QTest::newRow("reason a number")
            << QByteArray("{\"exit\":1,\"error\":7}") << -1 << QString();
    }

    void answer()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        const bool readable = exitCode >= 0;
        if (readable)
            QCOMPARE(Activation::encodeAnswer(exitCode, error), line);
        int code = -7;
        QString text = "kept";
        QCOMPARE(Activation::decodeAnswer(line, code, text), readable);
        QCOMPARE(QStringLiteral("%1 %2").arg(code).arg(text),
            QStringLiteral("%1 %2").arg(readable ? exitCode : -7).arg(readable ? error : "kept"));
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("flags"); // set, in table order; or the problem
        QTest::newRow("none") << QStringList() << "";
        QTest::newRow("session start") << QStringList { "--resume", "--hidden" } << "hidden resume";
        QTest::newRow("short help") << QStringList { "-h", "--quit" } << "help quit";
        QTest::newRow("misspelt") << QStringList { "--resum" } << "Unknown option 'resum'.";
        QTest::newRow("argument") << QStringList { "--quit", "now" }
                                  << "Unexpected argument 'now'.";
        QTest::newRow("no address")
            << QStringList { "--add", "a b" } << "--add 'a b' is not HOST or HOST:PORT.";
        QTest::newRow("no universe")
            << QStringList { "--universe=0" } << "--universe: '0' is no universe from 1 to 63999.";
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, flags);
        StartOptions read;
        QString problem;
        const bool ok = parseStartOptions(
            QStringList { "prismara-nanoleaf-tool" } + arguments, read, problem);
        QCOMPARE(ok ? flagsOf(read) : problem, flags);
    }

    // --help, and so the man page, says every option and setting with its default.
    void helpListsEveryRow()
    {
        const QString help = usageText().simplified();
        for (const ToolOption& option : toolOptions()) {
            QVERIFY2(help.contains(QStringLiteral("--%1 ").arg(option.name)), option.name);
            if (option.defaultText != nullptr)
                QVERIFY2(help.contains(QStringLiteral("Default: %1.").arg(option.defaultText)),
                    option.name);
        }
        for (const ToolSetting& setting : toolSettings())
            QVERIFY2(help.contains(QStringLiteral("[%1] %2=%3 ")
                                       .arg(setting.group, setting.key, setting.valueName))
                    && help.contains(QStringLiteral("Default: %1.").arg(setting.defaultText)),
                setting.key);
    }

    // [settings] max_fps: a cap from 1 to 1000 frames a second, none when empty; a value
    // that cannot be read is no cap, and named.
    void maxFps_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read"); // the cap, or the problem
        for (const auto& [text, cap] :
            { std::pair { "1", "1" }, { " 1000 ", "1000" }, { "", "0" }, { "None", "0" } })
            QTest::newRow(QByteArray("max_fps=") + text) << text << cap;
        const QString bad(
            "[settings] max_fps=%1: '%1' is no number of frames per second from 1 to 1000");
        for (const char* text : { "0", "1001", "29.97", "30, 60" })
            QTest::newRow(text) << text << bad.arg(QString(text).remove(' '));
    }

    void maxFps()
    {
        QFETCH(QString, text);
        QFETCH(QString, read);
        QTemporaryDir config;
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config.path());
        QVERIFY(QDir().mkpath(TokenProfile::directory()));
        QFile file(TokenProfile::fileName());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[settings]\nmax_fps=" + text.toUtf8() + "\n");
        file.close();
        QStringList problems;
        const int fps = TokenProfile::maxFps(problems);
        QCOMPARE(problems.isEmpty() ? QString::number(fps) : problems.join('\n'), read);
        QVERIFY(problems.isEmpty() || fps == 0);
    }

    // What the channel cannot read is answered, not left waiting, and the
    // handler sees only what it can read.
    void channelAnswersEveryRequest()
    {
        QTemporaryDir dir;
        const QByteArray endpoint = qgetenv("PRISMARA_HOST_SOCKET");
        qputenv("PRISMARA_HOST_SOCKET", QFile::encodeName(dir.filePath("host.sock")));
        InstanceChannel channel;
        QCOMPARE(channel.claim(1000, true), InstanceChannel::Role::First);
        QStringList seen;
        channel.serve([&seen](const QStringList& arguments) {
            seen << arguments;
            return InstanceChannel::Answer { 3, "seen" };
        });
        for (const QByteArray& request :
            { QByteArray("garbage\n"), Activation::encodeRequest({ "--resume" }) }) {
            QLocalSocket client;
            client.connectToServer(channel.channelPath());
            QVERIFY(client.waitForConnected(5000));
            client.write(request);
            QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 5000);
            int code = -1;
            QString error;
            QVERIFY(Activation::decodeAnswer(client.readLine(), code, error));
            QCOMPARE(QStringLiteral("%1 %2").arg(code).arg(error),
                seen.isEmpty() ? "1 the running tool could not read the request" : "3 seen");
        }
        QCOMPARE(seen, QStringList { "--resume" });
        // The next tool finds this one's lock taken.
        InstanceChannel next;
        QCOMPARE(next.claim(0, false), InstanceChannel::Role::Later);
        qputenv("PRISMARA_HOST_SOCKET", endpoint);
    }

    // One window as the desktop reaches it, each way in turn.
    void windowFromOutside()
    {
        ZelNanoleafTool window;
        // A later start shows the window unless it says --hidden; what the running tool
        // cannot read (an option of a newer version) is that start's exit code 2.
        const auto answer = [&window](const QStringList& arguments) {
            const InstanceChannel::Answer a = answerLaterStart(window, arguments);
            return QStringLiteral("%1 %2 %3").arg(a.exitCode).arg(a.error).arg(window.isVisible());
        };
        QCOMPARE(answer({ "--hidden" }), QStringLiteral("0  0"));
        QCOMPARE(answer({ "--listen-anywhere" }),
            QStringLiteral("2 Unknown option 'listen-anywhere'. 0"));
        window.showMinimized();
        QCOMPARE(answer({}), QStringLiteral("0  1"));
        QVERIFY(!window.isMinimized());

        // The tray's Show/Hide says what it will do and does it, also for a minimised window.
        QAction* showHide = window.trayIcon()->showHideAction();
        const auto menuText = [&window, showHide] {
            emit window.trayIcon()->menu()->aboutToShow();
            return showHide->text();
        };
        QCOMPARE(menuText(), QStringLiteral("Hide"));
        showHide->trigger();
        QVERIFY(!window.isVisible());
        QCOMPARE(menuText(), QStringLiteral("Show"));
        showHide->trigger();
        QVERIFY(window.isVisible());
        window.showMinimized();
        QCOMPARE(menuText(), QStringLiteral("Show"));
        showHide->trigger();
        QVERIFY(window.isVisible() && !window.isMinimized());

        // The tooltip counts paired devices and, of them, those a frame goes to (a device
        // of an unknown model is paired but not streamed), and shows the intake's line
        // while there is one.
        deviceMap.insert("Light Panels 1", paired("Light Panels 1"));
        deviceMap.insert("Lamp 2", paired("Lamp 2"));
        deviceMap.insert("Canvas 3", paired("Canvas 3", false));
        window.refreshIsPaired();
        const QString counts = "Prismara Nanoleaf Tool\n2 devices paired, 1 streamed";
        QCOMPARE(window.trayIcon()->toolTip(), counts);
        window.setIntakeState("DDP: 1 source");
        QCOMPARE(window.trayIcon()->toolTip(), counts + "\nDDP: 1 source");
        window.setIntakeState(QString());
        QCOMPARE(window.trayIcon()->toolTip(), counts);

        // The tray's Quit ends the event loop, as SIGTERM does.
        QEventLoop loop;
        QTimer::singleShot(0, window.trayIcon()->quitAction(), SLOT(trigger()));
        QTimer::singleShot(10000, &loop, [&loop] { loop.exit(7); });
        QCOMPARE(loop.exec(), 0);
    }
};

QTEST_MAIN(tst_Desktop)
#include "tst_desktop.moc"
