#pragma once

// The few file-system questions the local host endpoint asks before it listens:
// what sits at a path, and whether a folder is the user's own and closed to
// everyone else; and the lock that keeps one tool per user session. POSIX only;
// no system header leaks out of here.

#include <cstddef>
#include <string>

namespace Platform
{

enum class PathKind {
    Missing,
    Socket,
    Other // anything else, a symbolic link included (it is never followed)
};

// What is at path itself.
PathKind pathKind(const std::string& path);

// Removes the directory entry at path. False with the reason in why.
bool removePath(const std::string& path, std::string& why);

// The effective user id of this process.
unsigned long effectiveUserId();

// True when path is a directory (not a symbolic link to one) owned by the
// effective user with mode 0700, so that no one else can reach what is inside.
// Otherwise false, with the reason in why.
bool isPrivateFolder(const std::string& path, std::string& why);

// Creates path with mode 0700 when it does not exist, then checks it with
// isPrivateFolder. An existing folder is never changed.
bool makePrivateFolder(const std::string& path, std::string& why);

enum class LockState {
    Held, // this process holds the lock now
    Busy, // another process holds it
    Failed // the file could not be opened or locked; why says so
};

// Takes the exclusive lock on the file at path (created with mode 0600 when
// missing) without waiting. While Held, descriptor keeps it until unlockFile(),
// or until the process ends, however it ends: the kernel drops it then, so a
// crashed holder never leaves a stale lock. The file itself is never removed:
// removing it would let two processes lock two different files of one name.
LockState lockFile(const std::string& path, int& descriptor, std::string& why);
void unlockFile(int descriptor);

} // namespace Platform
