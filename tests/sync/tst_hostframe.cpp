#include "sync/hostframe.h"

#include <QtTest>

#include <cstring>
#include <limits>
#include <vector>

using Bytes = std::vector<unsigned char>;

Q_DECLARE_METATYPE(HostFrameReader::Error)

namespace
{

Bytes hex(const char* text)
{
    const QByteArray b = QByteArray::fromHex(text);
    return Bytes(b.begin(), b.end());
}

Bytes le32(std::uint32_t v)
{
    return Bytes { static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24) };
}

// A framed request with the given size field and cbData, whatever they claim.
Bytes rawRequest(std::uint32_t size, std::uint32_t cbData, std::size_t payloadBytes)
{
    Bytes out = le32(size);
    const Bytes message = le32(74);
    out.insert(out.end(), message.begin(), message.end());
    out.insert(out.end(), 16, 0);
    const Bytes cb = le32(cbData);
    out.insert(out.end(), cb.begin(), cb.end());
    out.insert(out.end(), payloadBytes, 0x5A);
    return out;
}

Bytes request(
    std::uint32_t message, std::uint64_t wParam, std::uint64_t dwData, const Bytes& payload)
{
    const HostIntake::Message m { message, wParam, dwData,
        static_cast<std::uint32_t>(payload.size()), payload.empty() ? nullptr : payload.data() };
    return encodeHostRequest(m);
}

// Feeds data in pieces of `chunk` bytes and collects every completed request.
std::vector<HostRequest> feedInChunks(HostFrameReader& reader, const Bytes& data, std::size_t chunk)
{
    std::vector<HostRequest> out;
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t end = std::min(data.size(), at + chunk);
        std::size_t piece = at;
        while (piece < end) {
            const std::size_t took = reader.feed(data.data() + piece, end - piece);
            piece += took;
            if (reader.hasRequest())
                out.push_back(reader.takeRequest());
            else if (took == 0 || reader.failed())
                return out;
        }
        at = end;
    }
    return out;
}

} // namespace

class tst_HostFrame : public QObject
{
    Q_OBJECT

private slots:
    void encodeRequestBytes();
    void encodeRefusesWhatCannotBeFramed();
    void parseInChunks_data();
    void parseInChunks();
    void feedStopsAtEachRequest();
    void malformed_data();
    void malformed();
    void readerStaysBounded();
    void answers_data();
    void answers();
    void answerRejections_data();
    void answerRejections();
};

void tst_HostFrame::encodeRequestBytes()
{
    const Bytes payload { 0xAA, 0xBB, 0xCC };
    QCOMPARE(request(74, 0x0102030405060708ull, 10001, payload),
        hex("1b000000"
            "4a000000"
            "0807060504030201"
            "1127000000000000"
            "03000000"
            "aabbcc"));
    QCOMPARE(request(33024, 0xFFFFFFFFull, 0, Bytes()),
        hex("18000000"
            "00810000"
            "ffffffff00000000"
            "0000000000000000"
            "00000000"));
}

void tst_HostFrame::encodeRefusesWhatCannotBeFramed()
{
    const Bytes tooBig(kHostMaxPayload + 1, 1);
    QVERIFY(request(74, 0, 10001, tooBig).empty());
    const Bytes largest(kHostMaxPayload, 1);
    QCOMPARE(request(74, 0, 10001, largest).size(), kHostSizeField + kHostMaxRequestSize);
    const HostIntake::Message missing { 74, 0, 10001, 56, nullptr };
    QVERIFY(encodeHostRequest(missing).empty());
}

void tst_HostFrame::parseInChunks_data()
{
    QTest::addColumn<int>("chunk");
    for (int chunk : { 1, 2, 3, 4, 5, 27, 28, 29, 83, 1 << 20 })
        QTest::addRow("chunks of %d", chunk) << chunk;
}

void tst_HostFrame::parseInChunks()
{
    QFETCH(int, chunk);
    Bytes record(56);
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<unsigned char>(200 + i);
    const Bytes big(kHostMaxPayload, 0xE7);

    struct Sent {
        std::uint32_t message;
        std::uint64_t wParam;
        std::uint64_t dwData;
        Bytes payload;
    };
    const std::vector<Sent> sent = {
        { 74, 0, 10001, record },
        { 33024, 0xFFFFFFFF00000003ull, 0, Bytes() },
        { 74, 1, 0x8000000000000001ull, Bytes { 0 } },
        { 74, 2, 10001, big },
        { 5, 3, 4, Bytes() },
    };
    Bytes stream;
    for (const Sent& s : sent) {
        const Bytes one = request(s.message, s.wParam, s.dwData, s.payload);
        stream.insert(stream.end(), one.begin(), one.end());
    }

    HostFrameReader reader;
    const std::vector<HostRequest> got
        = feedInChunks(reader, stream, static_cast<std::size_t>(chunk));
    QVERIFY(!reader.failed());
    QCOMPARE(reader.buffered(), std::size_t(0));
    QCOMPARE(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        QCOMPARE(got[i].message, sent[i].message);
        QCOMPARE(got[i].wParam, sent[i].wParam);
        QCOMPARE(got[i].dwData, sent[i].dwData);
        QVERIFY(got[i].payload == sent[i].payload);
        const HostIntake::Message view = got[i].toMessage();
        QCOMPARE(std::size_t(view.cbData), sent[i].payload.size());
        QCOMPARE(view.payload == nullptr, sent[i].payload.empty());
    }
}

void tst_HostFrame::feedStopsAtEachRequest()
{
    const Bytes a = request(74, 1, 10001, Bytes(56, 1));
    const Bytes b = request(74, 2, 10001, Bytes(56, 2));
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());

    HostFrameReader reader;
    QCOMPARE(reader.feed(both.data(), both.size()), a.size());
    QVERIFY(reader.hasRequest());
    // Nothing more is taken until the finished request is handed over.
    QCOMPARE(reader.feed(both.data() + a.size(), b.size()), std::size_t(0));
    QCOMPARE(reader.takeRequest().wParam, std::uint64_t(1));
    QVERIFY(!reader.hasRequest());
    QCOMPARE(reader.feed(both.data() + a.size(), b.size()), b.size());
    QCOMPARE(reader.takeRequest().wParam, std::uint64_t(2));
}

void tst_HostFrame::malformed_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("failsAfter"); // bytes after which the error must be known
    QTest::addColumn<HostFrameReader::Error>("error");

    const auto q = [](const Bytes& b) {
        return QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size()));
    };
    QTest::newRow("size 3") << q(rawRequest(3, 0, 0)) << 4 << HostFrameReader::Error::SizeTooSmall;
    QTest::newRow("size 0") << q(rawRequest(0, 0, 0)) << 4 << HostFrameReader::Error::SizeTooSmall;
    QTest::newRow("size 23") << q(rawRequest(23, 0, 0)) << 4
                             << HostFrameReader::Error::SizeTooSmall;
    QTest::newRow("size just over 64 KiB")
        << q(rawRequest(65537, 65513, 0)) << 4 << HostFrameReader::Error::SizeTooLarge;
    QTest::newRow("size 4 GiB - 1")
        << q(rawRequest(0xFFFFFFFFu, 0, 0)) << 4 << HostFrameReader::Error::SizeTooLarge;
    QTest::newRow("cbData beyond size")
        << q(rawRequest(24, 1, 1)) << 28 << HostFrameReader::Error::PayloadBeyondSize;
    QTest::newRow("cbData wraps past size")
        << q(rawRequest(80, 0xFFFFFFF0u, 56)) << 28 << HostFrameReader::Error::PayloadBeyondSize;
    QTest::newRow("cbData short of size")
        << q(rawRequest(30, 2, 6)) << 28 << HostFrameReader::Error::SizeMismatch;
}

void tst_HostFrame::malformed()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, failsAfter);
    QFETCH(HostFrameReader::Error, error);
    const Bytes bytes(stream.begin(), stream.end());

    // Byte by byte: the error shows as soon as the offending field is complete,
    // without waiting for a payload that may never come.
    HostFrameReader reader;
    for (int i = 0; i < failsAfter; ++i) {
        QVERIFY2(!reader.failed(), qPrintable(QStringLiteral("failed early, at byte %1").arg(i)));
        QCOMPARE(reader.feed(&bytes[static_cast<std::size_t>(i)], 1), std::size_t(1));
    }
    QVERIFY(reader.failed());
    QCOMPARE(reader.error(), error);
    QVERIFY(!reader.hasRequest());
    // A failed reader takes nothing more, even a well-formed request.
    const Bytes good = request(74, 0, 10001, Bytes(56, 0));
    QCOMPARE(reader.feed(good.data(), good.size()), std::size_t(0));
    QVERIFY(!reader.hasRequest());

    // All at once: the same error, and nothing past the offending field is taken.
    HostFrameReader whole;
    QCOMPARE(whole.feed(bytes.data(), bytes.size()), std::size_t(failsAfter));
    QCOMPARE(whole.error(), error);
}

void tst_HostFrame::readerStaysBounded()
{
    // Largest accepted request, then many more behind it in the same buffer.
    const Bytes one = request(74, 0, 10001, Bytes(kHostMaxPayload, 3));
    Bytes stream;
    for (int i = 0; i < 4; ++i)
        stream.insert(stream.end(), one.begin(), one.end());

    HostFrameReader reader;
    std::size_t at = 0;
    int requests = 0;
    for (int guard = 0; guard < 100 && at < stream.size(); ++guard) {
        const std::size_t step = std::min<std::size_t>(7001, stream.size() - at);
        at += reader.feed(stream.data() + at, step);
        QVERIFY(reader.buffered() <= kHostSizeField + kHostMaxRequestSize);
        if (reader.hasRequest()) {
            QCOMPARE(reader.takeRequest().payload.size(), kHostMaxPayload);
            ++requests;
        }
    }
    QCOMPARE(at, stream.size());
    QCOMPARE(requests, 4);
}

void tst_HostFrame::answers_data()
{
    QTest::addColumn<bool>("handled");
    QTest::addColumn<qint64>("result");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("handled 1") << true << qint64(1) << QByteArray::fromHex("010100000000000000");
    QTest::newRow("declined") << false << qint64(0) << QByteArray::fromHex("000000000000000000");
    QTest::newRow("handled -1") << true << qint64(-1) << QByteArray::fromHex("01ffffffffffffffff");
    QTest::newRow("lowest") << false << std::numeric_limits<qint64>::min()
                            << QByteArray::fromHex("000000000000000080");
    QTest::newRow("byte order") << true << qint64(0x0102030405060708)
                                << QByteArray::fromHex("010807060504030201");
}

void tst_HostFrame::answers()
{
    QFETCH(bool, handled);
    QFETCH(qint64, result);
    QFETCH(QByteArray, wire);
    const auto encoded = encodeHostAnswer(handled, result);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(encoded.data()), int(encoded.size())), wire);
    HostIntake::HostAnswer back { !handled, result + 1 };
    QVERIFY(decodeHostAnswer(
        reinterpret_cast<const unsigned char*>(wire.constData()), std::size_t(wire.size()), back));
    QCOMPARE(back.handled, handled);
    QCOMPARE(static_cast<qint64>(back.result), result);
}

void tst_HostFrame::answerRejections_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("8 bytes") << QByteArray::fromHex("0101000000000000");
    QTest::newRow("handled byte 2") << QByteArray::fromHex("020100000000000000");
    QTest::newRow("handled byte ff") << QByteArray::fromHex("ff0100000000000000");
}

void tst_HostFrame::answerRejections()
{
    QFETCH(QByteArray, wire);
    // Exactly the given bytes on the heap, so a sanitizer build catches an over-read.
    std::vector<unsigned char> exact(wire.begin(), wire.end());
    HostIntake::HostAnswer out { true, 42 };
    QVERIFY(!decodeHostAnswer(exact.empty() ? nullptr : exact.data(), exact.size(), out));
    QCOMPARE(out.handled, true);
    QCOMPARE(static_cast<qint64>(out.result), qint64(42));
}

QTEST_APPLESS_MAIN(tst_HostFrame)
#include "tst_hostframe.moc"
