#pragma once

// Whether this process runs in a private network namespace (tools/netns-run), so
// that it may bind the fixed ports and broadcast. Every test that broadcasts asks
// this first. Qt-free, so the core tests can use it too.

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace TestNetwork
{

// Decided by namespace identity, never by an environment variable alone: this
// process's network namespace must differ from that of process 1 or, where
// /proc/1 cannot be read (not root), from the one tools/netns-run started in
// (PRISMARA_OUTER_NETNS, "device:inode" of the namespace, recorded before it
// unshared). Without either to compare with, the answer is no.
inline bool inPrivateNetwork()
{
    struct stat self {
    };
    if (stat("/proc/self/ns/net", &self) != 0)
        return false;
    struct stat init {
    };
    if (stat("/proc/1/ns/net", &init) == 0)
        return self.st_dev != init.st_dev || self.st_ino != init.st_ino;
    const char* outer = std::getenv("PRISMARA_OUTER_NETNS");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (outer == nullptr || std::sscanf(outer, "%llu:%llu", &device, &inode) != 2)
        return false;
    return self.st_dev != device || self.st_ino != inode;
}

} // namespace TestNetwork
