// Devices given by address: what an entry may look like, and what a probe finds
// at a listening port, a closed one, a name from the hosts file and a name that
// does not resolve (its lookup would leave the machine: private network only).

#include "common/privatenetwork.h"
#include "zeroconf/addressprobe.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

namespace
{

QString outcomeText(const AddressProbe::Result& result)
{
    const char* const names[] = { "answered", "no answer", "unresolved" };
    return names[int(result.outcome)];
}

std::int64_t ticksFromNow(int ms)
{
    return Platform::Net::monotonicTicks() + std::int64_t(ms) * 10000;
}

} // namespace

class tst_AddressProbe : public QObject
{
    Q_OBJECT

private slots:
    void parseEntry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // "host port", empty when refused
        const std::pair<const char*, const char*> rows[]
            = { { "192.168.1.20", "192.168.1.20 16021" },
                  { " panels.local:16022\t", "panels.local 16022" },
                  { "Nanoleaf_1-a:65535", "Nanoleaf_1-a 65535" }, { "", "" }, { ":16021", "" },
                  { "a b", "" }, { "host:", "" }, { "host:0", "" }, { "host:65536", "" },
                  { "host:016021", "" }, { "host:+80", "" }, { "-host", "" }, { ".host", "" },
                  { "[::1]:80", "" }, { "host:1:2", "" }, { "a/b", "" } };
        for (const auto& [text, parsed] : rows)
            QTest::newRow(*text ? text : "empty") << text << parsed;
        QTest::newRow("254 characters") << QString(254, 'a') << QString();
        QTest::newRow("253 characters") << QString(253, 'a') << QString(253, 'a') + " 16021";
    }

    void parseEntry()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        AddressProbe::Entry entry;
        entry.host = "untouched";
        const bool ok = AddressProbe::parseEntry(text.toStdString(), entry);
        const QString host = QString::fromStdString(entry.host); // a refused entry: untouched
        QCOMPARE(ok ? host + " " + QString::number(entry.port) : host,
            parsed.isEmpty() ? QString("untouched") : parsed);
        if (ok)
            QCOMPARE(QString::fromStdString(entry.text), text.trimmed());
    }

    void probes()
    {
        QVERIFY(TestNetwork::inPrivateNetwork());
        QTcpServer listening;
        QVERIFY(listening.listen(QHostAddress("127.0.0.1")));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress("127.0.0.1")));
        const QString closedPort = QString::number(closed.serverPort());
        closed.close();
        const QString port = QString::number(listening.serverPort());
        std::vector<AddressProbe::Entry> entries;
        for (const QString& text : { "127.0.0.1:" + port, "localhost:" + port,
                 "127.0.0.1:" + closedPort, QString("no-such-device.invalid") }) {
            entries.emplace_back();
            QVERIFY(AddressProbe::parseEntry(text.toStdString(), entries.back()));
        }
        AddressProbe::Run run(entries, 1000);
        const std::vector<AddressProbe::Result> results = run.wait(ticksFromNow(1500), nullptr);
        QStringList seen;
        for (const AddressProbe::Result& r : results)
            seen << outcomeText(r) + " " + QString::number(r.at.address[0]) + "."
                    + QString::number(r.at.address[3]) + ":" + QString::number(r.at.port);
        QCOMPARE(seen,
            (QStringList { "answered 127.1:" + port, "answered 127.1:" + port,
                "no answer 127.1:" + closedPort, "unresolved 0.0:16021" }));
        QVERIFY2(QString::fromStdString(results[2].reason).contains("refused"),
            results[2].reason.c_str());

        // A scan called off stops waiting for a lookup at once.
        std::atomic<bool> cancel { true };
        AddressProbe::Run held({ entries.back() }, 1000);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(
            outcomeText(held.wait(ticksFromNow(60000), &cancel).front()), QString("unresolved"));
        QVERIFY(clock.elapsed() < 5000);
    }
};

QTEST_GUILESS_MAIN(tst_AddressProbe)
#include "tst_addressprobe.moc"
