// Feeds an arbitrary byte stream to the host endpoint's request reader, once
// whole and once in small pieces,
// and checks: both give the same requests and the same verdict; each request
// re-encodes to exactly the bytes it came from; the reader never holds more than
// one request's worth; feed() never takes more than given.

#include "fuzzcheck.h"
#include "sync/hostframe.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace
{

struct Copy {
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::uint64_t dwData = 0;
    std::vector<unsigned char> payload;
};

// Each request with the stream offset just past it, then the verdict.
struct Outcome {
    std::vector<std::pair<Copy, std::size_t>> requests;
    HostFrameReader::Error error = HostFrameReader::Error::None;
};

Outcome run(const std::uint8_t* data, std::size_t size, bool small)
{
    Outcome out;
    HostFrameReader reader;
    for (std::size_t step = 0, at = 0; at < size && !reader.failed(); ++step) {
        const std::size_t want = std::min(size - at, small ? 1 + step % 7 : size);
        const std::size_t took = reader.feed(data + at, want);
        check(took <= want && reader.buffered() <= kHostSizeField + kHostMaxRequestSize);
        at += took;
        if (reader.hasRequest()) {
            const HostIntake::Message m = reader.request();
            Copy r;
            r.message = m.message;
            r.wParam = m.wParam;
            r.dwData = m.dwData;
            r.payload.assign(m.payload, m.payload + m.cbData);
            reader.next();
            out.requests.emplace_back(std::move(r), at);
        } else if (!reader.failed())
            check(took == want); // without a request or an error, all of it is taken
    }
    out.error = reader.failed() ? reader.error() : HostFrameReader::Error::None;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Outcome a = run(data, size, false);
    const Outcome b = run(data, size, true);
    check(a.error == b.error && a.requests.size() == b.requests.size());
    std::size_t begin = 0;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        const Copy& r = a.requests[i].first;
        const Copy& s = b.requests[i].first;
        check(a.requests[i].second == b.requests[i].second && r.message == s.message
            && r.wParam == s.wParam && r.dwData == s.dwData && r.payload == s.payload);
        const std::vector<unsigned char> again = encodeHostRequest({ r.message, r.wParam, r.dwData,
            static_cast<std::uint32_t>(r.payload.size()), r.payload.data() });
        check(again.size() == a.requests[i].second - begin);
        check(std::equal(again.begin(), again.end(), data + begin));
        begin = a.requests[i].second;
    }

    HostIntake::HostAnswer answer {};
    if (size >= kHostAnswerSize && decodeHostAnswer(data, size, answer)) {
        const auto back = encodeHostAnswer(answer.handled, answer.result);
        check(std::equal(back.begin(), back.end(), data));
    } else if (size >= kHostAnswerSize) {
        check(data[0] > 1);
    }
    return 0;
}
