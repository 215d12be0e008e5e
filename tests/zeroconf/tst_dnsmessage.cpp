// Byte-level checks of the discovery message format: the query we send, name
// encoding and reading, and which answers the reply parser accepts or rejects (and
// with which report).

#include "dnsbuilder.h"
#include "zeroconf/dnsmessage.h"
#include "zeroconf/membuf.h"

#include <QtTest>

#include <fstream>
#include <iterator>
#include <thread>

using namespace DnsBuilder;
using Zeroconf::Detail::RawReply;

namespace
{

struct LogLine {
    int level;
    std::string message;
};

std::vector<LogLine> g_log;

void captureLog(int level, const std::string& message)
{
    g_log.push_back({ level, message });
}

Bytes toBytes(const QByteArray& data)
{
    return Bytes(data.begin(), data.end());
}

QByteArray toQByteArray(const Bytes& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
}

RawReply rawFrom(const Bytes& bytes)
{
    RawReply raw;
    raw.peer = Platform::Net::makeIpv4Peer({ 127, 0, 0, 2 }, 5353);
    raw.bytes = bytes;
    return raw;
}

Bytes readFile(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

class tst_DnsMessage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void queryForNanoleafService();
    void encodeName_data();
    void encodeName();
    void encodeNameAppendsToBuffer();
    void overlongLabelLeavesBufferAlone_data();
    void overlongLabelLeavesBufferAlone();
    void queryWithOverlongLabelIsEmpty();

    void readName_data();
    void readName();

    void rejections_data();
    void rejections();
    void emptyDatagramRejectedSilently();

    void questionOnlyAccepted();
    void deviceAnswerParsed();
    void headerCountsIgnored_data();
    void headerCountsIgnored();
    void pointerTargetEdges_data();
    void pointerTargetEdges();
    void recordLengthSpansRecord();
    void replyOutputIsReset();

    void membufSeeks();
    void membufReadsInPlace();
    void logSinkIsPerThread();

    void capturedAvahiReply();
};

void tst_DnsMessage::init()
{
    g_log.clear();
    Zeroconf::LogSink = captureLog;
}

void tst_DnsMessage::cleanup()
{
    Zeroconf::LogSink = nullptr;
}

void tst_DnsMessage::queryForNanoleafService()
{
    const Bytes expected = { 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x0C, '_', 'n', 'a', 'n', 'o', 'l', 'e', 'a', 'f', 'a', 'p', 'i', 0x04, '_', 't', 'c', 'p',
        0x05, 'l', 'o', 'c', 'a', 'l', 0x00, 0x00, 0x0C, 0x00, 0x01 };
    QCOMPARE(expected.size(), std::size_t(41));
    QCOMPARE(toQByteArray(Zeroconf::Detail::BuildQuery("_nanoleafapi._tcp.local")),
        toQByteArray(expected));
}

void tst_DnsMessage::encodeName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("encoded");

    const QByteArray ab = QByteArray::fromHex("0161016200");
    QTest::newRow("plain") << QByteArray("a.b") << ab;
    QTest::newRow("doubled dot") << QByteArray("a..b") << ab;
    QTest::newRow("leading dot") << QByteArray(".a.b") << ab;
    QTest::newRow("trailing dot") << QByteArray("a.b.") << ab;
    QTest::newRow("dots everywhere") << QByteArray("..a...b..") << ab;
    QTest::newRow("empty name") << QByteArray() << QByteArray::fromHex("00");
    QTest::newRow("only dots") << QByteArray("...") << QByteArray::fromHex("00");
    QTest::newRow("single label") << QByteArray("local")
                                  << (QByteArray("\x05") + "local" + QByteArray(1, '\0'));
    QTest::newRow("one-letter tail") << QByteArray("ab.c") << QByteArray::fromHex("026162016300");
    // Length bytes are plain byte values: no 63-byte limit, and no escaping.
    QTest::newRow("64-byte label")
        << QByteArray(64, 'x') << (QByteArray("\x40") + QByteArray(64, 'x') + QByteArray(1, '\0'));
    QTest::newRow("255-byte label") << QByteArray(
        255, 'y') << (QByteArray("\xFF") + QByteArray(255, 'y') + QByteArray(1, '\0'));
    QTest::newRow("255-byte label then more")
        << (QByteArray(255, 'y') + ".z")
        << (QByteArray("\xFF") + QByteArray(255, 'y') + QByteArray::fromHex("017A00"));
    QTest::newRow("bytes above 0x7F")
        << QByteArray("\xC3\xA9.a") << QByteArray::fromHex("02C3A9016100");
}

void tst_DnsMessage::encodeName()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, encoded);
    Bytes buffer;
    QVERIFY(Zeroconf::Detail::EncodeName(name.toStdString(), buffer));
    QCOMPARE(toQByteArray(buffer), encoded);
}

void tst_DnsMessage::encodeNameAppendsToBuffer()
{
    Bytes buffer = { 0xAA, 0xBB };
    QVERIFY(Zeroconf::Detail::EncodeName("a.b", buffer));
    QCOMPARE(toQByteArray(buffer), QByteArray::fromHex("AABB0161016200"));
}

// A label that does not fit its length byte cannot be sent; the encoder refuses it
// and leaves whatever the buffer already held untouched.
void tst_DnsMessage::overlongLabelLeavesBufferAlone_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("256-byte label") << QByteArray(256, 'x');
    QTest::newRow("good label first") << (QByteArray("ab.") + QByteArray(256, 'x'));
    QTest::newRow("good label after") << (QByteArray(300, 'x') + ".local");
}

void tst_DnsMessage::overlongLabelLeavesBufferAlone()
{
    QFETCH(QByteArray, name);
    Bytes buffer = { 0x01, 0x02, 0x03 };
    QVERIFY(!Zeroconf::Detail::EncodeName(name.toStdString(), buffer));
    QCOMPARE(toQByteArray(buffer), QByteArray::fromHex("010203"));
}

void tst_DnsMessage::queryWithOverlongLabelIsEmpty()
{
    QVERIFY(Zeroconf::Detail::BuildQuery(std::string(256, 'x') + "._tcp.local").empty());
    // The same name with the longest label that fits still builds.
    QCOMPARE(Zeroconf::Detail::BuildQuery(std::string(255, 'x') + "._tcp.local").size(),
        std::size_t(12 + 1 + 255 + 1 + 4 + 1 + 5 + 1 + 4));
}

void tst_DnsMessage::readName_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<QByteArray>("name");

    QTest::newRow("two labels") << QByteArray::fromHex("016101620000") << 0 << 5
                                << QByteArray("a.b");
    QTest::newRow("at an offset") << QByteArray::fromHex("FFFF03616263000C") << 2 << 5
                                  << QByteArray("abc");
    QTest::newRow("root only") << QByteArray::fromHex("00") << 0 << 1 << QByteArray();
    QTest::newRow("terminator is last byte")
        << QByteArray::fromHex("01610162 00") << 0 << 5 << QByteArray("a.b");
    QTest::newRow("start at size") << QByteArray::fromHex("0161") << 2 << 0 << QByteArray();
    QTest::newRow("start beyond size") << QByteArray::fromHex("0161") << 7 << 0 << QByteArray();
    QTest::newRow("empty message") << QByteArray() << 0 << 0 << QByteArray();
    QTest::newRow("last label ends on last byte")
        << QByteArray::fromHex("016101 62") << 0 << 0 << QByteArray();
    QTest::newRow("label runs past end")
        << QByteArray::fromHex("05616263") << 0 << 0 << QByteArray();
    QTest::newRow("second label runs past end")
        << QByteArray::fromHex("0161056263") << 0 << 0 << QByteArray();
    // A compression pointer is taken as a label length of 192 and runs off the end.
    QTest::newRow("pointer not followed")
        << QByteArray::fromHex("0161C00C0000") << 0 << 0 << QByteArray();
    QTest::newRow("255-byte label")
        << (QByteArray("\xFF") + QByteArray(255, 'z') + QByteArray(1, '\0')) << 0 << 257
        << QByteArray(255, 'z');
}

void tst_DnsMessage::readName()
{
    QFETCH(QByteArray, message);
    QFETCH(int, start);
    QFETCH(int, consumed);
    QFETCH(QByteArray, name);

    std::string out = "left over";
    const std::size_t result
        = Zeroconf::Detail::ReadName(toBytes(message), static_cast<std::size_t>(start), out);
    QCOMPARE(result, static_cast<std::size_t>(consumed));
    if (consumed != 0)
        QCOMPARE(QByteArray::fromStdString(out), name);
    else
        QVERIFY(out != "left over");
}

// Every shape the parser refuses, with the one report it makes.
void tst_DnsMessage::rejections_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("prefixOnly");

    const QString badFlags = "Found unexpected Flags value while parsing responce";
    const QString badName = "Failed to parse query name";
    const QString badToken = "Found incorrect offset token while parsing responce";
    const QString badRecordName = "Failed to parse record name";
    const QString streamError = "Stream error while parsing responce: ";

    auto withQuestion = [](unsigned flags) {
        Bytes out = header(flags);
        question(out);
        return out;
    };
    auto row = [](const char* name, const Bytes& bytes, int level, const QString& message,
                   bool prefix = false) {
        QTest::newRow(name) << toQByteArray(bytes) << level << message << prefix;
    };

    row("flags 0x8000 (not authoritative)", withQuestion(0x8000), 1, badFlags);
    row("flags 0x8600 (truncated)", withQuestion(0x8600), 1, badFlags);
    row("flags 0x8403 (name error)", withQuestion(0x8403), 1, badFlags);
    row("flags 0x0000 (a query)", withQuestion(0x0000), 1, badFlags);
    row("flags 0x8480 (recursion available)", withQuestion(0x8480), 1, badFlags);

    row("one byte", Bytes { 0x00 }, 1, streamError, true);
    row("three bytes", Bytes { 0x00, 0x00, 0x84 }, 1, streamError, true);
    Bytes elevenBytes = header(0x8400);
    elevenBytes.pop_back();
    row("header cut short", elevenBytes, 1, streamError, true);

    row("header only", header(0x8400), 0, badName);
    Bytes unterminated = header(0x8400);
    unterminated.insert(unterminated.end(), { 0x01, 'a', 0x01, 'b' });
    row("first name without terminator", unterminated, 0, badName);
    Bytes pointerName = header(0x8400);
    pointerName.insert(pointerName.end(), { 0xC0, 0x0C, 0x00, 0x0C, 0x00, 0x01 });
    row("first name is a pointer", pointerName, 0, badName);

    Bytes noType = header(0x8400);
    labels(noType, { "a" });
    row("question without type", noType, 1, streamError, true);
    Bytes noClass = header(0x8400);
    labels(noClass, { "a" });
    put16(noClass, 0x000C);
    noClass.push_back(0x00);
    row("question with half a class", noClass, 1, streamError, true);

    Bytes c1 = withQuestion(0x8400);
    record(c1, 0x0C, 0x000C, Bytes { 0x00 });
    c1[41] = 0xC1;
    row("record pointer above 255", c1, 1, badToken);
    Bytes plainOwner = withQuestion(0x8400);
    labels(plainOwner, { "owner" });
    put16(plainOwner, 0x0001);
    put16(plainOwner, 0x0001);
    put32(plainOwner, 120);
    put16(plainOwner, 4);
    plainOwner.insert(plainOwner.end(), { 127, 0, 0, 2 });
    row("owner name written in labels", plainOwner, 1, badToken);
    Bytes goodThenBad = withQuestion(0x8400);
    record(goodThenBad, 0x0C, 0x000C, Bytes { 0x00 });
    goodThenBad.push_back(0x00);
    row("stray byte after a good record", goodThenBad, 1, badToken);

    Bytes targetBeyond = withQuestion(0x8400);
    record(targetBeyond, 0xF0, 0x000C, Bytes { 0x00 });
    row("pointer target beyond end", targetBeyond, 1, badRecordName);
    Bytes targetAtEnd = withQuestion(0x8400);
    record(targetAtEnd, 0x00, 0x000C, Bytes {});
    targetAtEnd[42] = static_cast<std::uint8_t>(targetAtEnd.size());
    row("pointer target at end", targetAtEnd, 1, badRecordName);
    // The label at the target would end exactly on the last byte: out of bounds.
    Bytes labelToEnd = withQuestion(0x8400);
    record(labelToEnd, 0x00, 0x000C, Bytes { 0x02, 'x' });
    labelToEnd[42] = static_cast<std::uint8_t>(labelToEnd.size() - 2);
    row("label at target reaches end", labelToEnd, 1, badRecordName);
    Bytes labelPastEnd = withQuestion(0x8400);
    record(labelPastEnd, 0x00, 0x000C, Bytes { 0x30 });
    labelPastEnd[42] = static_cast<std::uint8_t>(labelPastEnd.size() - 1);
    row("label at target runs past end", labelPastEnd, 1, badRecordName);

    Bytes rdataPastEnd = withQuestion(0x8400);
    record(rdataPastEnd, 0x0C, 0x0001, Bytes { 127, 0, 0, 2 });
    rdataPastEnd[51] = 5; // RDLENGTH low byte: one more than there is
    row("RDLENGTH past end", rdataPastEnd, 1, streamError, true);
    const Bytes full = [&] {
        Bytes out = withQuestion(0x8400);
        record(out, 0x0C, 0x000C, Bytes { 0x00 });
        return out;
    }();
    for (std::size_t cut : { std::size_t(42), std::size_t(43), std::size_t(45), std::size_t(47),
             std::size_t(51), std::size_t(52), std::size_t(53) }) {
        Bytes shortRecord(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        const QByteArray name
            = "record cut after " + QByteArray::number(static_cast<int>(cut - 41)) + " bytes";
        row(name.constData(), shortRecord, 1, streamError, true);
    }
}

void tst_DnsMessage::rejections()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, level);
    QFETCH(QString, message);
    QFETCH(bool, prefixOnly);

    Zeroconf::Reply reply;
    QVERIFY(!Zeroconf::Detail::ParseReply(rawFrom(toBytes(datagram)), reply));
    QCOMPARE(g_log.size(), std::size_t(1));
    QCOMPARE(g_log.front().level, level);
    const QString reported = QString::fromStdString(g_log.front().message);
    if (prefixOnly) {
        QVERIFY2(reported.startsWith(message), qPrintable(reported));
        // The stream's own description follows the fixed label.
        QVERIFY2(reported.size() > message.size(), qPrintable(reported));
    } else {
        QCOMPARE(reported, message);
    }
}

void tst_DnsMessage::emptyDatagramRejectedSilently()
{
    Zeroconf::Reply reply;
    QVERIFY(!Zeroconf::Detail::ParseReply(rawFrom(Bytes()), reply));
    QVERIFY(g_log.empty());
}

void tst_DnsMessage::questionOnlyAccepted()
{
    Bytes bytes = header(0x8400);
    question(bytes, 0x000C, 0x8001);
    Zeroconf::Reply reply;
    QVERIFY(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply));
    QVERIFY(g_log.empty());
    QCOMPARE(reply.firstName, std::string("_nanoleafapi._tcp.local"));
    QCOMPARE(reply.firstType, std::uint16_t(0x000C));
    QVERIFY(reply.records.empty());
    QCOMPARE(toQByteArray(reply.message), toQByteArray(bytes));
}

void tst_DnsMessage::deviceAnswerParsed()
{
    const DeviceAnswer answer = deviceAnswer("Shapes 4F2A", 3);
    RawReply raw = rawFrom(answer.bytes);
    raw.peer = Platform::Net::makeIpv4Peer({ 127, 0, 0, 3 }, 5353);
    Zeroconf::Reply reply;
    QVERIFY(Zeroconf::Detail::ParseReply(raw, reply));
    QVERIFY(g_log.empty());

    QCOMPARE(reply.firstName, std::string("_nanoleafapi._tcp.local"));
    QCOMPARE(Platform::Net::peerAddressToText(reply.peer), std::string("127.0.0.3"));
    QVERIFY(reply.peer.storage == raw.peer.storage);
    QCOMPARE(reply.records.size(), std::size_t(4));

    // PTR owned by the question name: the pointer C0 0C leads to its first label.
    QCOMPARE(reply.records[0].type, std::uint16_t(0x000C));
    QCOMPARE(reply.records[0].name, std::string("_nanoleafapi"));
    QCOMPARE(reply.records[0].position, std::size_t(41));
    QCOMPARE(reply.records[0].length, std::size_t(12 + 1 + 11 + 2));
    // The records owned by the instance carry its label: that is the device name.
    const std::uint16_t types[] = { 0x0021, 0x0010, 0x0001 };
    for (std::size_t i = 1; i < 4; ++i) {
        QCOMPARE(reply.records[i].type, types[i - 1]);
        QCOMPARE(reply.records[i].name, std::string("Shapes 4F2A"));
        QCOMPARE(
            reply.records[i].position, reply.records[i - 1].position + reply.records[i - 1].length);
    }
    QCOMPARE(reply.records[3].position + reply.records[3].length, reply.message.size());
}

void tst_DnsMessage::headerCountsIgnored_data()
{
    QTest::addColumn<int>("qd");
    QTest::addColumn<int>("an");
    QTest::addColumn<int>("ns");
    QTest::addColumn<int>("ar");

    QTest::newRow("all zero") << 0 << 0 << 0 << 0;
    QTest::newRow("matching") << 1 << 1 << 0 << 1;
    QTest::newRow("too many") << 9 << 40 << 7 << 300;
    QTest::newRow("records as authority") << 1 << 0 << 2 << 0;
    QTest::newRow("all 0xFFFF") << 0xFFFF << 0xFFFF << 0xFFFF << 0xFFFF;
}

void tst_DnsMessage::headerCountsIgnored()
{
    QFETCH(int, qd);
    QFETCH(int, an);
    QFETCH(int, ns);
    QFETCH(int, ar);

    Bytes bytes = header(0x8400, static_cast<unsigned>(qd), static_cast<unsigned>(an),
        static_cast<unsigned>(ns), static_cast<unsigned>(ar));
    question(bytes);
    record(bytes, 0x0C, 0x000C, Bytes { 0x01, 'x', 0xC0, 0x0C });
    record(bytes, 53, 0x0010, Bytes { 0x00 }); // owner: the "x" label in the PTR data
    Zeroconf::Reply reply;
    QVERIFY(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply));
    QCOMPARE(reply.records.size(), std::size_t(2));
    QCOMPARE(reply.records[1].name, std::string("x"));
}

void tst_DnsMessage::pointerTargetEdges_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QByteArray>("name");

    // Header bytes 0..11, question from 12 (0C "_nanoleafapi" 04 "_tcp" 05 "local" 00).
    QTest::newRow("question start") << 0x0C << QByteArray("_nanoleafapi");
    QTest::newRow("second label") << 0x19 << QByteArray("_tcp");
    QTest::newRow("third label") << 0x1E << QByteArray("local");
    QTest::newRow("root label") << 0x24 << QByteArray();
    // Header byte 0 is 0: an empty label, not an error.
    QTest::newRow("offset 0") << 0x00 << QByteArray();
    // Mid-label: the byte there is taken as a length ('n' = 110 runs past the end).
    QTest::newRow("inside a label") << 0x0D << QByteArray("<rejected>");
}

void tst_DnsMessage::pointerTargetEdges()
{
    QFETCH(int, target);
    QFETCH(QByteArray, name);

    Bytes bytes = header(0x8400);
    question(bytes);
    record(bytes, static_cast<std::uint8_t>(target), 0x000C, Bytes { 0x00 });
    Zeroconf::Reply reply;
    const bool accepted = Zeroconf::Detail::ParseReply(rawFrom(bytes), reply);
    if (name == "<rejected>") {
        QVERIFY(!accepted);
        QCOMPARE(g_log.size(), std::size_t(1));
        QCOMPARE(g_log.front().message, std::string("Failed to parse record name"));
        return;
    }
    QVERIFY(accepted);
    QCOMPARE(reply.records.size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(reply.records[0].name), name);
}

// The longest label that still fits: it ends on the byte before the last.
void tst_DnsMessage::recordLengthSpansRecord()
{
    Bytes bytes = header(0x8400);
    question(bytes);
    const std::size_t labelAt = bytes.size() + 12;
    record(bytes, 0x00, 0x000C, Bytes { 0x03, 'e', 'n', 'd', 0x00 });
    bytes[labelAt - 11] = static_cast<std::uint8_t>(labelAt); // the pointer's target byte
    Zeroconf::Reply reply;
    QVERIFY(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply));
    QCOMPARE(reply.records.size(), std::size_t(1));
    QCOMPARE(reply.records[0].name, std::string("end"));
    QCOMPARE(reply.records[0].length, std::size_t(12 + 5));
    QCOMPARE(reply.records[0].position + reply.records[0].length, bytes.size());
}

void tst_DnsMessage::replyOutputIsReset()
{
    Zeroconf::Reply reply;
    reply.firstName = "stale";
    reply.records.push_back({ 1, 2, 3, "stale" });
    Bytes bytes = header(0x8400);
    question(bytes);
    QVERIFY(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply));
    QCOMPARE(reply.firstName, std::string("_nanoleafapi._tcp.local"));
    QVERIFY(reply.records.empty());
}

void tst_DnsMessage::membufSeeks()
{
    const Bytes data = { 1, 2, 3, 4, 5, 6 };
    Zeroconf::Detail::stdext::membuf buffer(data.data(), data.size());
    std::istream in(&buffer);
    QCOMPARE(static_cast<long long>(in.tellg()), 0LL);
    char two[2];
    in.read(two, 2);
    QCOMPARE(static_cast<long long>(in.tellg()), 2LL);
    in.ignore(3);
    QCOMPARE(static_cast<long long>(in.tellg()), 5LL);

    // Offset 0 from the current position reports the offset, whatever the mode.
    QCOMPARE(
        static_cast<long long>(buffer.pubseekoff(0, std::ios_base::cur, std::ios_base::out)), 5LL);
    QCOMPARE(static_cast<long long>(
                 buffer.pubseekoff(0, std::ios_base::cur, std::ios_base::in | std::ios_base::out)),
        5LL);
    // Every real seek fails and leaves the read position alone.
    QCOMPARE(static_cast<long long>(buffer.pubseekoff(1, std::ios_base::cur)), -1LL);
    QCOMPARE(static_cast<long long>(buffer.pubseekoff(0, std::ios_base::beg)), -1LL);
    QCOMPARE(static_cast<long long>(buffer.pubseekoff(0, std::ios_base::end)), -1LL);
    QCOMPARE(static_cast<long long>(buffer.pubseekpos(0)), -1LL);
    in.seekg(1, std::ios_base::beg);
    QVERIFY(in.fail());
    in.clear();
    QCOMPARE(in.get(), 6);
    QCOMPARE(in.get(), std::istream::traits_type::eof());
}

void tst_DnsMessage::membufReadsInPlace()
{
    Bytes data = { 'a', 'b', 'c' };
    Zeroconf::Detail::stdext::membuf buffer(data.data(), data.size());
    std::istream in(&buffer);
    QCOMPARE(in.get(), int('a'));
    data[1] = 'Z';
    QCOMPARE(in.get(), int('Z'));
}

void tst_DnsMessage::logSinkIsPerThread()
{
    Zeroconf::LogSinkFunction seenOnOtherThread = captureLog;
    bool parsed = true;
    std::thread other([&] {
        seenOnOtherThread = Zeroconf::LogSink;
        Zeroconf::Reply reply;
        Bytes bytes = header(0x8000);
        question(bytes);
        parsed = Zeroconf::Detail::ParseReply(rawFrom(bytes), reply);
    });
    other.join();
    QVERIFY(seenOnOtherThread == nullptr);
    QVERIFY(!parsed);
    QVERIFY(g_log.empty()); // the rejection on the other thread did not reach this sink
}

// Bytes a stock avahi-daemon sent back for our query (see tests/data/README.md).
// Answering a legacy unicast query it repeats the question and gives the PTR answer
// only (no SRV, TXT or A in the additional section), so the reply is accepted but
// carries a single record: the discovery driver, which takes the device name from
// the second record, announces nothing for such a responder.
void tst_DnsMessage::capturedAvahiReply()
{
    const Bytes bytes = readFile(QStringLiteral(PRISMARA_SOURCE_DIR "/tests/data/avahi-reply.bin"));
    QCOMPARE(bytes.size(), std::size_t(67));

    Zeroconf::Reply reply;
    QVERIFY(Zeroconf::Detail::ParseReply(rawFrom(bytes), reply));
    QVERIFY(g_log.empty());
    QCOMPARE(reply.firstName, std::string("_nanoleafapi._tcp.local"));
    QCOMPARE(reply.firstType, std::uint16_t(0x000C));
    QCOMPARE(reply.records.size(), std::size_t(1));
    const Zeroconf::ReplyRecord& ptr = reply.records[0];
    QCOMPARE(ptr.type, std::uint16_t(0x000C));
    QCOMPARE(ptr.name, std::string("_nanoleafapi"));
    QCOMPARE(ptr.position, std::size_t(41));
    QCOMPARE(ptr.length, std::size_t(12 + 14));
    // RDATA: the instance label, then a pointer back to the service name.
    QCOMPARE(int(bytes[53]), 11);
    QCOMPARE(std::string(bytes.begin() + 54, bytes.begin() + 65), std::string("Shapes 4F2A"));
}

QTEST_GUILESS_MAIN(tst_DnsMessage)
#include "tst_dnsmessage.moc"
