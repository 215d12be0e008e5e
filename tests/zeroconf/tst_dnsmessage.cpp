// The discovery message format as byte tables: the query we send, and which datagrams the reply
// parser accepts (with which records) or rejects (with which report). In the bytes, H is the header
// 0000 8400 0001 0000 0000 0000, Q the question "_nanoleafapi._tcp.local" PTR IN (offset 12-41).

#include "zeroconf/dnsmessage.h"

#include <QtTest>

#include <thread>

using Bytes = std::vector<std::uint8_t>;

namespace
{

std::vector<std::string> g_log;
void captureLog(int level, const std::string& line)
{
    g_log.push_back(std::to_string(level) + " " + line);
}

Bytes hex(QString text)
{
    text.replace("H", "000084000001000000000000")
        .replace("Q", "0c5f6e616e6f6c656166617069045f746370056c6f63616c00000c0001");
    const QByteArray b = QByteArray::fromHex(text.remove(' ').toLatin1());
    return Bytes(b.begin(), b.end());
}

} // namespace

class tst_DnsMessage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Zeroconf::LogSink = captureLog; }
    void init() { g_log.clear(); }

    void query()
    {
        QVERIFY(Zeroconf::Detail::BuildQuery("_nanoleafapi._tcp.local")
            == hex("0000 0000 0001 0000 0000 0000 Q"));
        QVERIFY(Zeroconf::Detail::BuildQuery(std::string(256, 'x') + "._tcp.local").empty());
        QCOMPARE(Zeroconf::Detail::BuildQuery(std::string(255, 'x') + "._tcp.local").size(),
            std::size_t(12 + 256 + 5 + 6 + 1 + 4));
    }

    void parse_data()
    {
        QTest::addColumn<QString>("datagram");
        // Accepted: "first name, type: each record's type, name @position+length";
        // rejected: the one report (a stream error's own words cut to "...").
        QTest::addColumn<QString>("outcome");
        const QString question = "_nanoleafapi._tcp.local 12:";
        const QString flags = "1 Found unexpected Flags value while parsing responce";
        const QString queryName = "0 Failed to parse query name";
        const QString token = "1 Found incorrect offset token while parsing responce";
        const QString recordName = "1 Failed to parse record name";
        const QString stream = "1 Stream error while parsing responce: ...";
        const auto row = [](const char* name, const char* datagram, const QString& outcome) {
            QTest::newRow(name) << datagram << outcome;
        };
        row("question only", "H Q", question);
        row("device answer: PTR, SRV, TXT, A",
            "0000 8400 0001 0001 0000 0003 Q"
            "c00c 000c 0001 00000078 000e 0b5368617065732034463241 c00c"
            "c035 0021 8001 00000078 0008 0000 0000 3e95 c035"
            "c035 0010 8001 00000078 0015 14 69643d31323a33343a35363a37383a39413a4243"
            "c035 0001 8001 00000078 0004 7f000003",
            question
                + " 12 _nanoleafapi @41+26, 33 Shapes 4F2A @67+20, 16 Shapes 4F2A @87+33, 1 Shapes "
                  "4F2A @120+16");
        row("avahi-daemon 0.8's answer to our query, the PTR alone (tests/data/README.md)",
            "0000 8400 0001 0001 0000 0000 Q c00c 000c 0001 "
            "0000000a 000e 0b5368617065732034463241 c00c",
            question + " 12 _nanoleafapi @41+26");
        row("header counts ignored",
            "0000 8400 ffff ffff ffff ffff Q c00c 000c 0001 00000078 0004 0178 c00c"
            "c035 0010 0001 00000078 0001 00",
            question + " 12 _nanoleafapi @41+16, 16 x @57+13");
        row("pointer to the second label", "H Q c019 000c 0001 00000078 0001 00",
            question + " 12 _tcp @41+13");
        row("label at the target ends on the byte before the last",
            "H Q c035 000c 0001 00000078 0005 03656e6400", question + " 12 end @41+17");
        row("flags 0x8000 (not authoritative)", "0000 8000 0001 0000 0000 0000 Q", flags);
        row("empty datagram", "", "rejected without a report");
        row("header cut short", "0000 8400 0001 0000 0000 00", stream);
        row("header only", "H", queryName);
        row("question name is a pointer", "H c00c 000c 0001", queryName);
        row("question without type", "H 0161 00", stream);
        row("record pointer above 255", "H Q c10c 000c 0001 00000078 0001 00", token);
        row("stray byte after a record", "H Q c00c 000c 0001 00000078 0001 00 00", token);
        row("pointer target beyond the end", "H Q c0f0 000c 0001 00000078 0001 00", recordName);
        row("label at the target reaches the end", "H Q c035 000c 0001 00000078 0002 0278",
            recordName);
        row("RDLENGTH past the end", "H Q c00c 0001 0001 00000078 0005 7f000002", stream);
    }

    void parse()
    {
        QFETCH(QString, datagram);
        QFETCH(QString, outcome);
        const Zeroconf::Detail::RawReply raw { Platform::Net::makeIpv4Peer({ 127, 0, 0, 2 }, 5353),
            hex(datagram) };
        Zeroconf::Reply reply;
        reply.records.push_back({ 1, 2, 3, "stale" }); // output is reset
        QString seen;
        if (Zeroconf::Detail::ParseReply(raw, reply)) {
            QVERIFY(g_log.empty());
            seen = QString::asprintf("%s %d:", reply.firstName.c_str(), reply.firstType);
            for (const Zeroconf::ReplyRecord& r : reply.records)
                seen += QString::asprintf("%s %d %s @%zu+%zu", &r == &reply.records[0] ? "" : ",",
                    r.type, r.name.c_str(), r.position, r.length);
        } else {
            QVERIFY(g_log.size() <= 1);
            seen = g_log.empty() ? "rejected without a report" : QString::fromStdString(g_log[0]);
            seen.replace(QRegularExpression(": .+"), ": ...");
        }
        QCOMPARE(seen, outcome);
    }

    void logSinkIsPerThread() // a scan thread reports to its own sink only
    {
        Zeroconf::LogSinkFunction sinkThere = captureLog;
        std::thread([&] {
            sinkThere = Zeroconf::LogSink;
            Zeroconf::Reply reply;
            Zeroconf::Detail::ParseReply({ {}, hex("0000 8000 0001 0000 0000 0000 Q") }, reply);
        }).join();
        QVERIFY(sinkThere == nullptr && g_log.empty());
    }
};

QTEST_GUILESS_MAIN(tst_DnsMessage)
#include "tst_dnsmessage.moc"
