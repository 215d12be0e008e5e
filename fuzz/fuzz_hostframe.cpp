// Feeds an arbitrary byte stream to the host endpoint's request reader, once whole
// and once in small pieces, and checks: both give the same requests and the same
// verdict; each request re-encodes to exactly the bytes it came from; the reader
// never holds more than one request's worth; feed() never takes more than given.

#include "sync/hostframe.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace
{

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Outcome {
    std::vector<HostRequest> requests;
    std::vector<std::size_t> ends; // stream offset just past each request
    bool failed = false;
    HostFrameReader::Error error = HostFrameReader::Error::None;
};

Outcome run(const std::uint8_t* data, std::size_t size, std::size_t (*piece)(std::size_t))
{
    Outcome out;
    HostFrameReader reader;
    std::size_t at = 0;
    for (std::size_t step = 0; at < size; ++step) {
        const std::size_t want = std::min(size - at, piece(step));
        const std::size_t took = reader.feed(data + at, want);
        check(took <= want);
        check(reader.buffered() <= kHostSizeField + kHostMaxRequestSize);
        at += took;
        if (reader.hasRequest()) {
            out.requests.push_back(reader.takeRequest());
            out.ends.push_back(at);
        } else if (reader.failed()) {
            break;
        } else {
            check(took == want); // without a request or an error, all of it is taken
        }
    }
    out.failed = reader.failed();
    out.error = reader.error();
    return out;
}

std::size_t whole(std::size_t)
{
    return static_cast<std::size_t>(-1);
}
std::size_t small(std::size_t step)
{
    return 1 + step % 7;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Outcome a = run(data, size, whole);
    const Outcome b = run(data, size, small);
    check(a.failed == b.failed && a.error == b.error);
    check(a.requests.size() == b.requests.size());
    std::size_t begin = 0;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
        check(a.ends[i] == b.ends[i]);
        const HostRequest& r = a.requests[i];
        check(r.message == b.requests[i].message && r.wParam == b.requests[i].wParam
            && r.dwData == b.requests[i].dwData && r.payload == b.requests[i].payload);
        const std::vector<unsigned char> again = encodeHostRequest(r.toMessage());
        check(again.size() == a.ends[i] - begin);
        check(std::equal(again.begin(), again.end(), data + begin));
        begin = a.ends[i];
    }

    if (size >= kHostAnswerSize) {
        HostIntake::HostAnswer answer {};
        if (decodeHostAnswer(data, size, answer)) {
            const auto back = encodeHostAnswer(answer.handled, answer.result);
            check(std::equal(back.begin(), back.end(), data));
        } else {
            check(data[0] > 1);
        }
    }
    return 0;
}
