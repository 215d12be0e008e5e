#pragma once

// The descriptor-level calls of the local host endpoint's intake thread: waiting
// on several connected stream sockets and a wake-up pipe at once, and reading and
// writing them without ever blocking. POSIX only; no system header leaks out of
// here.

#include <cstddef>
#include <memory>

namespace Platform
{

// Writes what a connected stream socket takes of data[0, size) at once, without
// waiting and without raising SIGPIPE. Returns the byte count taken (0 when the
// socket takes nothing now, or for an interrupted call), negative on an error.
long long writeWithoutWaiting(int descriptor, const unsigned char* data, std::size_t size);

// What a read that does not wait found.
enum : long long {
    kNothingYet = -1, // no byte waiting (or an interrupted call)
    kReadFailed = -2, // the connection is broken
};
// Reads at most capacity bytes that are waiting on a connected stream socket.
// Returns the byte count (> 0), 0 at the end of the stream, kNothingYet or
// kReadFailed.
long long readWithoutWaiting(int descriptor, unsigned char* into, std::size_t capacity);

void closeDescriptor(int descriptor);

// A pipe that wakes a thread waiting in a ReadinessSet from any other thread.
class WakePipe
{
public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    bool isOpen() const { return m_read >= 0; }
    // The end to wait on for reading.
    int readEnd() const { return m_read; }
    // Makes readEnd() readable; never blocks (a full pipe already wakes).
    void wake();
    // Takes every pending wake-up.
    void drain();

private:
    int m_read = -1;
    int m_write = -1;
};

// The descriptors one wait covers, rebuilt before each wait. After wait(), ask
// what each entry (by the index add() gave) is ready for. Reuses its storage,
// so a steady set of descriptors allocates nothing per wait.
class ReadinessSet
{
public:
    ReadinessSet();
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet&) = delete;
    ReadinessSet& operator=(const ReadinessSet&) = delete;

    void clear();
    std::size_t add(int descriptor, bool read, bool write);
    // Waits until an entry is ready or timeoutMs passes (negative: no limit).
    // Returns the number of entries ready, 0 after the time-out or an
    // interrupted wait, negative when the wait itself failed.
    int wait(int timeoutMs);

    bool readable(std::size_t index) const;
    bool writable(std::size_t index) const;
    // Hung up or failed: a read or write on it now says which.
    bool broken(std::size_t index) const;

private:
    struct Entries;
    std::unique_ptr<Entries> m_entries;
};

} // namespace Platform
