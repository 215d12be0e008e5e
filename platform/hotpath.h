#pragma once

// Marks the functions every frame runs through, from the read of a host request or a
// lighting program's datagram to the sends. The compiler puts them into one section
// (.text.hot) that the linker lays out in one piece, so that the first frame after a
// pause, when the caches and the TLB have forgotten this process, touches a few pages
// of code instead of one or more per source file.
#if defined(__GNUC__)
#define PRISMARA_HOT __attribute__((hot))
#else
#define PRISMARA_HOT
#endif
