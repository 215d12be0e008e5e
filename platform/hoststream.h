#pragma once

// The descriptor-level calls the local host endpoint makes on a connected host's
// stream socket, from the thread that serves it: reads and writes that wait, and
// the shutdown that ends such a wait from another thread. POSIX only; no system
// header leaks out of here.

#include <cstddef>

namespace Platform
{

// Makes reads and writes on descriptor wait. False when that cannot be set.
bool makeWaiting(int descriptor);

// Reads at most capacity bytes, waiting until at least one is there. Returns the
// byte count (> 0), 0 at the end of the stream (or once shutDown() was called on
// it), negative when the connection is broken.
long long readWaiting(int descriptor, unsigned char* into, std::size_t capacity);

// Writes all of data[0, size), waiting while the socket's buffer is full,
// without raising SIGPIPE. False when the connection is broken or shut down.
bool writeAllWaiting(int descriptor, const unsigned char* data, std::size_t size);

// Ends both directions: a read or write waiting on descriptor in another thread
// returns at once. The descriptor stays open.
void shutDown(int descriptor);

void closeDescriptor(int descriptor);

} // namespace Platform
