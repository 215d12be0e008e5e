#pragma once

#include "sync/hostintake.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Wire format of the local host endpoint, which carries the same messages a
// Windows host sends as window messages. All fields little-endian.
//
//   request: u32 size | u32 message | u64 wParam | u64 dwData | u32 cbData | cbData bytes
//            where size counts the bytes after itself: size == 24 + cbData
//   answer:  u8 handled (0 or 1) | i64 result
//
// Requests on one connection are answered in order.

constexpr std::size_t kHostSizeField = 4;
constexpr std::size_t kHostHeaderSize = 24; // message, wParam, dwData, cbData
constexpr std::size_t kHostMaxRequestSize = 64 * 1024; // largest accepted size field
constexpr std::size_t kHostMaxPayload = kHostMaxRequestSize - kHostHeaderSize;
constexpr std::size_t kHostAnswerSize = 9;

// The framed request for m (m.cbData bytes taken from m.payload). Empty when the
// payload is larger than kHostMaxPayload or when cbData > 0 but payload is null.
std::vector<unsigned char> encodeHostRequest(const HostIntake::Message& m);

std::array<unsigned char, kHostAnswerSize> encodeHostAnswer(bool handled, std::int64_t result);

// Reads the 9-byte answer at bytes[0..size). False when fewer than 9 bytes are
// given or the handled byte is neither 0 nor 1; out is then left untouched.
bool decodeHostAnswer(const unsigned char* bytes, std::size_t size, HostIntake::HostAnswer& out);

// Incremental request parser for one connection. Holds at most one request in
// progress (at most kHostSizeField + kHostMaxRequestSize bytes), so a peer cannot
// make it grow: feed() stops consuming once a request is complete, until next()
// lets it go. A malformed size or cbData is an error as soon as
// its bytes are in; an errored reader consumes nothing more.
class HostFrameReader
{
public:
    enum class Error {
        None,
        SizeTooSmall, // size < 24
        SizeTooLarge, // size > 64 KiB
        PayloadBeyondSize, // cbData > size - 24
        SizeMismatch, // cbData < size - 24
    };

    // Consumes bytes from data[0..size) and returns how many it took; fewer than
    // size when a request became complete or the stream turned out malformed.
    std::size_t feed(const unsigned char* data, std::size_t size);

    bool hasRequest() const { return m_ready; }
    // The completed request, read in place: valid until next(), which makes the
    // reader wait for the next one. Once warmed, reading request after request
    // allocates nothing.
    HostIntake::Message request() const;
    void next();

    bool failed() const { return m_error != Error::None; }
    Error error() const { return m_error; }
    static const char* errorText(Error error);

    // Bytes held for the request in progress.
    std::size_t buffered() const { return m_buffer.size(); }

private:
    void complete();

    std::vector<unsigned char> m_buffer;
    std::uint32_t m_size = 0;
    bool m_ready = false;
    Error m_error = Error::None;
    // Of the completed request; its payload stays in m_buffer until next().
    std::uint32_t m_message = 0;
    std::uint64_t m_wParam = 0;
    std::uint64_t m_dwData = 0;
};
